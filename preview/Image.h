// The preview's picture type: what the tracer draws, the PNG writer writes and the texture
// reader decodes into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace preview {

// An RGB image, 8 bits per channel, rows from the top.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* pixel(int x, int y) const { return rgb.data() + (size_t(y) * size_t(width) + size_t(x)) * 3; }
};

} // namespace preview
