// Polygon objects into triangle meshes. The polygons are divided into material regions
// (texture tags from the rightmost to the leftmost, each optionally restricted to a polygon
// selection, the display colour last); each non-empty region becomes one scene object with
// its own vertex numbering, per-corner normals and UVs and an inline material.
//
// Heavy meshes are the common case, so every per-polygon structure is dense and kept in the
// context for reuse from object to object: a state byte per polygon (free, assigned or
// dropped) stands for the set of assigned polygons, a slot per point stamped with the
// region's number stands for the region's vertex map (a new stamp empties it at once), and
// a region is a pass over ascending polygon indices. The output goes into the context's
// scratch buffers, sized once per region to the exact count, and is handed to the back end
// as binary lists. The fill watches every float it makes (and the host's normals it hands on
// in place) as it goes, so that the guard keeping the scene finite need not scan the lists
// again.
#include "mesh.h"

#include "TranslationContext.h"
#include "finite_guard.h"
#include "material.h"
#include "orvScene_api.h"
#include "orvSceneapi_oo.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int32_t kLayerVisibleEditor = 1001;
constexpr int32_t kLayerVisibleRender = 1002;
constexpr int32_t kRestriction = 1006; // texture tag: name of the polygon selection it covers

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

bool pointValid(int32_t index, int32_t pointCount)
{
    return index >= 0 && index < pointCount;
}

bool layerAllowsTranslation(TranslationContext& context, const host::Object& object)
{
    const host::Layer layer = object.layer(context.document);
    if (!layer)
        return true;
    int32_t editor = 0;
    int32_t render = 0;
    if (layer.getInt(kLayerVisibleEditor, editor) && layer.getInt(kLayerVisibleRender, render) &&
        editor != 0 && render != 0)
        return true;
    context.report.leftOut(report::Reason::HiddenByLayer, context.objectPath,
                           "layer \"" + layer.name() + "\"");
    return false;
}

// The ranges a polygon selection covers, clipped to the polygons, sorted and merged, so
// that walking them visits each candidate once in ascending order whatever the host's
// segments look like (overlapping, unordered, reversed or out of bounds).
void selectionRanges(const host::Tag& selectionTag, int32_t polygonCount, std::vector<Range>& out)
{
    out.clear();
    const host::Selection selection = selectionTag.selection();
    const int32_t segments = selection ? selection.segments() : 0;
    for (int32_t i = 0; i < segments; ++i) {
        int32_t first = 0;
        int32_t last = -1;
        if (!selection.range(i, std::numeric_limits<int32_t>::max(), first, last))
            continue;
        first = std::max(first, 0);
        last = std::min(last, polygonCount - 1);
        if (first <= last)
            out.emplace_back(first, last);
    }
    std::sort(out.begin(), out.end());
    size_t merged = 0;
    for (const Range& r : out) {
        if (merged > 0 && static_cast<int64_t>(r.first) <= static_cast<int64_t>(out[merged - 1].second) + 1)
            out[merged - 1].second = std::max(out[merged - 1].second, r.second);
        else
            out[merged++] = r;
    }
    out.resize(merged);
}

// Hands one list on. `finite`: every value of it is known to be finite (watched while it was
// made), so the guard, when there is one, need not scan it.
void sendArray(TranslationContext& context, orvScene_api& api, const char* name, int type, const void* data,
               size_t count, bool finite = false)
{
    if (finite && context.finiteGuard != nullptr)
        context.finiteGuard->vouchForNext(data);
    const AttributeArray value{data, static_cast<int32_t>(count)};
    api.attribute(name, type, &value);
}

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
RegionLayout measureRegion(const MeshSource& src, const MeshWork& work)
{
    RegionLayout layout;
    bool oneRun = true;
    int32_t previous = -1;
    for (const Range& r : work.ranges) {
        for (int32_t p = r.first; p <= r.second; ++p) {
            if (work.state[p] != Free)
                continue;
            if (layout.polygons == 0)
                layout.first = p;
            else
                oneRun = oneRun && p == previous + 1;
            previous = p;
            ++layout.polygons;
            // An object of quads alone leaves the polygons unread here.
            layout.quads += src.allQuads || src.polygons[p].c != src.polygons[p].d;
        }
    }
    layout.corners = layout.polygons * 3 + layout.quads;
    layout.indices = (layout.polygons + layout.quads) * 3;
    layout.withUVs = static_cast<bool>(src.uvwTag);
    layout.zeroNormals = static_cast<bool>(src.normalTag);
    layout.phongNormals = !layout.zeroNormals && static_cast<bool>(src.phong);
    layout.withNormals = layout.zeroNormals || layout.phongNormals;
    layout.ownUVIndices = layout.withUVs && !layout.withNormals;
    layout.normalsInPlace = layout.phongNormals && oneRun && layout.quads == layout.polygons &&
                            (static_cast<int64_t>(layout.first) + layout.polygons) * 4 <= src.phong.count();
    layout.quadRun = oneRun && layout.quads == layout.polygons && (!layout.withUVs || src.uvw != nullptr) &&
                     (!layout.phongNormals || layout.normalsInPlace);
    return layout;
}

