// Number text of the scene file: a double as printf's "%g" writes it in the "C" locale (six
// significant digits, trailing zeros dropped, exponent form below 1e-4 and from 1e6 on),
// without the cost of a general formatter.
#pragma once

namespace orv {

// Longest text formatG writes ("-1.23457e-308").
constexpr int kFormatGMax = 16;

// Writes `value` at `out` (room for kFormatGMax characters) and returns the end of the text.
char* formatG(char* out, double value);

} // namespace orv
