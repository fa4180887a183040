// Hair: strands as bezier curves in the object's own coordinates, tapered radii, root
// UVs, the hair material of the outermost tag, and hair data that does not add up.
#include "scene_fixture.h"

#include <cmath>

using namespace scenetest;
using orv::qrf::Block;
using orv::qrf::Statement;

namespace {

constexpr int32_t kHair = 1017305;
constexpr int32_t kHairTag = 1017729;
constexpr int32_t kHairMaterial = 1017730;
constexpr int32_t kNull = 5140;

class HairTest : public ::testing::Test {
protected:
    // A hair object with strands of the given segment count; strand i's point j is
    // (i, j, 0) and its root UV (i / 10, 0.5).
    sim::Object& hair(const std::string& name, int32_t strands, int32_t segments, sim::Object* parent = nullptr)
    {
        sim::Object& o = builder.object(kHair, name, parent);
        o.hair.strandCount = strands;
        o.hair.segmentCount = segments;
        const int32_t nv = segments > 0 ? segments + 1 : 0;
        for (int32_t i = 0; i < strands; ++i) {
            for (int32_t j = 0; j < nv; ++j)
                o.hair.points.push_back({double(i), double(j), 0});
            o.hair.rootUV.push_back({i / 10.0, 0.5, 0});
        }
        return o;
    }

    sim::Tag& hairTag(sim::Object& o, const std::string& name, double root, double tip)
    {
        sim::Material& m = builder.material(kHairMaterial, name + " material");
        m.params[3009] = root;
        m.params[3010] = tip;
        sim::Tag& t = builder.tag(o, kHairTag);
        t.params[900] = name;
        t.params[1000] = sim::Link{&m};
        return t;
    }

    void exportAll() { scene = exportScene(builder.doc()); }

    const Block* curves(const std::string& name) const
    {
        const Statement* o = scene.top().findDeep("object", name);
        const Statement* g = o && o->block ? o->block->find("geometry") : nullptr;
        if (g && g->name() != "orv_bezier_curves")
            return nullptr;
        return g ? g->block.get() : nullptr;
    }

    std::vector<double> attribute(const std::string& name, const std::string& key) const
    {
        const Block* b = curves(name);
        return b ? numbers(b->find(key)) : std::vector<double>{};
    }

    std::string materialName(const std::string& name) const
    {
        const Statement* o = scene.top().findDeep("object", name);
        const Statement* m = o && o->block ? o->block->find("material") : nullptr;
        return m ? m->name() : "<none>";
    }

