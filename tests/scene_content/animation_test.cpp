// Animation sampling: sample counts and timestamps, the component order of the rotation
// orders, the object-mode and camera-mode frames, and the sampling loop's end for keys far
// from zero.
#include "scene_fixture.h"

#include "TranslationContext.h"
#include "animation.h"
#include "c4d_host.h"
#include "sim_host.h"

#include <chrono>
#include <cmath>

using namespace scenetest;
using orv::qrf::Block;
using orv::qrf::Statement;

namespace {

constexpr int32_t kNull = 5140;
constexpr int32_t kCamera = 5103;
constexpr double kPi = 3.14159265358979323846;

struct Written {
    std::string name;
    std::string folder;
    double start = 0, duration = 0;
    std::vector<double> timestamps;
    std::vector<double> matrices; // 16 per sample
    double at(size_t sample, size_t index) const { return matrices.at(sample * 16 + index); }
    size_t samples() const { return matrices.size() / 16; }
};

Written readAnimation(const Statement& s)
{
    Written w;
    w.name = animationName(s);
    if (!s.block)
        return w;
    const Block& b = *s.block;
    if (const Statement* f = b.find("folder"))
        w.folder = f->name();
    const std::vector<double> start = numbers(b.find("start_time"));
    const std::vector<double> duration = numbers(b.find("duration"));
    w.start = start.empty() ? -1 : start[0];
    w.duration = duration.empty() ? -1 : duration[0];
    w.timestamps = numbers(b.find("timestamps"));
    w.matrices = numbers(b.find("matrices"));
    return w;
}

class AnimationTest : public ::testing::Test {
protected:
    sim::Object& object(const std::string& name, int32_t type = kNull)
    {
        return builder.object(type, name);
    }

    // The animation blocks written directly inside the group of an object.
    std::vector<Written> objectAnimations(const std::string& name)
    {
        std::vector<Written> out;
        const Statement* g = scene.top().findDeep("group", name);
        if (g && g->block)
            for (const Statement* a : g->block->all("animation"))
                out.push_back(readAnimation(*a));
        return out;
    }

    std::vector<Written> cameraAnimations(const std::string& name)
    {
        std::vector<Written> out;
        const Statement* c = scene.top().find("camera", name);
        if (c && c->block)
            for (const Statement* a : c->block->all("animation"))
                out.push_back(readAnimation(*a));
        return out;
    }

    // Runs the sampler directly on the object's tracks.
    std::vector<std::shared_ptr<orv::FBXAnimation>> sample(sim::Object& o, int order, bool camera)
    {
        sim::finalize(builder.doc());
        host::bind(sim::hostTable());
        TranslationContext context;
        context.document = host::Document(sim::handle(&builder.doc()));
        std::vector<host::Track> tracks;
        for (auto& t : o.tracks)
            tracks.push_back(host::Track(sim::handle(t.get())));
        return sampleTracks(context, o.name, tracks, "Position", order, o.pos, o.rot, o.scale, camera);
    }

    void exportAll() { scene = exportScene(builder.doc()); }

    DocBuilder builder;
    Scene scene;
};

TEST_F(AnimationTest, SampleCountsAndTimestampsFollowSingleprecisionSteps)
{
    struct Case {
        const char* name;
        double t0, t1;
        std::vector<double> firstStamps;
        size_t count;
        double last;
    };
    const std::vector<Case> cases = {
        {"twentieth", 0, 0.05, {0, 33}, 2, 33},
        {"tenth", 0, 0.1, {0, 33, 66}, 3, 66},
        {"second", 0, 1, {0, 33, 66, 100, 133}, 30, 966},
        {"later", 1, 2, {0, 33, 66, 99, 133}, 31, 999},
    };
    for (const Case& c : cases)
        builder.track(object(c.name), 903, 1000, {{c.t0, 0}, {c.t1, 1}}, std::string(c.name) + " x");
    exportAll();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto list = objectAnimations(c.name);
        ASSERT_EQ(list.size(), 1u);
        const Written& w = list[0];
        EXPECT_EQ(w.name, std::string(c.name) + " x");
        EXPECT_EQ(w.folder, std::string(c.name) + "/Position");
        EXPECT_FLOAT_EQ(w.start, c.t0);
        EXPECT_FLOAT_EQ(w.duration, c.t1 - c.t0);
        ASSERT_EQ(w.timestamps.size(), c.count);
        EXPECT_EQ(w.samples(), c.count);
        EXPECT_EQ(std::vector<double>(w.timestamps.begin(), w.timestamps.begin() + c.firstStamps.size()),
                  c.firstStamps);
        EXPECT_EQ(w.timestamps.back(), c.last);
    }
}

