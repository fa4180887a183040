#include "polygon_split.h"

#include <assimp/vector3.inl>

#include <algorithm>
#include <cmath>

namespace modelimport {

namespace {

constexpr unsigned kLargest = 5000; // larger outlines are split as fans (ear clipping is quadratic)
// Positions are floats: a corner within this much of a line (times the outline's largest
// coordinate) lies on it. A corner that close to the line through its neighbours is straight:
// a corner of a collinear run, a repeated corner or the tip of a zero-width spike. Cutting it
// off adds no area and leaves the outline as it was.
constexpr double kOnLine = 1e-6;

struct Normal {
    double x = 0, y = 0, z = 0;
};

// Newell's vector: twice the area of the outline projected into each axis plane.
Normal newell(const aiVector3D* v, const unsigned* idx, unsigned n)
{
    Normal s;
    for (unsigned i = 0; i < n; ++i) {
        const aiVector3D& a = v[idx[i]];
        const aiVector3D& b = v[idx[(i + 1) % n]];
        s.x += (double(a.y) - b.y) * (double(a.z) + b.z);
        s.y += (double(a.z) - b.z) * (double(a.x) + b.x);
        s.z += (double(a.x) - b.x) * (double(a.y) + b.y);
    }
    return s;
}

} // namespace

double triangleArea(const aiVector3D& a, const aiVector3D& b, const aiVector3D& c)
{
    const double ux = double(b.x) - a.x, uy = double(b.y) - a.y, uz = double(b.z) - a.z;
    const double vx = double(c.x) - a.x, vy = double(c.y) - a.y, vz = double(c.z) - a.z;
    const double cx = uy * vz - uz * vy, cy = uz * vx - ux * vz, cz = ux * vy - uy * vx;
    return 0.5 * std::sqrt(cx * cx + cy * cy + cz * cz);
}

double outlineArea(const aiVector3D* v, const unsigned* idx, unsigned n)
{
    const Normal s = newell(v, idx, n);
    return 0.5 * std::sqrt(s.x * s.x + s.y * s.y + s.z * s.z);
}

bool quadFoldsAlongFirstDiagonal(const aiVector3D* v, const unsigned* idx)
{
    // Each triangle along a–c must face the way the quad does.
    const Normal s = newell(v, idx, 4);
    const auto facing = [&](const aiVector3D& a, const aiVector3D& b, const aiVector3D& c) {
        const double ux = double(b.x) - a.x, uy = double(b.y) - a.y, uz = double(b.z) - a.z;
        const double vx = double(c.x) - a.x, vy = double(c.y) - a.y, vz = double(c.z) - a.z;
        return (uy * vz - uz * vy) * s.x + (uz * vx - ux * vz) * s.y + (ux * vy - uy * vx) * s.z;
    };
    if (facing(v[idx[0]], v[idx[1]], v[idx[2]]) < 0 || facing(v[idx[0]], v[idx[2]], v[idx[3]]) < 0)
        return true;
    // A quad crossing itself so that its halves cancel has no facing of its own: its two
    // triangles along a–c then face opposite ways.
    const aiVector3D a = v[idx[0]], b = v[idx[1]], c = v[idx[2]], d = v[idx[3]];
    const aiVector3D n1 = (b - a) ^ (c - a), n2 = (c - a) ^ (d - a);
    return double(n1.x) * n2.x + double(n1.y) * n2.y + double(n1.z) * n2.z < 0;
}

bool PolygonSplitter::split(const aiVector3D* v, const unsigned* idx, unsigned n, std::vector<unsigned>& out)
{
    out_ = &out;
    next_.resize(n);
    prev_.resize(n);
    for (unsigned i = 0; i < n; ++i) {
        next_[i] = (i + 1) % n;
        prev_[i] = (i + n - 1) % n;
    }
    left_ = n;
    start_ = 0;
    // Newell's normal picks the plane to project into: drop its largest component.
    const Normal s = newell(v, idx, n);
    const double ax = std::abs(s.x), ay = std::abs(s.y), az = std::abs(s.z);
    bool simple = true;
    if (std::isfinite(ax + ay + az) && ax + ay + az > 0 && n <= kLargest) {
        x_.resize(n);
        y_.resize(n);
        double lowX = INFINITY, lowY = INFINITY, highX = -INFINITY, highY = -INFINITY;
        for (unsigned i = 0; i < n; ++i) {
            const aiVector3D& p = v[idx[i]];
            // Project so that the outline runs counter-clockwise in (x, y).
            if (az >= ax && az >= ay)
                x_[i] = p.x, y_[i] = s.z > 0 ? p.y : -double(p.y);
            else if (ax >= ay)
                x_[i] = p.y, y_[i] = s.x > 0 ? p.z : -double(p.z);
            else
                x_[i] = p.z, y_[i] = s.y > 0 ? p.x : -double(p.x);
            lowX = std::min(lowX, x_[i]), highX = std::max(highX, x_[i]);
            lowY = std::min(lowY, y_[i]), highY = std::max(highY, y_[i]);
        }
        scale_ = kOnLine * std::max({std::abs(lowX), std::abs(highX), std::abs(lowY), std::abs(highY)});
        // An outline that crosses itself has no split without a fold: it stays a fan.
        simple = !crossesItself();
        if (simple)
            clipEars();
    } else if (n > 2) {
        // No plane: every corner lies on one line (the fan adds no area) or the outline
        // crosses itself so that its parts cancel out.
        double area = 0;
        for (unsigned k = 1; k + 1 < n; ++k)
            area += triangleArea(v[idx[0]], v[idx[k]], v[idx[k + 1]]);
        simple = !(area > 0) || n > kLargest;
    }
    // What is left (all of it when no plane was found) becomes a fan.
    const unsigned first = start_;
    for (unsigned k = next_[first]; left_ >= 3 && next_[k] != first; k = next_[k])
        out.insert(out.end(), {first, k, next_[k]});
    return simple;
}

// Cuts off ears until a triangle is left. A first round takes only ears that hold no other
// corner, not even on their border (corners at the ear's own corners' places aside); when
// none is left, a second round lets convex corners lie on the border. When no ear is found
// at all (only rounding can do that to a simple outline), the rest is left to the fan.
void PolygonSplitter::clipEars()
{
    unsigned b = start_;
    unsigned tried = 0;
    bool strict = true;
    while (left_ > 3) {
        const unsigned a = prev_[b], c = next_[b];
        const double turn = cross(a, b, c);
        if (std::abs(turn) <= scale_ * (length(a, b) + length(b, c)) ||
            (turn > 0 && isEar(a, b, c, strict))) {
            out_->insert(out_->end(), {a, b, c});
            remove(b);
            b = a;
            tried = 0;
            strict = true;
            continue;
        }
        b = c;
        if (++tried < left_)
            continue;
        tried = 0;
        if (!strict)
            return;
        strict = false;
    }
    start_ = b;
}

double PolygonSplitter::cross(unsigned p, unsigned q, unsigned r) const
{
    return (x_[q] - x_[p]) * (y_[r] - y_[p]) - (y_[q] - y_[p]) * (x_[r] - x_[p]);
}

double PolygonSplitter::length(unsigned p, unsigned q) const { return std::hypot(x_[q] - x_[p], y_[q] - y_[p]); }

// Which side of the line p–q r lies on: 1 left, -1 right, 0 on the line (within rounding).
int PolygonSplitter::side(unsigned p, unsigned q, unsigned r) const
{
    const double c = cross(p, q, r), margin = scale_ * length(p, q);
    return c > margin ? 1 : c < -margin ? -1 : 0;
}

bool PolygonSplitter::isEar(unsigned a, unsigned b, unsigned c, bool strict) const
{
    const auto same = [&](unsigned p, unsigned q) { return x_[p] == x_[q] && y_[p] == y_[q]; };
    for (unsigned p = next_[c]; p != a; p = next_[p]) {
        if (same(p, a) || same(p, b) || same(p, c))
            continue;
        const int s1 = side(a, b, p), s2 = side(b, c, p), s3 = side(c, a, p);
        if (s1 < 0 || s2 < 0 || s3 < 0)
            continue; // outside
        if (strict || (s1 > 0 && s2 > 0 && s3 > 0))
            return false;
        // On the border: it blocks when the outline turns into the ear there.
        if (side(prev_[p], p, next_[p]) <= 0)
            return false;
    }
    return true;
}

// True when two edges of the outline that are not neighbours cross (touching does not count).
bool PolygonSplitter::crossesItself() const
{
    std::vector<unsigned> ring;
    ring.reserve(left_);
    unsigned p = start_;
    do {
        ring.push_back(p);
        p = next_[p];
    } while (p != start_ && ring.size() <= left_);
    const size_t m = ring.size();
    for (size_t i = 0; i < m; ++i)
        for (size_t j = i + 2; j < m; ++j) {
            if (i == 0 && j == m - 1)
                continue; // neighbours through the ring's end
            const unsigned a = ring[i], b = ring[(i + 1) % m], c = ring[j], d = ring[(j + 1) % m];
            if (side(a, b, c) * side(a, b, d) < 0 && side(c, d, a) * side(c, d, b) < 0)
                return true;
        }
    return false;
}

void PolygonSplitter::remove(unsigned b)
{
    next_[prev_[b]] = next_[b];
    prev_[next_[b]] = prev_[b];
    start_ = prev_[b];
    --left_;
}

} // namespace modelimport
