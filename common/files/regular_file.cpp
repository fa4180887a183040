#include "files/regular_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrin::files {

const char* describeFileType(unsigned mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISLNK(mode))
        return "a symbolic link";
    return "not a regular file";
}

RegularFile openRegularFile(const std::string& path)
{
    RegularFile result;
    if (path.empty()) {
        result.why = "empty file name";
        return result;
    }
    // O_NONBLOCK: opening a FIFO with no writer would otherwise wait for one for ever.
    int fd;
    do
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        result.why = std::strerror(errno);
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        result.why = std::strerror(errno);
        ::close(fd);
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        const std::string kind = describeFileType(st.st_mode);
        result.why = kind == "not a regular file" ? kind : kind + ", not a regular file";
        ::close(fd);
        return result;
    }
    // Reads of a regular file never block; clear the flag so stdio sees an ordinary stream.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    result.fd = fd;
    result.size = static_cast<long long>(st.st_size);
    return result;
}

bool isReadableRegularFile(const std::string& path, std::string* why)
{
    RegularFile file = openRegularFile(path);
    if (!file) {
        if (why != nullptr)
            *why = file.why;
        return false;
    }
    ::close(file.fd);
    return true;
}

FILE* fopenRegular(const std::string& path, std::string* why)
{
    RegularFile file = openRegularFile(path);
    if (!file) {
        if (why != nullptr)
            *why = file.why;
        return nullptr;
    }
    FILE* f = ::fdopen(file.fd, "rb");
    if (f == nullptr) {
        if (why != nullptr)
            *why = std::strerror(errno);
        ::close(file.fd);
    }
    return f;
}

bool readRegularFile(const std::string& path, std::string& out, std::string* why, long long maxBytes)
{
    RegularFile file = openRegularFile(path);
    const auto fail = [&](const std::string& reason) {
        if (why != nullptr)
            *why = reason;
        if (file.fd >= 0)
            ::close(file.fd);
        return false;
    };
    if (!file)
        return fail(file.why);
    if (maxBytes > 0 && file.size > maxBytes)
        return fail("larger than " + std::to_string(maxBytes) + " bytes");
    out.clear();
    out.reserve(static_cast<size_t>(file.size));
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(std::strerror(errno));
        }
        if (n == 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
        if (maxBytes > 0 && static_cast<long long>(out.size()) > maxBytes)
            return fail("larger than " + std::to_string(maxBytes) + " bytes");
    }
    ::close(file.fd);
    return true;
}

} // namespace tavrin::files
