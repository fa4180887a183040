// Where a byte offset lies in a text, as the line and column an editor shows.
#pragma once

#include <cstddef>
#include <string_view>

namespace sim {

struct TextPosition {
    std::size_t line = 1;   // 1 = the first line; lines end at '\n'
    std::size_t column = 1; // 1 = the first character; a UTF-8 sequence counts once
};

// The position of the byte at `offset` (0-based). An offset past the end is the
// position just after the last character.
TextPosition textPosition(std::string_view text, std::size_t offset);

} // namespace sim
