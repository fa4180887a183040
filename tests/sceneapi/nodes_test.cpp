// Scene nodes written through the wrapper: options module, camera, animation.
#include "sceneapi/Animation.h"
#include "LightCamera.h"
#include "LightNode.h"
#include "SceneReader.h"
#include "capture.h"
#include "orvSceneapi_oo.h"

#include <gtest/gtest.h>

using namespace orv;
using namespace std::string_literals;

namespace {

// A wrapper over a writer on memory; text() is what was written after the start-up records.
struct Scene {
    WriterOnMemory w;
    PassThroughFactory factory{&w.writer};
    orvSceneapi_oo oo{&factory};
    size_t start = w.text().size();
    std::string text() { return w.text().substr(start); }
};

std::string written(LightNode& node)
{
    Scene s;
    s.oo.writeNode(node);
    return s.text();
}

const double shift[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 5, 6, 7, 1};

const std::string envmap = "reflection map \"orv_envmap\" {\n\"texture\" \"startup.hdr\",\n\"format\" 3,\n"
                           "\"radius\" 25,\n}\n";

} // namespace

TEST(OptionsModule, DefaultsAndExportSettings)
{
    DefaultRTModule module;
    EXPECT_EQ(written(module), "load \"orvrtopt.so\" {\n\"import_mode\" on,\n\"import_merge_groups\" on,\n"
                               "\"import_merge_objects\" on,\n\"import_up_vector\" 0,\n\"meter_scale\" 1,\n"
                               "\"import_keep_original\" off,\n\"import_center_geometry\" on,\n"
                               "\"import_snap_to_ground\" off,\n\"import_adjust_camera\" on,\n"
                               "\"import_adjust_environment\" on,\n\"ext\" on,\n}\n");

    module.setUseCamera("Cam 2");
    EXPECT_NE(written(module).find("\"import_adjust_environment\" on,\n\"import_use_camera\" \"Cam 2\",\n\"ext\" on,\n"),
              std::string::npos);

    DefaultRTModule exported;
    exported.setImportMode(true);
    exported.setMergeGroups(false);
    exported.setMergeObjects(false);
    exported.setAdjustEnvironment(true);
    exported.setAdjustCamera(true);
    exported.setKeepOriginal(true);
    exported.setUpVector(1);
    exported.setMeterScale(100.0f);
    exported.setSnapToGround(false);
    exported.setCenterGeometry(false);
    exported.setExt(false);
    EXPECT_EQ(written(exported), "load \"orvrtopt.so\" {\n\"import_mode\" on,\n\"import_merge_groups\" off,\n"
                                 "\"import_merge_objects\" off,\n\"import_up_vector\" 1,\n\"meter_scale\" 100,\n"
                                 "\"import_keep_original\" on,\n\"import_center_geometry\" off,\n"
                                 "\"import_snap_to_ground\" off,\n\"import_adjust_camera\" on,\n"
                                 "\"import_adjust_environment\" on,\n\"ext\" off,\n}\n");

    orvSceneapi_oo nothing; // a NullApi wrapper accepts the whole module
    EXPECT_EQ(nothing.writeNode(module), 0);
}

TEST(Camera, FreshCamera)
{
    LightCamera camera("Cam");
    EXPECT_EQ(written(camera), "\ncamera \"Cam\" {\nprojection \"perspective\"\nfov 60\n" + envmap +
                                   "position 0 0 0\ndirection 0 0 -1\nup 0 1 0\n}\n");
}

TEST(Camera, ProjectionFieldOfViewAndLookAt)
{
    LightCamera camera("C");
    camera.setFov4(1, 2, 3, 4);
    EXPECT_NE(written(camera).find("fov4 1 2 3 4\n"), std::string::npos);
    camera.setFov(45);
    EXPECT_NE(written(camera).find("perspective\"\nfov 45\n"), std::string::npos);
    camera.setFov4(1, 2, 3, 4);
    EXPECT_EQ(written(camera).find("fov "), std::string::npos);

    camera.setProjection(1);
    std::string text = written(camera);
    EXPECT_NE(text.find("projection \"orthographic\"\nwindow 0 0 0 0\n"), std::string::npos); // defined values
    EXPECT_EQ(text.find("fov"), std::string::npos);
    camera.setWindow(-1, 1, -2, 2);
    EXPECT_NE(written(camera).find("window -1 1 -2 2\n"), std::string::npos);
    camera.setProjection(2);
    EXPECT_NE(written(camera).find("perspective"), std::string::npos);

    camera.setLookAt(1, 2, 3);
    camera.setPosition(0.5f, 0, 0);
    EXPECT_NE(written(camera).find("position 0.5 0 0\ndirection 0 0 -1\nlook_at 1 2 3\nup 0 1 0\n"),
              std::string::npos);
}

