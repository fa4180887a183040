// The fill of one material region's lists (see mesh_region.h).
#include "mesh_region.h"

#include "TranslationContext.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace meshregion {

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

namespace {

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

} // namespace

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

} // namespace meshregion
