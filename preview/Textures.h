// Texture images for the preview: read through stb_image (PNG, JPEG, TGA, BMP, PSD, GIF,
// HDR and the other formats it knows), from regular files only, opened so that nothing
// blocks. Each file is read once however its path is spelt: the cache is keyed by the file's
// identity (device and inode). Large images are reduced for the preview, and the pixels one
// scene uses are capped; a texture past the cap is not drawn.
#pragma once

#include "Image.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
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

// Decoded textures, kept from one scene to the next: a file is decoded again only when its
// identity, size or modification time changed. The pixels one scene uses are capped; what
// a scene no longer uses is forgotten when the next one has been gathered.
class TextureCache {
public:
    explicit TextureCache(int64_t maxHeldPixels = kMaxHeldPixels) : budget_(maxHeldPixels) {}

    // A new scene is gathered: nothing is in use yet.
    void beginScene();
    // The image at `path` for the scene being gathered, decoding it when this file has not
    // been seen; null with the reason when it cannot be had or would pass the cap.
    std::shared_ptr<const Image> load(const std::string& path, std::string& error);
    // The scene is gathered: forgets the images it did not use.
    void endScene();

    // Pixels of the images the current scene uses.
    int64_t heldPixels() const { return held_; }
    size_t images() const { return byFile_.size(); }

private:
    struct FileKey {
        uint64_t device = 0, inode = 0, size = 0;
        int64_t modified = 0; // nanoseconds
        bool operator==(const FileKey&) const = default;
    };
    struct FileKeyHash {
        size_t operator()(const FileKey& k) const
        {
            return std::hash<uint64_t>()(k.inode * 1000003u ^ k.device ^ k.size * 31u ^ uint64_t(k.modified));
        }
    };
    struct Entry {
        std::shared_ptr<const Image> image; // null: could not be decoded
        std::string error;
        unsigned scene = 0; // the last scene that asked for it
    };

    int64_t budget_;
    int64_t held_ = 0;
    unsigned scene_ = 0;
    std::unordered_map<FileKey, Entry, FileKeyHash> byFile_;
};

} // namespace preview
