// Reading the values of a parsed scene's statements as the preview wants them: lists of
// numbers (a view of a binary run, else a converted copy), short attributes of words, and
// the matrix a group, object or camera block applies.
#pragma once

#include "PreviewMath.h"
#include "SceneReader.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

namespace preview {

using orv::qrf::Block;
using orv::qrf::Statement;
using orv::qrf::Value;

// A list of numbers from a binary run or a text list: a view of the reader's own array when
// it holds the wanted type, else a converted copy.
template <typename T>
struct NumberList {
    std::span<const T> view;
    std::vector<T> owned;
    size_t size() const { return view.size(); }
    T operator[](size_t i) const { return view[i]; }
};

template <typename T>
inline NumberList<T> numbersOf(const Statement* s)
{
    NumberList<T> out;
    if (!s || s->args.empty())
        return out;
    const Value& v = s->args.front();
    if constexpr (std::is_same_v<T, float>) {
        if (v.kind == Value::Kind::Binary && !v.floats.empty()) {
            out.view = v.floats;
            return out;
        }
    } else {
        if (v.kind == Value::Kind::Binary && !v.ints.empty()) {
            out.view = v.ints;
            return out;
        }
    }
    if (v.kind == Value::Kind::Binary) {
        for (float f : v.floats) out.owned.push_back(T(f));
        for (double d : v.doubles) out.owned.push_back(T(d));
        for (int32_t i : v.ints) out.owned.push_back(T(i));
    } else if (v.kind == Value::Kind::List) {
        out.owned.reserve(v.items.size());
        for (const std::string& item : v.items)
            out.owned.push_back(T(std::strtod(item.c_str(), nullptr)));
    } else {
        for (const Value& a : s->args)
            out.owned.push_back(T(a.number()));
    }
    out.view = out.owned;
    return out;
}

// The numbers of a short attribute written as words ("fov 45", "color 1 1 1").
std::vector<double> wordsOf(const Statement* s);
bool readVec3(const Block& b, std::string_view key, Vec3& out);
double readNumber(const Block& b, std::string_view key, double fallback);
bool readOn(const Block& b, std::string_view key, bool fallback);
// 16 finite numbers from n[at..] as a matrix; false when there are fewer or one is not finite.
bool matrixOf(const std::vector<double>& n, size_t at, Mat4& out);
// The matrix a group, object or camera block applies to what it holds: its transforms in
// order, then the first sample of each of its animations (each acts in the local frame).
Mat4 localMatrix(const Block& block);

} // namespace preview
