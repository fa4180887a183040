// Writing a whole buffer to a file descriptor, resuming after short writes and signals.
#pragma once

#include <cstddef>
#include <string_view>

namespace tavrin::files {

// Writes all `size` bytes; false with errno set when a write fails. Allocates nothing, so a
// child process may call it from its out-of-memory path.
bool writeAll(int fd, const char* data, size_t size);
inline bool writeAll(int fd, std::string_view bytes) { return writeAll(fd, bytes.data(), bytes.size()); }

} // namespace tavrin::files
