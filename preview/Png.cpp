#include "Png.h"

#include "files/output_file.h"
#include "files/regular_file.h"

#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

namespace preview {

namespace {

constexpr int kMaxSide = 16384;

struct File {
    FILE* f = nullptr;
    ~File()
    {
        if (f)
            std::fclose(f);
    }
};

// libpng reports through longjmp; its message is kept for the caller.
void onPngError(png_structp png, png_const_charp message)
{
    auto* text = static_cast<std::string*>(png_get_error_ptr(png));
    if (text)
        *text = message;
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

} // namespace

bool readPng(const std::string& path, Image& out, std::string& error)
{
    File file;
    file.f = tavrin::files::fopenRegular(path, &error);
    if (!file.f)
        return false;
    png_byte signature[8];
    if (std::fread(signature, 1, 8, file.f) != 8 || png_sig_cmp(signature, 0, 8) != 0) {
        error = "not a PNG image";
        return false;
    }
    std::string message;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &message, onPngError, onPngWarning);
    if (!png) {
        error = "cannot start the PNG reader";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    // Everything libpng may jump over lives outside this function's frame or is trivially
    // destructible: rows are collected into `out` itself.
    std::vector<png_bytep> rows;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        error = message.empty() ? "damaged PNG data" : message;
        out = Image{};
        return false;
    }
    png_init_io(png, file.f);
    png_set_sig_bytes(png, 8);
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) {
        png_destroy_read_struct(&png, &info, nullptr);
        error = "image size " + std::to_string(width) + "x" + std::to_string(height) + " is not supported";
        return false;
    }
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_strip_alpha(png);
    png_set_gray_to_rgb(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != size_t(width) * 3) {
        png_destroy_read_struct(&png, &info, nullptr);
        error = "unsupported PNG layout";
        return false;
    }
    out.width = int(width);
    out.height = int(height);
    out.rgb.assign(size_t(width) * height * 3, 0);
    rows.resize(height);
    for (png_uint_32 y = 0; y < height; ++y)
        rows[y] = out.rgb.data() + size_t(y) * width * 3;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

bool writePng(const std::string& path, const Image& image, std::string& error, PngCompression compression)
{
    if (image.width <= 0 || image.height <= 0 || image.rgb.size() != size_t(image.width) * image.height * 3) {
        error = "no image to write";
        return false;
    }
    // A private file beside the target, under a name nobody can predict; renamed over the
    // target once complete. A target that is no regular file is refused.
    tavrin::files::OutputFile temp(path);
    if (!temp) {
        error = temp.error();
        return false;
    }
    File file;
    const int fd = ::dup(temp.fd());
    file.f = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!file.f) {
        error = path + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    std::string message;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &message, onPngError, onPngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    std::vector<png_bytep> rows(size_t(image.height));
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        if (png)
            png_destroy_write_struct(&png, info ? &info : nullptr);
        std::fclose(file.f);
        file.f = nullptr;
        error = path + ": " + (message.empty() ? "cannot write the PNG" : message);
        return false;
    }
    png_init_io(png, file.f);
    if (compression == PngCompression::Fast) {
        // Stored, not deflated: deflate's quickest level still takes four times as long
        // as everything else a picture after an edit costs but its rays.
        png_set_compression_level(png, 0);
        png_set_filter(png, 0, PNG_FILTER_NONE);
    }
    png_set_IHDR(png, info, png_uint_32(image.width), png_uint_32(image.height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < image.height; ++y)
        rows[size_t(y)] = const_cast<png_bytep>(image.pixel(0, y));
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    const bool flushed = std::fflush(file.f) == 0 && !std::ferror(file.f);
    const bool closed = std::fclose(file.f) == 0;
    file.f = nullptr;
    if (!flushed || !closed) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!temp.commit()) {
        error = temp.error();
        return false;
    }
    return true;
}

} // namespace preview
