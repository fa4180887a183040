#include "QrfNumbers.h"

#include <cmath>
#include <cstdlib>
#include <string>

namespace orv::qrf {

namespace {

// A word that reads whole as a number that is not finite.
bool nonFiniteWord(const std::string& text)
{
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && !std::isfinite(v);
}

bool valueFinite(const Value& value, std::string& what);

bool blockFinite(const Block& block, size_t& offset, std::string& what)
{
    for (const Statement& s : block.statements) {
        for (const Value& value : s.args) {
            if (!valueFinite(value, what)) {
                offset = s.offset;
                what = "\"" + s.keyword + "\": " + what;
                return false;
            }
        }
        if (s.block && !blockFinite(*s.block, offset, what)) return false;
    }
    return true;
}

bool valueFinite(const Value& value, std::string& what)
{
    switch (value.kind) {
    case Value::Kind::Word:
        if (nonFiniteWord(value.text)) {
            what = "the number " + value.text;
            return false;
        }
        return true;
    case Value::Kind::List:
        for (size_t i = 0; i < value.items.size(); ++i) {
            if (value.itemKinds[i] == Value::Kind::Word && nonFiniteWord(value.items[i])) {
                what = "list value " + std::to_string(i) + " is " + value.items[i];
                return false;
            }
        }
        for (const Value& shader : value.shaders)
            if (!valueFinite(shader, what)) return false;
        return true;
    case Value::Kind::Binary:
        for (size_t i = 0; i < value.floats.size(); ++i) {
            if (!std::isfinite(value.floats[i])) {
                what = "binary value " + std::to_string(i) + " is " + std::to_string(value.floats[i]);
                return false;
            }
        }
        for (size_t i = 0; i < value.doubles.size(); ++i) {
            if (!std::isfinite(value.doubles[i])) {
                what = "binary value " + std::to_string(i) + " is " + std::to_string(value.doubles[i]);
                return false;
            }
        }
        return true;
    default:
        break;
    }
    if (value.block) {
        size_t ignored = 0;
        return blockFinite(*value.block, ignored, what);
    }
    return true;
}

} // namespace

bool allNumbersFinite(const Document& document, size_t& offset, std::string& what)
{
    return blockFinite(document.top, offset, what);
}

} // namespace orv::qrf
