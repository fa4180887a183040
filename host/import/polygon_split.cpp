#include "polygon_split.h"

#include <cmath>

namespace modelimport {

namespace {

constexpr unsigned kLargest = 2000; // larger outlines are split as fans (ear clipping is quadratic)

double cross(double ax, double ay, double bx, double by, double cx, double cy)
{
    return (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
}

} // namespace

void PolygonSplitter::split(const aiVector3D* v, const unsigned* idx, unsigned n, std::vector<unsigned>& out)
{
    left_.clear();
    for (unsigned i = 0; i < n; ++i)
        left_.push_back(i);
    // Newell's normal picks the plane to project into: drop its largest component.
    double nx = 0, ny = 0, nz = 0;
    for (unsigned i = 0; i < n; ++i) {
        const aiVector3D& a = v[idx[i]];
        const aiVector3D& b = v[idx[(i + 1) % n]];
        nx += (double(a.y) - b.y) * (double(a.z) + b.z);
        ny += (double(a.z) - b.z) * (double(a.x) + b.x);
        nz += (double(a.x) - b.x) * (double(a.y) + b.y);
    }
    const double ax = std::abs(nx), ay = std::abs(ny), az = std::abs(nz);
    const bool usable = std::isfinite(ax + ay + az) && ax + ay + az > 0 && n <= kLargest;
    if (usable) {
        x_.resize(n);
        y_.resize(n);
        for (unsigned i = 0; i < n; ++i) {
            const aiVector3D& p = v[idx[i]];
            // Project so that the outline runs counter-clockwise in (x, y).
            if (az >= ax && az >= ay)
                x_[i] = p.x, y_[i] = nz > 0 ? p.y : -double(p.y);
            else if (ax >= ay)
                x_[i] = p.y, y_[i] = nx > 0 ? p.z : -double(p.z);
            else
                x_[i] = p.z, y_[i] = ny > 0 ? p.x : -double(p.x);
        }
        size_t misses = 0;
        size_t at = 0;
        while (left_.size() > 3 && misses < left_.size()) {
            const size_t m = left_.size();
            const unsigned a = left_[(at + m - 1) % m], b = left_[at % m], c = left_[(at + 1) % m];
            bool ear = cross(x_[a], y_[a], x_[b], y_[b], x_[c], y_[c]) > 0;
            for (size_t k = 0; ear && k < m; ++k) {
                const unsigned p = left_[k];
                if (p == a || p == b || p == c)
                    continue;
                if (cross(x_[a], y_[a], x_[b], y_[b], x_[p], y_[p]) >= 0 &&
                    cross(x_[b], y_[b], x_[c], y_[c], x_[p], y_[p]) >= 0 &&
                    cross(x_[c], y_[c], x_[a], y_[a], x_[p], y_[p]) >= 0)
                    ear = false;
            }
            if (ear) {
                out.insert(out.end(), {a, b, c});
                left_.erase(left_.begin() + static_cast<std::ptrdiff_t>(at % m));
                misses = 0;
                at = at % (m - 1);
            } else {
                ++misses;
                at = (at + 1) % m;
            }
        }
    }
    // What is left (all of it when no plane or no ear was found) becomes a fan.
    for (size_t k = 1; k + 1 < left_.size(); ++k)
        out.insert(out.end(), {left_[0], left_[k], left_[k + 1]});
}

} // namespace modelimport
