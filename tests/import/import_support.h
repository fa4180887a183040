// Shared by the model import tests and the corpus driver: exports a document in-process
// through the file factory, and reads a model the way assimp triangulates it.
#pragma once

#include "sim_document.h"

#include <cstdint>
#include <string>
#include <vector>

namespace orv::qrf {
struct Statement;
}

namespace importtest {

// Every number of a scene file statement's arguments, in order (floats, integers, numeric
// words and list items); empty for a null statement.
std::vector<double> numbersOf(const orv::qrf::Statement* s);

// The scene text Export writes for a document; empty with a message on failure.
std::string exportText(sim::Document& doc, std::string& error);

// Triangles of the meshes that the node tree places (a mesh placed twice counts twice;
// points and lines do not count): with `triangulate`, those of assimp's own triangulated
// reading, else n - 2 for each polygon of n corners as read. False when assimp cannot read
// the file.
bool assimpTriangles(const std::string& path, bool triangulate, uint64_t& triangles, std::string& error);

// Light objects in a document (each is written as an eight-triangle octahedron).
uint64_t lightCount(const sim::Document& doc);

// World-space geometry: the area of the surfaces and the bounds of their corners.
struct Geometry {
    double area = 0;
    double low[3] = {0, 0, 0}, high[3] = {0, 0, 0};
    bool any = false;
    void include(double x, double y, double z);
    // The bounds' three extents, smallest first (a turn upright swaps axes).
    std::vector<double> extents() const;
};

// The model as assimp reads it (no triangulation), flattened through the node tree: each
// outline of three or more corners that the nodes place, with the area it encloses (for a
// polygon off its plane, the area of the import's split). Every polygon of more than three
// corners is also split by the import's splitter and checked on its own: the triangles'
// areas must add up to the outline's. `crossing` counts outlines that cross themselves
// (split as fans, left out of the area), `mismatch` names the first outline whose split
// does not cover it.
struct OutlineCheck {
    Geometry geometry;
    uint64_t polygons = 0, crossing = 0, offPlane = 0, mismatched = 0;
    std::string mismatch;
};
bool checkOutlines(const std::string& path, OutlineCheck& out, std::string& error);

// The polygon objects of a document in world space, polygons split as the host splits them.
Geometry documentGeometry(const sim::Document& doc);

} // namespace importtest
