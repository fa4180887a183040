#include "SceneValues.h"

#include <algorithm>
#include <cmath>

namespace preview {

namespace {

// The first sample of an animation block: where the object stands at the first key.
bool firstSample(const Statement& animation, Mat4& out)
{
    if (!animation.block)
        return false;
    const Statement* m = animation.block->find("matrices");
    if (!m || m->args.empty())
        return false;
    const Value& v = m->args.front();
    std::vector<double> n;
    if (v.kind == Value::Kind::List) {
        for (size_t i = 0; i < v.items.size() && i < 16; ++i)
            n.push_back(std::strtod(v.items[i].c_str(), nullptr));
    } else if (v.kind == Value::Kind::Binary) {
        for (size_t i = 0; i < v.doubles.size() && i < 16; ++i) n.push_back(v.doubles[i]);
        for (size_t i = 0; i < v.floats.size() && i < 16; ++i) n.push_back(v.floats[i]);
    }
    return matrixOf(n, 0, out);
}

} // namespace

// The numbers of a short attribute written as words ("fov 45", "color 1 1 1").
std::vector<double> wordsOf(const Statement* s)
{
    std::vector<double> out;
    if (!s)
        return out;
    for (const Value& a : s->args)
        if (a.kind == Value::Kind::Word)
            out.push_back(a.number());
    return out;
}

bool readVec3(const Block& b, std::string_view key, Vec3& out)
{
    const std::vector<double> n = wordsOf(b.find(key));
    if (n.size() < 3)
        return false;
    out = {n[0], n[1], n[2]};
    return true;
}

double readNumber(const Block& b, std::string_view key, double fallback)
{
    const std::vector<double> n = wordsOf(b.find(key));
    return n.empty() || !std::isfinite(n[0]) ? fallback : n[0];
}

bool readOn(const Block& b, std::string_view key, bool fallback)
{
    const Statement* s = b.find(key);
    if (!s || s->args.empty())
        return fallback;
    return s->args.front().text == "on";
}

bool matrixOf(const std::vector<double>& n, size_t at, Mat4& out)
{
    if (n.size() < at + 16)
        return false;
    for (size_t i = 0; i < 16; ++i)
        if (!std::isfinite(n[at + i]))
            return false;
    std::copy(n.begin() + long(at), n.begin() + long(at + 16), out.begin());
    return true;
}

// The matrix a group, object or camera block applies to what it holds: its transforms in
// order, then the first sample of each of its animations (each acts in the local frame).
Mat4 localMatrix(const Block& block)
{
    Mat4 local = identity();
    for (const Statement& s : block.statements) {
        Mat4 m;
        if (s.keyword == "transform" && matrixOf(wordsOf(&s), 0, m))
            local = multiply(m, local);
        else if (s.keyword == "set transform" && matrixOf(wordsOf(&s), 0, m))
            local = m;
        else if (s.keyword == "animation" && firstSample(s, m))
            local = multiply(m, local);
    }
    return local;
}
} // namespace preview
