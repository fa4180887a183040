// The object hierarchy walk against the simulated host, observed through a recording back
// end: group shape, caches, visibility, the update selection, progress weights, tags,
// tracks and bounded names and depth.
#include "classicApiVersions/animation.h"
#include "object_walk.h"
#include "plugin_test_support.h"
#include "tag_sort.h"
#include "text/utf8.h"
#include "translate_document.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace plugintest;
using host::ids::Olight;
using host::ids::Opolygon;
constexpr int32_t Onull = 5140;

namespace {

// Walks every top-level object as the driver does, without the scene group around them.
RecordingApi& walkAll(RecordingRun& run, sim::Document& doc)
{
    host::Document d = hostDoc(doc);
    run.context.document = d;
    int n = 0;
    for (host::Object o = d.firstObject(); o; o = o.next())
        ++n;
    for (host::Object o = d.firstObject(); o; o = o.next())
        walkObject(run.context, o, {host::Tag()}, true, true, false, 1.0f / float(n));
    return run.api;
}

// The progress value reported when the named object's group closed.
float closingProgress(const RecordingApi& api, const std::string& name)
{
    float last = -1;
    for (const Call& c : api.calls)
        if (c.op == "progress" && c.text == name)
            last = float(c.numbers[0]);
    return last;
}

} // namespace

TEST(Walk, GroupHoldsFlagsTransformCacheThenChildren)
{
    sim::Document doc;
    sim::Object& gen = object(doc, 5159, "Gen");
    gen.pos = {1, 2, 3};
    gen.rot = {0.5, 0, 0};
    triangle(cacheOf(gen.cache, Opolygon, "Made"));
    child(gen, Onull, "Kid");
    RecordingRun run;
    RecordingApi& api = walkAll(run, doc);

    std::vector<std::string> shape;
    for (const Call& c : api.calls)
        if (c.op != "progress")
            shape.push_back(c.op + (c.text.empty() ? "" : ":" + c.text));
    EXPECT_EQ(shape, (std::vector<std::string>{
                         "beginGroup:Gen", "flags", "transform", "beginGroup:Made", "flags",
                         "transform", "beginObject:Made", "endGroup", "beginGroup:Kid", "flags",
                         "transform", "endGroup", "endGroup"}));

    const sim::Matrix m = sim::localMatrix(gen);
    const std::vector<double> rows{m.v1.x,  m.v1.y,  m.v1.z,  0, m.v2.x,  m.v2.y,  m.v2.z,  0,
                                   m.v3.x,  m.v3.y,  m.v3.z,  0, m.off.x, m.off.y, m.off.z, 1};
    EXPECT_EQ(api.calls[api.indexOf("beginGroup", "Gen") + 2].numbers, rows);
    EXPECT_EQ(api.calls[api.indexOf("beginGroup", "Gen") + 1].numbers, std::vector<double>{1});
}

TEST(Walk, DeformedCacheWinsOverGeneratedCache)
{
    sim::Document doc;
    sim::Object& o = object(doc, Opolygon, "Bent");
    triangle(o);
    triangle(cacheOf(o.deformCache, Opolygon, "Deformed"));
    triangle(cacheOf(o.cache, Opolygon, "Generated"));
    RecordingRun run;
    EXPECT_EQ(walkAll(run, doc).texts("beginObject"), std::vector<std::string>{"Deformed"});
}

TEST(Walk, VisibilityAndControlBitDecideWhichMeshesAreTranslated)
{
    sim::Document doc;
    sim::Object& hidden = triangle(object(doc, Opolygon, "Hidden"));
    hidden.params[901] = int32_t(1);
    hidden.params[902] = int32_t(2);
    triangle(child(hidden, Opolygon, "Inherits"));
    triangle(child(hidden, Opolygon, "Shown")).params[901] = int32_t(0);
    triangle(child(hidden, Opolygon, "RenderOff")).params[902] = int32_t(1);
    triangle(object(doc, Opolygon, "Control")).bits = 1u << 9;
    object(doc, Olight, "LampInHidden").params[901] = int32_t(1);
    RecordingRun run;
    RecordingApi& api = walkAll(run, doc);

    EXPECT_EQ(api.texts("beginObject"), (std::vector<std::string>{"Shown", "LampInHidden"}));
    // Objects that are not translated still get their groups.
    for (const char* name : {"Hidden", "Inherits", "RenderOff", "Control"})
        EXPECT_GE(api.indexOf("beginGroup", name), 0) << name;
}

