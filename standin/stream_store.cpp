#include "stream_store.h"

#include "files/fd_write.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace standin {

namespace {

using tavrin::files::writeAll;


std::string systemReason() { return std::strerror(errno); }

} // namespace

StreamStore::~StreamStore()
{
    if (mapped_)
        ::munmap(mapped_, size_);
    if (!part_.empty())
        ::unlink(part_.c_str());
}

void StreamStore::discard()
{
    if (mapped_)
        ::munmap(mapped_, size_);
    mapped_ = nullptr;
    if (!part_.empty())
        ::unlink(part_.c_str());
    part_.clear();
    fd_.reset();
    readFd_.reset();
    size_ = 0;
}

bool StreamStore::open(const std::string& file, std::string& error)
{
    file_ = file;
    part_ = file + ".part";
    fd_.reset(::open(part_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd_)
        return true;
    failure_ = systemReason();
    part_.clear();
    return moveToMemory(error);
}

bool StreamStore::append(const char* data, size_t size, std::string& error)
{
    if (writeAll(fd_.get(), data, size)) {
        size_ += size;
        return true;
    }
    if (part_.empty()) {
        error = "cannot keep the stream in memory: " + systemReason();
        return false;
    }
    failure_ = systemReason();
    return moveToMemory(error) && append(data, size, error);
}

// What reached the file so far moves along; bytes of a write that failed half-way do not.
bool StreamStore::moveToMemory(std::string& error)
{
    net::Fd memory(::memfd_create("tavrin-stream", MFD_CLOEXEC));
    if (!memory) {
        error = "cannot keep the stream in memory: " + systemReason();
        return false;
    }
    std::vector<char> buffer(size_t(1) << 16);
    for (uint64_t at = 0; at < size_;) {
        const ssize_t n = ::pread(fd_.get(), buffer.data(), size_t(std::min<uint64_t>(buffer.size(), size_ - at)),
                                  off_t(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || !writeAll(memory.get(), buffer.data(), size_t(n))) {
            error = "cannot move the stream into memory: " + (n == 0 ? std::string("file cut short") : systemReason());
            return false;
        }
        at += uint64_t(n);
    }
    if (!part_.empty())
        ::unlink(part_.c_str());
    part_.clear();
    fd_ = std::move(memory);
    return true;
}

bool StreamStore::finish(std::string& reason)
{
    if (size_ > 0) {
        void* m = ::mmap(nullptr, size_t(size_), PROT_READ, MAP_SHARED, fd_.get(), 0);
        mapped_ = m == MAP_FAILED ? nullptr : m;
        if (mapped_)
            readFd_.reset(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
    }
    bool kept = !part_.empty();
    if (kept && ::close(fd_.release()) != 0) {
        failure_ = systemReason();
        kept = false;
    }
    if (kept && ::rename(part_.c_str(), file_.c_str()) != 0) {
        failure_ = systemReason();
        kept = false;
    }
    if (!kept && !part_.empty())
        ::unlink(part_.c_str());
    part_.clear();
    fd_.reset();
    reason = failure_;
    return kept;
}

std::string_view StreamStore::bytes() const
{
    return mapped_ ? std::string_view(static_cast<const char*>(mapped_), size_t(size_)) : std::string_view();
}

} // namespace standin
