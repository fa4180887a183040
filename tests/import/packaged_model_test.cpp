// A packaged test model (Debian's assimp-testmodels) whose positions and texture coordinates
// the test reads straight from the model's own glTF buffer: the same textured box as a
// .gltf with a separate buffer, as a .glb and as a .gltf with the buffer embedded, imported,
// exported and read back.
#include "document_file.h"
#include "import_support.h"

#include "SceneReader.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using orv::qrf::Block;
using orv::qrf::Statement;
using importtest::numbersOf;
using Point = std::array<double, 3>;
using Uv = std::array<double, 2>;

// One triangle corner in world space with its texture coordinates.
struct Corner {
    Point position;
    Uv uv;
};
using Triangle = std::array<Corner, 3>;

std::string readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The triangles of the first primitive of the only mesh, placed by the node matrices above
// it (column-major, as glTF stores them), in centimetres. Texture coordinates as stored: glTF
// puts the origin at the top left of the image, v running down.
std::vector<Triangle> gltfTriangles(const fs::path& gltfPath)
{
    const nlohmann::json gltf = nlohmann::json::parse(readAll(gltfPath));
    const std::string buffer = readAll(gltfPath.parent_path() / gltf["buffers"][0]["uri"].get<std::string>());
    const auto element = [&](int accessor, size_t i, size_t component) -> double {
        const nlohmann::json& a = gltf["accessors"][accessor];
        const nlohmann::json& view = gltf["bufferViews"][a["bufferView"].get<int>()];
        const int type = a["componentType"].get<int>();
        const size_t width = type == 5126 ? 4 : type == 5125 ? 4 : 2;
        const size_t count = a["type"] == "VEC3" ? 3 : a["type"] == "VEC2" ? 2 : 1;
        const size_t stride = view.value("byteStride", width * count);
        const size_t at = view.value("byteOffset", size_t(0)) + a.value("byteOffset", size_t(0)) + i * stride +
                          component * width;
        if (type == 5126) {
            float f;
            std::memcpy(&f, buffer.data() + at, 4);
            return f;
        }
        if (type == 5125) {
            uint32_t u;
            std::memcpy(&u, buffer.data() + at, 4);
            return u;
        }
        uint16_t u;
        std::memcpy(&u, buffer.data() + at, 2);
        return u;
    };

    // The chain of matrices from the scene's root to the node holding the mesh.
    std::array<double, 16> world{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (int node = gltf["scenes"][0]["nodes"][0].get<int>(); !gltf["nodes"][node].contains("mesh");) {
        const nlohmann::json& n = gltf["nodes"][node];
        if (n.contains("matrix")) {
            std::array<double, 16> next{};
            for (int c = 0; c < 4; ++c)
                for (int r = 0; r < 4; ++r)
                    for (int k = 0; k < 4; ++k)
                        next[c * 4 + r] += world[k * 4 + r] * n["matrix"][c * 4 + k].get<double>();
            world = next;
        }
        node = n["children"][0].get<int>();
    }

    const nlohmann::json& primitive = gltf["meshes"][0]["primitives"][0];
    const int positions = primitive["attributes"]["POSITION"].get<int>();
    const int uvs = primitive["attributes"]["TEXCOORD_0"].get<int>();
    const int indices = primitive["indices"].get<int>();
    std::vector<Triangle> out;
    for (size_t i = 0; i + 2 < gltf["accessors"][indices]["count"].get<size_t>(); i += 3) {
        Triangle t;
        for (size_t k = 0; k < 3; ++k) {
            const auto v = static_cast<size_t>(element(indices, i + k, 0));
            for (int r = 0; r < 3; ++r) {
                double sum = world[12 + r];
                for (int c = 0; c < 3; ++c)
                    sum += world[c * 4 + r] * element(positions, v, size_t(c));
                t[k].position[size_t(r)] = sum * 100; // metres to centimetres
            }
            t[k].uv = {element(uvs, v, 0), element(uvs, v, 1)};
        }
        out.push_back(t);
    }
    return out;
}

// The exported triangles in world space (the group transforms applied, row vectors), each
// corner with the UV its "triangles_uv" index picks.
void exportedTriangles(const Block& block, const std::array<double, 16>& parent, std::vector<Triangle>& out)
{
    std::array<double, 16> here = parent;
    if (const std::vector<double> m = numbersOf(block.find("transform")); m.size() == 16) {
        here = {};
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                for (int k = 0; k < 4; ++k)
                    here[size_t(i * 4 + j)] += m[size_t(i * 4 + k)] * parent[size_t(k * 4 + j)];
    }
    for (const Statement& s : block.statements) {
        if (s.keyword == "group" && s.block)
            exportedTriangles(*s.block, here, out);
        if (s.keyword != "object" || !s.block)
            continue;
        const Statement* g = s.block->find("geometry");
        ASSERT_TRUE(g && g->block);
        const std::vector<double> v = numbersOf(g->block->find("vertices")), t = numbersOf(g->block->find("triangles"));
        const std::vector<double> uv = numbersOf(g->block->find("uv_tex")), tuv = numbersOf(g->block->find("triangles_uv"));
        ASSERT_EQ(t.size(), tuv.size());
        for (size_t i = 0; i + 2 < t.size(); i += 3) {
            Triangle tri;
            for (size_t k = 0; k < 3; ++k) {
                const size_t p = size_t(t[i + k]) * 3, q = size_t(tuv[i + k]) * 2;
                ASSERT_LT(p + 2, v.size());
                ASSERT_LT(q + 1, uv.size());
                for (size_t c = 0; c < 3; ++c)
                    tri[k].position[c] = v[p] * here[c] + v[p + 1] * here[4 + c] + v[p + 2] * here[8 + c] + here[12 + c];
                tri[k].uv = {uv[q], uv[q + 1]};
            }
            out.push_back(tri);
        }
    }
}

bool near(const Point& a, const Point& b)
{
    return std::abs(a[0] - b[0]) < 1e-3 && std::abs(a[1] - b[1]) < 1e-3 && std::abs(a[2] - b[2]) < 1e-3;
}

// The corner of a triangle at a position, or null.
const Corner* cornerAt(const Triangle& t, const Point& p)
{
    for (const Corner& c : t)
        if (near(c.position, p))
            return &c;
    return nullptr;
}

} // namespace

