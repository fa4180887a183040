// The translation driver against the simulated host: scene names, the time the scene is
// taken at, cameras first, the mirrored scene group, the selection and missing inputs.
#include "plugin_test_support.h"
#include "translate_document.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace plugintest;
using host::ids::Ocamera;
constexpr int32_t Onull = 5140;

TEST(Driver, SceneNameIsTheDocumentNameUpToItsLastDot)
{
    struct Case {
        const char* docName;
        const char* sceneName;
    } cases[] = {{"scene.final.c4d", "scene.final"}, {"noext", "noext"}, {"", "untitled"},
                 {"Zo\xc3\xab.c4d", "Zo\xc3\xab"}};
    for (const Case& c : cases) {
        sim::Document doc;
        doc.docName = c.docName;
        RecordingRun run;
        translateDocument(run.context, hostDoc(doc));
        EXPECT_EQ(sceneNameOf(host::Document(sim::handle(&doc))), c.sceneName);
        EXPECT_EQ(run.api.texts("beginGroup"), std::vector<std::string>{c.sceneName});
    }
    EXPECT_EQ(sceneNameOf(host::Document()), "untitled");
}

TEST(Driver, NullDocumentOrMissingBackEndWritesNothing)
{
    RecordingRun run;
    run.context.documentPath = "stale";
    run.context.progress = 0.5f;
    translateDocument(run.context, host::Document());
    EXPECT_TRUE(run.api.calls.empty());
    EXPECT_EQ(run.context.documentPath, "");
    EXPECT_EQ(run.context.progress, 0.0f);

    sim::Document doc;
    object(doc, Onull, "A");
    TranslationContext noScene;
    translateDocument(noScene, hostDoc(doc)); // must not touch a null wrapper
    EXPECT_EQ(noScene.document.handle(), sim::handle(&doc));
}

TEST(Driver, SceneIsTakenAtTheMinimumTimeAndTheCurrentTimeIsRestored)
{
    sim::Document doc;
    doc.path = "/projects/shot";
    doc.time = {2, 1};
    doc.minTime = {1, 2};
    sim::Object& moving = object(doc, Onull, "Moving");
    track(moving, 903, {{{0, 1}, 0}, {{2, 1}, 8}});
    RecordingRun run;
    translateDocument(run.context, hostDoc(doc));

    // The object's group transform carries x at 0.5 s: 2.
    const int group = run.api.indexOf("beginGroup", "Moving");
    ASSERT_GE(group, 0);
    EXPECT_DOUBLE_EQ(run.api.calls[size_t(group) + 2].numbers[12], 2.0);
    EXPECT_DOUBLE_EQ(doc.time.num / doc.time.den, 2.0);
    EXPECT_DOUBLE_EQ(moving.pos.x, 8.0); // evaluated again at the restored time
    EXPECT_EQ(run.context.documentPath, "/projects/shot");
}

TEST(Driver, CamerasAreCollectedInPreOrderAndWrittenBeforeTheSceneGroup)
{
    sim::Document doc;
    sim::Object& rig = object(doc, Onull, "Rig");
    sim::Object& top = child(rig, Ocamera, "Cam1");
    child(top, Ocamera, "Cam2");
    child(child(rig, Onull, "Arm"), Ocamera, "Cam3");
    cacheOf(rig.cache, Ocamera, "CachedCam");
    object(doc, Ocamera, "Cam4");
    hostDoc(doc);

    std::vector<host::Object> cameras;
    for (host::Object o = host::Document(sim::handle(&doc)).firstObject(); o; o = o.next())
        collectCameras(o, cameras);
    std::vector<std::string> names;
    for (const host::Object& c : cameras)
        names.push_back(c.name());
    EXPECT_EQ(names, (std::vector<std::string>{"Cam1", "Cam2", "Cam3", "Cam4"}));

    RecordingRun run;
    translateDocument(run.context, hostDoc(doc));
    const int sceneGroup = run.api.indexOf("beginGroup", "untitled");
    EXPECT_EQ(run.api.texts("beginCamera").size(), 4u);
    for (int i = sceneGroup; i < int(run.api.calls.size()); ++i)
        EXPECT_NE(run.api.calls[size_t(i)].op, "beginCamera");
}

TEST(Driver, SelectionIsCollectedOnlyInUpdateModeWithoutTextureTags)
{
    sim::Document doc;
    sim::Object& a = object(doc, Onull, "A");
    sim::Object& b = object(doc, Onull, "B");
    sim::Tag& texture = tag(a, host::ids::Ttexture);
    sim::Tag& uvw = tag(a, host::ids::Tuvw);
    doc.selection = {&b, &texture, &a, nullptr, &uvw, &b};
    hostDoc(doc);
    std::vector<uint64_t> expected{a.key, b.key, uvw.key};
    std::sort(expected.begin(), expected.end());

    RecordingRun run;
    run.context.selectedKeys = {42};
    translateDocument(run.context, hostDoc(doc));
    EXPECT_TRUE(run.context.selectedKeys.empty());

    run.context.updateMode = true;
    translateDocument(run.context, hostDoc(doc));
    EXPECT_EQ(run.context.selectedKeys, expected);

    doc.hasSelection = false;
    translateDocument(run.context, hostDoc(doc));
    EXPECT_TRUE(run.context.selectedKeys.empty());
}
