#include "sim_text_position.h"

#include <algorithm>

namespace sim {

TextPosition textPosition(std::string_view text, std::size_t offset)
{
    const std::string_view before = text.substr(0, std::min(offset, text.size()));
    TextPosition p;
    const std::size_t newline = before.rfind('\n');
    p.line += static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::string_view lineStart = newline == std::string_view::npos ? before : before.substr(newline + 1);
    // Continuation bytes (10xxxxxx) belong to the character that their lead byte starts.
    p.column += static_cast<std::size_t>(std::count_if(lineStart.begin(), lineStart.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
    return p;
}

} // namespace sim
