// The Export command's factory: scene file, writer, header lines, safe replacement.
#include "LightFileFactory.h"

#include "orvScene_api_file.h"
#include "files/regular_file.h"
#include "files/size_limit.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orv {

namespace {

const char* const headerLines[] = {
    "//---orvane:dal:7---\n",
    "//---import:dal:1---\n",
    "//---id:1---\n",
    "// This is a Tavrin scene file\n\n",
};

constexpr int kLockPollMs = 20;

// Why `path` cannot be written: its type when it exists and is no regular file ("a FIFO,
// not a regular file"), else empty. Writing into a FIFO would block until a reader comes,
// or throw the scene away into a device; a folder cannot take a scene at all.
std::string notARegularTarget(const struct stat& info)
{
    if (S_ISREG(info.st_mode)) return {};
    const std::string kind = tavrin::files::describeFileType(info.st_mode);
    return kind == "not a regular file" ? kind : kind + ", not a regular file";
}

// Opens a new temporary file in the folder of `target`. It is created with mode 0666, as
// fopen would, so the process's umask applies; an existing target's owner, group and mode
// are copied onto it. Returns null, with no file left behind, when the folder admits none
// or the target's owner and group cannot be kept (only a privileged process may give a
// file away): the target is then written in place, as fopen would, and keeps them.
FILE* openTemporary(const std::string& target, const struct stat* existing, std::string& temporaryPath)
{
    const size_t slash = target.rfind('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty()) return nullptr;
    const std::string prefix = target.substr(0, target.size() - base.size()) + "." + base + ".tmp-" +
                               std::to_string(getpid()) + "-";
    static unsigned serial = 0;
    const int saved = errno;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = prefix + std::to_string(++serial);
        int fd = open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            break;
        }
        FILE* stream = nullptr;
        struct stat made;
        bool kept = !existing;
        if (existing && fstat(fd, &made) == 0) {
            // The owner first: changing it may clear the set-id bits the mode then restores.
            const bool sameOwner = made.st_uid == existing->st_uid && made.st_gid == existing->st_gid;
            kept = (sameOwner || fchown(fd, existing->st_uid, existing->st_gid) == 0) &&
                   fchmod(fd, existing->st_mode & 07777) == 0;
        }
        if (kept) stream = fdopen(fd, "wb+");
        if (!stream) {
            ::close(fd);
            unlink(candidate.c_str());
            break;
        }
        temporaryPath = candidate;
        errno = saved;
        return stream;
    }
    errno = saved;
    return nullptr;
}

// Opens `path` for writing as fopen(path, "wb+") does, but only a regular file (the open
// itself does not block, should a FIFO have taken the name meanwhile), emptied only once
// this process holds an exclusive lock on it; the lock stays until the stream is closed:
// two exports writing the same file in place take turns instead of mixing their bytes.
// Null with `why` set when it cannot be opened or the lock is not granted in time.
FILE* openInPlace(const std::string& path, int lockWaitMs, std::string& why)
{
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0) {
        why = strerror(errno);
        return nullptr;
    }
    const auto fail = [&](const std::string& reason) -> FILE* {
        ::close(fd);
        why = reason;
        return nullptr;
    };
    struct stat info;
    if (fstat(fd, &info) != 0) return fail(strerror(errno));
    if (why = notARegularTarget(info); !why.empty()) return fail(why);
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    int waited = 0;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) break; // no locks here: write unlocked
        if (waited >= lockWaitMs) {
            char text[80];
            snprintf(text, sizeof text, "it is locked by another export (waited %g s)", lockWaitMs / 1000.0);
            return fail(text);
        }
        usleep(kLockPollMs * 1000);
        waited += kLockPollMs;
    }
    if (ftruncate(fd, 0) != 0) return fail(strerror(errno));
    FILE* stream = fdopen(fd, "wb+");
    if (!stream) return fail(strerror(errno));
    return stream;
}

} // namespace

