// Small models written by the tests (glTF with everything embedded, OBJ with an MTL and a
// texture file) imported, exported and read back: the world-space geometry of the export
// must be assimp's own (after the root group's Z negation), and materials, textures,
// cameras and animation must come through.
#include "axis_convert.h"
#include "document_file.h"
#include "import_support.h"
#include "sim_host.h"
#include "sim_json_write.h"

#include "SceneReader.h"

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using orv::qrf::Block;
using orv::qrf::Statement;
using importtest::numbersOf;
using Point = std::array<double, 3>;
using Row = std::array<double, 16>; // row-vector matrix: axes in rows 0-2, offset in row 3

// ---- building the models ----

std::string base64(const std::string& bytes)
{
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = uint8_t(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            n |= uint8_t(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            n |= uint8_t(bytes[i + 2]);
        out += abc[n >> 18 & 63];
        out += abc[n >> 12 & 63];
        out += i + 1 < bytes.size() ? abc[n >> 6 & 63] : '=';
        out += i + 2 < bytes.size() ? abc[n & 63] : '=';
    }
    return out;
}

const std::string kImageBytes = std::string("\x89PNG\r\n\x1a\n", 8) + "not decoded by the import";

class TempFolder {
public:
    TempFolder() : path_(fs::temp_directory_path() / ("model_import_test_" + std::to_string(getpid())))
    {
        fs::remove_all(path_);
        fs::create_directories(path_ / "textures");
    }
    ~TempFolder() { if (!getenv("KEEP")) fs::remove_all(path_); }
    std::string file(const std::string& name, const std::string& text) const
    {
        std::ofstream(path_ / name, std::ios::binary) << text;
        return (path_ / name).string();
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A glTF scene: a mesh of two primitives (a textured quad, a blue triangle) placed three
// times: under a rotated and translated root with a non-uniform scale, below that with a
// sheared matrix, and on a node with translation and rotation keys (a full turn about Y in
// quarter steps). A camera sits on its own node.
std::string gltfModel()
{
    std::string buffer;
    nlohmann::json accessors = nlohmann::json::array(), views = nlohmann::json::array();
    const auto add = [&](const std::vector<float>& data, const char* type, nlohmann::json extra = nlohmann::json::object()) {
        nlohmann::json view{{"buffer", 0}, {"byteOffset", buffer.size()}, {"byteLength", data.size() * 4}};
        buffer.append(reinterpret_cast<const char*>(data.data()), data.size() * 4);
        views.push_back(view);
        const size_t width = std::string(type) == "VEC3" ? 3 : std::string(type) == "VEC2" ? 2
                             : std::string(type) == "VEC4" ? 4 : 1;
        nlohmann::json a{{"bufferView", views.size() - 1}, {"componentType", 5126},
                         {"count", data.size() / width}, {"type", type}};
        a.update(extra);
        accessors.push_back(a);
        return accessors.size() - 1;
    };
    const auto indices = [&](const std::vector<uint16_t>& data) {
        nlohmann::json view{{"buffer", 0}, {"byteOffset", buffer.size()}, {"byteLength", data.size() * 2}};
        buffer.append(reinterpret_cast<const char*>(data.data()), data.size() * 2);
        buffer.resize((buffer.size() + 3) / 4 * 4, '\0');
        views.push_back(view);
        accessors.push_back({{"bufferView", views.size() - 1}, {"componentType", 5123}, {"count", data.size()},
                             {"type", "SCALAR"}});
        return accessors.size() - 1;
    };
    const size_t quadP = add({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0}, "VEC3", {{"min", {0, 0, 0}}, {"max", {1, 1, 0}}});
    const size_t quadN = add({0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1}, "VEC3");
    const size_t quadT = add({0, 1, 1, 1, 1, 0, 0, 0}, "VEC2");
    const size_t quadI = indices({0, 1, 2, 0, 2, 3});
    const size_t triP = add({0, 0, 0.5f, 1, 0, 1, 0, 1, 1}, "VEC3", {{"min", {0, 0, 0.5}}, {"max", {1, 1, 1}}});
    const size_t triI = indices({0, 1, 2});
    const size_t times = add({0, 1, 2, 3}, "SCALAR", {{"min", {0}}, {"max", {3}}});
    const size_t moves = add({0, 0, 0, 1, 2, 3, 1, 2, 3, 0, 0, 0}, "VEC3");
    std::vector<float> turns;
    for (int k = 0; k < 4; ++k)
        turns.insert(turns.end(), {0, float(std::sin(k * std::numbers::pi / 4)), 0,
                                   float(std::cos(k * std::numbers::pi / 4))});
    const size_t rotations = add(turns, "VEC4");

    nlohmann::json gltf{
        {"asset", {{"version", "2.0"}}},
        {"scene", 0},
        {"scenes", {{{"nodes", {0}}}}},
        {"nodes",
         {{{"name", "Root"}, {"children", {1, 3, 4}}, {"translation", {1, 2, 3}},
           {"rotation", {0, 0.3826834, 0, 0.9238795}}},
          {{"name", "Scaled"}, {"mesh", 0}, {"children", {2}}, {"translation", {0.5, 0, 0}}, {"scale", {1, 2, 3}}},
          {{"name", "Sheared"}, {"mesh", 0}, {"matrix", {1, 0, 0, 0, 0.5, 1, 0, 0, 0, 0, 1, 0, 0, 1, 0, 1}}},
          {{"name", "Eye"}, {"camera", 0}, {"translation", {0, 1, 5}}},
          {{"name", "Spinner"}, {"mesh", 0}}}},
        {"meshes",
         {{{"name", "Pair"},
           {"primitives",
            {{{"attributes", {{"POSITION", quadP}, {"NORMAL", quadN}, {"TEXCOORD_0", quadT}}},
              {"indices", quadI}, {"material", 0}},
             {{"attributes", {{"POSITION", triP}}}, {"indices", triI}, {"material", 1}}}}}}},
        {"materials",
         {{{"name", "Painted"}, {"pbrMetallicRoughness", {{"baseColorTexture", {{"index", 0}}}}}},
          {{"name", "Blue"}, {"pbrMetallicRoughness", {{"baseColorFactor", {0, 0, 1, 1}}}}}}},
        {"textures", {{{"source", 0}}}},
        {"images", {{{"uri", "data:image/png;base64," + base64(kImageBytes)}}}},
        {"cameras", {{{"type", "perspective"}, {"perspective", {{"yfov", 0.8}, {"aspectRatio", 1.5}, {"znear", 0.1}}}}}},
        {"animations",
         {{{"channels",
            {{{"sampler", 0}, {"target", {{"node", 4}, {"path", "translation"}}}},
             {{"sampler", 1}, {"target", {{"node", 4}, {"path", "rotation"}}}}}},
           {"samplers", {{{"input", times}, {"output", moves}}, {{"input", times}, {"output", rotations}}}}}}},
        {"accessors", accessors},
        {"bufferViews", views},
        {"buffers",
         {{{"byteLength", buffer.size()}, {"uri", "data:application/octet-stream;base64," + base64(buffer)}}}}};
    return gltf.dump();
}

// An OBJ shape: a quad and a U-shaped octagon of one textured material, a triangle of another.
const char* kObj = R"(mtllib shape.mtl
v 0 0 0
v 3 0 0
v 3 2 0
v 2 2 0
v 2 1 0
v 1 1 0
v 1 2 0
v 0 2 0
v 0 0 1
v 1 0 1
v 1 1 1
v 0 1 1
vt 0 0
vt 1 0
vt 1 1
vt 0 1
o Shape
usemtl Wood
f 9/1 10/2 11/3 12/4
f 1/1 2/2 3/3 4/4 5/1 6/2 7/3 8/4
usemtl Paint
f 1/1 9/2 12/3
)";
const char* kMtl = R"(newmtl Wood
Kd 0.8 0.5 0.2
map_Kd textures/wood.png
newmtl Paint
Kd 0 0 1
)";

// ---- reading the export back ----

Row identityRow() { return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}; }