// Whether every list of the region can be counted in a list's 32-bit element count.
bool regionFitsLists(const RegionLayout& layout)
{
    return layout.indices <= std::numeric_limits<int32_t>::max() &&
           layout.corners * 3 <= std::numeric_limits<int32_t>::max();
}

// Sizes the context's scratch buffers for the region. Every element up to the new sizes is
// written by fillRegion, so the buffers are resized from what the last region left in them:
// only growth is zero-filled, never the whole run. The positions are sized for the most
// vertices the region can have and never shrunk (the fill tells how many it wrote), so
// that the next region does not zero them again.
void sizeRegionBuffers(TranslationContext& context, const MeshSource& src, const RegionLayout& layout)
{
    const auto maxVertices = static_cast<size_t>(std::min<int64_t>(layout.corners, src.pointCount));
    if (context.meshPositions.size() < maxVertices * 3)
        context.meshPositions.resize(maxVertices * 3);
    context.meshTriangles.resize(static_cast<size_t>(layout.indices));
    context.meshNormals.resize(layout.withNormals && !layout.normalsInPlace ? static_cast<size_t>(layout.corners * 3)
                                                                             : 0);
    context.meshNormalIndices.resize(layout.withNormals ? static_cast<size_t>(layout.indices) : 0);
    context.meshUVs.resize(layout.withUVs ? static_cast<size_t>(layout.corners * 2) : 0);
    context.meshUVIndices.resize(layout.ownUVIndices ? static_cast<size_t>(layout.indices) : 0);
}

// The region's own vertex numbering: a point gets the next vertex number, and its position
// is written, the first time the region uses it. The map is the context's slot per point;
// a fresh stamp makes every slot stale at once, and when the stamps run out the map is
// cleared and they start again.
class RegionVertices {
public:
    RegionVertices(TranslationContext& context, const MeshSource& src, uint64_t* map, float* positions)
        : points_(src.points), map_(map), pos_(positions)
    {
        if (context.meshRegionStamp == std::numeric_limits<uint32_t>::max()) {
            std::fill(context.meshVertexMap.begin(), context.meshVertexMap.end(), 0);
            context.meshRegionStamp = 0;
        }
        stamp_ = static_cast<uint64_t>(++context.meshRegionStamp) << 32;
    }

    int32_t of(int32_t point)
    {
        uint64_t& slot = map_[point];
        if ((slot & 0xFFFFFFFF00000000ull) != stamp_) {
            slot = stamp_ | count_++;
            const host::Vec3& v = points_[point];
            *pos_++ = static_cast<float>(v.x);
            *pos_++ = static_cast<float>(v.y);
            *pos_++ = static_cast<float>(v.z);
        }
        return static_cast<int32_t>(slot & 0xFFFFFFFFull);
    }

    uint32_t count() const { return count_; }
    // Where the next position goes.
    const float* end() const { return pos_; }

private:
    const host::Vec3* points_;
    uint64_t* map_;
    float* pos_;
    uint64_t stamp_ = 0;
    uint32_t count_ = 0;
};

// The u and v of one corner.
void writeCornerUV(const host::Vec3& c, float*& uv)
{
    uv[0] = static_cast<float>(c.x);
    uv[1] = static_cast<float>(c.y);
    uv += 2;
}

