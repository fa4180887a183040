// Image decoding for icons and texture checks, through stb_image: PNG, JPEG, TGA, BMP,
// PSD, GIF and HDR. Only regular files are read, opened so that a FIFO or a device named
// as an image can never block the host.
#include "sim_internal.h"

#include "files/regular_file.h"

#include <stb_image.h>

#include <cstdio>

namespace sim {

bool decodePng(const std::string& path, int32_t& width, int32_t& height,
               std::vector<uint8_t>& rgba)
{
    FILE* file = tavrin::files::fopenRegular(path);
    if (!file)
        return false;
    // Refuse absurd sizes before allocating them.
    constexpr int kMaxSide = 16384;
    int w = 0, h = 0, channels = 0;
    unsigned char* pixels = nullptr;
    if (stbi_info_from_file(file, &w, &h, &channels) && w > 0 && h > 0 && w <= kMaxSide && h <= kMaxSide)
        pixels = stbi_load_from_file(file, &w, &h, &channels, 4);
    std::fclose(file);
    if (!pixels)
        return false;
    rgba.assign(pixels, pixels + size_t(w) * size_t(h) * 4);
    stbi_image_free(pixels);
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
    return true;
}

} // namespace sim
