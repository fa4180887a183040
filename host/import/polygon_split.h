// Splits a model polygon of more than four corners into triangles by ear clipping in the
// polygon's plane, so that concave polygons keep their shape. A polygon of n corners always
// gives n - 2 triangles: where no ear is found (a self-intersecting or degenerate outline),
// the rest is split as a fan.
#pragma once

#include <assimp/vector3.h>

#include <vector>

namespace modelimport {

class PolygonSplitter {
public:
    // Appends corner positions (0 .. n - 1), three per triangle, counter-clockwise as the
    // outline runs, to `triangles`. Scratch space is kept between calls.
    void split(const aiVector3D* vertices, const unsigned* indices, unsigned n, std::vector<unsigned>& triangles);

private:
    std::vector<double> x_, y_;
    std::vector<unsigned> left_;
};

} // namespace modelimport
