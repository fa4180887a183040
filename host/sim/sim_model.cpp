// Derived state of the simulated document: parent and list links, owners, keys, matrices
// and the evaluation of animation tracks at the document's time.
#include "sim_host.h"
#include "sim_internal.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

Matrix identity() { return Matrix{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}; }

Vec3 add(const Vec3& a, const Vec3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 mul(const Vec3& a, double s) { return {a.x * s, a.y * s, a.z * s}; }

// The linear part of m applied to v (column vectors: the axes are the columns).
Vec3 linear(const Matrix& m, const Vec3& v)
{
    return add(add(mul(m.v1, v.x), mul(m.v2, v.y)), mul(m.v3, v.z));
}

Matrix rotX(double a)
{
    const double c = std::cos(a), s = std::sin(a);
    return Matrix{{0, 0, 0}, {1, 0, 0}, {0, c, -s}, {0, s, c}};
}
Matrix rotY(double a)
{
    const double c = std::cos(a), s = std::sin(a);
    return Matrix{{0, 0, 0}, {c, 0, s}, {0, 1, 0}, {-s, 0, c}};
}
Matrix rotZ(double a)
{
    const double c = std::cos(a), s = std::sin(a);
    return Matrix{{0, 0, 0}, {c, -s, 0}, {s, c, 0}, {0, 0, 1}};
}

// Every element of a document in one fixed order: the document, its layers, materials
// with their shaders, then the object trees (object, tags, tracks, deformed cache,
// generated cache, children).
template <typename F>
void forEachObject(Object& o, F&& f, Object* parent)
{
    o.parent = parent;
    f(o);
    for (auto& t : o.tags)
        if (t)
            f(*t);
    for (auto& t : o.tracks)
        if (t)
            f(*t);
    if (o.deformCache)
        forEachObject(*o.deformCache, f, &o);
    if (o.cache)
        forEachObject(*o.cache, f, &o);
    for (auto& c : o.children)
        if (c)
            forEachObject(*c, f, &o);
}

template <typename F>
void forEachElement(Document& doc, F&& f)
{
    f(doc);
    for (auto& l : doc.layers)
        if (l)
            f(*l);
    for (auto& m : doc.materials) {
        if (!m)
            continue;
        f(*m);
        for (auto& s : m->shaders)
            if (s)
                f(*s);
    }
    for (auto& o : doc.objects)
        if (o)
            forEachObject(*o, f, nullptr);
}

// Links each element of a list to the following one.
template <typename T>
void chain(std::vector<std::unique_ptr<T>>& list)
{
    Element* previous = nullptr;
    for (auto& e : list) {
        if (!e)
            continue;
        e->next = nullptr;
        if (previous)
            previous->next = e.get();
        previous = e.get();
    }
}

void chainObject(Object& o)
{
    chain(o.tags);
    chain(o.tracks);
    chain(o.children);
    // A cache's root has no siblings of its own.
    if (o.deformCache) {
        o.deformCache->next = nullptr;
        chainObject(*o.deformCache);
    }
    if (o.cache) {
        o.cache->next = nullptr;
        chainObject(*o.cache);
    }
    for (auto& c : o.children)
        if (c)
            chainObject(*c);
}

// Linear interpolation of the keys at a time in seconds, held outside the keyed span.
double interpolate(const std::vector<Key>& keys, double t)
{
    if (keys.empty())
        return 0.0;
    if (t <= seconds(keys.front().time))
        return keys.front().value;
    for (size_t i = 1; i < keys.size(); ++i) {
        const double t1 = seconds(keys[i].time);
        if (t < t1) {
            const double t0 = seconds(keys[i - 1].time);
            const double v0 = keys[i - 1].value, v1 = keys[i].value;
            if (!(t1 > t0))
                return v1;
            return v0 + (v1 - v0) * (t - t0) / (t1 - t0);
        }
    }
    return keys.back().value;
}

void evaluateObject(Object& o, double t)
{
    for (auto& tr : o.tracks) {
        if (!tr || !tr->hasCurve || tr->keys.empty() || tr->descId.size() < 2)
            continue;
        if (trackParameterOn(*tr) == 0)
            continue;
        Vec3* target = nullptr;
        switch (tr->descId[0]) {
        case 903: target = &o.pos; break;
        case 904: target = &o.rot; break;
        case 905: target = &o.scale; break;
        default: break;
        }
        if (target == nullptr)
            continue;
        const double v = interpolate(tr->keys, t);
        switch (tr->descId[1]) {
        case 1000: target->x = v; break;
        case 1001: target->y = v; break;
        case 1002: target->z = v; break;
        default: break;
        }
    }
    if (o.deformCache)
        evaluateObject(*o.deformCache, t);
    if (o.cache)
        evaluateObject(*o.cache, t);
    for (auto& c : o.children)
        if (c)
            evaluateObject(*c, t);
}

} // namespace

