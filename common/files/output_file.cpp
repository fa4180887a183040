#include "files/output_file.h"

#include "files/fd_write.h"
#include "files/regular_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrin::files {

namespace {

// The temporaries open now, for removeOutputTemporaries: fixed slots, so that a signal
// handler reads them without allocating. A slot is in use while its first byte is not 0.
constexpr int kSlots = 8;
char gTemporaries[kSlots][PATH_MAX];

int registerTemporary(const std::string& path)
{
    if (path.size() >= PATH_MAX)
        return -1;
    for (int i = 0; i < kSlots; ++i) {
        if (gTemporaries[i][0] != '\0')
            continue;
        // The name first, its first byte last: a handler never sees half a name.
        std::memcpy(gTemporaries[i] + 1, path.c_str() + 1, path.size());
        std::atomic_signal_fence(std::memory_order_seq_cst);
        gTemporaries[i][0] = path[0];
        return i;
    }
    return -1;
}

void unregisterTemporary(int slot)
{
    if (slot >= 0)
        gTemporaries[slot][0] = '\0';
}

} // namespace

std::string refusedOutput(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISREG(info.st_mode))
            return {};
        const std::string kind = describeFileType(info.st_mode);
        return kind == "not a regular file" ? kind : kind + ", not a regular file";
    }
    if (errno != ENOENT)
        return std::strerror(errno);
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0)
        return "a symbolic link to a file that does not exist";
    return {};
}

OutputFile::OutputFile(const std::string& path) : path_(path)
{
    if (const std::string why = refusedOutput(path); !why.empty()) {
        error_ = path + ": " + why;
        return;
    }
    std::string target = path;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        existed_ = true;
        mode_ = info.st_mode & 07777;
        uid_ = info.st_uid;
        gid_ = info.st_gid;
        otherNames_ = info.st_nlink > 1 ? info.st_nlink - 1 : 0;
        struct stat link {};
        // A link of another user may have been planted (in a shared folder): it is replaced
        // itself, never written through. One of our own leads where we sent it.
        if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && link.st_uid != ::geteuid()) {
            mode_ = 0644;
            existed_ = false;
            otherNames_ = 0;
        } else if (S_ISLNK(link.st_mode)) {
            // The file the link names is replaced; the link stays.
            char* resolved = ::realpath(path.c_str(), nullptr);
            if (!resolved) {
                error_ = path + ": " + std::strerror(errno);
                return;
            }
            target = resolved;
            std::free(resolved);
        }
    }
    temporary_ = std::make_unique<TemporaryBeside>(target);
    if (!*temporary_) {
        error_ = temporary_->error();
        return;
    }
    slot_ = registerTemporary(temporary_->path());
}

OutputFile::~OutputFile()
{
    temporary_.reset(); // removes the file unless committed
    unregisterTemporary(slot_);
}

bool OutputFile::commit()
{
    if (!temporary_ || !*temporary_) {
        if (error_.empty())
            error_ = path_ + ": not open";
        return false;
    }
    // The owner first: changing it may clear the set-id bits the mode then gives back. An
    // owner the process may not give stays its own.
    if (existed_)
        (void)::fchown(temporary_->fd(), uid_, gid_);
    if (!temporary_->commit(mode_)) {
        error_ = temporary_->error();
        temporary_.reset();
        unregisterTemporary(slot_);
        slot_ = -1;
        return false;
    }
    unregisterTemporary(slot_);
    slot_ = -1;
    return true;
}

bool writeOutputFile(const std::string& path, std::string_view bytes, std::string* why,
                     unsigned long long* otherNames)
{
    OutputFile file(path);
    const auto fail = [&](const std::string& reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (!file)
        return fail(file.error());
    if (!writeAll(file.fd(), bytes))
        return fail(path + ": " + std::strerror(errno));
    if (!file.commit())
        return fail(file.error());
    if (otherNames)
        *otherNames = file.otherNames();
    return true;
}

void removeOutputTemporaries()
{
    for (int i = 0; i < kSlots; ++i)
        if (gTemporaries[i][0] != '\0')
            ::unlink(gTemporaries[i]);
}

} // namespace tavrin::files
