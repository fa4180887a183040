// Materials: display colour, standard material channels, shaders, texture files, variant
// names kept for the life of the context, and the texture placement.
#include "mesh_fixture.h"

#include "sim_host.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace meshtest {
namespace {

namespace fs = std::filesystem;

class MaterialTest : public MeshTest {
protected:
    // One triangle carrying a texture tag of m.
    sim::Tag& textured(sim::Material* m, const std::string& name = "T") { return texture(triangle(name), m); }
    const Statement* only()
    {
        const auto objects = exportObjects();
        EXPECT_EQ(objects.size(), 1u);
        return objects.empty() ? nullptr : objects[0];
    }
    // A material whose colour channel reads a bitmap shader of the given file.
    sim::Material& bitmap(const std::string& file)
    {
        sim::Material& m = material("Bitmap");
        m.params[8000] = sim::Link{&shader(m, 5833, sim::FilenameValue{file})};
        return m;
    }
};

const Lines kAdvanced = {"fresnel on", "roughness 0", "ior 1.5", "glossy on", "glossy_samples 9", "alpha 1"};
Lines advanced(const std::string& diffuse, const std::string& specular)
{
    Lines l = {"kind orv_advanced", "diffuse " + diffuse, "specular " + specular};
    l.insert(l.end(), kAdvanced.begin(), kAdvanced.end());
    return l;
}

TEST_F(MaterialTest, DisplayColourFollowsTheColourMode)
{
    const std::pair<int32_t, bool> cases[] = {{0, true}, {1, true}, {3, true}, {3, false}, {2, true}};
    const char* expected[] = {"0.65 0.65 0.65", "0.1 0.2 0.3", "0.7 0.8 0.9", "0.65 0.65 0.65", "0.65 0.65 0.65"};
    for (size_t i = 0; i < std::size(cases); ++i) {
        doc = std::make_unique<sim::Document>();
        sim::Object& o = triangle("C");
        o.params[907] = cases[i].first;
        o.params[908] = sim::Vec3{0.1, 0.2, 0.3};
        if (cases[i].second)
            layer(o).params[1009] = sim::Vec3{0.7, 0.8, 0.9};
        EXPECT_EQ(lines(surface(only())), (Lines{"kind orv_diffuse", std::string("diffuse ") + expected[i]})) << i;
    }
}

TEST_F(MaterialTest, StandardMaterialChannels)
{
    sim::Material& red = material("Red", {1, 0, 0}); // brightness scales the colour
    red.params[2101] = 0.5;
    sim::Material& shiny = material("Shiny", {0, 1, 0}); // specular colour: advanced shader
    shiny.channels[8] = true;
    shiny.params[3100] = sim::Vec3{0.25, 0.5, 1};
    sim::Material& data = material("Data"); // channel 3 without colour: data entry 65
    data.channels[3] = true;
    data.data[65] = sim::Vec3{0.5, 0, 0};
    sim::Material& scan = material("Scan", {1, 1, 1}); // channel 7: only the shader scan counts
    scan.channels[7] = true;
    shader(scan, 1011100, sim::Gradient{{{0, 0, 1}, {1, 1, 1}}});
    shader(scan, 5833, sim::FilenameValue{"/nowhere/first.png"});
    shader(scan, 5832, sim::Vec3{0, 1, 0});
    shader(scan, 5833, sim::FilenameValue{"/nowhere/after.png"});
    sim::Material& gradient = material("Gradient only"); // scan without colour shader: unused
    gradient.channels[7] = true;
    shader(gradient, 1012158, sim::Gradient{{{0, 0, 1}}});
    for (sim::Material* m : {&red, &shiny, &data, &scan, &gradient})
        textured(m);

    const auto objects = exportObjects();
    ASSERT_EQ(objects.size(), 5u);
    EXPECT_EQ(lines(surface(objects[0])), (Lines{"kind orv_diffuse", "diffuse 0.5 0 0"}));
    EXPECT_EQ(lines(surface(objects[1])), advanced("0 1 0", "0.25 0.5 1"));
    EXPECT_EQ(lines(surface(objects[2])), advanced("1 0 0", "0.5 0 0"));
    EXPECT_EQ(materialName(objects[3]), "Scan");
    Lines scanned = advanced("0 1 0", "0 0 0");
    scanned.push_back("diffuse !texture2_rgb");
    EXPECT_EQ(lines(surface(objects[3])), scanned);
    EXPECT_EQ(lines(textureShader(objects[3]))[1], "texture \"/nowhere/first.png\"");
    EXPECT_EQ(materialName(objects[4]), "Display color");
}

TEST_F(MaterialTest, BitmapIsLookedUpAsGivenThenInTexThenBesideTheDocument)
{
    const fs::path dir = fs::temp_directory_path() / ("meshtex_" + std::to_string(getpid()));
    fs::create_directories(dir / "tex");
    for (const char* file : {"given.png", "tex/both.png", "both.png", "beside.png"})
        std::ofstream(dir / file) << "png";
    const std::string d = dir.string();
    const std::pair<std::string, std::string> cases[] = {
        {d + "/given.png", d + "/given.png"},
        {"/elsewhere/both.png", d + "/tex/both.png"},
        {"/elsewhere/beside.png", d + "/beside.png"},
        {"/elsewhere/missing.png", "/elsewhere/missing.png"},
        {"", ""}, // no file name is no texture, although the "tex" folder itself opens
    };
    for (const auto& [file, expected] : cases) {
        doc = std::make_unique<sim::Document>();
        doc->path = d;
        textured(&bitmap(file));
        const auto* t = textureShader(only());
        EXPECT_EQ(t ? lines(t)[1] : "", expected.empty() ? "" : "texture \"" + expected + "\"") << file;
    }
    fs::remove_all(dir);
}

TEST_F(MaterialTest, VariantNamesStayStableAcrossExports)
{
    sim::Material& wood = material("Wood");
    textured(&wood, "A");
    textured(&wood, "B").params[1000] = 0.5;
    textured(&wood, "C");
    sim::Tag& d = textured(&wood, "D"); // differs only in projection and placement
    d.params[1004] = 2;
    d.placement.off = {1, 2, 3};
    textured(&wood, "F").params[1007] = 0; // no tiling
    EXPECT_EQ(exportMaterials(), (Lines{"Wood", "Wood #1", "Wood", "Wood", "Wood #2"}));

    // A later command keeps the numbers, whatever comes first.
    doc = std::make_unique<sim::Document>();
    sim::Material& again = material("Wood");
    textured(&again, "B").params[1000] = 0.5;
    textured(&again, "E").params[1002] = 3.0;
    textured(&again, "A");
    EXPECT_EQ(exportMaterials(), (Lines{"Wood #1", "Wood #3", "Wood"}));
}

TEST_F(MaterialTest, TextureNodeAndPlacement)
{
    const sim::Matrix identity{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const std::pair<sim::Matrix, std::string> cases[] = {
        {identity, "0.5 0 0 0 0 0.5 0 0 0 0 0.5 0 0 0 0 1"},
        {{{2, 0, 0}, {2, 0, 0}, {0, 4, 0}, {0, 0, 1}}, "0.25 0 0 0 0 0.125 0 0 0 0 0.5 0 -0.5 0 0 1"},
        {{{2, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, 0, 1}}, "0.5 0 0 0 0 0.5 0 0 0 0 0.5 0 0 0 0 1"}, // singular
        {identity, ""}, // another projection
    };
    for (const auto& [placement, transform] : cases) {
        doc = std::make_unique<sim::Document>();
        sim::Tag& t = textured(&bitmap("/x/wood.png"));
        t.params[1004] = transform.empty() ? 0 : 2;
        t.placement = placement;
        t.params[1000] = 0.25;
        t.params[1003] = 2.0;
        t.params[1007] = 0;
        Lines expected = {"kind texture2_rgb", "texture \"/x/wood.png\"", "default_color 0 0 0", "wrap off",
                          transform.empty() ? "uv_projection 4" : "uv_projection 5",
                          "scale_u 1", "scale_v 2", "shift_u 0.25", "shift_v 0",
                          transform.empty() ? "uv_flags 62" : "transform_obj_to_uv " + transform};
        EXPECT_EQ(lines(textureShader(only())), expected);
    }
}

TEST_F(MaterialTest, TexturedExampleDocument)
{
    std::string error;
    doc = sim::loadDocument(TAVRIN_EXAMPLES_DIR "/textured.json", error);
    ASSERT_NE(doc, nullptr) << error;
    EXPECT_EQ(exportMaterials(), (Lines{"Paint", "Wood", "Wood #1", "Display color"}));
    const std::string found = fs::path(TAVRIN_EXAMPLES_DIR "/tex/wood.png").lexically_normal().string();
    EXPECT_EQ(lines(textureShader(scene.top.findDeep("object", "Floor")))[1], "texture \"" + found + "\"");
}

} // namespace
} // namespace meshtest
