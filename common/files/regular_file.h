// Opening files that a user or a document names (textures, models, scene files to read).
//
// Only a regular file counts: a FIFO, a device, a socket or a folder is refused with its
// reason, and the open itself never blocks (O_NONBLOCK until fstat has shown a regular
// file), so a FIFO named as a texture cannot freeze the caller.
#pragma once

#include <cstdio>
#include <string>

namespace tavrin::files {

// What a path names, as far as opening it for reading is concerned.
struct RegularFile {
    int fd = -1;            // open for reading (blocking mode restored), or -1
    long long size = 0;     // bytes, when fd >= 0
    std::string why;        // when fd < 0: the reason, e.g. "No such file or directory", "a FIFO, not a regular file"
    explicit operator bool() const { return fd >= 0; }
};

// Opens `path` read-only when it is a regular file; never blocks. The caller closes `fd`.
RegularFile openRegularFile(const std::string& path);

// True when `path` is a regular file that can be opened for reading (opened and closed).
bool isReadableRegularFile(const std::string& path, std::string* why = nullptr);

// fopen(path, "rb") for regular files only; nullptr with `why` set otherwise.
FILE* fopenRegular(const std::string& path, std::string* why = nullptr);

// Reads a whole regular file into `out`, at most `maxBytes` (0: no bound). False with `why`
// set when it is not a regular file, cannot be read, or is larger than the bound.
bool readRegularFile(const std::string& path, std::string& out, std::string* why = nullptr,
                     long long maxBytes = 0);

// A short name for a file type that is not regular ("a FIFO", "a folder", "a socket", ...).
const char* describeFileType(unsigned mode);

} // namespace tavrin::files
