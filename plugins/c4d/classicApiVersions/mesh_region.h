// The making of one material region's lists for the mesh translation (mesh.cpp): what a
// polygon object's translation reads and works with, a region's layout (its counts and which
// lists it writes), the scratch buffers sized for it, and the fill of its positions, normals,
// UVs and index lists. A region of quads that follow one another (the common case of heavy
// meshes) makes each list in a loop of its own; its UVs and corner index lists are made
// when they are sent. Every float made is watched, so that the guard keeping the scene
// finite need not scan the lists again.
#pragma once

#include "c4d_host.h"
#include "finite_guard.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct TranslationContext;

namespace meshregion {

// State of one polygon during one object's translation.
enum PolygonState : uint8_t {
    Free = 0,
    Assigned = 1, // emitted in an earlier region
    Dropped = 2,  // names a point outside the point array: never emitted
};

// An inclusive range of polygon indices.
using Range = std::pair<int32_t, int32_t>;

// Everything one polygon object's translation reads, gathered once.
struct MeshSource {
    std::string name;
    const host::CPolygon* polygons = nullptr;
    int32_t polygonCount = 0;
    const host::Vec3* points = nullptr;
    int32_t pointCount = 0;
    host::Tag uvwTag;
    const host::UVWStruct* uvw = nullptr; // the tag's entries at once, when the host offers them
    int32_t uvwCount = 0;
    host::Tag normalTag;
    host::PhongNormals phong;
    bool allQuads = false; // no polygon of the object is a triangle
};

// Working state of one object: the polygon states and the vertex map (both kept in the
// context), the count of settled polygons and the current region's ranges.
struct MeshWork {
    uint8_t* state = nullptr;
    int64_t settled = 0; // polygons assigned or dropped
    uint64_t* vertexMap = nullptr;
    std::vector<Range> ranges;
};

// What one region writes: its polygon and corner counts, the lists that follow from them,
// and which of the optional lists it has.
struct RegionLayout {
    int64_t polygons = 0;
    int64_t quads = 0;
    int64_t corners = 0; // 3 per triangle, 4 per quad: one normal and one UV each
    int64_t indices = 0; // 3 per triangle written (two per quad)
    bool withUVs = false;
    bool zeroNormals = false;  // a normal tag: zero normals for the renderer to compute
    bool phongNormals = false; // no normal tag: the host's phong normals
    bool withNormals = false;
    // Normals and UVs are both per corner in the same order, so their index lists are the
    // same: with normals, the UV list is the normals' list, built once.
    bool ownUVIndices = false;
    // A region of quads that follow one another from `first` on takes the host's phong
    // normals as they are (four per polygon, in polygon order) instead of a copy of them.
    int32_t first = 0;
    bool normalsInPlace = false;
    // The free polygons are quads that follow one another from `first` on, and every list
    // they write can be made list by list (quadRunFill).
    bool quadRun = false;
};

// Counts the region's free polygons and corners, so that every buffer is sized once.
RegionLayout measureRegion(const MeshSource& src, const MeshWork& work);
// Whether every list of the region can be counted in a list's 32-bit element count.
bool regionFitsLists(const RegionLayout& layout);
// Sizes the context's scratch buffers for the region (see mesh_region.cpp).
void sizeRegionBuffers(TranslationContext& context, const MeshSource& src, const RegionLayout& layout);

// What one region's fill made: its vertex count (the positions it wrote), and whether all of
// its positions, normals and UVs are finite.
struct RegionFill {
    uint32_t vertices = 0;
    FloatWatch positions;
    FloatWatch normals;
    FloatWatch uvs;
};

// Fills the sized buffers with the region's free polygons in ascending order and marks
// them assigned. A quad run leaves its UVs and corner index lists to quadRunUVs and
// writeQuadCornerIndices, made just before they are sent.
RegionFill fillRegion(TranslationContext& context, const MeshSource& src, MeshWork& work, const RegionLayout& layout);
// A quad run's UVs: the u and v of each corner, zero where the tag has no entry.
void quadRunUVs(TranslationContext& context, const MeshSource& src, const RegionLayout& layout, RegionFill& fill);
// The corner index lists of a run of quads: quad i's corners are 4i to 4i + 3, its two
// triangles (0, 3, 1) and (2, 1, 3), as the general fill gives them.
void writeQuadCornerIndices(int32_t* out, int64_t quads);

} // namespace meshregion