// The UVs of a polygon's n corners; zero where the tag has no entry for it. The host's
// record is read in place when the host offers the tag's entries at once (the common case,
// and the one heavy meshes take), rather than copied first.
void writeCornerUVs(const MeshSource& src, int32_t p, int n, float*& uv)
{
    host::UVWStruct copy{};
    const host::UVWStruct* w = &copy;
    if (src.uvw) {
        if (p < src.uvwCount)
            w = &src.uvw[p];
    } else if (!src.uvwTag.uvw(p, copy)) {
        copy = host::UVWStruct{}; // no entry for this polygon: zero UVs
    }
    writeCornerUV(w->a, uv);
    writeCornerUV(w->b, uv);
    writeCornerUV(w->c, uv);
    if (n == 4)
        writeCornerUV(w->d, uv);
}

// The normals of a polygon's n corners: zero under a normal tag, else the host's phong
// normals (zero for the corners the host gave none).
void writeCornerNormals(const MeshSource& src, const RegionLayout& layout, int32_t p, int n, float*& nrm)
{
    if (layout.zeroNormals) {
        for (int i = 0; i < n * 3; ++i)
            *nrm++ = 0.0f;
        return;
    }
    const host::Vec32* phong = src.phong.data();
    const int64_t phongCount = src.phong.count();
    const int64_t base = static_cast<int64_t>(p) * 4;
    if (base + n <= phongCount) {
        // All corners have their normal: one copy of them.
        std::memcpy(nrm, phong + base, sizeof(host::Vec32) * static_cast<size_t>(n));
        nrm += 3 * n;
        return;
    }
    for (int i = 0; i < n; ++i) {
        if (base + i < phongCount) {
            const host::Vec32& v = phong[base + i];
            *nrm++ = v.x;
            *nrm++ = v.y;
            *nrm++ = v.z;
        } else {
            *nrm++ = 0.0f;
            *nrm++ = 0.0f;
            *nrm++ = 0.0f;
        }
    }
}

// Three list entries, stored one by one: going through a small array on the stack costs a
// stalled load per polygon, which on heavy meshes is a good part of the translation.
void put3(int32_t*& out, int32_t a, int32_t b, int32_t c)
{
    out[0] = a;
    out[1] = b;
    out[2] = c;
    out += 3;
}

// A polygon's triangles, turned to the renderer's winding (a, c, b; a quad as a, d, b and
// c, b, d), with the matching corner indices for the normals and UVs from corner k on.
void writeTriangles(int32_t va, int32_t vb, int32_t vc, int32_t vd, bool triangle, int32_t k,
                    const RegionLayout& layout, int32_t*& tri, int32_t*& nIdx, int32_t*& uvIdx)
{
    if (triangle) {
        put3(tri, va, vc, vb);
        if (layout.withNormals)
            put3(nIdx, k, k + 2, k + 1);
        if (layout.ownUVIndices)
            put3(uvIdx, k, k + 2, k + 1);
        return;
    }
    put3(tri, va, vd, vb);
    put3(tri, vc, vb, vd);
    if (layout.withNormals) {
        put3(nIdx, k, k + 3, k + 1);
        put3(nIdx, k + 2, k + 1, k + 3);
    }
    if (layout.ownUVIndices) {
        put3(uvIdx, k, k + 3, k + 1);
        put3(uvIdx, k + 2, k + 1, k + 3);
    }
}

// What one region's fill made: its vertex count (the positions it wrote), and whether all of
// its positions, normals and UVs are finite.
struct RegionFill {
    uint32_t vertices = 0;
    FloatWatch positions;
    FloatWatch normals;
    FloatWatch uvs;
};

// Watches the floats the fill writes, a block of polygons at a time: each block's output is
// still in the cache when it is watched, in vector code, so the fill loop itself carries no
// extra work and nothing is read from memory a second time.
class FillWatch {
public:
    static constexpr int kBlock = 512; // polygons

    FillWatch(RegionFill& fill, const float* positions, const float* normals, const float* uvs)
        : fill_(fill), positions_(positions), normals_(normals), uvs_(uvs)
    {
    }

    // After each polygon: watches the block's output once the block is full.
    void polygonDone(const float* positions, const float* normals, const float* uvs)
    {
        if (++polygons_ == kBlock)
            flush(positions, normals, uvs);
    }

