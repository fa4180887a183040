#include "import_parts.h"

#include <algorithm>

namespace modelimport {

namespace {

using sim::Matrix;
using sim::Vec3;

constexpr int32_t kPolygonObject = 5100;
constexpr int32_t kTextureTag = 5616, kUvwTag = 5671, kSelectionTag = 5673;
constexpr int32_t kTagRestriction = 1006, kTagProjection = 1004, kTagTile = 1007, kProjectionUvw = 6;

} // namespace

// All meshes of a node as one polygon object: triangles and quads as they are, larger
// polygons split in their plane, corners in the host's order; one texture tag per material,
// each restricted to a polygon selection when the node has several.
void MeshImporter::meshes(const aiNode& n, sim::Object& o, const Matrix* bake,
                          const std::vector<std::unique_ptr<sim::Material>>& materials)
{
    materials_ = &materials;
    o.type = kPolygonObject;
    o.hasPointTag = o.hasPolygonTag = true;
    // A scene that assimp read incompletely is not validated: check what it refers to.
    std::vector<const aiMesh*> list;
    for (unsigned i = 0; i < n.mNumMeshes; ++i) {
        const aiMesh* mesh = n.mMeshes && n.mMeshes[i] < scene_.mNumMeshes ? scene_.mMeshes[n.mMeshes[i]] : nullptr;
        if (mesh && (mesh->mNumVertices == 0 || mesh->mNumFaces == 0))
            summary_.add("empty_mesh", "empty meshes");
        else if (mesh && mesh->mVertices && mesh->mFaces)
            list.push_back(mesh);
        else
            summary_.missing("mesh_not_found", "meshes the nodes refer to");
    }
    size_t pointCount = 0, polygonCount = 0;
    bool allNormals = true, anyUv = false;
    for (const aiMesh* each : list) {
        const aiMesh& mesh = *each;
        pointCount += mesh.mNumVertices;
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
            const unsigned k = mesh.mFaces[f].mNumIndices;
            polygonCount += k < 3 ? 0 : k == 4 ? 2 : k - 2;
        }
        allNormals = allNormals && mesh.HasNormals();
        anyUv = anyUv || mesh.HasTextureCoords(0);
    }
    if (pointCount > size_t(INT32_MAX) || polygonCount > size_t(INT32_MAX)) {
        summary_.add("mesh_too_large", "meshes past the host's 2^31 points or polygons");
        return;
    }
    o.points.reserve(pointCount);
    o.polygons.reserve(polygonCount);
    std::vector<sim::Vec3>& points = o.points;
    std::vector<c4d_vec32> normals;
    if (allNormals)
        normals.reserve(polygonCount * 4);
    std::vector<c4d_uvw> uvw;
    if (anyUv)
        uvw.reserve(polygonCount);
    // Polygon ranges per material, in the order materials are first met.
    Regions regions;

