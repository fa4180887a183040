// Materials: display colour, standard material channels, shaders, texture files, variant
// names kept for the life of the context, and the texture placement.
#include "mesh_fixture.h"

#include "sim_host.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace meshtest {
namespace {

using V = std::vector<double>;
namespace fs = std::filesystem;

class MaterialTest : public MeshTest {
protected:
    // One triangle carrying a texture tag of m; returns the tag.
    sim::Tag& textured(sim::Material* m, const std::string& name = "T")
    {
        sim::Object& o = polygon(name, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2, 2}});
        return texture(o, m);
    }
    const Statement* only()
    {
        const auto objects = exportObjects();
        EXPECT_EQ(objects.size(), 1u);
        return objects.empty() ? nullptr : objects[0];
    }
};

TEST_F(MaterialTest, DisplayColourFollowsTheColourMode)
{
    struct Case {
        sim::Value mode;
        bool withLayer;
        V expected;
    };
    const Case cases[] = {
        {0, true, {0.65, 0.65, 0.65}},
        {1, true, {0.1, 0.2, 0.3}},
        {3, true, {0.7, 0.8, 0.9}},
        {3, false, {0.65, 0.65, 0.65}},
        {2, true, {0.65, 0.65, 0.65}},
    };
    for (const Case& c : cases) {
        doc = std::make_unique<sim::Document>();
        sim::Object& o = polygon("C", {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2, 2}});
        o.params[907] = c.mode;
        o.params[908] = sim::Vec3{0.1, 0.2, 0.3};
        if (c.withLayer)
            layer(o).params[1009] = sim::Vec3{0.7, 0.8, 0.9};
        EXPECT_EQ(numbers(surface(only())->find("diffuse")), c.expected) << std::get<int32_t>(c.mode);
    }
}

TEST_F(MaterialTest, BrightnessScalesTheColour)
{
    sim::Material& m = material("Red", {1, 0, 0});
    m.params[2101] = 0.5;
    textured(&m);
    const Statement* o = only();
    EXPECT_EQ(materialName(o), "Red");
    EXPECT_EQ(surfaceKind(o), "orv_diffuse");
    EXPECT_EQ(numbers(surface(o)->find("diffuse")), (V{0.5, 0, 0}));
}

TEST_F(MaterialTest, SpecularGivesTheAdvancedShaderWithFixedValues)
{
    sim::Material& m = material("Shiny", {0, 1, 0});
    m.channels[8] = true;
    m.params[3100] = sim::Vec3{0.25, 0.5, 1};
    textured(&m);
    const Block* s = surface(only());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(numbers(s->find("diffuse")), (V{0, 1, 0}));
    EXPECT_EQ(numbers(s->find("specular")), (V{0.25, 0.5, 1}));
    EXPECT_EQ(s->find("fresnel")->args[0].text, "on");
    EXPECT_EQ(numbers(s->find("roughness")), V{0});
    EXPECT_EQ(numbers(s->find("ior")), V{1.5});
    EXPECT_EQ(s->find("glossy")->args[0].text, "on");
    EXPECT_EQ(numbers(s->find("glossy_samples")), V{9});
    EXPECT_EQ(numbers(s->find("alpha")), V{1});
    EXPECT_EQ(s->all("diffuse").size(), 1u); // untextured: no texture input

    // Channel 3 without a readable specular colour takes the data container's entry 65.
    doc = std::make_unique<sim::Document>();
    sim::Material& d = material("Data");
    d.channels[3] = true;
    d.data[65] = sim::Vec3{0.5, 0, 0};
    textured(&d);
    EXPECT_EQ(numbers(surface(only())->find("specular")), (V{0.5, 0, 0}));
}

TEST_F(MaterialTest, ReflectionChannelUsesOnlyTheShaderScan)
{
    sim::Material& m = material("Scan", {1, 1, 1});
    m.channels[7] = true;
    shader(m, 1011100).params[1007] = sim::Gradient{{{0, 0, 1}, {1, 1, 1}}};
    shader(m, 5833).params[1000] = sim::FilenameValue{"/nowhere/first.png"};
    shader(m, 5832).params[1000] = sim::Vec3{0, 1, 0};
    shader(m, 5833).params[1000] = sim::FilenameValue{"/nowhere/after.png"};
    textured(&m);
    const Statement* o = only();
    EXPECT_EQ(materialName(o), "Scan");
    EXPECT_EQ(numbers(surface(o)->find("diffuse")), (V{0, 1, 0}));
    ASSERT_NE(textureShader(o), nullptr);
    EXPECT_EQ(textureShader(o)->find("texture")->name(), "/nowhere/first.png");

    // Without a colour shader the scan fails and the tag is not used.
    doc = std::make_unique<sim::Document>();
    sim::Material& g = material("Gradient only");
    g.channels[7] = true;
    shader(g, 1012158).params[10001] = sim::Gradient{{{0, 0, 1}}};
    textured(&g);
    EXPECT_EQ(materialName(only()), "Display color");
}

