// Reading a document file (or standard input) into memory for the loader.
#include "sim_json_file.h"

#include <simdjson.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr std::uintmax_t kMaxFileSize = std::uintmax_t(1) << 31;

// Asks the system to back a large buffer not yet written with large pages: reading a heavy
// document into it otherwise costs a page fault per 4 KiB. (Measured: worth it for the
// text; for the model's arrays it made the time erratic.)
void adviseLargePages(const void* data, size_t bytes)
{
    constexpr uintptr_t kLargePage = uintptr_t(2) << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kLargePage - 1) & ~(kLargePage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kLargePage - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

} // namespace

bool readDocumentText(const std::string& path, std::string& text, std::string& error)
{
    const bool standardInput = path == "-";
    const std::string shown = standardInput ? "standard input" : "document \"" + path + "\"";
    const int fd = standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + shown + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    int reason = 0;
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
        reason = EISDIR;
    else if (S_ISREG(info.st_mode) && std::uintmax_t(info.st_size) <= kMaxFileSize)
    {
        text.reserve(size_t(info.st_size) + simdjson::SIMDJSON_PADDING);
        adviseLargePages(text.data(), text.capacity());
    }
    char chunk[1 << 16];
    while (reason == 0) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            reason = errno;
        else if (got == 0)
            break;
        else if (text.size() + size_t(got) > kMaxFileSize)
            reason = EFBIG;
        else
            text.append(chunk, size_t(got));
    }
    if (!standardInput)
        ::close(fd);
    if (reason != 0) {
        error = "cannot read " + shown + ": " + std::strerror(reason);
        return false;
    }
    return true;
}

} // namespace sim
