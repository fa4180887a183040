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
// scratch buffers, sized once per region to the exact count (the fill is in mesh_region),
// and is handed to the back end as binary lists; a list whose every float the fill watched
// is vouched for to the guard keeping the scene finite, which need not scan it again.
#include "mesh.h"

#include "TranslationContext.h"
#include "finite_guard.h"
#include "material.h"
#include "mesh_region.h"
#include "orvScene_api.h"
#include "orvSceneapi_oo.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

using meshregion::Dropped;
using meshregion::Free;
using meshregion::MeshSource;
using meshregion::MeshWork;
using meshregion::Range;
using meshregion::RegionFill;
using meshregion::RegionLayout;

namespace {

constexpr int32_t kLayerVisibleEditor = 1001;
constexpr int32_t kLayerVisibleRender = 1002;
constexpr int32_t kRestriction = 1006; // texture tag: name of the polygon selection it covers

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
            meshregion::writeQuadCornerIndices(context.meshNormalIndices.data(), layout.polygons);
        sendArray(context, *api, "triangles_norm", orvType::IntArray, normalIndices.data(), normalIndices.size());
    }
    if (!uvs.empty()) {
        const auto& uvList = layout.ownUVIndices ? context.meshUVIndices : context.meshNormalIndices;
        if (layout.quadRun) {
            meshregion::quadRunUVs(context, src, layout, fill);
            if (layout.ownUVIndices)
                meshregion::writeQuadCornerIndices(context.meshUVIndices.data(), layout.polygons);
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
    const RegionLayout layout = meshregion::measureRegion(src, work);
    if (layout.polygons == 0)
        return;
    if (!meshregion::regionFitsLists(layout)) {
        context.report.leftOut(report::Reason::RegionTooLarge, context.objectPath,
                               "material \"" + std::string(record.name) + "\"",
                               static_cast<uint64_t>(layout.polygons));
        return;
    }
    meshregion::sizeRegionBuffers(context, src, layout);
    RegionFill fill = meshregion::fillRegion(context, src, work, layout);
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