Row product(const Row& a, const Row& b) // a then b, row vectors
{
    Row r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 4; ++k)
                r[i * 4 + j] += a[i * 4 + k] * b[k * 4 + j];
    return r;
}

struct WorldObject {
    std::string name, material, texture;
    std::vector<Point> corners; // three per triangle, world space
};

void collect(const Block& block, const Row& parent, std::vector<WorldObject>& out)
{
    Row here = parent;
    if (const Statement* t = block.find("transform")) {
        const std::vector<double> m = numbersOf(t);
        if (m.size() == 16) {
            Row local;
            std::copy(m.begin(), m.end(), local.begin());
            here = product(local, parent);
        }
    }
    for (const Statement& s : block.statements) {
        if (!s.block)
            continue;
        if (s.keyword == "group") {
            collect(*s.block, here, out);
        } else if (s.keyword == "object") {
            WorldObject o;
            o.name = s.name();
            const Statement* g = s.block->find("geometry");
            const std::vector<double> v = numbersOf(g && g->block ? g->block->find("vertices") : nullptr);
            const std::vector<double> t = numbersOf(g && g->block ? g->block->find("triangles") : nullptr);
            for (double index : t) {
                const size_t i = size_t(index) * 3;
                const Point p{v.at(i), v.at(i + 1), v.at(i + 2)};
                Point w{};
                for (int c = 0; c < 3; ++c)
                    w[c] = p[0] * here[c] + p[1] * here[4 + c] + p[2] * here[8 + c] + here[12 + c];
                o.corners.push_back(w);
            }
            if (const Statement* m = s.block->find("material"))
                o.material = m->name();
            if (const Statement* tex = s.block->findDeep("texture"))
                o.texture = tex->name();
            out.push_back(std::move(o));
        }
    }
}