// Every exported triangle is one of the model's, in place, and each of its corners carries
// the model's texture coordinates with v running down the image as in the file: assimp reads
// glTF's (u, v) as (u, 1 - v), and the import turns that back into (u, 1 - (1 - v)). The three
// forms of one model give the same triangles.
TEST(PackagedModel, TexturedBoxKeepsItsPlacesAndTextureCoordinatesInEveryForm)
{
    const fs::path models = fs::path(TAVRIN_MODEL_CORPUS) / "glTF2";
    const fs::path source = models / "BoxTextured-glTF" / "BoxTextured.gltf";
    if (!fs::exists(source))
        GTEST_SKIP() << "assimp-testmodels not installed (" << source << ")";
    const std::vector<Triangle> expected = gltfTriangles(source);
    ASSERT_EQ(expected.size(), 12u);

    std::vector<std::vector<Triangle>> forms;
    for (const char* form : {"BoxTextured-glTF/BoxTextured.gltf", "BoxTextured-glTF-Binary/BoxTextured.glb",
                             "BoxTextured-glTF-Embedded/BoxTextured.gltf"}) {
        SCOPED_TRACE(form);
        const fs::path cache = fs::temp_directory_path() / ("packaged_model_test_" + std::to_string(::getpid()));
        auto loaded = modelimport::loadDocumentFile((models / form).string(), {cache.string()});
        ASSERT_TRUE(loaded.document) << loaded.error;
        std::string error;
        const std::string text = importtest::exportText(*loaded.document, error);
        fs::remove_all(cache);
        ASSERT_FALSE(text.empty()) << error;
        orv::qrf::Document scene;
        orv::qrf::ParseError parseError;
        ASSERT_TRUE(orv::qrf::parse(text, scene, parseError)) << parseError.message;
        std::vector<Triangle> got;
        exportedTriangles(scene.top, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, got);
        ASSERT_EQ(got.size(), expected.size());

        for (const Triangle& t : got) {
            const Triangle* match = nullptr;
            for (const Triangle& e : expected)
                if (cornerAt(e, t[0].position) && cornerAt(e, t[1].position) && cornerAt(e, t[2].position))
                    match = &e;
            ASSERT_NE(match, nullptr) << "a triangle at " << t[0].position[0] << " " << t[0].position[1] << " "
                                      << t[0].position[2] << " that the model does not have";
            for (const Corner& c : t) {
                const Corner& want = *cornerAt(*match, c.position);
                EXPECT_NEAR(c.uv[0], want.uv[0], 1e-5) << "u at " << c.position[0] << " " << c.position[1] << " " << c.position[2];
                EXPECT_NEAR(c.uv[1], want.uv[1], 1e-5) << "v at " << c.position[0] << " " << c.position[1] << " " << c.position[2];
            }
        }
        forms.push_back(got);
    }
    // The forms agree with each other exactly, triangle by triangle.
    for (size_t f = 1; f < forms.size(); ++f)
        for (size_t i = 0; i < forms[0].size(); ++i)
            for (size_t k = 0; k < 3; ++k) {
                EXPECT_EQ(forms[f][i][k].position, forms[0][i][k].position) << "form " << f << ", triangle " << i;
                EXPECT_EQ(forms[f][i][k].uv, forms[0][i][k].uv) << "form " << f << ", triangle " << i;
            }
}
