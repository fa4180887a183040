// PNG files through libpng: 8-bit RGB out; any PNG in (palette, grey, 16-bit and alpha are
// reduced to 8-bit RGB).
#pragma once

#include "Image.h"

#include <string>

namespace preview {

// False with a message naming the reason (missing or not a regular file, not a PNG,
// damaged data). Only regular files are opened, never blocking.
bool readPng(const std::string& path, Image& out, std::string& error);
// How hard the writer compresses: Small, the default, for pictures that are kept (a few
// times smaller); Fast for pictures drawn one after the other, where the time counts
// (stored without compression or row filters: a 640x360 picture in about a millisecond, at
// three bytes a pixel).
enum class PngCompression { Small, Fast };

// Writes through a private temporary file beside the target (mkstemp) renamed into place,
// so a reader never sees half an image and no planted link is written through.
bool writePng(const std::string& path, const Image& image, std::string& error,
              PngCompression compression = PngCompression::Small);

} // namespace preview
