// The bundled example documents with animation, cameras, lights and hair, exported and
// read back: what a user of the examples finds in the scene file.
#include "scene_fixture.h"

#include <cmath>

using namespace scenetest;

namespace {

std::vector<double> head(const std::vector<double>& v, size_t n)
{
    return std::vector<double>(v.begin(), v.begin() + static_cast<long>(std::min(n, v.size())));
}

TEST(ContentExamples, AnimatedObjectSamplesAtThirtyStepsPerSecondInTheLocalFrame)
{
    const Scene scene = exportExample("animated_object.json");
    // Rotation order 2 sorts x, y, z; the nodes come out from the back of the list.
    EXPECT_EQ(namesOf(animationsIn(scene.top().findDeep("group", "Turntable"))),
              (std::vector<std::string>{"Rotation . Z", "Rotation . Y", "Rotation . X"}));

    // Held and switched-off tracks give no node; scale comes before position.
    const auto bouncer = animationsIn(scene.top().findDeep("group", "Bouncer"));
    ASSERT_EQ(namesOf(bouncer), (std::vector<std::string>{"Scale . X", "Position . Y", "Position . X"}));
    const Animation &scale = bouncer[0], &y = bouncer[1], &x = bouncer[2];
    EXPECT_EQ(scale.folder, "Bouncer/Scale");
    EXPECT_EQ(x.folder, "Bouncer/Position");

    // Keys at 1 s and 2 s: 31 samples, single-precision timestamps.
    EXPECT_EQ(scale.start, 1);
    EXPECT_EQ(scale.stamps.size(), 31u);
    EXPECT_EQ(head(scale.stamps, 5), (std::vector<double>{0, 33, 66, 99, 133}));
    // Keys at 0 s and 1 s: 30 samples, the last at 966 ms; 0 s to 0.05 s: two samples.
    EXPECT_EQ(y.stamps.size(), 30u);
    EXPECT_EQ(head(y.stamps, 5), (std::vector<double>{0, 33, 66, 100, 133}));
    EXPECT_EQ(y.stamps.back(), 966);
    EXPECT_EQ(x.stamps, (std::vector<double>{0, 33}));
    EXPECT_EQ(x.matrices.size(), 32u);

    // Every node starts with the identity; later samples are the change in the local frame:
    // x moved 0.6667 under the static scale 2, the scale grew from 2 to almost 3.
    EXPECT_EQ(head(x.matrices, 16), (std::vector<double>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
    EXPECT_NEAR(x.at(1, 12), 0.033333335 / 0.05 / 2, 1e-5);
    EXPECT_NEAR(scale.at(30, 0), 2.9999 / 2, 1e-4);
    EXPECT_EQ(scale.at(30, 12), 0);
    // Static values are taken at the minimum time, not the document's current 0.5 s.
    EXPECT_NEAR(y.at(3, 13), 0.1 * 80, 1e-3);
}

TEST(ContentExamples, AnimatedCameraComesFirstMirroredInZ)
{
    const Scene scene = exportExample("animated_camera.json");
    std::vector<std::string> order;
    for (const Statement& s : scene.top().statements)
        if (s.keyword == "camera" || s.keyword == "group")
            order.push_back(s.keyword + " " + s.name());
    EXPECT_EQ(order, (std::vector<std::string>{"camera Dolly", "camera Still", "camera Camera",
                                               "group animated_camera"}));

    const Statement* dolly = scene.top().find("camera", "Dolly");
    ASSERT_NE(dolly, nullptr);
    EXPECT_EQ(dolly->block->find("transform"), nullptr);
    const auto list = animationsIn(dolly);
    ASSERT_EQ(namesOf(list), (std::vector<std::string>{"Rotation . H", "Position . Z", "Position . Y"}));
    EXPECT_EQ(list[0].folder, "Dolly/Camera Rotation");
    EXPECT_EQ(list[0].stamps.size(), 61u);
    // Moving forward by 100 in the first second is -100 along the renderer's z.
    const Animation& z = list[1];
    ASSERT_GT(z.stamps.size(), 30u);
    EXPECT_EQ(z.stamps[30], 1000);
    EXPECT_NEAR(z.at(30, 14), -100, 1e-3);
    EXPECT_EQ(z.at(30, 12), 0);
    // The walk writes the same tracks in object mode inside the camera's own group.
    EXPECT_EQ(animationsIn(scene.top().findDeep("group", "Dolly"))[1].folder, "Dolly/Position");

    const Block& still = *scene.top().find("camera", "Still")->block;
    EXPECT_EQ(numbers(still.find("fov")), (std::vector<double>{90}));
    EXPECT_EQ(still.find("projection")->name(), "perspective");
    EXPECT_EQ(numbers(still.find("direction")), (std::vector<double>{0, 0, 1}));
    const std::vector<double> m = numbers(still.find("transform"));
    const double c = std::sqrt(0.5);
    const std::vector<double> expected{c, 0, -c, 0, 0, 1, 0, 0, -c, 0, -c, 0, 300, 50, 300, 1};
    ASSERT_EQ(m.size(), 16u);
    for (size_t i = 0; i < 16; ++i)
        EXPECT_NEAR(m[i], expected[i], 1e-5) << i;

    // The unnamed camera inside a moved null: named "Camera", placed by its world matrix.
    const Block& nested = *scene.top().find("camera", "Camera")->block;
    const std::vector<double> placed = numbers(nested.find("transform"));
    ASSERT_EQ(placed.size(), 16u);
    EXPECT_EQ(std::vector<double>(placed.begin() + 12, placed.end()), (std::vector<double>{101, 2, -3, 1}));
    EXPECT_NEAR(numbers(nested.find("fov")).at(0), 34.3775, 1e-4);
}

TEST(ContentExamples, LightsAreOctahedraWithLightShaders)
{
    const Scene scene = exportExample("lights.json");
    const Block& omni = *scene.top().findDeep("object", "Omni")->block->find("geometry")->block;
    const std::vector<double> unit{0, -1, 0, 1, 0, 0, 0, 0, 1, -1, 0, 0, 0, 0, -1, 0, 1, 0};
    EXPECT_EQ(numbers(omni.find("vertices")), unit);
    EXPECT_EQ(numbers(omni.find("normals")), unit);
    EXPECT_EQ(numbers(omni.find("triangles")),
              (std::vector<double>{2, 1, 0, 1, 2, 5, 3, 2, 0, 2, 3, 5, 4, 3, 0, 3, 4, 5, 1, 4, 0, 4, 1, 5}));
    std::vector<std::string> keys;
    for (const Statement& s : shaderBlock(surfaceOf(scene, "Omni"))->statements)
        keys.push_back(s.keyword + " " + (s.args.empty() ? "" : s.args[0].text));
    EXPECT_EQ(keys, (std::vector<std::string>{"power 100", "color 1", "lumen off", "radius 0"}));

    // Half the area's size; vertices 2 and 4 meet at the origin when it has no depth.
    const Block& softbox = *scene.top().findDeep("object", "Softbox")->block->find("geometry")->block;
    EXPECT_EQ(numbers(softbox.find("vertices")),
              (std::vector<double>{0, -50, 0, 100, 0, 0, 0, 0, 0, -100, 0, 0, 0, 0, 0, 0, 50, 0}));
    keys.clear();
    for (const Statement& s : shaderBlock(surfaceOf(scene, "Softbox"))->statements)
        keys.push_back(s.keyword + " " + s.args.at(0).text);
    EXPECT_EQ(keys, (std::vector<std::string>{"power 250", "color 0.9", "lumen off", "visible to the eye off",
                                              "visible in reflections off", "visible in shadows off"}));

    struct Expect {
        const char* name;
        const char* kind;
        double power;
        const char* lumen;
    };
    for (const Expect& e : {Expect{"Dim Spot", "orv_point_light", 33, "off"},      // truncated
                            Expect{"Candela Bulb", "orv_point_light", 12, "on"},   // 1 x 12.566
                            Expect{"Lumen Panel", "orv_mesh_light", 800, "on"}}) { // 800.9
        SCOPED_TRACE(e.name);
        const Statement* surface = surfaceOf(scene, e.name);
        ASSERT_NE(surface, nullptr);
        EXPECT_EQ(surface->args.at(0).text, e.kind);
        EXPECT_EQ(numbers(shaderBlock(surface)->find("power")), (std::vector<double>{e.power}));
        EXPECT_EQ(shaderBlock(surface)->find("lumen")->args.at(0).text, e.lumen);
    }
}

TEST(ContentExamples, HairStrandsBecomeTaperedCurves)
{
    const Scene scene = exportExample("hair.json");
    const Statement* fringe = scene.top().findDeep("object", "Fringe");
    ASSERT_NE(fringe, nullptr);
    const Block& curves = *fringe->block->find("geometry", "orv_bezier_curves")->block;
    std::vector<std::string> keys;
    for (const Statement& s : curves.statements)
        keys.push_back(s.keyword);
    EXPECT_EQ(keys, (std::vector<std::string>{"radius", "order", "p", "pr", "curve_uv", "nvertices"}));
    // Points in the object's own frame (it stands at y = 100).
    EXPECT_EQ(head(numbers(curves.find("p")), 6), (std::vector<double>{0, 0, 0, 0, 10, 1}));
    EXPECT_EQ(numbers(curves.find("nvertices")), (std::vector<double>{4, 4, 4}));
    EXPECT_EQ(numbers(curves.find("curve_uv")), (std::vector<double>{0, 0.5, 0.5, 0.5, 1, 0.5}));

    // The parent's tag is the outermost: it names the material and sets the radii, which
    // taper in single-precision steps of (0.05 - 0.8) / 3 along every strand.
    EXPECT_EQ(fringe->block->find("material")->name(), "Blond Hair");
    EXPECT_EQ(numbers(shaderBlock(surfaceOf(scene, "Fringe"))->find("diffuse")),
              (std::vector<double>{0.9, 0.8, 0.5}));
    const float step = static_cast<float>(static_cast<double>(0.05f - 0.8f) / 3.0);
    std::vector<double> taper;
    for (float r = 0.8f; taper.size() < 4; r = r + step)
        taper.push_back(r);
    const std::vector<double> radii = numbers(curves.find("pr"));
    ASSERT_EQ(radii.size(), 12u);
    EXPECT_EQ(head(radii, 4), taper);
    EXPECT_EQ(std::vector<double>(radii.begin() + 8, radii.end()), taper);

    // No segments: each strand has only its vertex count 0 and its root UV.
    const Block& flat = *scene.top().findDeep("object", "Stubble")->block->find("geometry")->block;
    EXPECT_EQ(numbers(flat.find("nvertices")), (std::vector<double>{0, 0}));
    EXPECT_EQ(numbers(flat.find("curve_uv")), (std::vector<double>{0.25, 0.25, 0.75, 0.75}));
    EXPECT_TRUE(numbers(flat.find("p")).empty());
    EXPECT_EQ(scene.top().findDeep("object", "Stubble")->block->find("material")->name(), "Display color");
    // Nothing is written when the host generates no strands.
    EXPECT_EQ(scene.top().findDeep("object", "Bald"), nullptr);
}

} // namespace