TEST(Camera, Clipping)
{
    const struct {
        float nearClip, farClip;
        bool written;
    } cases[] = {{0.1f, 1000, true}, {0, 1000, false}, {10, 10, false}, {10, 5, false}, {-1, -1, false}};
    for (const auto& c : cases) {
        LightCamera camera("C");
        camera.setClipping(c.nearClip, c.farClip);
        EXPECT_EQ(written(camera).find("clipping 0.1 1000\n") != std::string::npos, c.written) << c.nearClip;
        EXPECT_EQ(written(camera).find("clipping") != std::string::npos, c.written) << c.nearClip;
    }
}

TEST(Camera, MatrixOnlyWithoutAnimations)
{
    LightCamera camera("C");
    camera.setMatrix(shift);
    EXPECT_NE(written(camera).find("up 0 1 0\ntransform 1 0 0 0 0 1 0 0 0 0 1 0 5 6 7 1\n}\n"), std::string::npos);

    auto a = std::make_shared<FBXAnimation>("a", false, 0.0f, 1.0f);
    camera.addAnimation(a);
    camera.addAnimation(std::make_shared<FBXAnimation>("b", false, 0.0f, 1.0f));
    camera.addAnimation(std::make_shared<FBXAnimation>("c", false, 0.0f, 1.0f));
    std::string text = written(camera);
    EXPECT_EQ(text.find("transform"), std::string::npos);
    EXPECT_NE(text.find("animation \"fbx_animation\" \"c\""), std::string::npos);

    std::weak_ptr<FBXAnimation> watch = a;
    a.reset();
    EXPECT_FALSE(watch.expired()); // the camera still holds it
    camera.setAnimation(std::make_shared<FBXAnimation>("only", false, 0.0f, 1.0f));
    EXPECT_EQ(camera.animationCount(), 1u);
    EXPECT_TRUE(watch.expired());
}

TEST(Animation, WritesBothListsAndReportsAMismatch)
{
    FBXAnimation anim("Cube.position", false, 0.5f, 2.0f);
    anim.setFolder("walk");
    anim.addSample(0, shift);
    anim.addSample(40, shift);
    anim.addTimestamp(80);
    const std::string text = written(anim);
    const std::string matrix = "1 0 0 0 0 1 0 0 0 0 1 0 5 6 7 1 ";
    EXPECT_EQ(text, "animation \"fbx_animation\" \"Cube.position\" {\n\"start_time\" 0.5,\n\"duration\" 2,\n"
                    "#error \"Number of timestamps(3) does not match number of matrices(2)\"\n"
                    "\"timestamps\" [ \x01\x02\x03i\x03\x00\x00\x00\x00\x00\x00\x00(\x00\x00\x00P\x00\x00\x00] ,\n"
                    "\"matrices\" [ "s + matrix + ",\n" + matrix + "\n] ,\n\"interpolate\" off,\n\"folder\" \"walk\",\n}\n");

    anim.addMatrix(shift);
    EXPECT_EQ(written(anim).find("#error"), std::string::npos);

    FBXAnimation empty("e", true, 0, 0);
    EXPECT_NE(written(empty).find("\"timestamps\" [ \x01\x02\x03i\x00\x00\x00\x00] ,\n\"matrices\" [ ] ,\n"
                                  "\"interpolate\" on,\n\"folder\" \"\",\n"s),
              std::string::npos);
}

TEST(SceneNodes, ReaderSeesWhatWasWritten)
{
    Scene s;
    LightCamera camera("Zo\xc3\xab");
    auto anim = std::make_shared<FBXAnimation>("move", false, 0.0f, 1.0f);
    anim->addSample(0, shift);
    camera.addAnimation(anim);
    s.oo.writeNode(camera);

    qrf::Document doc;
    qrf::ParseError error;
    const std::string all = s.w.text();
    ASSERT_TRUE(qrf::parse(all, doc, error)) << error.message << " at " << error.offset;
    const qrf::Statement* cam = doc.top.find("camera");
    ASSERT_NE(cam, nullptr);
    EXPECT_EQ(cam->name(), "Zo\xc3\xab");
    ASSERT_NE(cam->block, nullptr);
    const qrf::Statement* times = cam->block->findDeep("timestamps");
    ASSERT_NE(times, nullptr);
    ASSERT_EQ(times->args.size(), 1u);
    EXPECT_EQ(times->args[0].ints, std::vector<int32_t>{0});
    EXPECT_NE(cam->block->findDeep("texture"), nullptr);
}