    // Watches what was written since the last flush.
    void flush(const float* positions, const float* normals, const float* uvs)
    {
        fill_.positions.takeAll(positions_, static_cast<size_t>(positions - positions_));
        fill_.normals.takeAll(normals_, static_cast<size_t>(normals - normals_));
        fill_.uvs.takeAll(uvs_, static_cast<size_t>(uvs - uvs_));
        positions_ = positions;
        normals_ = normals;
        uvs_ = uvs;
        polygons_ = 0;
    }

private:
    RegionFill& fill_;
    const float* positions_;
    const float* normals_;
    const float* uvs_;
    int polygons_ = 0;
};

// The corner index lists of a run of quads: quad i's corners are 4i to 4i + 3, its two
// triangles (0, 3, 1) and (2, 1, 3), as writeTriangles gives them.
void writeQuadCornerIndices(int32_t* out, int64_t quads)
{
    for (int64_t i = 0; i < quads; ++i) {
        const auto k = static_cast<int32_t>(i * 4);
        out[0] = k;
        out[1] = k + 3;
        out[2] = k + 1;
        out[3] = k + 2;
        out[4] = k + 1;
        out[5] = k + 3;
        out += 6;
    }
}

// The common case of heavy meshes: a region of quads that follow one another, with the
// host's UVs at once and its normals in place (or none). Its lists are the same as the
// general fill's, each made in a loop of its own, which costs far less than one loop making
// all of them. The fill makes the positions and triangles (and settles the polygons); the
// corner index lists and the UVs are made by sendRegion just before each goes out, so that
// the back end writes them while they are still in the cache. Blocks of polygons keep each
// list watched while it is in the cache too.
constexpr int64_t kQuadBlock = 512;

RegionFill quadRunFill(TranslationContext& context, const MeshSource& src, MeshWork& work, const RegionLayout& layout)
{
    RegionFill fill;
    const int64_t first = layout.first;
    const int64_t quads = layout.polygons;
    RegionVertices vertices(context, src, work.vertexMap, context.meshPositions.data());
    int32_t* tri = context.meshTriangles.data();
    for (int64_t b = 0; b < quads; b += kQuadBlock) {
        const float* blockStart = vertices.end();
        const int64_t end = std::min(quads, b + kQuadBlock);
        for (int64_t i = b; i < end; ++i) {
            const host::CPolygon& poly = src.polygons[first + i];
            const int32_t va = vertices.of(poly.a);
            const int32_t vb = vertices.of(poly.b);
            const int32_t vc = vertices.of(poly.c);
            const int32_t vd = vertices.of(poly.d);
            put3(tri, va, vd, vb);
            put3(tri, vc, vb, vd);
        }
        fill.positions.takeAll(blockStart, static_cast<size_t>(vertices.end() - blockStart));
    }
    fill.vertices = vertices.count();
    std::memset(work.state + first, Assigned, static_cast<size_t>(quads));
    work.settled += quads;
    return fill;
}

// A quad run's UVs: the u and v of each corner, zero where the tag has no entry.
void quadRunUVs(TranslationContext& context, const MeshSource& src, const RegionLayout& layout, RegionFill& fill)
{
    const int64_t first = layout.first;
    const int64_t quads = layout.polygons;
    float* uv = context.meshUVs.data();
    for (int64_t b = 0; b < quads; b += kQuadBlock) {
        float* blockStart = uv;
        const int64_t end = std::min(quads, b + kQuadBlock);
        for (int64_t i = b; i < end; ++i) {
            const int64_t p = first + i;
            if (p < src.uvwCount) [[likely]] {
                const host::UVWStruct& w = src.uvw[p];
                uv[0] = static_cast<float>(w.a.x);
                uv[1] = static_cast<float>(w.a.y);
                uv[2] = static_cast<float>(w.b.x);
                uv[3] = static_cast<float>(w.b.y);
                uv[4] = static_cast<float>(w.c.x);
                uv[5] = static_cast<float>(w.c.y);
                uv[6] = static_cast<float>(w.d.x);
                uv[7] = static_cast<float>(w.d.y);
            } else {
                std::fill_n(uv, 8, 0.0f);
            }
            uv += 8;
        }
        fill.uvs.takeAll(blockStart, static_cast<size_t>(uv - blockStart));
    }
}

