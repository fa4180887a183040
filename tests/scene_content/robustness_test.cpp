// Host data that does not add up: parameters that cannot be read, hair counts that
// disagree with the points, and keys that the single-precision sampling clock cannot reach.
#include "scene_fixture.h"

#include <climits>

using namespace scenetest;

namespace {

double power(const Scene& scene, const std::string& light)
{
    const std::vector<double> v = numbers(shaderBlock(surfaceOf(scene, light))->find("power"));
    return v.empty() ? -1 : v[0];
}

TEST(ContentRobustness, UnreadableLightAndCameraParametersTakeSoundDefaults)
{
    const Scene scene = exportJson(R"({"objects": [
        {"type": "light", "name": "Bare"},
        {"type": "light", "name": "Bare Area", "params": {"light_type": 8}},
        {"type": "light", "name": "No Intensity", "params": {"photometric": 1}},
        {"type": "light", "name": "Blinding", "params": {"brightness": 1e30}},
        {"type": "camera", "name": "No Angle"}]})");

    // A white point light at 100 %.
    EXPECT_EQ(surfaceOf(scene, "Bare")->args.at(0).text, "orv_point_light");
    EXPECT_EQ(power(scene, "Bare"), 100);
    EXPECT_EQ(numbers(shaderBlock(surfaceOf(scene, "Bare"))->find("color")), (std::vector<double>{1, 1, 1}));
    // An area of the host's default 200 x 200 x 200.
    const Block& area = *scene.top().findDeep("object", "Bare Area")->block->find("geometry")->block;
    EXPECT_EQ(numbers(area.find("vertices")),
              (std::vector<double>{0, -100, 0, 100, 0, 0, 0, 0, 100, -100, 0, 0, 0, 0, -100, 0, 100, 0}));
    // A photometric light without intensity: 100, still in lumen.
    EXPECT_EQ(power(scene, "No Intensity"), 100);
    EXPECT_EQ(shaderBlock(surfaceOf(scene, "No Intensity"))->find("lumen")->args.at(0).text, "on");
    // Power past the range of an int is held at its limit instead of being undefined.
    EXPECT_EQ(power(scene, "Blinding"), INT_MAX);
    // The camera node's own 60 degrees.
    EXPECT_EQ(numbers(scene.top().find("camera", "No Angle")->block->find("fov")), (std::vector<double>{60}));
}

TEST(ContentRobustness, HairWritesOnlyStrandsWhosePointsExist)
{
    const Scene scene = exportJson(R"({"objects": [
        {"type": "hair", "name": "Short", "hair": {"strandCount": 3, "segmentCount": 3,
          "points": [[0,0,0],[0,1,0],[0,2,0],[0,3,0],[1,0,0],[1,1,0],[1,2,0],[1,3,0],[2,0,0],[2,1,0]],
          "rootUV": [[0, 0.5]]}},
        {"type": "hair", "name": "Negative", "hair": {"strandCount": 2, "segmentCount": -5,
          "rootUV": [[0, 0], [1, 1]]}},
        {"type": "hair", "name": "Backwards", "hair": {"strandCount": -4, "segmentCount": 3}}]})");

    auto curves = [&](const char* name) -> const Block& {
        return *scene.top().findDeep("object", name)->block->find("geometry", "orv_bezier_curves")->block;
    };
    // Ten points hold two strands of four; the third is dropped, the missing UV is 0, 0.
    EXPECT_EQ(numbers(curves("Short").find("nvertices")), (std::vector<double>{4, 4}));
    EXPECT_EQ(numbers(curves("Short").find("p")).size(), 24u);
    EXPECT_EQ(numbers(curves("Short").find("pr")).size(), 8u);
    EXPECT_EQ(numbers(curves("Short").find("curve_uv")), (std::vector<double>{0, 0.5, 0, 0}));
    // A negative segment count is no points per strand.
    EXPECT_EQ(numbers(curves("Negative").find("nvertices")), (std::vector<double>{0, 0}));
    EXPECT_TRUE(numbers(curves("Negative").find("p")).empty());
    // A negative strand count is no strands; the object is still written.
    EXPECT_NE(curves("Backwards").find("nvertices"), nullptr);
    EXPECT_TRUE(numbers(curves("Backwards").find("nvertices")).empty());
}

TEST(ContentRobustness, SamplingEndsForKeysFarFromZero)
{
    // From 2^20 s on a step of 1/30 s is lost in single-precision rounding; around 2^17 s
    // each step rounds to 1/32 s and would crowd in more samples than 30 per second; a key
    // at an infinite time spans nothing that can be sampled.
    const Scene scene = exportJson(R"({"objects": [{"type": "null", "name": "Far", "tracks": [
        {"name": "stuck", "parameter": "position", "component": "x", "keys": [[2097152, 0], [2097162, 1]]},
        {"name": "crowded", "parameter": "position", "component": "y", "keys": [[200000, 0], [200010, 1]]},
        {"name": "endless", "parameter": "position", "component": "z",
         "keys": [[0, 0], [{"num": 1e308, "den": 1e-308}, 1]]}]}]})");

    const auto list = animationsIn(scene.top().findDeep("group", "Far"));
    ASSERT_EQ(namesOf(list), (std::vector<std::string>{"crowded", "stuck"}));
    EXPECT_EQ(list[0].stamps.size(), 301u);
    EXPECT_EQ(list[1].stamps, (std::vector<double>{0}));
    for (const Animation& a : list) {
        EXPECT_EQ(a.matrices.size(), a.stamps.size() * 16);
        for (size_t i = 1; i < a.stamps.size(); ++i)
            EXPECT_GT(a.stamps[i], a.stamps[i - 1]);
    }
}

} // namespace