struct Exported {
    orv::qrf::Document scene;
    std::vector<WorldObject> objects;
    std::string text;
};

Exported exportOf(sim::Document& doc)
{
    Exported e;
    std::string error;
    e.text = importtest::exportText(doc, error);
    EXPECT_FALSE(e.text.empty()) << error;
    orv::qrf::ParseError parseError;
    EXPECT_TRUE(orv::qrf::parse(e.text, e.scene, parseError)) << parseError.message;
    collect(e.scene.top, identityRow(), e.objects);
    return e;
}

// assimp's triangulated reading in world space, times the unit factor.
std::vector<Point> assimpCorners(const std::string& path, double unit)
{
    Assimp::Importer importer;
    const aiScene* scene = importer.ReadFile(path, aiProcess_Triangulate | aiProcess_ValidateDataStructure);
    EXPECT_TRUE(scene) << importer.GetErrorString();
    std::vector<Point> out;
    if (!scene)
        return out;
    const auto walk = [&](auto&& self, const aiNode& n, const aiMatrix4x4& parent) -> void {
        const aiMatrix4x4 global = parent * n.mTransformation;
        for (unsigned i = 0; i < n.mNumMeshes; ++i) {
            const aiMesh& m = *scene->mMeshes[n.mMeshes[i]];
            for (unsigned f = 0; f < m.mNumFaces; ++f)
                for (unsigned k = 0; m.mFaces[f].mNumIndices == 3 && k < 3; ++k) {
                    const aiVector3D p = global * m.mVertices[m.mFaces[f].mIndices[k]];
                    out.push_back({p.x * unit, p.y * unit, p.z * unit});
                }
        }
        for (unsigned i = 0; i < n.mNumChildren; ++i)
            self(self, *n.mChildren[i], global);
    };
    walk(walk, *scene->mRootNode, aiMatrix4x4());
    return out;
}

Point areaVector(const std::vector<Point>& c, size_t first, size_t end)
{
    Point sum{};
    for (size_t i = first; i + 2 < end; i += 3) {
        const Point u{c[i + 1][0] - c[i][0], c[i + 1][1] - c[i][1], c[i + 1][2] - c[i][2]};
        const Point v{c[i + 2][0] - c[i][0], c[i + 2][1] - c[i][1], c[i + 2][2] - c[i][2]};
        sum[0] += (u[1] * v[2] - u[2] * v[1]) / 2;
        sum[1] += (u[2] * v[0] - u[0] * v[2]) / 2;
        sum[2] += (u[0] * v[1] - u[1] * v[0]) / 2;
    }
    return sum;
}

