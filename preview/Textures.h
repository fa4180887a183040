// Texture images for the preview: read through stb_image (PNG, JPEG, TGA, BMP, PSD, GIF,
// HDR and the other formats it knows), from regular files only, opened so that nothing
// blocks. Each file is read once per scene however its path is spelt: the cache is keyed by
// the file's identity (device and inode). Large images are reduced for the preview, and the
// pixels held by one cache are capped; a texture past the cap is not loaded.
#pragma once

#include "Image.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace preview {

// Longest side a texture keeps after loading: a preview never shows more detail.
inline constexpr int kMaxTextureSide = 2048;
// Images with more pixels than this are not decoded at all.
inline constexpr int64_t kMaxDecodedPixels = int64_t(8192) * 8192;
// Pixels one cache holds at most, over all its textures.
inline constexpr int64_t kMaxHeldPixels = int64_t(48) << 20;

// Decodes one image file into 8-bit RGB; false with the reason (not a regular file, an
// unknown or damaged format, too large). Images larger than maxSide are reduced to fit.
bool readImage(const std::string& path, Image& out, std::string& error, int maxSide = kMaxTextureSide);

class TextureCache {
public:
    explicit TextureCache(std::vector<Image>& store, int64_t maxHeldPixels = kMaxHeldPixels)
        : store_(store), budget_(maxHeldPixels)
    {
    }

    // The index into the store of the image at `path`, loading it when this file has not
    // been seen; -1 with the reason when it cannot be had.
    int load(const std::string& path, std::string& error);

    int64_t heldPixels() const { return held_; }

private:
    std::vector<Image>& store_;
    int64_t budget_;
    int64_t held_ = 0;
    std::map<std::pair<uint64_t, uint64_t>, std::pair<int, std::string>> byFile_; // index, or the reason
};

} // namespace preview
