#include "instance_claim.h"

#include "files/private_file.h"
#include "sceneapi_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// The folder is looked up once per process: without a home it would be a fresh private
// folder on every call.
const std::string& claim_folder() {
    static const std::string folder = [] {
        std::string why;
        std::string found = tavrin::files::privateCacheFolder("tavrin-renderer-claims", &why);
        if (found.empty()) {
            ORV_LOG(logWARNING) << "renderer claims are not possible: " << why;
        }
        return found;
    }();
    return folder;
}

} // namespace

InstanceClaim::~InstanceClaim() {
    release();
}

InstanceClaim::InstanceClaim(InstanceClaim&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), pid_(other.pid_), path_(std::move(other.path_)) {}

InstanceClaim& InstanceClaim::operator=(InstanceClaim&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        pid_ = other.pid_;
        path_ = std::move(other.path_);
    }
    return *this;
}

InstanceClaim::Outcome InstanceClaim::take(int64_t pid, InstanceClaim& claim) {
    claim.release();
    const std::string& folder = claim_folder();
    if (folder.empty() || pid <= 0) return Outcome::Unavailable;
    const std::string path = folder + "/renderer-" + std::to_string(pid) + ".claim";

    // The holder removes the file before it lets go, so the lock may be granted on a file
    // that is no longer under the name; the name is then opened again.
    const auto openName = [&path] {
        return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    };
    for (int tries = 0; tries < 4; ++tries) {
        int fd = openName();
        // The folder may have been removed since it was looked up (a cleaned cache).
        if (fd < 0 && errno == ENOENT && tavrin::files::ensurePrivateFolder(folder)) fd = openName();
        if (fd < 0) {
            ORV_LOG(logWARNING) << "cannot claim the renderer: " << path << ": " << std::strerror(errno);
            return Outcome::Unavailable;
        }
        int locked = 0;
        do {
            locked = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0) {
            const bool busy = errno == EWOULDBLOCK;
            ::close(fd);
            return busy ? Outcome::HeldByAnother : Outcome::Unavailable;
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            claim.fd_ = fd;
            claim.pid_ = pid;
            claim.path_ = path;
            return Outcome::Claimed;
        }
        ::close(fd);
    }
    return Outcome::Unavailable;
}

void InstanceClaim::release() {
    if (fd_ < 0) return;
    // Removed while still locked: whoever opened the name meanwhile sees that its file is
    // gone once it gets the lock, and opens the name again.
    ::unlink(path_.c_str());
    ::close(fd_);
    fd_ = -1;
    pid_ = 0;
    path_.clear();
}
