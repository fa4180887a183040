// PNG files through libpng: 8-bit RGB out; any PNG in (palette, grey, 16-bit and alpha are
// reduced to 8-bit RGB).
#pragma once

#include "Image.h"

#include <string>

namespace preview {

// False with a message naming the reason (missing or not a regular file, not a PNG,
// damaged data). Only regular files are opened, never blocking.
bool readPng(const std::string& path, Image& out, std::string& error);
// Writes through a private temporary file beside the target (mkstemp) renamed into place,
// so a reader never sees half an image and no planted link is written through.
bool writePng(const std::string& path, const Image& image, std::string& error);

} // namespace preview