    size_t nonFinite = 0, skipped = 0, outside = 0, crossing = 0;
    for (const aiMesh* each : list) {
        const aiMesh& mesh = *each;
        countLeftOut(mesh);
        const auto base = static_cast<int32_t>(points.size());
        for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
            Vec3 p = convert_.position(mesh.mVertices[v]);
            if (!finite(p)) {
                p = {0, 0, 0};
                ++nonFinite;
            }
            points.push_back(bake ? transformPoint(*bake, p) : p);
        }
        const auto first = static_cast<int32_t>(o.polygons.size());
        const auto normalAt = [&](unsigned v) {
            Vec3 d = convert_.direction(mesh.mNormals[v]);
            if (!finite(d))
                d = {0, 0, 0};
            if (bake)
                d = transformNormal(*bake, d);
            return c4d_vec32{float(d.x), float(d.y), float(d.z)};
        };
        const auto uvAt = [&](unsigned v) {
            if (!mesh.HasTextureCoords(0))
                return c4d_vec{0, 0, 0};
            const aiVector3D& t = mesh.mTextureCoords[0][v];
            // The host's v runs down the image.
            const c4d_vec out{t.x, 1.0 - t.y, 0};
            return std::isfinite(out.x) && std::isfinite(out.y) ? out : c4d_vec{0, 0, 0};
        };
        // One host polygon from model corners i0, i1, i2 (and i3), reversed into the
        // host's corner order.
        const auto emit = [&](unsigned a, unsigned b, unsigned c, unsigned d, bool quad) {
            const unsigned host[4] = {a, quad ? d : c, quad ? c : b, quad ? b : b};
            o.polygons.push_back({base + int32_t(host[0]), base + int32_t(host[1]), base + int32_t(host[2]),
                                  base + int32_t(host[3])});
            if (allNormals)
                for (unsigned h : host)
                    normals.push_back(normalAt(h));
            if (anyUv)
                uvw.push_back({uvAt(host[0]), uvAt(host[1]), uvAt(host[2]), uvAt(host[3])});
        };
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
            const aiFace& face = mesh.mFaces[f];
            const unsigned* idx = face.mIndices;
            if (face.mNumIndices >= 3 &&
                (!idx || std::any_of(idx, idx + face.mNumIndices, [&](unsigned k) { return k >= mesh.mNumVertices; }))) {
                ++outside;
            } else if (face.mNumIndices < 3) {
                ++skipped;
            } else if (face.mNumIndices == 3) {
                emit(idx[0], idx[1], idx[2], 0, false);
            } else if (face.mNumIndices == 4 && !quadFoldsAlongFirstDiagonal(mesh.mVertices, idx)) {
                if (idx[1] != idx[2]) {
                    emit(idx[0], idx[1], idx[2], idx[3], true);
                } else {
                    // Reversed, this quad's last two corners would be equal: the host would
                    // take it for one triangle. Keep both of its triangles.
                    emit(idx[0], idx[1], idx[2], 0, false);
                    emit(idx[0], idx[2], idx[3], 0, false);
                }
            } else {
                // A polygon of more corners, or a quad whose concave corner is b or d (the
                // host splits quads along a–c), split in its plane.
                corners_.clear();
                if (!splitter_.split(mesh.mVertices, idx, face.mNumIndices, corners_))
                    ++crossing;
                for (size_t k = 0; k + 2 < corners_.size(); k += 3)
                    emit(idx[corners_[k]], idx[corners_[k + 1]], idx[corners_[k + 2]], 0, false);
            }
        }
        const auto last = static_cast<int32_t>(o.polygons.size()) - 1;
        if (last >= first) {
            auto it = std::find_if(regions.begin(), regions.end(),
                                   [&](const auto& r) { return r.first == mesh.mMaterialIndex; });
            if (it == regions.end())
                it = regions.insert(regions.end(), {mesh.mMaterialIndex, {}});
            if (!it->second.empty() && it->second.back().second + 1 == first)
                it->second.back().second = last;
            else
                it->second.emplace_back(first, last);
        }
    }
    if (nonFinite > 0)
        summary_.changed("non_finite_data", "non-finite mesh points, put at the origin", nonFinite);
    if (outside > 0)
        summary_.add("polygons_dropped", "faces with corners past their mesh's points", outside);
    if (crossing > 0)
        summary_.changed("polygon_not_simple", "polygons whose outline crosses itself, split as fans", crossing);
    if (skipped > 0)
        summary_.add("points_and_lines", "points and lines of meshes (point clouds, lines)", skipped);
    if (allNormals)
        o.phongNormals = std::move(normals);
    if (anyUv) {
        auto tag = std::make_unique<sim::Tag>();
        tag->type = kUvwTag;
        tag->name = "UVW";
        tag->uvw = std::move(uvw);
        o.tags.push_back(std::move(tag));
    }
    materialTags(o, regions);
}

void MeshImporter::materialTags(sim::Object& o, const Regions& regions)
{
    const bool several = regions.size() > 1;
    for (size_t r = 0; r < regions.size(); ++r) {
        const unsigned index = regions[r].first;
        if (index >= (*materials_).size())
            continue;
        sim::Material* material = (*materials_)[index].get();
        std::string selection;
        if (several) {
            selection = material->name + " (" + std::to_string(r) + ")";
            auto tag = std::make_unique<sim::Tag>();
            tag->type = kSelectionTag;
            tag->name = selection;
            tag->segments = regions[r].second;
            o.tags.push_back(std::move(tag));
        }
        auto tag = std::make_unique<sim::Tag>();
        tag->type = kTextureTag;
        tag->name = material->name;
        tag->material = material;
        tag->params[kTagProjection] = kProjectionUvw;
        tag->params[kTagTile] = int32_t(1);
        tag->params[1000] = 0.0;
        tag->params[1001] = 0.0;
        tag->params[1002] = 1.0;
        tag->params[1003] = 1.0;
        if (several)
            tag->params[kTagRestriction] = selection;
        o.tags.push_back(std::move(tag));
    }
}

void MeshImporter::countLeftOut(const aiMesh& mesh)
{
    if (mesh.HasBones())
        summary_.add("bones_and_skins", "bones and skins of meshes");
    if (mesh.mNumAnimMeshes > 0)
        summary_.add("morph_targets", "morph targets of meshes");
    if (mesh.GetNumUVChannels() > 1)
        summary_.add("uv_channel_after_first", "UV channels after the first");
    if (mesh.GetNumColorChannels() > 0)
        summary_.add("vertex_colours", "vertex colours of meshes");
}

} // namespace modelimport