    DocBuilder builder;
    Scene scene;
};

TEST_F(HairTest, StrandsBecomeCurvesWithRadiiTaperingFromRootToTip)
{
    hair("Fur", 2, 3);
    exportAll();

    const Block* b = curves("Fur");
    ASSERT_NE(b, nullptr);
    std::vector<std::string> keys;
    for (const Statement& s : b->statements)
        keys.push_back(s.keyword);
    EXPECT_EQ(keys, (std::vector<std::string>{"radius", "order", "p", "pr", "curve_uv", "nvertices"}));
    EXPECT_EQ(attribute("Fur", "radius"), (std::vector<double>{0.5}));
    EXPECT_EQ(attribute("Fur", "order"), (std::vector<double>{2}));
    EXPECT_EQ(attribute("Fur", "p"),
              (std::vector<double>{0, 0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 1, 0, 0, 1, 1, 0, 1, 2, 0, 1, 3, 0}));
    EXPECT_EQ(attribute("Fur", "nvertices"), (std::vector<double>{4, 4}));
    EXPECT_EQ(attribute("Fur", "curve_uv"), (std::vector<double>{0, 0.5, 0.1f, 0.5}));

    // Single-precision steps of (0.1 - 0.5) / 3 along each strand.
    const float step = static_cast<float>(static_cast<double>(0.1f - 0.5f) / 3.0);
    std::vector<double> expected;
    for (int strand = 0; strand < 2; ++strand) {
        float r = 0.5f;
        for (int j = 0; j < 4; ++j, r = r + step)
            expected.push_back(r);
    }
    EXPECT_EQ(attribute("Fur", "pr"), expected);
    EXPECT_NEAR(expected[1], 0.3667, 1e-4);
    EXPECT_NEAR(expected[2], 0.2333, 1e-4);
    EXPECT_NEAR(expected[3], 0.1, 1e-6);
    EXPECT_EQ(materialName("Fur"), "Display color");
}

TEST_F(HairTest, PointsAreTakenIntoTheHairObjectsOwnFrame)
{
    sim::Object& o = hair("Moved", 1, 1);
    o.pos = {10, 0, 0};
    o.scale = {2, 2, 2};
    exportAll();
    // Host points (0,0,0) and (0,1,0) under the inverse of translate(10) * scale(2).
    EXPECT_EQ(attribute("Moved", "p"), (std::vector<double>{-5, 0, 0, -5, 0.5, 0}));
}

TEST_F(HairTest, EmptyAndPointlessStrands)
{
    hair("None", 0, 3);
    hair("Flat", 2, 0); // no segments: no points per strand
    hair("Nothing", 2, 3).hair.generates = false;
    exportAll();

    for (const char* key : {"p", "pr", "curve_uv", "nvertices"})
        EXPECT_TRUE(attribute("None", key).empty()) << key;
    ASSERT_NE(curves("None"), nullptr);
    EXPECT_NE(curves("None")->find("nvertices"), nullptr);

    EXPECT_TRUE(attribute("Flat", "p").empty());
    EXPECT_TRUE(attribute("Flat", "pr").empty());
    EXPECT_EQ(attribute("Flat", "nvertices"), (std::vector<double>{0, 0}));
    EXPECT_EQ(attribute("Flat", "curve_uv"), (std::vector<double>{0, 0.5, 0.1f, 0.5}));

    EXPECT_EQ(scene.top().findDeep("object", "Nothing"), nullptr);
}

TEST_F(HairTest, OutermostHairMaterialTagDecides)
{
    sim::Object& parent = builder.object(kNull, "Groom");
    hairTag(parent, "Outer", 1.0, 0.25);
    sim::Object& o = hair("Tuft", 1, 2, &parent);
    hairTag(o, "Inner", 3.0, 4.0);
    sim::Object& plain = hair("Plain", 1, 2);
    hairTag(plain, "", 2.0, 1.0).params.erase(900); // radii without a name
    exportAll();

    EXPECT_EQ(materialName("Tuft"), "Outer");
    const std::vector<double> radii = attribute("Tuft", "pr");
    ASSERT_EQ(radii.size(), 3u);
    EXPECT_FLOAT_EQ(radii[0], 1.0f);
    EXPECT_FLOAT_EQ(radii[2], 0.25f);

    EXPECT_EQ(materialName("Plain"), "Display color");
    EXPECT_EQ(attribute("Plain", "pr"), (std::vector<double>{2, 1.5, 1}));
}

TEST_F(HairTest, InconsistentHairDataKeepsOnlyCompleteStrands)
{
    sim::Object& shortPoints = hair("Short", 3, 3);
    shortPoints.hair.points.resize(10);    // room for two strands of four points
    shortPoints.hair.rootUV.resize(1);     // the second strand's UV is missing
    hair("Negative", 2, -5);
    sim::Object& noPoints = hair("Bare", 2, 3);
    noPoints.hair.points.clear();
    sim::Object& negativeStrands = hair("Backwards", 0, 3);
    negativeStrands.hair.strandCount = -4;
    exportAll();

    EXPECT_EQ(attribute("Short", "nvertices"), (std::vector<double>{4, 4}));
    EXPECT_EQ(attribute("Short", "p").size(), 24u);
    EXPECT_EQ(attribute("Short", "pr").size(), 8u);
    EXPECT_EQ(attribute("Short", "curve_uv"), (std::vector<double>{0, 0.5, 0, 0}));

    EXPECT_EQ(attribute("Negative", "nvertices"), (std::vector<double>{0, 0}));
    EXPECT_TRUE(attribute("Negative", "p").empty());

    ASSERT_NE(curves("Bare"), nullptr);
    EXPECT_TRUE(attribute("Bare", "nvertices").empty());
    ASSERT_NE(curves("Backwards"), nullptr);
    EXPECT_TRUE(attribute("Backwards", "nvertices").empty());
}

} // namespace
