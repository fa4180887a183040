// UTF-8 text cut to a size limit without splitting a character, and made safe to show.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrin::text {

// The length of the longest prefix of `text` of at most `limit` bytes that does not end
// inside a character: a cut inside one moves back to its first byte (at most three bytes).
std::size_t utf8CutLength(std::string_view text, std::size_t limit);

// Copies `text` into a buffer of `size` bytes, cut by utf8CutLength to leave room for the
// terminating zero. A null buffer or a size of 0 is left untouched.
void copyUtf8Bounded(std::string_view text, char* buffer, std::size_t size);

// The length of the valid UTF-8 sequence that starts at text[i], 0 when none starts there:
// a lead byte with its continuation bytes, no overlong form, no surrogate, nothing past
// U+10FFFF. i must be below text.size().
std::size_t utf8SequenceLength(std::string_view text, std::size_t i);

// True when the whole of `text` is valid UTF-8 (by utf8SequenceLength).
bool isValidUtf8(std::string_view text);

// `text` with every byte sequence that is not valid UTF-8 replaced by U+FFFD, so a name
// from the host can be shown and written into JSON safely.
std::string safeUtf8(std::string_view text);

} // namespace tavrin::text