TEST_F(MaterialTest, BitmapIsLookedUpAsGivenThenInTexThenBesideTheDocument)
{
    const fs::path dir = fs::temp_directory_path() / ("meshtex_" + std::to_string(getpid()));
    fs::create_directories(dir / "tex");
    for (const fs::path& p : {dir / "given.png", dir / "tex/both.png", dir / "both.png", dir / "beside.png"})
        std::ofstream(p) << "png";
    const std::string d = dir.string();
    const std::pair<std::string, std::string> cases[] = {
        {d + "/given.png", d + "/given.png"},
        {"/elsewhere/both.png", d + "/tex/both.png"},
        {"/elsewhere/beside.png", d + "/beside.png"},
        {"/elsewhere/missing.png", "/elsewhere/missing.png"},
    };
    for (const auto& [file, expected] : cases) {
        doc = std::make_unique<sim::Document>();
        doc->path = d;
        sim::Material& m = material("Bitmap");
        m.params[8000] = sim::Link{&shader(m, 5833)};
        m.shaders.back()->params[1000] = sim::FilenameValue{file};
        textured(&m);
        const Block* t = textureShader(only());
        ASSERT_NE(t, nullptr) << file;
        EXPECT_EQ(t->find("texture")->name(), expected);
    }
    // An empty file name is no texture, even though the "tex" folder itself opens.
    doc = std::make_unique<sim::Document>();
    doc->path = d;
    sim::Material& m = material("No file");
    m.params[8000] = sim::Link{&shader(m, 5833)};
    m.shaders.back()->params[1000] = sim::FilenameValue{""};
    textured(&m);
    EXPECT_EQ(textureShader(only()), nullptr);
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
    std::vector<std::string> names;
    for (const Statement* o : exportObjects())
        names.push_back(materialName(o));
    EXPECT_EQ(names, (std::vector<std::string>{"Wood", "Wood #1", "Wood", "Wood", "Wood #2"}));

    // A later command keeps the numbers, whatever comes first.
    doc = std::make_unique<sim::Document>();
    sim::Material& again = material("Wood");
    textured(&again, "B").params[1000] = 0.5;
    textured(&again, "E").params[1002] = 3.0;
    textured(&again, "A");
    names.clear();
    for (const Statement* o : exportObjects())
        names.push_back(materialName(o));
    EXPECT_EQ(names, (std::vector<std::string>{"Wood #1", "Wood #3", "Wood"}));
}

TEST_F(MaterialTest, TextureNodeAndPlacement)
{
    struct Case {
        int32_t projection;
        sim::Matrix placement;
        V transform; // empty: no "transform_obj_to_uv"
    };
    const sim::Matrix identity{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const Case cases[] = {
        {2, identity, {0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 1}},
        {2, {{2, 0, 0}, {2, 0, 0}, {0, 4, 0}, {0, 0, 1}},
         {0.25, 0, 0, 0, 0, 0.125, 0, 0, 0, 0, 0.5, 0, -0.5, 0, 0, 1}},
        {2, {{2, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, 0, 1}}, // singular: identity
         {0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 1}},
        {0, identity, {}},
    };
    for (const Case& c : cases) {
        doc = std::make_unique<sim::Document>();
        sim::Material& m = material("Tex");
        m.params[8000] = sim::Link{&shader(m, 5833)};
        m.shaders.back()->params[1000] = sim::FilenameValue{"/x/wood.png"};
        sim::Tag& t = textured(&m);
        t.params[1004] = c.projection;
        t.placement = c.placement;
        t.params[1000] = 0.25;
        t.params[1003] = 2.0;
        t.params[1007] = 0;
        const Statement* o = only();
        EXPECT_EQ(surfaceKind(o), "orv_advanced");
        const Block* tex = textureShader(o);
        ASSERT_NE(tex, nullptr);
        EXPECT_EQ(numbers(tex->find("default_color")), (V{0, 0, 0}));
        EXPECT_EQ(tex->find("wrap")->args[0].text, "off");
        EXPECT_EQ(numbers(tex->find("uv_projection")), V{c.projection == 2 ? 5.0 : 4.0});
        EXPECT_EQ(numbers(tex->find("scale_u")), V{1});
        EXPECT_EQ(numbers(tex->find("scale_v")), V{2});
        EXPECT_EQ(numbers(tex->find("shift_u")), V{0.25});
        EXPECT_EQ(numbers(tex->find("shift_v")), V{0});
        EXPECT_EQ(numbers(tex->find("transform_obj_to_uv")), c.transform);
        if (const Statement* t = tex->find("transform_obj_to_uv")) {
            for (const auto& word : t->args) {
                EXPECT_NE(word.text, "-0"); // zeros are written as "0"
            }
        }
        EXPECT_EQ(numbers(tex->find("uv_flags")), c.projection == 2 ? V{} : V{62});
    }
}

TEST_F(MaterialTest, TexturedExampleDocument)
{
    std::string error;
    doc = sim::loadDocument(TAVRIN_EXAMPLES_DIR "/textured.json", error);
    ASSERT_NE(doc, nullptr) << error;
    std::vector<std::string> names;
    for (const Statement* o : exportObjects())
        names.push_back(o->name() + ": " + materialName(o));
    EXPECT_EQ(names, (std::vector<std::string>{"Box: Paint", "Box: Wood", "Floor: Wood #1",
                                               "Marker: Display color"}));
    const Block* t = textureShader(scene.top.findDeep("object", "Floor"));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->find("texture")->name(), fs::path(TAVRIN_EXAMPLES_DIR "/tex/wood.png").lexically_normal().string());
}

} // namespace
} // namespace meshtest
