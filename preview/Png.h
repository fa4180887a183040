// PNG files through libpng: 8-bit RGB out; any PNG in (palette, grey, 16-bit and alpha are
// reduced to 8-bit RGB).
#pragma once

#include "PreviewScene.h"

#include <string>

namespace preview {

// False with a message naming the reason (missing file, not a PNG, damaged data).
bool readPng(const std::string& path, Image& out, std::string& error);
// Writes through a temporary file renamed into place, so a reader never sees half an image.
bool writePng(const std::string& path, const Image& image, std::string& error);

} // namespace preview
