// Lights: octahedron geometry, point and mesh light shaders, power from brightness or
// photometric intensity, and sound values for parameters the host cannot give.
#include "scene_fixture.h"

#include <climits>
#include <cmath>
#include <limits>

using namespace scenetest;
using orv::qrf::Block;
using orv::qrf::Statement;

namespace {

constexpr int32_t kLight = 5102;

class LightTest : public ::testing::Test {
protected:
    sim::Object& light(const std::string& name, int32_t type)
    {
        sim::Object& o = builder.object(kLight, name);
        o.params[90002] = type;
        return o;
    }

    void exportAll() { scene = exportScene(builder.doc()); }

    const Statement* object(const std::string& name) const { return scene.top().findDeep("object", name); }

    std::vector<double> geometry(const std::string& name, const std::string& key) const
    {
        const Statement* o = object(name);
        if (!o || !o->block)
            return {};
        const Statement* g = o->block->find("geometry", "triangles");
        return g && g->block ? numbers(g->block->find(key)) : std::vector<double>{};
    }

    // The light shader of the light's material and its kind.
    const Block* shader(const std::string& name, std::string* kind = nullptr) const
    {
        const Statement* o = object(name);
        const Statement* m = o && o->block ? o->block->find("material", name) : nullptr;
        const Statement* s = m && m->block ? m->block->find("surface") : nullptr;
        if (kind && s && !s->args.empty())
            *kind = s->args[0].text;
        return shaderBlock(s);
    }

    std::string word(const std::string& name, const std::string& key) const
    {
        const Block* b = shader(name);
        const Statement* s = b ? b->find(key) : nullptr;
        return s && !s->args.empty() ? s->args[0].text : std::string("<missing>");
    }

    double power(const std::string& name) const
    {
        const Block* b = shader(name);
        const std::vector<double> v = numbers(b ? b->find("power") : nullptr);
        return v.empty() ? std::nan("") : v[0];
    }

    std::vector<std::string> keys(const std::string& name) const
    {
        std::vector<std::string> out;
        if (const Block* b = shader(name))
            for (const Statement& s : b->statements)
                out.push_back(s.keyword);
        return out;
    }

    DocBuilder builder;
    Scene scene;
};

TEST_F(LightTest, OmniLightIsAUnitOctahedronWithAPointLight)
{
    sim::Object& o = light("Lamp", 0);
    o.params[90000] = sim::Vec3{1, 1, 1};
    o.params[90001] = 1.0;
    exportAll();

    const std::vector<double> expected{0, -1, 0, 1, 0, 0, 0, 0, 1, -1, 0, 0, 0, 0, -1, 0, 1, 0};
    EXPECT_EQ(geometry("Lamp", "vertices"), expected);
    EXPECT_EQ(geometry("Lamp", "normals"), expected);
    EXPECT_EQ(geometry("Lamp", "triangles"),
              (std::vector<double>{2, 1, 0, 1, 2, 5, 3, 2, 0, 2, 3, 5, 4, 3, 0, 3, 4, 5, 1, 4, 0, 4, 1, 5}));

    std::string kind;
    ASSERT_NE(shader("Lamp", &kind), nullptr);
    EXPECT_EQ(kind, "orv_point_light");
    EXPECT_EQ(keys("Lamp"), (std::vector<std::string>{"power", "color", "lumen", "radius"}));
    EXPECT_EQ(power("Lamp"), 100);
    EXPECT_EQ(numbers(shader("Lamp")->find("color")), (std::vector<double>{1, 1, 1}));
    EXPECT_EQ(word("Lamp", "lumen"), "off");
    EXPECT_EQ(word("Lamp", "radius"), "0");
}

TEST_F(LightTest, AreaLightUsesHalfItsSizeAndIsHiddenFromEyeReflectionsAndShadows)
{
    sim::Object& o = light("Panel", 8);
    o.params[90001] = 1.0;
    o.params[100010] = 200.0;
    o.params[100011] = 100.0;
    o.params[100012] = 0.0;
    exportAll();

    // Vertices 2 and 4 coincide at the origin when the area has no depth.
    EXPECT_EQ(geometry("Panel", "vertices"),
              (std::vector<double>{0, -50, 0, 100, 0, 0, 0, 0, 0, -100, 0, 0, 0, 0, 0, 0, 50, 0}));
    std::string kind;
    shader("Panel", &kind);
    EXPECT_EQ(kind, "orv_mesh_light");
    EXPECT_EQ(keys("Panel"), (std::vector<std::string>{"power", "color", "lumen", "visible to the eye",
                                                       "visible in reflections", "visible in shadows"}));
    EXPECT_EQ(word("Panel", "visible to the eye"), "off");
    EXPECT_EQ(word("Panel", "visible in reflections"), "off");
    EXPECT_EQ(word("Panel", "visible in shadows"), "off");
}

TEST_F(LightTest, PowerIsTruncatedFromBrightnessOrPhotometricIntensity)
{
    struct Case {
        const char* name;
        int32_t type;
        double brightness;
        int32_t photometric, unit;
        double intensity;
        double power;
        const char* lumen;
    };
    const Case cases[] = {
        {"third", 0, 0.333, 0, 0, 0, 33, "off"},
        {"candela", 0, 1.0, 1, 1, 1.0, 12, "on"},       // 1 x 12.566, truncated
        {"lumen", 0, 1.0, 1, 0, 800.9, 800, "on"},
        {"dark", 0, -0.5, 0, 0, 0, -50, "off"},          // negative brightness darkens
        {"photometricArea", 8, 1.0, 1, 0, 50.0, 50, "on"},
    };
    for (const Case& c : cases) {
        sim::Object& o = light(c.name, c.type);
        o.params[90001] = c.brightness;
        o.params[90046] = c.photometric;
        o.params[90037] = c.unit;
        o.params[90043] = c.intensity;
    }
    exportAll();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(power(c.name), c.power);
        EXPECT_EQ(word(c.name, "lumen"), c.lumen);
    }
}

TEST_F(LightTest, UnreadableParametersFallBackToAWhiteLightAtFullBrightness)
{
    light("bare", 0).params.erase(90002);
    sim::Object& area = light("bareArea", 8);
    area.params[90001] = std::numeric_limits<double>::quiet_NaN();
    sim::Object& photometric = light("noIntensity", 0);
    photometric.params[90046] = 1;
    sim::Object& huge = light("huge", 0);
    huge.params[90001] = 1e30;
    huge.params[90000] = sim::Vec3{std::numeric_limits<double>::infinity(), 0, 0};
    exportAll();

    std::string kind;
    shader("bare", &kind);
    EXPECT_EQ(kind, "orv_point_light");
    EXPECT_EQ(power("bare"), 100);
    EXPECT_EQ(numbers(shader("bare")->find("color")), (std::vector<double>{1, 1, 1}));
    // An area light without sizes takes the host's default of 200 on each side.
    EXPECT_EQ(geometry("bareArea", "vertices"),
              (std::vector<double>{0, -100, 0, 100, 0, 0, 0, 0, 100, -100, 0, 0, 0, 0, -100, 0, 100, 0}));
    EXPECT_EQ(power("bareArea"), 100);
    EXPECT_EQ(power("noIntensity"), 100);
    // Power past the range of an int is held at its limit rather than wrapping.
    EXPECT_EQ(power("huge"), INT_MAX);
    EXPECT_EQ(numbers(shader("huge")->find("color")), (std::vector<double>{1, 1, 1}));
}

} // namespace