double seconds(const Time& t) { return t.den == 0 ? 0.0 : t.num / t.den; }

int32_t trackParameterOn(const Track& t)
{
    auto it = t.params.find(904);
    if (it == t.params.end())
        return 1;
    if (auto* i = std::get_if<int32_t>(&it->second))
        return *i;
    if (auto* d = std::get_if<double>(&it->second))
        return std::fabs(*d) >= 1.0 ? 1 : 0; // as an integer read truncates it
    return 1;
}

double trackValueAt(const Track& t, double secondsTime)
{
    if (!t.hasCurve)
        return 0.0;
    return interpolate(t.keys, secondsTime);
}

Matrix multiply(const Matrix& a, const Matrix& b)
{
    Matrix r;
    r.off = add(a.off, linear(a, b.off));
    r.v1 = linear(a, b.v1);
    r.v2 = linear(a, b.v2);
    r.v3 = linear(a, b.v3);
    return r;
}

Matrix rotation(const Vec3& v, int32_t order)
{
    if (order == 6)
        return multiply(multiply(rotY(v.x), rotX(v.y)), rotZ(v.z));
    const Matrix e1 = rotX(v.x), e2 = rotY(v.y), e3 = rotZ(v.z);
    switch (order) {
    case 0: return multiply(multiply(e3, e1), e2);
    case 1: return multiply(multiply(e1, e3), e2);
    case 2: return multiply(multiply(e1, e2), e3);
    case 3: return multiply(multiply(e2, e1), e3);
    case 4: return multiply(multiply(e2, e3), e1);
    case 5: return multiply(multiply(e3, e2), e1);
    default: return multiply(multiply(e2, e1), e3);
    }
}

Matrix localMatrix(const Object& o)
{
    Matrix t = identity();
    t.off = o.pos;
    Matrix s{{0, 0, 0}, {o.scale.x, 0, 0}, {0, o.scale.y, 0}, {0, 0, o.scale.z}};
    return multiply(multiply(t, rotation(o.rot, o.rotationOrder)), s);
}

Matrix globalMatrix(const Object& o)
{
    // Iterative over the parent chain so that deep trees cannot exhaust the stack.
    Matrix m = localMatrix(o);
    size_t guard = 0;
    for (const Object* p = o.parent; p != nullptr && guard < 1000000; p = p->parent, ++guard)
        m = multiply(localMatrix(*p), m);
    return m;
}

void finalize(Document& doc)
{
    uint64_t maxKey = doc.lastKey;
    forEachElement(doc, [&](Element& e) {
        e.owner = &doc;
        maxKey = std::max(maxKey, e.key);
    });
    forEachElement(doc, [&](Element& e) {
        if (e.key == 0)
            e.key = ++maxKey;
    });
    doc.lastKey = maxKey;
    doc.next = nullptr;
    chain(doc.layers);
    chain(doc.materials);
    for (auto& m : doc.materials)
        if (m)
            chain(m->shaders);
    chain(doc.objects);
    for (auto& o : doc.objects)
        if (o)
            chainObject(*o);
    evaluate(doc);
}

void evaluate(Document& doc)
{
    const double t = seconds(doc.time);
    for (auto& o : doc.objects)
        if (o)
            evaluateObject(*o, t);
}

} // namespace sim