double absoluteArea(const std::vector<Point>& c)
{
    double sum = 0;
    for (size_t i = 0; i + 2 < c.size(); i += 3) {
        const Point a = areaVector(c, i, i + 3);
        sum += std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
    }
    return sum;
}

std::vector<Point> distinct(std::vector<Point> points)
{
    for (Point& p : points)
        for (double& x : p)
            x = std::round(x * 1e4) / 1e4 + 0.0;
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    return points;
}

// The export's triangles, all objects together, against assimp's: the same points, the same
// count, the same facing (area vector) and the same covered area.
void expectSameGeometry(const std::vector<WorldObject>& objects, const std::vector<Point>& expected)
{
    std::vector<Point> corners;
    for (const WorldObject& o : objects)
        corners.insert(corners.end(), o.corners.begin(), o.corners.end());
    ASSERT_EQ(corners.size(), expected.size());
    const std::vector<Point> got = distinct(corners), want = distinct(expected);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(got[i][c], want[i][c], 2e-3) << "point " << i;
    const Point a = areaVector(corners, 0, corners.size()), b = areaVector(expected, 0, expected.size());
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(a[c], b[c], 1e-3 * (1 + std::abs(b[c])));
    EXPECT_NEAR(absoluteArea(corners), absoluteArea(expected), 1e-3 * absoluteArea(expected));
}

const sim::Object* findObject(const std::vector<std::unique_ptr<sim::Object>>& list, const std::string& name)
{
    for (const auto& o : list) {
        if (o->name == name)
            return o.get();
        if (const sim::Object* found = findObject(o->children, name))
            return found;
    }
    return nullptr;
}

// ---- tests ----

TEST(ModelImport, GltfGeometryMaterialsCameraAndAnimationComeThrough)
{
    TempFolder folder;
    const std::string path = folder.file("scene.gltf", gltfModel());
    modelimport::LoadOptions options{(folder.path() / "cache").string()};
    auto loaded = modelimport::loadDocumentFile(path, options);
    ASSERT_TRUE(loaded.document) << loaded.error;
    Exported e = exportOf(*loaded.document);

    // glTF is in metres, the host in centimetres; the sheared node is baked into its points.
    expectSameGeometry(e.objects, assimpCorners(path, 100));
    const sim::Object* sheared = findObject(loaded.document->objects, "Sheared");
    ASSERT_TRUE(sheared);
    EXPECT_EQ(sheared->scale.x, 1);
    EXPECT_EQ(sheared->pos.y, 0);

    // Each placement of the two-primitive mesh gives two regions: the textured quad (its
    // embedded image written once to the cache) and the blue triangle.
    size_t textured = 0, blue = 0;
    for (const WorldObject& o : e.objects) {
        if (o.material == "Painted") {
            ++textured;
            EXPECT_EQ(o.corners.size(), 6u);
            ASSERT_TRUE(fs::is_regular_file(o.texture)) << o.texture;
            EXPECT_EQ(fs::path(o.texture).parent_path(), folder.path() / "cache");
            std::ifstream in(o.texture, std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), kImageBytes);
        } else {
            EXPECT_EQ(o.material, "Blue");
            ++blue;
            EXPECT_EQ(o.corners.size(), 3u);
            EXPECT_TRUE(o.texture.empty());
        }
    }
    EXPECT_EQ(textured, 3u);
    EXPECT_EQ(blue, 3u);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path() / "cache"), fs::directory_iterator()), 1);

    // The camera: assimp's horizontal field of view, placed at its node, looking along the
    // node's -Z as glTF cameras do.
    const Statement* camera = e.scene.top.find("camera", "Eye");
    ASSERT_TRUE(camera && camera->block);
    Assimp::Importer importer;
    const aiScene* read = importer.ReadFile(path, aiProcess_ValidateDataStructure);
    ASSERT_TRUE(read && read->mNumCameras == 1);
    EXPECT_NEAR(numbersOf(camera->block->find("fov")).at(0), read->mCameras[0]->mHorizontalFOV * 180 / std::numbers::pi,
                1e-3);
    const std::vector<double> m = numbersOf(camera->block->find("transform"));
    ASSERT_EQ(m.size(), 16u);
    const double c = 0.9238795 * 0.9238795 - 0.3826834 * 0.3826834, s = 2 * 0.3826834 * 0.9238795;
    const Point eye{(1 + s * 5) * 100, 3 * 100, (3 + c * 5) * 100}; // root: 45 degrees about Y
    const Point look{-s, 0, -c};
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(m[12 + k], eye[k], 1e-3);
        EXPECT_NEAR(m[8 + k], look[k], 1e-6);
    }

    // The animated node: tracks with keys at the model's times, positions in centimetres
    // mirrored in z, headings a quarter turn apart with no jump of a full turn.
    const sim::Object* spinner = findObject(loaded.document->objects, "Spinner");
    ASSERT_TRUE(spinner);
    std::map<std::vector<int32_t>, const sim::Track*> tracks;
    for (const auto& t : spinner->tracks)
        tracks[t->descId] = t.get();
    ASSERT_TRUE(tracks.count({903, 1000}) && tracks.count({904, 1002}));
    const sim::Track& z = *tracks.at({903, 1002});
    ASSERT_EQ(z.keys.size(), 4u);
    EXPECT_DOUBLE_EQ(z.keys[1].time.num / z.keys[1].time.den, 1.0);
    EXPECT_NEAR(z.keys[1].value, -300, 1e-3);
    const sim::Track& heading = *tracks.at({904, 1000});
    for (size_t k = 1; k < heading.keys.size(); ++k)
        EXPECT_NEAR(std::abs(heading.keys[k].value - heading.keys[k - 1].value), std::numbers::pi / 2, 1e-4);
    const Statement* group = e.scene.top.findDeep("group", "Spinner");
    ASSERT_TRUE(group && group->block);
    // Position and rotation; the one-key scale channel assimp adds animates nothing.
    EXPECT_EQ(group->block->all("animation").size(), 6u);
}