TEST(Walk, UpdateModeTranslatesOnlySelectedSubtreesUnlessNothingIsSelected)
{
    sim::Document doc;
    sim::Object& a = triangle(object(doc, Opolygon, "A"));
    sim::Object& b = triangle(object(doc, Opolygon, "B"));
    triangle(child(b, Opolygon, "BChild"));
    triangle(cacheOf(object(doc, 5159, "C").cache, Opolygon, "CMade"));
    sim::Tag& textureOnA = tag(a, host::ids::Ttexture);
    object(doc, Olight, "Lamp");

    struct Case {
        bool updateMode;
        std::vector<sim::Element*> selection;
        std::vector<std::string> objects;
    } cases[] = {
        {true, {&b, &textureOnA}, {"B", "BChild", "Lamp"}},
        {true, {&textureOnA}, {"A", "B", "BChild", "CMade", "Lamp"}},
        {true, {}, {"A", "B", "BChild", "CMade", "Lamp"}},
        {false, {&b}, {"A", "B", "BChild", "CMade", "Lamp"}},
    };
    for (const Case& c : cases) {
        doc.selection = c.selection;
        RecordingRun run;
        run.context.updateMode = c.updateMode;
        run.translate(hostDoc(doc));
        EXPECT_EQ(run.api.texts("beginObject"), c.objects);
    }
}

TEST(Walk, ChildWeightsSplitWhatTheContentLeaves)
{
    sim::Document doc;
    sim::Object& group = object(doc, Onull, "Group");
    child(group, Onull, "G1");
    child(group, Onull, "G2");
    sim::Object& mesh = triangle(object(doc, Opolygon, "Mesh"));
    child(mesh, Onull, "M1");
    child(mesh, Onull, "M2");
    RecordingRun run;
    RecordingApi& api = walkAll(run, doc);

    EXPECT_FLOAT_EQ(closingProgress(api, "G1"), 0.25f);
    EXPECT_FLOAT_EQ(closingProgress(api, "G2"), 0.5f);
    EXPECT_FLOAT_EQ(closingProgress(api, "M1"), 0.5f + 0.125f);
    EXPECT_FLOAT_EQ(closingProgress(api, "M2"), 0.5f + 0.25f);
    EXPECT_FLOAT_EQ(run.context.progress, 1.0f);
    float previous = 0;
    for (const Call& c : api.calls)
        if (c.op == "progress") {
            EXPECT_GE(c.numbers[0], previous - 1e-6);
            previous = float(c.numbers[0]);
        }
}

TEST(Walk, VisitTagSortsTagsIntoTheOutputsGiven)
{
    sim::Document doc;
    sim::Object& o = object(doc, Opolygon, "Tagged");
    tag(o, host::ids::Tuvw, "uv1");
    tag(o, host::ids::Tuvw, "uv2");
    tag(o, host::ids::Ttexture, "tex");
    tag(o, host::ids::Thairmaterial, "hairmat");
    tag(o, host::ids::Tpolygonselection, "sel");
    tag(o, host::ids::Tpolygonselection, "sel").segments = {{0, 1}};
    tag(o, host::ids::Tpolygonselection, "");
    tag(o, host::ids::Tnormal, "n");
    tag(o, 5600, "points");
    hostDoc(doc);

    host::Tag uvw, normal;
    SelectionTagMap selections;
    TextureTagList textures{host::Tag()};
    TextureTagList onlyTextures;
    for (host::Tag t = hostObject(o).firstTag(); t; t = t.next()) {
        visitTag(t, &uvw, &normal, &selections, textures);
        visitTag(t, nullptr, nullptr, nullptr, onlyTextures);
    }
    EXPECT_EQ(uvw.name(), "uv2");
    EXPECT_EQ(normal.name(), "n");
    ASSERT_EQ(selections.size(), 2u);
    EXPECT_EQ(sim::element(selections.at("sel").handle()), o.tags[5].get());
    EXPECT_TRUE(selections.count(""));
    ASSERT_EQ(textures.size(), 3u);
    EXPECT_FALSE(textures[0]);
    EXPECT_EQ(textures[1].name(), "tex");
    EXPECT_EQ(textures[2].name(), "hairmat");
    EXPECT_EQ(onlyTextures.size(), 2u);
}

TEST(Walk, ClassifyTrackKeepsOnlyTracksAnimatedOverTime)
{
    struct Case {
        const char* what;
        int32_t channel;
        std::vector<sim::Key> keys;
        int animated;
        bool hasCurve;
        int list; // 0 scale, 1 rotation, 2 position, -1 none
    } cases[] = {
        {"position", 903, {{{0, 1}, 0}, {{1, 1}, 1}}, 1, true, 2},
        {"rotation", 904, {{{0, 1}, 0}, {{30, 30}, 1}}, 1, true, 1},
        {"scale", 905, {{{0, 1}, 0}, {{1, 2}, 1}}, 1, true, 0},
        {"other parameter", 908, {{{0, 1}, 0}, {{1, 1}, 1}}, 1, true, -1},
        {"single key", 903, {{{0, 1}, 0}}, 1, true, -1},
        {"keys at one time", 903, {{{1, 1}, 0}, {{2, 2}, 1}}, 1, true, -1},
        {"zero denominator", 903, {{{0, 1}, 0}, {{5, 0}, 1}}, 1, true, -1},
        {"parameter 904 off", 903, {{{0, 1}, 0}, {{1, 1}, 1}}, 0, true, -1},
        {"no curve", 903, {{{0, 1}, 0}, {{1, 1}, 1}}, 1, false, -1},
        {"no keys", 903, {}, 1, true, -1},
    };
    for (const Case& c : cases) {
        sim::Document doc;
        sim::Object& o = object(doc, Onull, "T");
        sim::Track& t = track(o, c.channel, c.keys);
        t.params[904] = int32_t(c.animated);
        t.hasCurve = c.hasCurve;
        hostDoc(doc);
        std::vector<host::Track> lists[3];
        classifyTrack(hostObject(o).firstTrack(), lists[0], lists[1], lists[2]);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(lists[i].size(), i == c.list ? 1u : 0u) << c.what;
    }
}

