#include "import_support.h"

#include "LightFileFactory.h"
#include "TranslationContext.h"
#include "c4d_host.h"
#include "command_run.h"
#include "model_import.h"
#include "orvSceneapi_oo.h"
#include "polygon_split.h"
#include "SceneReader.h"
#include "sim_host.h"

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace importtest {

std::vector<double> numbersOf(const orv::qrf::Statement* s)
{
    std::vector<double> out;
    if (s)
        for (const auto& v : s->args) {
            out.insert(out.end(), v.floats.begin(), v.floats.end());
            out.insert(out.end(), v.ints.begin(), v.ints.end());
            if (v.kind == orv::qrf::Value::Kind::Word)
                out.push_back(v.number());
            for (const std::string& item : v.items)
                out.push_back(std::stod(item));
        }
    return out;
}


namespace {

// Triangles of the meshes placed by the node tree: n - 2 for every face of n >= 3 corners.
uint64_t placedTriangles(const aiScene& scene, const aiNode& node, int depth)
{
    uint64_t n = 0;
    for (unsigned i = 0; i < node.mNumMeshes; ++i) {
        if (node.mMeshes[i] >= scene.mNumMeshes || !scene.mMeshes[node.mMeshes[i]])
            continue;
        const aiMesh& mesh = *scene.mMeshes[node.mMeshes[i]];
        for (unsigned f = 0; f < mesh.mNumFaces; ++f)
            n += std::max(mesh.mFaces[f].mNumIndices, 2u) - 2;
    }
    // The import keeps the nesting the host allows (256 levels).
    if (depth + 1 < 256)
        for (unsigned i = 0; i < node.mNumChildren; ++i)
            if (node.mChildren[i])
                n += placedTriangles(scene, *node.mChildren[i], depth + 1);
    return n;
}

uint64_t lights(const sim::Object& o)
{
    uint64_t n = o.type == 5102;
    for (const auto& c : o.children)
        n += lights(*c);
    return n;
}

// Walks the placed meshes with their world matrices.
struct Flattener {
    const aiScene& scene;
    OutlineCheck& out;
    modelimport::PolygonSplitter splitter;
    std::vector<unsigned> corners;
    std::vector<aiVector3D> world;

    void node(const aiNode& n, const aiMatrix4x4& parent, int depth)
    {
        const aiMatrix4x4 m = parent * n.mTransformation;
        for (unsigned i = 0; i < n.mNumMeshes; ++i)
            if (n.mMeshes[i] < scene.mNumMeshes && scene.mMeshes[n.mMeshes[i]])
                mesh(*scene.mMeshes[n.mMeshes[i]], m);
        if (depth + 1 < 256)
            for (unsigned i = 0; i < n.mNumChildren; ++i)
                if (n.mChildren[i])
                    node(*n.mChildren[i], m, depth + 1);
    }

    void mesh(const aiMesh& mesh, const aiMatrix4x4& m)
    {
        world.resize(mesh.mNumVertices);
        for (unsigned v = 0; v < mesh.mNumVertices; ++v)
            world[v] = m * mesh.mVertices[v];
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
            const aiFace& face = mesh.mFaces[f];
            const unsigned n = face.mNumIndices;
            if (n < 3 || std::any_of(face.mIndices, face.mIndices + n, [&](unsigned k) {
                    return k >= mesh.mNumVertices || !std::isfinite(world[k].x + world[k].y + world[k].z);
                }))
                continue;
            for (unsigned k = 0; k < n; ++k) {
                const aiVector3D& p = world[face.mIndices[k]];
                out.geometry.include(p.x, p.y, p.z);
            }
            if (n == 3) {
                out.geometry.area += modelimport::triangleArea(world[face.mIndices[0]], world[face.mIndices[1]],
                                                               world[face.mIndices[2]]);
                continue;
            }
            ++out.polygons;
            corners.clear();
            if (n == 4 && !modelimport::quadFoldsAlongFirstDiagonal(world.data(), face.mIndices))
                corners = {0, 1, 2, 0, 2, 3};
            else if (!splitter.split(world.data(), face.mIndices, n, corners)) {
                ++out.crossing;
                continue;
            }
            double split = 0;
            for (size_t k = 0; k + 2 < corners.size(); k += 3)
                split += modelimport::triangleArea(world[face.mIndices[corners[k]]], world[face.mIndices[corners[k + 1]]],
                                                   world[face.mIndices[corners[k + 2]]]);
            const double enclosed = modelimport::outlineArea(world.data(), face.mIndices, n);
            if (!planar(face)) {
                ++out.offPlane;
                out.geometry.area += split;
                continue;
            }
            out.geometry.area += enclosed;
            if (std::abs(split - enclosed) > 1e-3 * enclosed + 1e-9 * size2(face) && out.mismatched++ == 0)
                out.mismatch = "a polygon of " + std::to_string(n) + " corners in mesh \"" +
                               std::string(mesh.mName.C_Str()) + "\": triangles cover " + std::to_string(split) +
                               ", the outline " + std::to_string(enclosed);
        }
    }

    // The square of the outline's largest extent.
    double size2(const aiFace& face) const
    {
        Geometry g;
        for (unsigned k = 0; k < face.mNumIndices; ++k)
            g.include(world[face.mIndices[k]].x, world[face.mIndices[k]].y, world[face.mIndices[k]].z);
        const double e = g.extents().back();
        return e * e;
    }

    // Every corner within 1e-4 of the outline's size of the plane through its centre.
    bool planar(const aiFace& face) const
    {
        const unsigned n = face.mNumIndices;
        double nx = 0, ny = 0, nz = 0, cx = 0, cy = 0, cz = 0;
        for (unsigned k = 0; k < n; ++k) {
            const aiVector3D& a = world[face.mIndices[k]];
            const aiVector3D& b = world[face.mIndices[(k + 1) % n]];
            nx += (double(a.y) - b.y) * (double(a.z) + b.z);
            ny += (double(a.z) - b.z) * (double(a.x) + b.x);
            nz += (double(a.x) - b.x) * (double(a.y) + b.y);
            cx += a.x / n, cy += a.y / n, cz += a.z / n;
        }
        const double len = std::sqrt(nx * nx + ny * ny + nz * nz);
        if (!(len > 0))
            return true;
        const double limit = 1e-4 * std::sqrt(size2(face));
        for (unsigned k = 0; k < n; ++k) {
            const aiVector3D& p = world[face.mIndices[k]];
            if (std::abs(((p.x - cx) * nx + (p.y - cy) * ny + (p.z - cz) * nz) / len) > limit)
                return false;
        }
        return true;
    }
};

void documentObject(const sim::Object& o, Geometry& g)
{
    if (o.type == 5100 && !o.polygons.empty()) {
        const sim::Matrix m = sim::globalMatrix(o);
        const auto at = [&](int32_t i) {
            const sim::Vec3& p = o.points[size_t(i)];
            return aiVector3D(float(m.off.x + m.v1.x * p.x + m.v2.x * p.y + m.v3.x * p.z),
                              float(m.off.y + m.v1.y * p.x + m.v2.y * p.y + m.v3.y * p.z),
                              float(m.off.z + m.v1.z * p.x + m.v2.z * p.y + m.v3.z * p.z));
        };
        for (const c4d_cpolygon& p : o.polygons) {
            const aiVector3D a = at(p.a), b = at(p.b), c = at(p.c), d = at(p.d);
            g.area += modelimport::triangleArea(a, b, c) + (p.c != p.d ? modelimport::triangleArea(a, c, d) : 0);
            for (const aiVector3D& q : {a, b, c, d})
                g.include(q.x, q.y, q.z);
        }
    }
    for (const auto& c : o.children)
        documentObject(*c, g);
}

} // namespace

