// Host data that does not add up: parameters that cannot be read, hair counts that
// disagree with the points, and keys that the single-precision sampling clock cannot reach.
#include "scene_fixture.h"

#include <climits>
#include <cmath>

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

// The sampling clock as the renderer expects it: single-precision steps of 1/30 s from the
// first key while the time stays within the last and still advances.
std::vector<double> expectedStamps(float t0, float t1)
{
    std::vector<double> stamps;
    for (float t = t0; t <= t1;) {
        stamps.push_back(static_cast<int>((t - t0) * 1000.0f));
        const float next = t + 0.033333335f;
        if (!(next > t))
            break;
        t = next;
    }
    return stamps;
}

TEST(ContentRobustness, SamplingFollowsTheSinglePrecisionClockOverLongAndFarSpans)
{
    // Long tracks keep every step up to their last key (from 0 s the steps are slightly
    // shorter than 1/30 s, so they hold more samples than 30 per second); around 2^17 s
    // each step rounds to 1/32 s; from 2^20 s a step would be lost in rounding, so the
    // steps are counted from the first key; a last key at an infinite time makes a track
    // that is sampled from its first key up to the bound.
    const Scene scene = exportJson(R"({"objects": [{"type": "null", "name": "Far", "tracks": [
        {"name": "stuck", "parameter": "position", "component": "x", "keys": [[2097152, 0], [2097162, 1]]},
        {"name": "crowded", "parameter": "position", "component": "y", "keys": [[200000, 0], [200010, 1]]},
        {"name": "endless", "parameter": "position", "component": "z",
         "keys": [[0, 0], [{"num": 1e308, "den": 1e-308}, 1]]}]},
        {"type": "null", "name": "Long", "tracks": [
        {"name": "498 s", "parameter": "scale", "component": "x", "keys": [[0, 1], [498, 2]]},
        {"name": "1000 s", "parameter": "scale", "component": "y", "keys": [[0, 1], [1000, 2]]}]}]})");

    const auto far = animationsIn(scene.top().findDeep("group", "Far"));
    const auto longTracks = animationsIn(scene.top().findDeep("group", "Long"));
    ASSERT_EQ(namesOf(far), (std::vector<std::string>{"endless", "crowded", "stuck"}));
    ASSERT_EQ(namesOf(longTracks), (std::vector<std::string>{"1000 s", "498 s"}));
    const struct {
        const Animation& animation;
        float t0, t1;
        size_t count;
        double last;
    } cases[] = {
        {far[0], 0, 4374.52f, 131072, 4374505},
        {far[1], 200000, 200010, 321, 10000},
        {far[2], 0, 10, 300, 9966},
        {longTracks[0], 0, 1000, 30005, 999977},
        {longTracks[1], 0, 498, 14942, 497999},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.animation.name);
        EXPECT_EQ(c.animation.stamps, expectedStamps(c.t0, c.t1));
        EXPECT_EQ(c.animation.stamps.size(), c.count);
        EXPECT_EQ(c.animation.stamps.back(), c.last);
        EXPECT_EQ(c.animation.matrices.size(), c.animation.stamps.size() * 16);
        for (size_t i = 1; i < c.animation.stamps.size(); ++i)
            ASSERT_GT(c.animation.stamps[i], c.animation.stamps[i - 1]);
    }
}

TEST(ContentRobustness, MatricesAndLightGeometryWriteZeroWithoutSign)
{
    // Mirroring z turns the zeros of a camera at the origin negative, so does mirroring an
    // animated camera's change, and so does negating the zero half depth of a flat area.
    const Scene scene = exportJson(R"({"objects": [
        {"type": "camera", "name": "Origin"},
        {"type": "camera", "name": "Dolly", "tracks": [
          {"name": "Position . X", "parameter": "position", "component": "x", "keys": [[0, 0], [0.1, 1]]}]},
        {"type": "light", "name": "Flat", "params": {"light_type": 8, "area_size_x": 200,
          "area_size_y": 100, "area_size_z": 0}}]})");

    const Block& flat = *scene.top().findDeep("object", "Flat")->block->find("geometry")->block;
    const std::vector<double> origin = numbers(scene.top().find("camera", "Origin")->block->find("transform"));
    EXPECT_EQ(origin, (std::vector<double>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1}));
    const auto dolly = animationsIn(scene.top().find("camera", "Dolly"));
    ASSERT_EQ(dolly.size(), 1u);
    const struct {
        const char* what;
        std::vector<double> values;
    } cases[] = {
        {"camera transform", origin},
        {"camera animation", dolly[0].matrices},
        {"light vertices", numbers(flat.find("vertices"))},
        {"light normals", numbers(flat.find("normals"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_FALSE(c.values.empty());
        for (size_t i = 0; i < c.values.size(); ++i)
            EXPECT_FALSE(c.values[i] == 0 && std::signbit(c.values[i])) << "value " << i;
    }
}

} // namespace