TEST(Walk, CopyUtf8BoundedCutsAtCharacterBoundaries)
{
    struct Case {
        std::string text;
        size_t size;
        std::string expected;
    } cases[] = {
        {"Cube", 8, "Cube"},
        {"Cube", 5, "Cube"},
        {"Cube", 4, "Cub"},
        {"Cube", 1, ""},
        {"a\xc3\xa9", 3, "a"},             // 2-byte character does not fit
        {"a\xc3\xa9", 4, "a\xc3\xa9"},
        {"ab\xe2\x82\xac", 5, "ab"},        // 3-byte character cut after its second byte
        {"\xf0\x9f\x98\x80x", 4, ""},       // 4-byte character
        {"\xf0\x9f\x98\x80x", 5, "\xf0\x9f\x98\x80"},
    };
    for (const Case& c : cases) {
        char buffer[16];
        std::memset(buffer, 'Z', sizeof buffer);
        tavrin::text::copyUtf8Bounded(c.text, buffer, c.size);
        EXPECT_EQ(std::string(buffer), c.expected) << c.text << " in " << c.size;
        EXPECT_EQ(buffer[c.size], 'Z') << "wrote past the buffer";
    }
    char untouched = 'Z';
    tavrin::text::copyUtf8Bounded("x", &untouched, 0);
    EXPECT_EQ(untouched, 'Z');
}

// The one UTF-8 validity rule, at the edges of each lead byte's range.
TEST(Walk, Utf8ValidityRuleRefusesOverlongSurrogateAndOutOfRangeSequences)
{
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {"", true},          {"\xC2\x80", true},          {"\xC1\xBF", false},         {"\xDF\xBF", true},
        {"\xE0\xA0\x80", true}, {"\xE0\x9F\xBF", false},     {"\xED\x9F\xBF", true},     {"\xED\xA0\x80", false},
        {"\xE2\x82", false},  {"\xF0\x90\x80\x80", true}, {"\xF0\x8F\xBF\xBF", false}, {"\xF4\x8F\xBF\xBF", true},
        {"\xF4\x90\x80\x80", false}, {"\xF5\x80\x80\x80", false}, {"a\x80", false},  {"\xE2\x82\xACx", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tavrin::text::isValidUtf8(c.text), c.valid) << testing::PrintToString(c.text);
        EXPECT_EQ(tavrin::text::safeUtf8(c.text) == c.text, c.valid) << testing::PrintToString(c.text);
    }
}

// Names of up to 1,023 bytes are kept whole; a longer one is cut at a character boundary
// within 1,023 bytes and reported.
TEST(Walk, LongNamesAreCutInsideTheNameBufferAndEmptyNamesBecomeObject)
{
    const std::string straddling = std::string(1022, 'a') + "\xc3\xa9\xc3\xa9"; // the first é straddles byte 1023
    const struct {
        std::string name, written, cut; // cut: the report's detail, empty when kept whole
    } cases[] = {
        {std::string(1023, 'k'), std::string(1023, 'k'), ""},
        {std::string(1024, 'c'), std::string(1023, 'c'), "object name of 1024 bytes cut to 1023"},
        {straddling, straddling.substr(0, 1022), "object name of 1026 bytes cut to 1022"},
        {"", "object", ""},
    };
    for (const auto& c : cases) {
        sim::Document doc;
        object(doc, Onull, c.name);
        RecordingRun run;
        const auto groups = walkAll(run, doc).texts("beginGroup");
        ASSERT_EQ(groups.size(), 1u);
        EXPECT_EQ(groups[0], c.written) << c.name.size();
        const auto& items = run.context.report.entry(report::Reason::NameCut).items;
        ASSERT_EQ(items.size(), c.cut.empty() ? 0u : 1u) << c.name.size();
        if (!c.cut.empty()) {
            EXPECT_EQ(items[0].path, c.written);
            EXPECT_EQ(items[0].detail, c.cut);
        }
    }
}

TEST(Walk, PathologicalDepthIsCutOffWithoutExhaustingTheStack)
{
    sim::Document doc;
    sim::Object* o = &object(doc, Onull, "level");
    for (int i = 0; i < 5000; ++i)
        o = &child(*o, Onull, "level");
    RecordingRun run;
    RecordingApi& api = walkAll(run, doc);
    const size_t opened = api.texts("beginGroup").size();
    EXPECT_GT(opened, 500u);
    EXPECT_LT(opened, 5001u);
    EXPECT_EQ(api.texts("endGroup").size(), opened);
    EXPECT_EQ(api.texts("error").size(), 1u);
    EXPECT_FLOAT_EQ(run.context.progress, 1.0f);
}