// Fills the sized buffers with the region's free polygons in ascending order and marks
// them assigned.
RegionFill fillRegion(TranslationContext& context, const MeshSource& src, MeshWork& work, const RegionLayout& layout)
{
    if (layout.quadRun)
        return quadRunFill(context, src, work, layout);
    RegionFill fill;
    RegionVertices vertices(context, src, work.vertexMap, context.meshPositions.data());
    float* nrm = context.meshNormals.data();
    float* uv = context.meshUVs.data();
    int32_t* tri = context.meshTriangles.data();
    int32_t* nIdx = context.meshNormalIndices.data();
    int32_t* uvIdx = context.meshUVIndices.data();
    FillWatch watch(fill, vertices.end(), nrm, uv);
    int32_t k = 0; // the polygon's first corner
    for (const Range& r : work.ranges) {
        for (int32_t p = r.first; p <= r.second; ++p) {
            if (work.state[p] != Free)
                continue;
            work.state[p] = Assigned;
            ++work.settled;

            const host::CPolygon& poly = src.polygons[p];
            const bool triangle = poly.c == poly.d;
            const int n = triangle ? 3 : 4;
            const int32_t va = vertices.of(poly.a);
            const int32_t vb = vertices.of(poly.b);
            const int32_t vc = vertices.of(poly.c);
            const int32_t vd = triangle ? vc : vertices.of(poly.d);
            if (layout.withUVs)
                writeCornerUVs(src, p, n, uv);
            if (layout.withNormals && !layout.normalsInPlace)
                writeCornerNormals(src, layout, p, n, nrm);
            writeTriangles(va, vb, vc, vd, triangle, k, layout, tri, nIdx, uvIdx);
            k += n;
            watch.polygonDone(vertices.end(), nrm, uv);
        }
    }
    watch.flush(vertices.end(), nrm, uv);
    // The host's normals handed on in place: one pass over them, in vector code.
    if (layout.normalsInPlace)
        fill.normals.takeAll(src.phong.data() + static_cast<size_t>(layout.first) * 4,
                             static_cast<size_t>(layout.corners) * 3);
    fill.vertices = vertices.count();
    return fill;
}

// Writes the filled region as one scene object: a "triangles" geometry and its material.
void sendRegion(TranslationContext& context, const MeshSource& src, const RegionLayout& layout, RegionFill& fill,
                const MaterialRecord& record)
{
    orvScene_api* api = context.scene != nullptr ? context.scene->api() : nullptr;
    if (api == nullptr)
        return;
    const auto& positions = context.meshPositions;
    const float* normals = layout.normalsInPlace ? &src.phong.data()[static_cast<size_t>(layout.first) * 4].x
                                                 : context.meshNormals.data();
    const auto& uvs = context.meshUVs;
    const auto& triangles = context.meshTriangles;
    api->beginObject(src.name.c_str(), 1);
    // A Live update of the materials alone leaves the renderer the geometry it holds.
    if (context.live && context.live->looksOnly) {
        emitMaterial(context, record);
        api->endObject();
        return;
    }
    api->beginGeometry("triangles");
    sendArray(context, *api, "vertices", orvType::Float3Array, positions.data(), fill.vertices,
              fill.positions.allFinite());
    if (layout.withNormals) {
        const auto& normalIndices = context.meshNormalIndices;
        if (layout.quadRun) {
            if (layout.normalsInPlace)
                fill.normals.takeAll(normals, static_cast<size_t>(layout.corners) * 3);
            else
                std::fill(context.meshNormals.begin(), context.meshNormals.end(), 0.0f); // a normal tag's zeros
        }
        sendArray(context, *api, "normals", orvType::Float3Array, normals, static_cast<size_t>(layout.corners),
                  fill.normals.allFinite());
        if (layout.quadRun)
            writeQuadCornerIndices(context.meshNormalIndices.data(), layout.polygons);
        sendArray(context, *api, "triangles_norm", orvType::IntArray, normalIndices.data(), normalIndices.size());
    }
    if (!uvs.empty()) {
        const auto& uvList = layout.ownUVIndices ? context.meshUVIndices : context.meshNormalIndices;
        if (layout.quadRun) {
            quadRunUVs(context, src, layout, fill);
            if (layout.ownUVIndices)
                writeQuadCornerIndices(context.meshUVIndices.data(), layout.polygons);
        }
        sendArray(context, *api, "uv_tex", orvType::FloatArray, uvs.data(), uvs.size(), fill.uvs.allFinite());
        sendArray(context, *api, "triangles_uv", orvType::IntArray, uvList.data(), uvList.size());
    }
    sendArray(context, *api, "triangles", orvType::IntArray, triangles.data(), triangles.size());
    api->endGeometry();
    emitMaterial(context, record);
    api->endObject();
}

