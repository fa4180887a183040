// The bundled example documents with lights, cameras, animation and hair, loaded through
// the JSON loader and exported: what a user of the examples sees in the scene file.
#include "scene_fixture.h"

#include "sim_host.h"

#include <cmath>

using namespace scenetest;
using orv::qrf::Block;
using orv::qrf::Statement;

namespace {

Scene exportExample(const std::string& file)
{
    std::string error;
    auto doc = sim::loadDocument(std::string(TAVRIN_EXAMPLES_DIR) + "/" + file, error);
    if (!doc) {
        ADD_FAILURE() << error;
        return {};
    }
    return exportScene(*doc);
}

struct Node {
    std::string name, folder;
    double start = -1;
    std::vector<double> stamps, matrices;
    double at(size_t sample, size_t index) const { return matrices.at(sample * 16 + index); }
};

std::vector<Node> nodes(const Statement* holder)
{
    std::vector<Node> out;
    if (!holder || !holder->block)
        return out;
    for (const Statement* a : holder->block->all("animation")) {
        Node n;
        n.name = animationName(*a);
        n.folder = a->block->find("folder") ? a->block->find("folder")->name() : "";
        const std::vector<double> start = numbers(a->block->find("start_time"));
        n.start = start.empty() ? -1 : start[0];
        n.stamps = numbers(a->block->find("timestamps"));
        n.matrices = numbers(a->block->find("matrices"));
        out.push_back(std::move(n));
    }
    return out;
}

std::vector<std::string> names(const std::vector<Node>& list)
{
    std::vector<std::string> out;
    for (const Node& n : list)
        out.push_back(n.name);
    return out;
}

TEST(Examples, AnimatedObject)
{
    const Scene scene = exportExample("animated_object.json");
    // Rotation order 2: the tracks come out z, y, x whatever their order in the document.
    EXPECT_EQ(names(nodes(scene.top().findDeep("group", "Turntable"))),
              (std::vector<std::string>{"Rotation . Z", "Rotation . Y", "Rotation . X"}));

    // Held and switched-off tracks give nothing; the rest come scale first, then position
    // sorted x, y, z (rotation order 6) and processed from the back.
    const std::vector<Node> bouncer = nodes(scene.top().findDeep("group", "Bouncer"));
    ASSERT_EQ(names(bouncer), (std::vector<std::string>{"Scale . X", "Position . Y", "Position . X"}));
    const Node& scale = bouncer[0];
    const Node& y = bouncer[1];
    const Node& x = bouncer[2];

    EXPECT_EQ(scale.folder, "Bouncer/Scale");
    EXPECT_EQ(scale.start, 1);
    ASSERT_EQ(scale.stamps.size(), 31u);
    EXPECT_EQ(std::vector<double>(scale.stamps.begin(), scale.stamps.begin() + 5),
              (std::vector<double>{0, 33, 66, 99, 133}));
    ASSERT_EQ(y.stamps.size(), 30u);
    EXPECT_EQ(y.stamps.back(), 966);
    EXPECT_EQ(x.stamps, (std::vector<double>{0, 33}));

    // Object mode: a change of 0.6667 in x under the static scale 2 moves 0.3333 locally.
    EXPECT_NEAR(x.at(1, 12), 0.033333335 / 0.05 / 2, 1e-5);
    // The scale node starts at 2: each later sample is the ratio to it.
    EXPECT_EQ(scale.at(0, 0), 1);
    EXPECT_NEAR(scale.at(30, 0), (2 + 0.99999) / 2, 1e-4);
    // The document is taken at its minimum time: y starts at 0 and rises.
    EXPECT_NEAR(y.at(15, 13), 40 * 0.5 / 0.5, 1.5);
}

TEST(Examples, AnimatedCamera)
{
    const Scene scene = exportExample("animated_camera.json");
    const Statement* dolly = scene.top().find("camera", "Dolly");
    ASSERT_NE(dolly, nullptr);
    EXPECT_EQ(dolly->block->find("transform"), nullptr);
    const std::vector<Node> list = nodes(dolly);
    ASSERT_EQ(names(list), (std::vector<std::string>{"Rotation . H", "Position . Z", "Position . Y"}));
    EXPECT_EQ(list[0].folder, "Dolly/Camera Rotation");
    EXPECT_EQ(list[0].start, 1);
    EXPECT_EQ(list[0].stamps.size(), 61u);

    // Camera mode mirrors z: the dolly moving forward by 100 in the first second is written
    // as -100 along the renderer's z.
    const Node& z = list[1];
    ASSERT_GE(z.stamps.size(), 31u);
    EXPECT_EQ(z.stamps[30], 1000);
    EXPECT_NEAR(z.at(30, 14), -100, 1e-3);
    EXPECT_NEAR(z.at(30, 12), 0, 1e-9);

    const Statement* still = scene.top().find("camera", "Still");
    ASSERT_NE(still, nullptr);
    EXPECT_TRUE(nodes(still).empty());
    EXPECT_EQ(numbers(still->block->find("fov")), (std::vector<double>{90}));
    const std::vector<double> m = numbers(still->block->find("transform"));
    ASSERT_EQ(m.size(), 16u);
    EXPECT_EQ(std::vector<double>(m.begin() + 12, m.end()), (std::vector<double>{300, 50, 300, 1}));
}

TEST(Examples, Lights)
{
    const Scene scene = exportExample("lights.json");
    struct Expect {
        const char* name;
        const char* kind;
        double power;
        const char* lumen;
    };
    for (const Expect& e : {Expect{"Omni", "orv_point_light", 100, "off"},
                            Expect{"Dim Spot", "orv_point_light", 33, "off"},
                            Expect{"Softbox", "orv_mesh_light", 250, "off"},
                            Expect{"Candela Bulb", "orv_point_light", 12, "on"},
                            Expect{"Lumen Panel", "orv_mesh_light", 800, "on"}}) {
        SCOPED_TRACE(e.name);
        const Statement* o = scene.top().findDeep("object", e.name);
        ASSERT_NE(o, nullptr);
        const Statement* surface = o->block->find("material", e.name)->block->find("surface");
        ASSERT_NE(surface, nullptr);
        EXPECT_EQ(surface->args.at(0).text, e.kind);
        EXPECT_EQ(numbers(shaderBlock(surface)->find("power")), (std::vector<double>{e.power}));
        EXPECT_EQ(shaderBlock(surface)->find("lumen")->args.at(0).text, e.lumen);
    }
    const Statement* softbox = scene.top().findDeep("object", "Softbox");
    EXPECT_EQ(numbers(softbox->block->find("geometry")->block->find("vertices")),
              (std::vector<double>{0, -50, 0, 100, 0, 0, 0, 0, 0, -100, 0, 0, 0, 0, 0, 0, 50, 0}));
}

TEST(Examples, Hair)
{
    const Scene scene = exportExample("hair.json");
    const Statement* fringe = scene.top().findDeep("object", "Fringe");
    ASSERT_NE(fringe, nullptr);
    const Block& curves = *fringe->block->find("geometry", "orv_bezier_curves")->block;
    // Points in the object's own frame: the object stands at y = 100.
    const std::vector<double> p = numbers(curves.find("p"));
    ASSERT_EQ(p.size(), 36u);
    EXPECT_EQ(std::vector<double>(p.begin(), p.begin() + 6), (std::vector<double>{0, 0, 0, 0, 10, 1}));
    // The outermost tag (on the parent) decides the name and the radii.
    EXPECT_EQ(fringe->block->find("material")->name(), "Blond Hair");
    const std::vector<double> radii = numbers(curves.find("pr"));
    ASSERT_EQ(radii.size(), 12u);
    EXPECT_FLOAT_EQ(radii[0], 0.8f);
    EXPECT_NEAR(radii[3], 0.05, 1e-6);
    EXPECT_EQ(numbers(curves.find("nvertices")), (std::vector<double>{4, 4, 4}));
    const Statement* surface = fringe->block->find("material")->block->find("surface");
    EXPECT_EQ(numbers(shaderBlock(surface)->find("diffuse")), (std::vector<double>{0.9, 0.8, 0.5}));

    const Statement* stubble = scene.top().findDeep("object", "Stubble");
    ASSERT_NE(stubble, nullptr);
    const Block& flat = *stubble->block->find("geometry")->block;
    EXPECT_EQ(numbers(flat.find("nvertices")), (std::vector<double>{0, 0}));
    EXPECT_EQ(numbers(flat.find("curve_uv")), (std::vector<double>{0.25, 0.25, 0.75, 0.75}));
    EXPECT_TRUE(numbers(flat.find("p")).empty());

    EXPECT_EQ(scene.top().findDeep("object", "Bald"), nullptr);
}

} // namespace
