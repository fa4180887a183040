// Where a scene stream goes while it arrives: straight into "<file>.part" in the output
// folder, renamed to <file> when the stream ends. Nothing is gathered in memory, so the
// stream is copied once on its way in and never reallocated. When the file cannot be made
// or written, the stream is kept in an anonymous memory file instead, so the renderer can
// still read and answer it. The finished stream is read back through a read-only mapping.
#pragma once

#include "net.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace standin {

class StreamStore {
public:
    StreamStore() = default;
    StreamStore(const StreamStore&) = delete;
    StreamStore& operator=(const StreamStore&) = delete;
    ~StreamStore(); // an unfinished stream leaves no .part file behind

    // Starts a stream that is to end up in file. False only when not even memory could
    // hold it (message in error).
    bool open(const std::string& file, std::string& error);
    // Adds bytes to the stream. False when they could be kept nowhere (message in error).
    bool append(const char* data, size_t size, std::string& error);
    // Ends the stream: the file takes its final name and the bytes become readable through
    // bytes(). Returns false with the system's reason when the file could not be kept
    // (the bytes are still readable, unless reading them back failed too: then bytes()
    // is empty and readable() false).
    bool finish(std::string& reason);

    // Gives the stream up: its part file goes, nothing more is kept.
    void discard();

    uint64_t size() const { return size_; }
    // A descriptor of the finished stream's bytes (the file, or the memory that holds them),
    // open until the store goes; -1 before finish or when the bytes could not be kept.
    int fd() const { return readFd_.get(); }
    // Descriptors the store holds open: the file or memory being written, and after finish
    // the one of its bytes.
    size_t descriptors() const { return (fd_ ? 1 : 0) + (readFd_ ? 1 : 0); }
    bool readable() const { return mapped_ != nullptr || size_ == 0; }
    std::string_view bytes() const;
    const std::string& file() const { return file_; }

private:
    bool moveToMemory(std::string& error);

    net::Fd fd_;
    net::Fd readFd_; // after finish
    std::string file_;
    std::string part_;    // the .part file while it is being written; empty in memory
    std::string failure_; // why the file could not be kept
    uint64_t size_ = 0;
    void* mapped_ = nullptr;
};

} // namespace standin
