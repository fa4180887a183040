// Packaged models of many formats come in upright and at their format's scale: standing
// figures stand along Y with the file's camera still framing them, each format's unit gives
// centimetres, and what the import leaves out carries its report reason. Texture names from
// other machines or in another letter case are found beside the model.
#include "axis_convert.h"
#include "document_file.h"
#include "import_support.h"
#include "sim_host.h"

#include <assimp/matrix4x4.inl>
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = TAVRIN_MODEL_CORPUS;

std::unique_ptr<sim::Document> load(const fs::path& path, modelimport::LoadedDocument& loaded)
{
    loaded = modelimport::loadDocumentFile(path.string(), {(fs::temp_directory_path() / "model_frame_test").string()});
    return std::move(loaded.document);
}

const sim::Object* findType(const sim::Object& o, int32_t type)
{
    if (o.type == type)
        return &o;
    for (const auto& c : o.children)
        if (const sim::Object* found = findType(*c, type))
            return found;
    return nullptr;
}

TEST(ModelFrame, StandingFiguresStandAlongYAndTheFilesCameraFramesThem)
{
    const struct {
        const char* file;
        bool hasCamera;
    } figures[] = {
        {"BLEND/HUMAN.blend", true},           // Blender: Z up, turned by the import
        {"COB/dwarf.cob", false},              // trueSpace: Z up, turned by the import
        {"Collada/human.zae", false},          // Collada: turned by assimp by its up axis
        {"MDL/MDL (HL1)/man.mdl", false},      // Half-Life: turned by assimp
        {"MD2/sydney.md2", false},             // Quake II: turned by assimp
    };
    if (!fs::is_directory(kCorpus))
        GTEST_SKIP() << "no packaged models in " << kCorpus;
    for (const auto& f : figures) {
        SCOPED_TRACE(f.file);
        modelimport::LoadedDocument loaded;
        const auto doc = load(kCorpus / f.file, loaded);
        ASSERT_TRUE(doc) << loaded.error;
        const importtest::Geometry g = importtest::documentGeometry(*doc);
        const double x = g.high[0] - g.low[0], y = g.high[1] - g.low[1], z = g.high[2] - g.low[2];
        EXPECT_GT(y, x);
        EXPECT_GT(y, z);
        if (!f.hasCamera)
            continue;
        // The camera looks along its +Z; the figure's centre lies within its field of view.
        const sim::Object* camera = nullptr;
        for (const auto& o : doc->objects)
            if (!camera)
                camera = findType(*o, 5103);
        ASSERT_NE(camera, nullptr);
        const sim::Matrix m = sim::globalMatrix(*camera);
        const double centre[3] = {(g.low[0] + g.high[0]) / 2, (g.low[1] + g.high[1]) / 2, (g.low[2] + g.high[2]) / 2};
        const double to[3] = {centre[0] - m.off.x, centre[1] - m.off.y, centre[2] - m.off.z};
        const double distance = std::sqrt(to[0] * to[0] + to[1] * to[1] + to[2] * to[2]);
        const double forward = std::sqrt(m.v3.x * m.v3.x + m.v3.y * m.v3.y + m.v3.z * m.v3.z);
        const double cosine = (to[0] * m.v3.x + to[1] * m.v3.y + to[2] * m.v3.z) / (distance * forward);
        const double fov = std::get<double>(camera->params.at(1008));
        EXPECT_GT(cosine, std::cos(fov / 2)) << "the figure's centre is " << std::acos(cosine) * 180 / M_PI
                                             << " degrees off the camera's axis";
        EXPECT_GT(distance, y / 2) << "the camera stands inside the figure";
    }
}