TEST(ModelImport, ObjGeometryRegionsAndTextureFileComeThrough)
{
    TempFolder folder;
    folder.file("textures/wood.png", kImageBytes);
    folder.file("shape.mtl", kMtl);
    const std::string path = folder.file("shape.obj", kObj);
    auto loaded = modelimport::loadDocumentFile(path, {});
    ASSERT_TRUE(loaded.document) << loaded.error;
    Exported e = exportOf(*loaded.document);

    // OBJ has no unit: one unit is one centimetre. The U-shaped octagon must be split
    // inside its outline (a fan from its first corner would cover the notch too).
    expectSameGeometry(e.objects, assimpCorners(path, 1));
    ASSERT_EQ(e.objects.size(), 2u);
    std::map<std::string, const WorldObject*> byMaterial;
    for (const WorldObject& o : e.objects)
        byMaterial[o.material] = &o;
    ASSERT_TRUE(byMaterial.count("Wood") && byMaterial.count("Paint"));
    EXPECT_EQ(byMaterial["Wood"]->corners.size(), (2 + 6) * 3u);
    EXPECT_NEAR(absoluteArea(byMaterial["Wood"]->corners), 1 + 5, 1e-6);
    EXPECT_EQ(byMaterial["Paint"]->corners.size(), 3u);
    EXPECT_EQ(fs::path(byMaterial["Wood"]->texture), folder.path() / "textures" / "wood.png");
    EXPECT_TRUE(byMaterial["Paint"]->texture.empty());
    // The quad stays one host polygon (two triangles in the export).
    const sim::Object* shape = findObject(loaded.document->objects, "Shape");
    ASSERT_TRUE(shape);
    EXPECT_EQ(shape->polygons.size(), 1u + 6u + 1u);
    EXPECT_NE(shape->polygons[0].c, shape->polygons[0].d);
}

// A material name that is no UTF-8 is read as Latin-1 and counted; a UTF-8 one is kept.
TEST(ModelImport, MaterialNamesNotInUtf8AreReadAsLatin1)
{
    TempFolder folder;
    folder.file("shape.mtl", "newmtl Caf\xE9\nKd 1 0 0\nnewmtl Zo\xC3\xAB\nKd 0 0 1\n");
    const std::string path = folder.file(
        "shape.obj", "mtllib shape.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl Caf\xE9\nf 1 2 3\nusemtl Zo\xC3\xAB\nf 1 3 2\n");
    modelimport::Summary summary;
    std::string error;
    const auto doc = modelimport::importModel(path, {}, summary, error);
    ASSERT_TRUE(doc) << error;
    std::vector<std::string> names;
    for (const auto& m : doc->materials)
        names.push_back(m->name);
    EXPECT_NE(std::find(names.begin(), names.end(), "Caf\xC3\xA9"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "Zo\xC3\xAB"), names.end());
    const auto& notes = summary.notes();
    EXPECT_EQ(std::count_if(notes.begin(), notes.end(), [](const auto& n) { return n.reason == "name_not_utf8"; }), 1);
}

