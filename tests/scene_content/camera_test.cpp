// Cameras: written before the scene group with the field of view in degrees, the world
// matrix mirrored in z, and either their animation or their matrix.
#include "scene_fixture.h"

#include "sim_host.h"

#include <cmath>

using namespace scenetest;
using orv::qrf::Block;
using orv::qrf::Statement;

namespace {

constexpr int32_t kCamera = 5103;
constexpr int32_t kNull = 5140;
constexpr double kPi = 3.14159265358979323846;

class CameraTest : public ::testing::Test {
protected:
    sim::Object& camera(const std::string& name, sim::Object* parent = nullptr)
    {
        sim::Object& o = builder.object(kCamera, name, parent);
        o.params[1008] = kPi / 2;
        return o;
    }

    void exportAll() { scene = exportScene(builder.doc()); }

    std::vector<const Statement*> cameras() const { return scene.top().all("camera"); }

    const Block& cameraBlock(size_t index) const
    {
        static const Block empty;
        const auto list = cameras();
        return index < list.size() && list[index]->block ? *list[index]->block : empty;
    }

    DocBuilder builder;
    Scene scene;
};

TEST_F(CameraTest, MatrixMirrorsZAndFovIsInDegrees)
{
    camera("Origin");
    sim::Object& moved = camera("Moved");
    moved.pos = {10, 20, 30};
    moved.rot = {0.5, 0.25, 0.125};
    exportAll();
    ASSERT_EQ(cameras().size(), 2u);

    const Block& origin = cameraBlock(0);
    EXPECT_EQ(numbers(origin.find("transform")),
              (std::vector<double>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1}));
    EXPECT_EQ(numbers(origin.find("fov")), (std::vector<double>{90}));
    EXPECT_EQ(origin.find("projection")->name(), "perspective");
    EXPECT_EQ(numbers(origin.find("position")), (std::vector<double>{0, 0, 0}));
    EXPECT_EQ(numbers(origin.find("direction")), (std::vector<double>{0, 0, 1}));
    EXPECT_EQ(numbers(origin.find("up")), (std::vector<double>{0, 1, 0}));
    EXPECT_EQ(origin.find("clipping"), nullptr);
    EXPECT_EQ(origin.find("look_at"), nullptr);

    const sim::Matrix mg = sim::globalMatrix(moved);
    const sim::Vec3 rows[4] = {mg.v1, mg.v2, mg.v3, mg.off};
    const std::vector<double> written = numbers(cameraBlock(1).find("transform"));
    ASSERT_EQ(written.size(), 16u);
    for (int r = 0; r < 4; ++r) {
        SCOPED_TRACE(r);
        // Transforms are written with six significant digits.
        EXPECT_NEAR(written[r * 4 + 0], rows[r].x, 1e-5);
        EXPECT_NEAR(written[r * 4 + 1], rows[r].y, 1e-5);
        EXPECT_NEAR(written[r * 4 + 2], -rows[r].z, 1e-5);
        EXPECT_EQ(written[r * 4 + 3], r == 3 ? 1.0 : 0.0);
    }
    EXPECT_EQ(std::vector<double>(written.begin() + 12, written.end()), (std::vector<double>{10, 20, -30, 1}));
}

TEST_F(CameraTest, EveryCameraComesBeforeTheSceneGroupInTreeOrder)
{
    sim::Object& parent = builder.object(kNull, "Rig");
    camera("", &parent);
    sim::Object& nested = camera("Nested", &parent);
    nested.pos = {1, 2, 3};
    parent.pos = {100, 0, 0};
    camera("");
    exportAll();

    std::vector<std::string> order;
    for (const Statement& s : scene.top().statements)
        if (s.keyword == "camera" || s.keyword == "group")
            order.push_back(s.keyword + ":" + s.name());
    EXPECT_EQ(order, (std::vector<std::string>{"camera:Camera", "camera:Nested", "camera:Camera", "group:content"}));
    // A camera below another object is placed by its world matrix.
    const std::vector<double> m = numbers(cameraBlock(1).find("transform"));
    ASSERT_EQ(m.size(), 16u);
    EXPECT_EQ(std::vector<double>(m.begin() + 12, m.end()), (std::vector<double>{101, 2, -3, 1}));
    // The walk still visits cameras as ordinary groups.
    EXPECT_NE(scene.top().findDeep("group", "Nested"), nullptr);
}

TEST_F(CameraTest, AnimatedCameraWritesItsAnimationsInsteadOfItsMatrix)
{
    camera("Still");
    sim::Object& moving = camera("Moving");
    builder.track(moving, 903, 1000, {{0, 0}, {1, 5}}, "Position . X");
    builder.track(moving, 905, 1001, {{0, 1}, {1, 2}}, "Scale . Y");
    builder.track(moving, 904, 1002, {{0, 0}, {1, 1}}, "Rotation . B");
    exportAll();

    const Block& still = cameraBlock(0);
    EXPECT_NE(still.find("transform"), nullptr);
    EXPECT_TRUE(animations(still).empty());

    const Block& cam = cameraBlock(1);
    EXPECT_EQ(cam.find("transform"), nullptr);
    std::vector<std::string> folders;
    for (const Statement* a : animations(cam))
        if (a->block && a->block->find("folder"))
            folders.push_back(a->block->find("folder")->name());
    EXPECT_EQ(folders, (std::vector<std::string>{"Moving/Camera Scale", "Moving/Camera Rotation",
                                                 "Moving/Camera Position"}));
    // The camera's own group in the scene carries the same tracks in object mode.
    const Statement* group = scene.top().findDeep("group", "Moving");
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(animations(*group->block).size(), 3u);
    EXPECT_EQ(animations(*group->block)[0]->block->find("folder")->name(), "Moving/Scale");
}

TEST_F(CameraTest, CameraWithoutAUsableAngleKeepsSixtyDegrees)
{
    camera("NoAngle").params.erase(1008);
    camera("NotANumber").params[1008] = std::nan("");
    exportAll();
    ASSERT_EQ(cameras().size(), 2u);
    EXPECT_EQ(numbers(cameraBlock(0).find("fov")), (std::vector<double>{60}));
    EXPECT_EQ(numbers(cameraBlock(1).find("fov")), (std::vector<double>{60}));
}

} // namespace