LightFileFactory::LightFileFactory(const std::string& path, int lockWaitMs) : targetPath(path)
{
    std::string why;
    if (path == "-") {
        // The scene goes to what standard output was; anything the process writes to
        // standard output from now on lands on standard error instead.
        int fd = dup(1);
        if (fd >= 0) {
            stream = fdopen(fd, "wb");
            if (!stream) ::close(fd);
            else dup2(2, 1);
        }
        if (!stream) why = strerror(errno);
    } else {
        // A regular file (or one still to be made) is written beside the target and only
        // replaces it once complete, where the result is the file fopen would leave: one
        // this process may write, with a single name. Other targets, and files whose owner
        // cannot be kept, are written in place.
        struct stat info;
        const struct stat* existing = nullptr;
        std::string realTarget = path;
        bool replaceable = false;
        if (!path.empty() && stat(path.c_str(), &info) == 0) {
            // An existing target that is no regular file is refused before anything is
            // opened: nothing is written, and nothing waits for a reader.
            why = notARegularTarget(info);
            if (!why.empty()) throw std::runtime_error("could not open file: \"" + path + "\": " + why);
            if (S_ISREG(info.st_mode) && faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0) {
                replaceable = true;
                existing = &info;
                // Written in place, a file with other names would be truncated under all
                // of them, and an interrupted export would leave every one damaged. The new
                // scene takes this name; the others keep the previous scene.
                otherNames_ = info.st_nlink > 1 ? static_cast<unsigned long long>(info.st_nlink - 1) : 0;
                struct stat link;
                if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
                    // Replace the file the link names, keep the link.
                    char* resolved = realpath(path.c_str(), nullptr);
                    if (resolved) realTarget = resolved;
                    else replaceable = false;
                    free(resolved);
                }
            }
        } else if (!path.empty() && errno == ENOENT) {
            // Not there yet; a dangling link is left to the in-place open, which creates
            // what it names.
            struct stat link;
            replaceable = lstat(path.c_str(), &link) != 0;
        }
        if (replaceable) {
            stream = openTemporary(realTarget, existing, temporaryPath);
            if (stream) targetPath = realTarget;
        }
        if (!stream) {
            otherNames_ = 0;
            stream = openInPlace(path, lockWaitMs, why);
        }
    }
    if (!stream) {
        fprintf(stderr, "opening file: %s\n", why.c_str());
        throw std::runtime_error("could not open file: \"" + path + "\": " + why);
    }
    try {
        sizeLimit_ = std::make_unique<tavrin::files::SizeLimitGuard>();
        writer = new orvScene_api_file(stream, true);
    } catch (...) {
        abandon();
        throw;
    }
}

LightFileFactory::~LightFileFactory()
{
    try {
        close();
    } catch (const std::exception& e) {
        fprintf(stderr, "%s\n", e.what());
    } catch (...) {
    }
}

orvScene_api* LightFileFactory::getApi() { return writer; }

void LightFileFactory::onAttach(orvSceneapi_oo*)
{
    if (!writer) return;
    for (const char* line : headerLines) writer->printRaw("%s", line);
}

void LightFileFactory::close()
{
    bool ok = true;
    int reason = 0;
    if (writer) {
        if (writer->writeFailed()) {
            ok = false;
            reason = writer->writeErrno();
        }
        written_ = writer->bytesWritten();
        delete writer;
        writer = nullptr;
    }
    if (!stream) return;

    FILE* closing = stream;
    stream = nullptr;
    // A write error that happened earlier sticks to the stream; a later successful write
    // must not make the file look complete.
    errno = 0;
    if (fflush(closing) != 0 || ferror(closing)) {
        if (ok) reason = errno ? errno : EIO;
        ok = false;
    }
    // What reached the file: all of it once it is closed, else the size it has.
    struct stat info;
    const bool sized = !ok && fstat(fileno(closing), &info) == 0;
    if (fclose(closing) != 0) {
        if (ok) reason = errno;
        ok = false;
    }
    sizeLimit_.reset();
    if (!temporaryPath.empty()) {
        if (ok && rename(temporaryPath.c_str(), targetPath.c_str()) != 0) {
            reason = errno;
            ok = false;
        }
        if (!ok) unlink(temporaryPath.c_str());
    }
    if (!ok) {
        // Nothing is left of a file written beside the target; in place, what it holds.
        written_ = temporaryPath.empty() && sized ? static_cast<unsigned long long>(info.st_size) : 0;
        otherNames_ = 0;
        temporaryPath.clear();
        throw std::runtime_error("could not close file \"" + targetPath + "\": " + strerror(reason ? reason : EIO));
    }
    temporaryPath.clear();
}

void LightFileFactory::abandon()
{
    delete writer;
    writer = nullptr;
    if (stream) {
        fclose(stream);
        stream = nullptr;
    }
    sizeLimit_.reset();
    otherNames_ = 0;
    if (!temporaryPath.empty()) {
        unlink(temporaryPath.c_str());
        temporaryPath.clear();
    }
}

} // namespace orv