TEST_F(AnimationTest, TracksWithoutSpanOrSwitchedOffProduceNoNode)
{
    sim::Object& o = object("Idle");
    builder.track(o, 903, 1000, {{0, 1}});
    builder.track(o, 903, 1001, {{1, 1}, {1, 2}});
    builder.track(o, 903, 1002, {{0, 1}, {1, 2}}).params[904] = 0;
    builder.track(o, 903, 1002, {{0, 1}, {1, 2}}).hasCurve = false;
    builder.track(o, 903, 7, {{0, 1}, {1, 2}}); // no x, y or z component
    builder.track(o, 903, 1000, {{0, 1}, {INFINITY, 2}});
    EXPECT_TRUE(sample(o, 6, false).empty());
}

TEST_F(AnimationTest, NodesComeOutInReverseRotationOrderSequence)
{
    const std::vector<std::pair<int, std::vector<std::string>>> cases = {
        {2, {"z", "y", "x"}}, // sorted x, y, z
        {0, {"y", "x", "z"}}, // sorted z, x, y
        {4, {"x", "z", "y"}}, // sorted y, z, x
        {5, {"x", "y", "z"}}, // sorted z, y, x
    };
    for (const auto& [order, expected] : cases) {
        SCOPED_TRACE(order);
        DocBuilder fresh;
        builder = std::move(fresh);
        sim::Object& o = object("Spin");
        builder.track(o, 904, 1001, {{0, 0}, {1, 1}}, "y");
        builder.track(o, 904, 1002, {{0, 0}, {1, 1}}, "z");
        builder.track(o, 904, 1000, {{0, 0}, {1, 1}}, "x");
        std::vector<std::string> names;
        for (const auto& node : sample(o, order, false))
            names.push_back(node->getName());
        EXPECT_EQ(names, expected);
    }
}