// Writes the free polygons of `ranges` as one scene object and marks them assigned.
void emitMeshRegion(TranslationContext& context, const MeshSource& src, MeshWork& work,
                    const MaterialRecord& record)
{
    const RegionLayout layout = measureRegion(src, work);
    if (layout.polygons == 0)
        return;
    if (!regionFitsLists(layout)) {
        context.report.leftOut(report::Reason::RegionTooLarge, context.objectPath,
                               "material \"" + std::string(record.name) + "\"",
                               static_cast<uint64_t>(layout.polygons));
        return;
    }
    sizeRegionBuffers(context, src, layout);
    RegionFill fill = fillRegion(context, src, work, layout);
    sendRegion(context, src, layout, fill, record);
}

} // namespace

void translatePolygonObject(TranslationContext& context, const host::Object& object,
                            TextureTagList textureTags)
{
    if (!object || !layerAllowsTranslation(context, object))
        return;

    double colour[3];
    displayColour(context, object, colour);

    MeshSource src;
    src.points = object.points(src.pointCount);
    src.polygons = object.polygons(src.polygonCount);
    src.name = object.name();
    if (src.name.empty())
        src.name = "object";

    SelectionTagMap selectionTags;
    for (host::Tag tag = object.firstTag(); tag; tag = tag.next())
        visitTag(tag, &src.uvwTag, &src.normalTag, &selectionTags, textureTags);
    if (!src.normalTag)
        src.phong = object.phongNormals();
    if (src.uvwTag)
        src.uvw = src.uvwTag.uvwData(src.uvwCount);

    MeshWork work;
    context.meshPolygonState.assign(static_cast<size_t>(src.polygonCount), Free);
    work.state = context.meshPolygonState.data();
    // A polygon that names a point outside the point array cannot be written: it is
    // dropped up front, so no region reads past the points or counts it as emitted. The same
    // pass tells whether the object has triangles at all.
    int32_t triangles = 0;
    for (int32_t p = 0; p < src.polygonCount; ++p) {
        const host::CPolygon& poly = src.polygons[p];
        triangles += poly.c == poly.d;
        if (!pointValid(poly.a, src.pointCount) || !pointValid(poly.b, src.pointCount) ||
            !pointValid(poly.c, src.pointCount) || !pointValid(poly.d, src.pointCount)) {
            work.state[p] = Dropped;
            ++work.settled;
        }
    }
    src.allQuads = triangles == 0;
    // Only dropped polygons are settled so far: one event for all of them.
    if (work.settled > 0)
        context.report.leftOut(report::Reason::PolygonsDropped, context.objectPath,
                               "point index outside the " + std::to_string(src.pointCount) + " points",
                               static_cast<uint64_t>(work.settled));
    if (context.meshVertexMap.size() < static_cast<size_t>(src.pointCount))
        context.meshVertexMap.resize(static_cast<size_t>(src.pointCount), 0);
    work.vertexMap = context.meshVertexMap.data();

    // The walk has listed the object's own tags already and they are listed again above; a
    // tag read once has settled what it can, so a repeat is passed over (and not reported twice).
    std::vector<host::Tag> read;
    for (auto entry = textureTags.rbegin(); entry != textureTags.rend(); ++entry) {
        if (work.settled >= src.polygonCount)
            break;

        const host::Tag& tag = *entry;
        if (tag && std::find(read.begin(), read.end(), tag) != read.end())
            continue;
        if (tag)
            read.push_back(tag);
        host::Tag selection;
        if (tag) {
            if (tag.type() != host::ids::Ttexture)
                continue;
            std::string restriction;
            if (tag.getString(kRestriction, restriction) && !restriction.empty()) {
                const auto found = selectionTags.find(restriction);
                if (found != selectionTags.end())
                    selection = found->second;
            }
        }

        MaterialRecord record = makeMaterialRecord(colour);
        if (tag && !readMaterialTag(context, tag, record))
            continue;

        if (selection)
            selectionRanges(selection, src.polygonCount, work.ranges);
        else
            work.ranges.assign(1, Range{0, src.polygonCount - 1});
        emitMeshRegion(context, src, work, record);
    }
}