TEST(ModelImport, SavedDocumentLoadsToTheSameExport)
{
    TempFolder folder;
    const std::string path = folder.file("scene.gltf", gltfModel());
    auto loaded = modelimport::loadDocumentFile(path, {(folder.path() / "cache").string()});
    ASSERT_TRUE(loaded.document) << loaded.error;
    const std::string saved = (folder.path() / "saved.json").string();
    std::string error;
    ASSERT_TRUE(sim::saveDocument(*loaded.document, saved, error)) << error;
    auto again = modelimport::loadDocumentFile(saved, {});
    ASSERT_TRUE(again.document) << again.error;
    EXPECT_EQ(exportOf(*again.document).text, exportOf(*loaded.document).text);
    EXPECT_EQ(sim::documentJson(*again.document), sim::documentJson(*loaded.document));
}

// A glTF tetrahedron with flat outward normals, on three nodes whose transforms are baked
// into the points: a shear, a turn with a non-uniform scale below it, and a mirror with a
// non-uniform scale.
std::string bakedTetrahedra()
{
    const Point corner[4] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const int faces[4][3] = {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}}; // counter-clockwise from outside
    std::vector<float> points, normals;
    for (const auto& f : faces) {
        const Point &a = corner[f[0]], &b = corner[f[1]], &c = corner[f[2]];
        const Point u{b[0] - a[0], b[1] - a[1], b[2] - a[2]}, v{c[0] - a[0], c[1] - a[1], c[2] - a[2]};
        const Point n{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
        const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        for (const Point* p : {&a, &b, &c})
            for (int k = 0; k < 3; ++k) {
                points.push_back(float((*p)[k]));
                normals.push_back(float(n[k] / length));
            }
    }
    std::string buffer(reinterpret_cast<const char*>(points.data()), points.size() * 4);
    buffer.append(reinterpret_cast<const char*>(normals.data()), normals.size() * 4);
    const size_t half = points.size() * 4;
    nlohmann::json gltf{
        {"asset", {{"version", "2.0"}}},
        {"scene", 0},
        {"scenes", {{{"nodes", {0, 2}}}}},
        {"nodes",
         {{{"name", "Sheared"}, {"mesh", 0}, {"children", {1}}, {"matrix", {1, 0, 0, 0, 0.5, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}}},
          {{"name", "Turned"}, {"mesh", 0}, {"rotation", {0, 0, 0.3826834, 0.9238795}}, {"scale", {1, 3, 0.5}}},
          {{"name", "Mirrored"}, {"mesh", 0}, {"matrix", {-1, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}}}}},
        {"meshes", {{{"primitives", {{{"attributes", {{"POSITION", 0}, {"NORMAL", 1}}}}}}}}},
        {"accessors",
         {{{"bufferView", 0}, {"componentType", 5126}, {"count", 12}, {"type", "VEC3"}, {"min", {0, 0, 0}}, {"max", {1, 1, 1}}},
          {{"bufferView", 1}, {"componentType", 5126}, {"count", 12}, {"type", "VEC3"}}}},
        {"bufferViews", {{{"buffer", 0}, {"byteLength", half}}, {{"buffer", 0}, {"byteOffset", half}, {"byteLength", half}}}},
        {"buffers", {{{"byteLength", buffer.size()}, {"uri", "data:application/octet-stream;base64," + base64(buffer)}}}}};
    return gltf.dump();
}