TEST(ModelFrame, EachFormatsFrameTurnsAndScalesPointsDirectionsAndMatrices)
{
    // A file point (0, 0, 1) and (0, 1, 0) in the host: Z-up formats turn Z to Y; the host's
    // mirror then negates Z. FBX turns by its own axis settings.
    const struct {
        const char* path;
        std::vector<std::pair<const char*, int>> settings; // FBX metadata
        sim::Vec3 up, ahead; // host points of file (0, 0, 1) and (0, 1, 0)
        double unit;
    } cases[] = {
        {"a.obj", {}, {0, 0, -1}, {0, 1, 0}, 1},
        {"a.GLB", {}, {0, 0, -100}, {0, 100, 0}, 100},
        {"a.blend", {}, {0, 100, 0}, {0, 0, 100}, 100},
        {"a.cob", {}, {0, 1, 0}, {0, 0, 1}, 1},
        {"a.3mf", {}, {0, 0.1, 0}, {0, 0, 0.1}, 0.1},
        {"a.fbx", {{"UpAxis", 1}, {"UpAxisSign", 1}, {"FrontAxis", 2}, {"FrontAxisSign", 1}, {"CoordAxis", 0},
                   {"CoordAxisSign", 1}}, {0, 0, -1}, {0, 1, 0}, 1},
        {"a.fbx", {{"UpAxis", 2}, {"UpAxisSign", 1}, {"FrontAxis", 1}, {"FrontAxisSign", -1}, {"CoordAxis", 0},
                   {"CoordAxisSign", 1}}, {0, 1, 0}, {0, 0, 1}, 1},
        // A left-handed setting is not a turn: left as it comes.
        {"a.fbx", {{"UpAxis", 2}, {"UpAxisSign", 1}, {"FrontAxis", 1}, {"FrontAxisSign", 1}, {"CoordAxis", 0},
                   {"CoordAxisSign", 1}}, {0, 0, -1}, {0, 1, 0}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        aiScene scene;
        if (!c.settings.empty()) {
            scene.mMetaData = aiMetadata::Alloc(unsigned(c.settings.size()));
            for (unsigned i = 0; i < c.settings.size(); ++i)
                scene.mMetaData->Set(i, c.settings[i].first, int32_t(c.settings[i].second));
        }
        const modelimport::Converter convert(modelimport::fileFrame(scene, c.path));
        EXPECT_EQ(convert.unit(), c.unit);
        const sim::Vec3 up = convert.position({0, 0, 1}), ahead = convert.position({0, 1, 0});
        EXPECT_NEAR(up.x, c.up.x, 1e-12);
        EXPECT_NEAR(up.y, c.up.y, 1e-12);
        EXPECT_NEAR(up.z, c.up.z, 1e-12);
        EXPECT_NEAR(ahead.y, c.ahead.y, 1e-12);
        EXPECT_NEAR(ahead.z, c.ahead.z, 1e-12);
        // A node matrix moves its children as the points move: M * p turned equals the
        // turned M applied to the turned p.
        aiMatrix4x4 r, t, s;
        aiMatrix4x4::RotationX(0.3f, r);
        aiMatrix4x4::Translation({1, 2, 3}, t);
        aiMatrix4x4::Scaling({1, 2, 3}, s);
        const aiMatrix4x4 m = t * r * s;
        const aiVector3D p(0.5f, -1, 2);
        const sim::Vec3 direct = convert.position(m * p);
        const sim::Vec3 composed = modelimport::transformPoint(convert.matrix(m), convert.position(p));
        EXPECT_NEAR(direct.x, composed.x, 1e-4 * c.unit);
        EXPECT_NEAR(direct.y, composed.y, 1e-4 * c.unit);
        EXPECT_NEAR(direct.z, composed.z, 1e-4 * c.unit);
    }
}

TEST(ModelFrame, EachFormatsUnitBecomesCentimetres)
{
    // Centimetres per file unit by the format's own definition; the document's surfaces are
    // assimp's times that factor (compared by the bounds' largest extent).
    const struct {
        const char* file;
        double factor;
    } models[] = {
        {"glTF2/BoxTextured-glTF/BoxTextured.gltf", 100}, // metres
        {"BLEND/box.blend", 100},                         // a Blender unit is a metre
        {"Collada/duck.dae", 100},                        // assimp scales Collada to metres
        {"LWO/LWO2/boxuv.lwo", 100},                      // LightWave: metres
        {"X3D/HelloX3dTrademark.x3d", 100},               // metres
        {"OpenGEX/Example.ogex", 100},                    // its distance metric: 1 metre
        {"3MF/box.3mf", 0.1},                             // millimetres
        {"AMF/test1.amf", 0.1},                           // millimetres unless it says
        {"AMF/test_with_mat.amf", 2.54},                  // unit="inch"
        {"FBX/spider.fbx", 1},                            // its UnitScaleFactor: 1 cm
        {"OBJ/box.obj", 1},                               // no unit: a centimetre
        {"STL/Spider_ascii.stl", 1},
    };
    if (!fs::is_directory(kCorpus))
        GTEST_SKIP() << "no packaged models in " << kCorpus;
    for (const auto& m : models) {
        SCOPED_TRACE(m.file);
        modelimport::LoadedDocument loaded;
        const auto doc = load(kCorpus / m.file, loaded);
        ASSERT_TRUE(doc) << loaded.error;
        importtest::OutlineCheck reference;
        std::string error;
        ASSERT_TRUE(importtest::checkOutlines((kCorpus / m.file).string(), reference, error)) << error;
        const double ours = importtest::documentGeometry(*doc).extents()[2];
        const double theirs = reference.geometry.extents()[2];
        ASSERT_GT(theirs, 0);
        EXPECT_NEAR(ours / theirs, m.factor, 1e-4 * m.factor);
    }
}

TEST(ModelFrame, WhatTheImportLeavesOutCarriesItsReportReason)
{
    const struct {
        const char* file;
        std::set<std::string> reasons; // at least these
    } models[] = {
        {"FBX/huesitos.fbx", {"bones_and_skins"}},
        {"MDL/MDL (HL1)/man.mdl", {"animation_after_first", "texture_not_decoded"}},
        {"OBJ/testpoints.obj", {"points_and_lines"}},
        {"STL/triangle_with_empty_solid.stl", {"empty_mesh"}},
        {"Collada/lights.dae", {"light_direction_lost"}},
        {"LWO/LWO2/concave_self_intersecting.lwo", {"polygon_not_simple"}},
    };
    if (!fs::is_directory(kCorpus))
        GTEST_SKIP() << "no packaged models in " << kCorpus;
    for (const auto& m : models) {
        SCOPED_TRACE(m.file);
        modelimport::LoadedDocument loaded;
        const auto doc = load(kCorpus / m.file, loaded);
        ASSERT_TRUE(doc) << loaded.error;
        std::set<std::string> found;
        for (const auto& note : loaded.notes)
            if (!note.reason.empty() && note.count > 0)
                found.insert(note.reason);
        for (const std::string& reason : m.reasons)
            EXPECT_TRUE(found.count(reason)) << "no " << reason;
    }
    // The file with an empty part keeps the rest: its one triangle.
    modelimport::LoadedDocument loaded;
    const fs::path stl = kCorpus / "STL/triangle_with_empty_solid.stl";
    const auto doc = load(stl, loaded);
    ASSERT_TRUE(doc) << loaded.error;
    importtest::OutlineCheck reference;
    std::string error;
    ASSERT_TRUE(importtest::checkOutlines(stl.string(), reference, error)) << error;
    EXPECT_GT(reference.geometry.area, 0);
    EXPECT_NEAR(importtest::documentGeometry(*doc).area, reference.geometry.area, 1e-6);
}

TEST(ModelFrame, TextureNamesFromOtherMachinesAreFoundBesideTheModel)
{
    const fs::path dir = fs::temp_directory_path() / ("model_frame_textures_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "textures");
    fs::create_directories(dir / "Tex");
    for (const fs::path& p : {dir / "textures" / "wood.png", dir / "Test.png", dir / "Tex" / "Stone.jpg"})
        std::ofstream(p) << "x";
    const struct {
        const char* written; // as the model names it
        std::string found;   // "" when it stays missing
    } cases[] = {
        {"D:\\\\projects\\\\scene\\\\wood.png", (dir / "textures" / "wood.png").string()},
        {"TEST.PNG", (dir / "Test.png").string()},
        {"/home/someone/maps/STONE.JPG", (dir / "Tex" / "Stone.jpg").string()},
        {"C:/gone/missing.png", ""},
    };
    std::ofstream mtl(dir / "m.mtl");
    std::ofstream obj(dir / "m.obj");
    obj << "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\n";
    for (size_t i = 0; i < std::size(cases); ++i) {
        mtl << "newmtl M" << i << "\nKd 1 1 1\nmap_Kd " << cases[i].written << "\n";
        obj << "o O" << i << "\nusemtl M" << i << "\nf 1 2 3\n";
    }
    mtl.close();
    obj.close();
    modelimport::LoadedDocument loaded;
    const auto doc = load(dir / "m.obj", loaded);
    ASSERT_TRUE(doc) << loaded.error;
    size_t renamed = 0;
    for (const auto& note : loaded.notes)
        renamed += note.reason == "texture_renamed" ? note.count : 0;
    EXPECT_EQ(renamed, 3u);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].written);
        const sim::Material* material = nullptr;
        for (const auto& m : doc->materials)
            if (m->name == "M" + std::to_string(i))
                material = m.get();
        ASSERT_NE(material, nullptr);
        ASSERT_EQ(material->shaders.size(), 1u);
        const auto& name = std::get<sim::FilenameValue>(material->shaders[0]->params.at(1000));
        if (cases[i].found.empty()) {
            std::string written = cases[i].written;
            EXPECT_EQ(name.full, written);
        } else {
            EXPECT_EQ(name.full, cases[i].found);
        }
    }
    fs::remove_all(dir);
}

} // namespace
