#include "files/private_file.h"

#include "files/fd_write.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tavrin::files {
namespace {

bool setWhy(std::string* why, const std::string& text)
{
    if (why != nullptr)
        *why = text;
    return false;
}

std::string reason(const std::string& what) { return what + ": " + std::strerror(errno); }


} // namespace

bool ensurePrivateFolder(const std::string& path, std::string* why)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return setWhy(why, reason(path));
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return setWhy(why, reason(path));
    if (!S_ISDIR(st.st_mode))
        return setWhy(why, path + ": not a folder (a link or a file is in its place)");
    if (st.st_uid != ::geteuid())
        return setWhy(why, path + ": owned by another user");
    if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0)
        return setWhy(why, reason(path));
    return true;
}

std::string privateCacheFolder(std::string_view name, std::string* why)
{
    std::string base;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.cache";
        // ~/.cache may be missing on a fresh account; it is created private like any cache.
        if (::mkdir(base.c_str(), 0700) != 0 && errno != EEXIST)
            base.clear();
    }
    if (!base.empty()) {
        std::string folder = base + "/" + std::string(name);
        std::string whyHere;
        if (ensurePrivateFolder(folder, &whyHere))
            return folder;
        if (why != nullptr)
            *why = whyHere;
    }
    // No usable home: a fresh private folder for this process only.
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/" +
                          std::string(name) + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        setWhy(why, reason(pattern));
        return {};
    }
    return buffer.data();
}

TemporaryBeside::TemporaryBeside(const std::string& target) : target_(target)
{
    std::string pattern = target + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    fd_ = ::mkstemp(buffer.data());
    if (fd_ < 0) {
        error_ = reason(target);
        return;
    }
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
    path_ = buffer.data();
}

TemporaryBeside::~TemporaryBeside()
{
    if (fd_ >= 0)
        ::close(fd_);
    if (!committed_ && !path_.empty())
        ::unlink(path_.c_str());
}

bool TemporaryBeside::close()
{
    if (fd_ < 0)
        return error_.empty();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        error_ = reason(target_);
        return false;
    }
    return error_.empty();
}

bool TemporaryBeside::commit(unsigned mode)
{
    if (path_.empty())
        return false;
    if (fd_ >= 0 && ::fchmod(fd_, static_cast<mode_t>(mode)) != 0) {
        error_ = reason(target_);
        return false;
    }
    if (!close())
        return false;
    if (::rename(path_.c_str(), target_.c_str()) != 0) {
        error_ = reason(target_);
        return false;
    }
    committed_ = true;
    return true;
}

bool writeFileAtomically(const std::string& target, std::string_view bytes, std::string* why, unsigned mode)
{
    TemporaryBeside temporary(target);
    if (!temporary)
        return setWhy(why, temporary.error());
    if (!writeAll(temporary.fd(), bytes))
        return setWhy(why, reason(target));
    if (!temporary.commit(mode))
        return setWhy(why, temporary.error());
    return true;
}

} // namespace tavrin::files
