#include "InstallLocator.h"

#include "files/regular_file.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

enum BundleKind { kRegularBundle, kFloatingBundle };
const char* const kSupportFolder = "/Library/Application Support/Tavrin";

// Versions that the floating search always covers, whatever range the caller gives.
constexpr int kFloatingSearchHighest = 20;
constexpr int kFloatingSearchLowest = 5;

// Bundle folder for `version` below the install root; empty when it does not fit the
// fixed path buffer (such a path is treated as absent).
std::string bundle_folder(BundleKind kind, int version) {
    char buffer[InstallLocator::kPathBufferSize];
    const std::string root = InstallLocator::install_root();
    const int n = std::snprintf(buffer, sizeof buffer, "%s", root.c_str());
    if (n < 0 || n >= static_cast<int>(sizeof buffer)) return {};
    const size_t room = sizeof buffer - static_cast<size_t>(n);
    const int m = kind == kRegularBundle
                      ? std::snprintf(buffer + n, room, "/Applications/Tavrin%d.app/Contents/MacOS/", version)
                      : std::snprintf(buffer + n, room, "/Applications/Tavrin%d_floating.app/Contents/MacOS/", version);
    if (m < 0 || n + m >= static_cast<int>(sizeof buffer)) return {};
    return std::string(buffer, static_cast<size_t>(n + m));
}

// Existence test of a bundle folder: anything at the folder's path counts, a plain file
// too, so the trailing "/" (which would demand a folder) is left out.
bool exists(const std::string& folder) {
    if (folder.empty()) return false;
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Executable inside `folder` (which ends in "/"). Versions above 6 use the plain name,
// older ones append the version number.
std::string executable_in(const std::string& folder, int version, bool floating) {
    char buffer[InstallLocator::kPathBufferSize];
    int n;
    if (version > 6)
        n = std::snprintf(buffer, sizeof buffer, floating ? "%stavrin_floating" : "%stavrin", folder.c_str());
    else
        n = std::snprintf(buffer, sizeof buffer, floating ? "%stavrin%d_floating" : "%stavrin%d",
                          folder.c_str(), version);
    if (n < 0 || n >= static_cast<int>(sizeof buffer)) return {};
    return std::string(buffer, static_cast<size_t>(n));
}

} // namespace

std::string InstallLocator::install_root() {
    const char* root = std::getenv("TAVRIN_INSTALL_ROOT");
    return root ? std::string(root) : std::string();
}

std::string InstallLocator::find_install_dir(int lowest, int highest, int& version) {
    std::string found;
    for (int v = highest; v >= lowest; --v) {
        std::string folder = bundle_folder(kRegularBundle, v);
        if (is_directory(folder)) {
            version = v;
            found = std::move(folder);
            break;
        }
    }
    for (int v = kFloatingSearchHighest; v >= kFloatingSearchLowest; --v) {
        std::string folder = bundle_folder(kFloatingBundle, v);
        if (is_directory(folder) && v > version) {
            version = v;
            found = std::move(folder);
            break;
        }
    }
    return found;
}

std::string InstallLocator::find_executable(int lowest, int highest) {
    for (int v = highest; v >= lowest; --v) {
        const std::string regular = bundle_folder(kRegularBundle, v);
        if (exists(regular)) return executable_in(regular, v, false);
        const std::string floating = bundle_folder(kFloatingBundle, v);
        if (exists(floating)) return executable_in(floating, v, true);
    }
    return {};
}

int InstallLocator::find_installed_version(int lowest, int highest) {
    for (int v = highest; v >= lowest; --v)
        if (is_directory(bundle_folder(kRegularBundle, v))) return v;
    for (int v = highest; v >= lowest; --v)
        if (is_directory(bundle_folder(kFloatingBundle, v))) return v;
    return -1;
}

std::string InstallLocator::support_dir() {
    const int version = find_installed_version(kFloatingSearchLowest, kFloatingSearchHighest);
    return install_root() + kSupportFolder + std::to_string(version) + "/";
}

int InstallLocator::known_port_range(int& first, int& last) {
    first = kFirstKnownPort;
    last = kLastKnownPort;
    return 0;
}

bool InstallLocator::is_directory(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t InstallLocator::file_size(const std::string& path) {
    // A FIFO or a device in the installation's place has no size, and must not block.
    const tavrin::files::RegularFile file = tavrin::files::openRegularFile(path);
    if (!file) return 0;
    ::close(file.fd);
    return static_cast<int64_t>(file.size);
}

std::string InstallLocator::join_path(const std::string& a, const std::string& b) {
    return a + "/" + b;
}

void InstallLocator::sleep_ms(int ms) {
    if (ms <= 0) return;
    // nanosleep rather than usleep: usleep may refuse a whole second or more. A signal
    // only shortens the current slice; the remainder is slept.
    struct timespec left;
    left.tv_sec = ms / 1000;
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

InstallLocator& install_locator() {
    static InstallLocator locator;
    return locator;
}
