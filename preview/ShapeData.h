// The data of one shape, gathered from its geometry block in the object's own space as the
// ray tracer takes it, and the comparison that tells whether another block would gather
// the same (so that a shape can keep what was built from it).
#pragma once

#include "PreviewMath.h"
#include "SceneReader.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace preview {

struct Bounds {
    Vec3 lo{1e300, 1e300, 1e300}, hi{-1e300, -1e300, -1e300};
    bool empty() const { return lo.x > hi.x; }
    void add(Vec3 p)
    {
        lo = {std::fmin(lo.x, p.x), std::fmin(lo.y, p.y), std::fmin(lo.z, p.z)};
        hi = {std::fmax(hi.x, p.x), std::fmax(hi.y, p.y), std::fmax(hi.z, p.z)};
    }
    void merge(const Bounds& b)
    {
        if (!b.empty()) {
            add(b.lo);
            add(b.hi);
        }
    }
};

// One triangle geometry in its object's space, as the ray tracer takes it. Never changed
// once gathered: scenes gathered one after the other share it.
struct MeshData {
    std::vector<float> vertices;     // x y z per vertex, plus one padding vertex
    std::vector<uint8_t> used;       // per vertex: a corner of a kept triangle
    std::vector<uint32_t> triangles; // 3 per kept triangle
    std::vector<float> uv;           // 2 per UV entry (owned copy)
    std::vector<int32_t> triangleUv; // 3 per kept triangle into uv, or empty
    size_t unusable = 0;             // triangles left out for missing or unusable corners
    size_t vertexCount() const { return vertices.size() / 3 - 1; }
};

// Hair: linear segments between control points, in the object's space.
struct CurveData {
    std::vector<float> points;      // x y z radius per control point
    std::vector<uint32_t> segments; // index of the first point of each linear segment
    bool countsExceedPoints = false; // the vertex counts asked for more points than there are
};

// One geometry of one object: its data (exactly one of mesh and curves) and its placement.
struct Shape {
    std::string key; // the path of names that finds it again in the next scene
    std::shared_ptr<const orv::qrf::Block> source; // the geometry block it was gathered from
    std::shared_ptr<const MeshData> mesh;
    std::shared_ptr<const CurveData> curves;
    Mat4 world = identity();
    Mat4 worldToObject = identity();
    int material = 0;
    Bounds bounds; // of its used points in world space
    long before = -1; // the shape of the scene gathered before that this one continues; -1: new
};


enum class GeometryKind { Mesh, Curves, Other };

GeometryKind kindOf(const orv::qrf::Statement& geometry);
// Whether two geometry blocks of the kind hold the same values, bit for bit.
bool sameGeometry(GeometryKind kind, const orv::qrf::Block& a, const orv::qrf::Block& b);

std::shared_ptr<const MeshData> gatherMesh(const orv::qrf::Block& geometry);
std::shared_ptr<const CurveData> gatherCurves(const orv::qrf::Block& geometry);
// The world bounds of a shape's used points; empty when one lands too far away.
Bounds worldBounds(const Shape& shape);

} // namespace preview