// Baked normals stay normals of the transformed surface: perpendicular to each face and
// pointing out of the solid, under a mirror as under any other transform.
TEST(ModelImport, BakedNormalsStayPerpendicularAndPointOutward)
{
    TempFolder folder;
    auto loaded = modelimport::loadDocumentFile(folder.file("tetra.gltf", bakedTetrahedra()), {});
    ASSERT_TRUE(loaded.document) << loaded.error;
    for (const char* name : {"Sheared", "Turned", "Mirrored"}) {
        SCOPED_TRACE(name);
        const sim::Object* o = findObject(loaded.document->objects, name);
        ASSERT_TRUE(o && o->phongNormals);
        ASSERT_EQ(o->polygons.size(), 4u);
        ASSERT_EQ(o->phongNormals->size(), 16u);
        EXPECT_EQ(o->scale.x, 1); // baked: the object has the identity
        sim::Vec3 centre{0, 0, 0};
        for (const sim::Vec3& p : o->points)
            centre = {centre.x + p.x / 12, centre.y + p.y / 12, centre.z + p.z / 12};
        for (size_t i = 0; i < 4; ++i) {
            const c4d_cpolygon& poly = o->polygons[i];
            const sim::Vec3 &a = o->points.at(poly.a), &b = o->points.at(poly.b), &c = o->points.at(poly.c);
            const sim::Vec3 out{(a.x + b.x + c.x) / 3 - centre.x, (a.y + b.y + c.y) / 3 - centre.y,
                                (a.z + b.z + c.z) / 3 - centre.z};
            for (size_t k = 0; k < 3; ++k) {
                const c4d_vec32& n = (*o->phongNormals)[i * 4 + k];
                const auto dot = [&](const sim::Vec3& d) { return n.x * d.x + n.y * d.y + n.z * d.z; };
                EXPECT_GT(dot(out), 0) << "polygon " << i;
                EXPECT_NEAR(dot({b.x - a.x, b.y - a.y, b.z - a.z}), 0, 1e-4) << "polygon " << i;
                EXPECT_NEAR(dot({c.x - a.x, c.y - a.y, c.z - a.z}), 0, 1e-4) << "polygon " << i;
            }
        }
    }
}

// The host angles of a converted rotation rebuild the converted matrix, for rotations all
// round the sphere, including the poles where heading and bank turn about one axis.
TEST(ModelImport, RotationAnglesRebuildTheMirroredRotation)
{
    const modelimport::Converter convert(100);
    const double step = std::numbers::pi / 4;
    for (double yaw = -std::numbers::pi; yaw <= std::numbers::pi; yaw += step)
        for (double pitch = -std::numbers::pi / 2; pitch <= std::numbers::pi / 2; pitch += step)
            for (double roll = -std::numbers::pi; roll <= std::numbers::pi; roll += step) {
                const aiQuaternion q{float(yaw), float(pitch), float(roll)};
                aiMatrix4x4 m(q.GetMatrix());
                const sim::Matrix want = convert.matrix(m);
                sim::Object o;
                o.rot = convert.rotation(q);
                const sim::Matrix got = sim::localMatrix(o);
                const std::array<std::pair<sim::Vec3, sim::Vec3>, 3> axes{
                    {{got.v1, want.v1}, {got.v2, want.v2}, {got.v3, want.v3}}};
                for (const auto& [g, w] : axes) {
                    EXPECT_NEAR(g.x, w.x, 1e-5) << yaw << " " << pitch << " " << roll;
                    EXPECT_NEAR(g.y, w.y, 1e-5) << yaw << " " << pitch << " " << roll;
                    EXPECT_NEAR(g.z, w.z, 1e-5) << yaw << " " << pitch << " " << roll;
                }
            }
}

TEST(ModelImport, UnreadableFilesEndWithOneLineNamingThem)
{
    TempFolder folder;
    const std::string broken = folder.file("broken.gltf", "{\"asset\": {\"version\": \"2.0\"}, \"nodes\": [");
    const std::string missing = (folder.path() / "missing.obj").string();
    for (const std::string& path : {broken, missing}) {
        auto loaded = modelimport::loadDocumentFile(path, {});
        EXPECT_FALSE(loaded.document);
        EXPECT_NE(loaded.error.find(path), std::string::npos) << loaded.error;
        EXPECT_EQ(loaded.error.find('\n'), std::string::npos) << loaded.error;
    }
}

} // namespace
