#include "Textures.h"

#include "files/regular_file.h"

#include <stb_image.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace preview {

namespace {

struct StbPixels {
    unsigned char* data = nullptr;
    ~StbPixels() { stbi_image_free(data); }
};

// Box-filters `in` down by a whole factor so that neither side exceeds maxSide.
Image reduced(const unsigned char* in, int width, int height, int maxSide)
{
    int factor = 1;
    while ((width + factor - 1) / factor > maxSide || (height + factor - 1) / factor > maxSide)
        ++factor;
    Image out;
    out.width = (width + factor - 1) / factor;
    out.height = (height + factor - 1) / factor;
    out.rgb.resize(size_t(out.width) * size_t(out.height) * 3);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            unsigned sum[3] = {0, 0, 0};
            unsigned count = 0;
            for (int sy = y * factor; sy < std::min(height, (y + 1) * factor); ++sy)
                for (int sx = x * factor; sx < std::min(width, (x + 1) * factor); ++sx, ++count) {
                    const unsigned char* p = in + (size_t(sy) * size_t(width) + size_t(sx)) * 3;
                    sum[0] += p[0];
                    sum[1] += p[1];
                    sum[2] += p[2];
                }
            uint8_t* q = out.rgb.data() + (size_t(y) * size_t(out.width) + size_t(x)) * 3;
            for (int c = 0; c < 3; ++c)
                q[c] = uint8_t((sum[c] + count / 2) / count);
        }
    return out;
}

// The size a PNG states in its header, read without stb_image: stb refuses a picture past
// its own bound as no image at all ("unknown image type").
bool pngHeaderSize(FILE* file, int64_t& width, int64_t& height)
{
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    unsigned char head[24];
    const long at = std::ftell(file);
    const bool read = std::fread(head, 1, sizeof head, file) == sizeof head;
    std::fseek(file, at, SEEK_SET);
    if (!read || std::memcmp(head, kSignature, 8) != 0 || std::memcmp(head + 12, "IHDR", 4) != 0)
        return false;
    const auto big = [&](int i) {
        return (int64_t(head[i]) << 24) | (int64_t(head[i + 1]) << 16) | (int64_t(head[i + 2]) << 8) | head[i + 3];
    };
    width = big(16);
    height = big(20);
    return true;
}

bool decode(FILE* file, Image& out, std::string& error, int maxSide)
{
    int width = 0, height = 0, channels = 0;
    if (!stbi_info_from_file(file, &width, &height, &channels)) {
        if (int64_t w = 0, h = 0; pngHeaderSize(file, w, h) && w > 0 && h > 0 && w * h > kMaxDecodedPixels) {
            error = "image size " + std::to_string(w) + "x" + std::to_string(h) + " is too large";
            return false;
        }
        const char* why = stbi_failure_reason();
        error = std::string("not an image that can be read (") + (why ? why : "unknown format") + ")";
        return false;
    }
    if (width <= 0 || height <= 0 || int64_t(width) * height > kMaxDecodedPixels) {
        error = "image size " + std::to_string(width) + "x" + std::to_string(height) + " is too large";
        return false;
    }
    StbPixels pixels;
    pixels.data = stbi_load_from_file(file, &width, &height, &channels, 3);
    if (!pixels.data) {
        const char* why = stbi_failure_reason();
        error = std::string("damaged image data (") + (why ? why : "unknown fault") + ")";
        return false;
    }
    if (width > maxSide || height > maxSide) {
        out = reduced(pixels.data, width, height, maxSide);
        return true;
    }
    out.width = width;
    out.height = height;
    out.rgb.assign(pixels.data, pixels.data + size_t(width) * size_t(height) * 3);
    return true;
}

} // namespace

bool readImage(const std::string& path, Image& out, std::string& error, int maxSide)
{
    std::string why;
    FILE* file = tavrin::files::fopenRegular(path, &why);
    if (!file) {
        error = why;
        return false;
    }
    const bool ok = decode(file, out, error, maxSide);
    std::fclose(file);
    return ok;
}

void TextureCache::beginScene()
{
    ++scene_;
    held_ = 0;
}

std::shared_ptr<const Image> TextureCache::load(const std::string& path, std::string& error)
{
    tavrin::files::RegularFile opened = tavrin::files::openRegularFile(path);
    if (!opened) {
        error = opened.why;
        return nullptr;
    }
    struct stat st {};
    if (::fstat(opened.fd, &st) != 0) {
        error = std::strerror(errno);
        ::close(opened.fd);
        return nullptr;
    }
    const FileKey key{uint64_t(st.st_dev), uint64_t(st.st_ino), uint64_t(st.st_size),
                      int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    auto known = byFile_.find(key);
    if (known != byFile_.end()) {
        ::close(opened.fd);
    } else {
        Entry entry;
        FILE* file = ::fdopen(opened.fd, "rb");
        if (!file) {
            error = std::strerror(errno);
            ::close(opened.fd);
            return nullptr;
        }
        auto image = std::make_shared<Image>();
        if (decode(file, *image, entry.error, kMaxTextureSide))
            entry.image = std::move(image);
        std::fclose(file);
        known = byFile_.emplace(key, std::move(entry)).first;
    }
    Entry& entry = known->second;
    if (!entry.image) {
        entry.scene = scene_; // kept while named, so it is not tried again
        error = entry.error;
        return nullptr;
    }
    // One scene counts each file once, however often it is named.
    if (entry.scene != scene_) {
        const int64_t pixels = int64_t(entry.image->width) * entry.image->height;
        if (held_ + pixels > budget_) {
            error = "not loaded: the preview's textures would exceed " + std::to_string(budget_ >> 20) +
                    " million pixels";
            return nullptr;
        }
        held_ += pixels;
        entry.scene = scene_;
    }
    return entry.image;
}

void TextureCache::endScene()
{
    std::erase_if(byFile_, [this](const auto& item) { return item.second.scene != scene_; });
}

} // namespace preview