void Geometry::include(double x, double y, double z)
{
    const double p[3] = {x, y, z};
    for (int k = 0; k < 3; ++k) {
        low[k] = any ? std::min(low[k], p[k]) : p[k];
        high[k] = any ? std::max(high[k], p[k]) : p[k];
    }
    any = true;
}

std::vector<double> Geometry::extents() const
{
    std::vector<double> e{high[0] - low[0], high[1] - low[1], high[2] - low[2]};
    std::sort(e.begin(), e.end());
    return e;
}

bool checkOutlines(const std::string& path, OutlineCheck& out, std::string& error)
{
    size_t emptyMeshes = 0;
    const auto importer = modelimport::readScene(path, 0, emptyMeshes, error);
    const aiScene* scene = importer ? importer->GetScene() : nullptr;
    if (!scene || !scene->mRootNode) {
        error = scene ? "no root node" : error;
        return false;
    }
    out = OutlineCheck{};
    Flattener{*scene, out, {}, {}, {}}.node(*scene->mRootNode, aiMatrix4x4(), 0);
    return true;
}

Geometry documentGeometry(const sim::Document& doc)
{
    Geometry g;
    for (const auto& o : doc.objects)
        documentObject(*o, g);
    return g;
}

std::string exportText(sim::Document& doc, std::string& error)
{
    static std::atomic<int> serial{0};
    const auto path = std::filesystem::temp_directory_path() /
        ("model_import_" + std::to_string(getpid()) + "_" + std::to_string(serial++) + ".qrf");
    host::bind(sim::hostTable());
    try {
        TranslationContext context;
        CommandRun run(context, "export", host::Document(sim::handle(&doc)));
        orv::LightFileFactory factory(path.string());
        run.write(factory);
        factory.close();
    } catch (const std::exception& e) {
        error = e.what();
        std::filesystem::remove(path);
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::filesystem::remove(path);
    return text.str();
}

bool assimpTriangles(const std::string& path, bool triangulate, uint64_t& triangles, std::string& error)
{
    size_t emptyMeshes = 0;
    const auto importer =
        modelimport::readScene(path, triangulate ? unsigned(aiProcess_Triangulate) : 0u, emptyMeshes, error);
    const aiScene* scene = importer ? importer->GetScene() : nullptr;
    if (!scene || !scene->mRootNode) {
        error = scene ? "no root node" : error;
        return false;
    }
    triangles = placedTriangles(*scene, *scene->mRootNode, 0);
    return true;
}

uint64_t lightCount(const sim::Document& doc)
{
    uint64_t n = 0;
    for (const auto& o : doc.objects)
        n += lights(*o);
    return n;
}

} // namespace importtest
