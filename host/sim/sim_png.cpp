// PNG decoding for icons, through libpng's simplified reading interface.
#include "sim_internal.h"

#include <png.h>

#include <cstdio>
#include <cstring>

namespace sim {

bool decodePng(const std::string& path, int32_t& width, int32_t& height,
               std::vector<uint8_t>& rgba)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return false;
    image.format = PNG_FORMAT_RGBA;
    // Icons are small; refuse absurd sizes instead of allocating them.
    constexpr png_uint_32 kMaxSide = 16384;
    if (image.width == 0 || image.height == 0 || image.width > kMaxSide || image.height > kMaxSide) {
        png_image_free(&image);
        return false;
    }
    rgba.assign(PNG_IMAGE_SIZE(image), 0);
    if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) {
        png_image_free(&image);
        rgba.clear();
        return false;
    }
    width = static_cast<int32_t>(image.width);
    height = static_cast<int32_t>(image.height);
    return true;
}

} // namespace sim