TEST_F(AnimationTest, ObjectModeExpressesTheChangeInTheLocalFrame)
{
    // Keys reach their final value at 0.5 s, so the last sample holds the whole change.
    sim::Object& moved = object("Moved");
    moved.scale = {2, 1, 1};
    builder.track(moved, 903, 1000, {{0, 0}, {0.5, 1}, {1, 1}});
    builder.track(object("Grown"), 905, 1000, {{0, 2}, {0.5, 3}, {1, 3}});
    sim::Object& turned = object("Turned");
    turned.rotationOrder = 2;
    builder.track(turned, 904, 1002, {{0, 0}, {0.5, kPi / 2}, {1, kPi / 2}});
    exportAll();

    const auto moves = objectAnimations("Moved");
    ASSERT_EQ(moves.size(), 1u);
    const Written& m = moves[0];
    ASSERT_GE(m.samples(), 2u);
    const std::vector<double> identity{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    EXPECT_EQ(std::vector<double>(m.matrices.begin(), m.matrices.begin() + 16), identity);
    EXPECT_DOUBLE_EQ(m.at(m.samples() - 1, 12), 0.5); // a change of 1 under a scale of 2
    EXPECT_DOUBLE_EQ(m.at(m.samples() - 1, 0), 1.0);

    const auto grows = objectAnimations("Grown");
    ASSERT_EQ(grows.size(), 1u);
    const Written& g = grows[0];
    EXPECT_DOUBLE_EQ(g.at(g.samples() - 1, 0), 1.5);
    EXPECT_DOUBLE_EQ(g.at(g.samples() - 1, 5), 1.0);
    EXPECT_DOUBLE_EQ(g.at(g.samples() - 1, 12), 0.0);

    const auto turns = objectAnimations("Turned");
    ASSERT_EQ(turns.size(), 1u);
    const Written& t = turns[0];
    EXPECT_NEAR(t.at(t.samples() - 1, 0), 0.0, 1e-6);
    EXPECT_NEAR(t.at(t.samples() - 1, 1), -1.0, 1e-6);
    EXPECT_NEAR(t.at(t.samples() - 1, 4), 1.0, 1e-6);
}

TEST_F(AnimationTest, CameraModeExpressesTheChangeInTheMirroredWorld)
{
    sim::Object& depth = object("Depth", kCamera);
    depth.pos = {0, 0, 5};
    builder.track(depth, 903, 1002, {{0, 5}, {0.5, 6}, {1, 6}});
    sim::Object& side = object("Side", kCamera);
    builder.track(side, 903, 1000, {{0, 0}, {0.5, 1}, {1, 1}});
    // A turn about z around a camera standing at x = 1 moves its origin as seen from the world.
    sim::Object& pan = object("Pan", kCamera);
    pan.pos = {1, 0, 0};
    pan.rotationOrder = 2;
    builder.track(pan, 904, 1002, {{0, 0}, {0.5, kPi / 2}, {1, kPi / 2}});
    exportAll();

    const auto d = cameraAnimations("Depth");
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].folder, "Depth/Camera Position");
    EXPECT_DOUBLE_EQ(d[0].at(d[0].samples() - 1, 14), -1.0);
    EXPECT_DOUBLE_EQ(d[0].at(d[0].samples() - 1, 10), 1.0);

    const auto s = cameraAnimations("Side");
    ASSERT_EQ(s.size(), 1u);
    EXPECT_DOUBLE_EQ(s[0].at(s[0].samples() - 1, 12), 1.0);
    EXPECT_DOUBLE_EQ(s[0].at(s[0].samples() - 1, 14), 0.0);

    const auto p = cameraAnimations("Pan");
    ASSERT_EQ(p.size(), 1u);
    const Written& w = p[0];
    const size_t last = w.samples() - 1;
    EXPECT_NEAR(w.at(last, 12), 1.0, 1e-6);
    EXPECT_NEAR(w.at(last, 13), 1.0, 1e-6);
    EXPECT_NEAR(w.at(last, 14), 0.0, 1e-6);
    EXPECT_NEAR(w.at(last, 1), -1.0, 1e-6);
}

TEST_F(AnimationTest, SamplingEndsForKeysFarFromZero)
{
    // From 2^20 s on a step of one thirtieth is lost in single-precision rounding.
    sim::Object& o = object("Far");
    builder.track(o, 903, 1000, {{2097152.0, 0}, {2097162.0, 1}}, "stuck");
    // Around 2^17 s each step rounds down to 1/32 s, which would crowd in more samples
    // than the key span holds at 30 per second.
    builder.track(o, 903, 1001, {{200000.0, 0}, {200010.0, 1}}, "crowded");
    const auto started = std::chrono::steady_clock::now();
    const auto nodes = sample(o, 6, false);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

    ASSERT_EQ(nodes.size(), 2u);
    for (const auto& node : nodes) {
        SCOPED_TRACE(node->getName());
        const auto& stamps = node->getTimestamps();
        EXPECT_LE(stamps.size(), 301u);
        EXPECT_EQ(stamps.size(), node->getMatrices().size());
        for (size_t i = 1; i < stamps.size(); ++i)
            EXPECT_GT(stamps[i], stamps[i - 1]);
    }
    const auto& crowded = nodes[0]->getName() == "crowded" ? nodes[0] : nodes[1];
    EXPECT_EQ(crowded->getTimestamps().size(), 301u);
}

} // namespace
