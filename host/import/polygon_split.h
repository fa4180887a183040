// Splits a model polygon into triangles by ear clipping in the polygon's plane, so that concave
// polygons keep their shape. A polygon of n corners always gives n - 2 triangles. A simple
// outline (convex or concave, with collinear runs, repeated corners or corners that touch) is
// covered exactly, without a fold: the triangles' areas add up to the outline's area. Only an
// outline that crosses itself has no such split; what is left of it when no ear remains is
// finished as a fan, and split() says so.
#pragma once

#include <assimp/vector3.h>

#include <vector>

namespace modelimport {

class PolygonSplitter {
public:
    // Appends corner positions (0 .. n - 1), three per triangle, counter-clockwise as the
    // outline runs, to `triangles`. False when the outline crosses itself and part of it was
    // split as a fan. Scratch space is kept between calls.
    bool split(const aiVector3D* vertices, const unsigned* indices, unsigned n, std::vector<unsigned>& triangles);

private:
    void clipEars();
    bool isEar(unsigned a, unsigned b, unsigned c, bool strict) const;
    double cross(unsigned p, unsigned q, unsigned r) const;
    double length(unsigned p, unsigned q) const;
    int side(unsigned p, unsigned q, unsigned r) const;
    bool crossesItself() const;
    void remove(unsigned b);

    std::vector<double> x_, y_;
    std::vector<unsigned> next_, prev_;
    std::vector<unsigned>* out_ = nullptr;
    unsigned left_ = 0, start_ = 0;
    double scale_ = 0; // distance from a line within which a corner lies on it
};

// A quad a, b, c, d is split by the host along a–c. True when that diagonal runs outside
// the quad (b or d is its concave corner), so the quad must be written as the two
// triangles along b–d instead.
bool quadFoldsAlongFirstDiagonal(const aiVector3D* vertices, const unsigned* indices);

// The area an outline encloses (half the length of Newell's vector: the area of the
// outline projected into its best-fitting plane).
double outlineArea(const aiVector3D* vertices, const unsigned* indices, unsigned n);
double triangleArea(const aiVector3D& a, const aiVector3D& b, const aiVector3D& c);

} // namespace modelimport
