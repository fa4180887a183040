// The numbers a scene holds must all be finite: the renderer reads them as they are, and an
// infinity or a "nan" in a point, a matrix or a colour spoils what it draws. This finds the
// first one that is not, in text (words and text lists) and in binary runs alike.
#pragma once

#include "SceneReader.h"

#include <cstddef>
#include <string>

namespace orv::qrf {

// False when some number of the document is infinite or not a number (a word such as
// "inf", "nan" or "1e999", or a float or double of a binary run); offset is then that of
// the statement holding it and what says which value it is.
bool allNumbersFinite(const Document& document, size_t& offset, std::string& what);

} // namespace orv::qrf
