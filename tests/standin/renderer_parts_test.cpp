// The stand-in renderer's parts that need no network: the scene it describes (read back by
// the plug-in's own connection factory), the progress records it picks out of a stream,
// and the protocol lines.
#include "RepeatLinkFactory.h"
#include "SceneReader.h"
#include "progress_scanner.h"
#include "protocol.h"
#include "drawing_messages.h"
#include "scene_limits.h"
#include "scene_state.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// Answers every selection with one fixed scene description.
class OneSceneQuery : public TavrinQueryApi {
public:
    explicit OneSceneQuery(std::string scene) : scene_(std::move(scene)) {}
    const char* instances_xml() override { return ""; }
    bool select_instance(int64_t) override { return true; }
    void reserved_query1() override {}
    void end_selection() override {}
    void reserved_query2() override {}
    void reserved_query3() override {}
    const char* scene_xml() override { return scene_.c_str(); }

private:
    std::string scene_;
};

orv::qrf::Document parsed(const std::string& text)
{
    orv::qrf::Document doc;
    orv::qrf::ParseError error;
    EXPECT_TRUE(orv::qrf::parse(text, doc, error)) << error.message << " at " << error.offset;
    return doc;
}

const char* const kStream =
    "#print \"banner\"\n"
    "version 9\n\n"
    "#define group \"Library\" {\n}\n"
    "\ngroup \"Scene\" {\n"
    "group \"Cube\" {\nobject \"Cube_0\" {\n}\n}\n"
    "group \"Lamp\" {\nobject \"Lamp_0\" {\n}\n}\n"
    "}\n";

// How the connection factory judges one instance's scene: chosen as empty (Render), as
// holding the scene (Update), or not at all.
struct Judgement {
    bool chosenAsEmpty = false;
    bool holdsScene = false;
};

Judgement judge(const std::string& sceneXml, const std::string& name, int version)
{
    OneSceneQuery query(sceneXml);
    Judgement j;
    {
        RepeatLinkFactory render;
        render.set_version_range(version, version);
        render.set_accept_any_instance(false);
        j.chosenAsEmpty = render.choose_instance(query, {{version, 42, 3141}}).version == version;
    }
    {
        RepeatLinkFactory update;
        update.set_version_range(version, version);
        update.set_scene_name(name);
        update.set_accept_any_instance(false);
        update.choose_instance(query, {{version, 42, 3141}});
        j.holdsScene = update.scene_found();
    }
    return j;
}

TEST(StandinScene, FreshRendererIsEmptyForTheFactory)
{
    standin::SceneState scene;
    for (int version : {6, 10}) {
        Judgement j = judge(scene.sceneXml(42, 10), "Scene", version);
        EXPECT_TRUE(j.chosenAsEmpty) << version;
        EXPECT_FALSE(j.holdsScene) << version;
    }
    // No element of a fresh scene carries a name, so no document name can match.
    for (const char* name : {"scene", "environment", "camera", "tavrin_scene", "default"})
        EXPECT_FALSE(judge(scene.sceneXml(42, 10), name, 10).holdsScene) << name;
}

TEST(StandinScene, ReceivedSceneIsFoundAtBothDepthsAndNoLongerEmpty)
{
    standin::SceneState scene;
    EXPECT_EQ(scene.receive(parsed(kStream), 1), std::vector<std::string>{"Scene"});
    ASSERT_EQ(scene.modelSets().size(), 1u);
    EXPECT_EQ(scene.modelSets()[0].objects, 2u);
    EXPECT_EQ(scene.modelSets()[0].groups, 2u);

    for (int version : {6, 10}) { // search depth 3 and 4
        Judgement j = judge(scene.sceneXml(42, 10), "Scene", version);
        EXPECT_TRUE(j.holdsScene) << version;
        EXPECT_FALSE(j.chosenAsEmpty) << version;
    }
    // Neither a definition nor a nested group becomes a model set.
    EXPECT_FALSE(judge(scene.sceneXml(42, 10), "Library", 10).holdsScene);
    EXPECT_FALSE(judge(scene.sceneXml(42, 10), "Cube", 10).holdsScene);
}

TEST(StandinScene, SameSceneAgainReplacesItsModelSet)
{
    standin::SceneState scene;
    scene.receive(parsed(kStream), 1);
    scene.receive(parsed("group \"Other\" {\n}\n"), 2);
    scene.receive(parsed("group \"Scene\" {\nobject \"A\" {\n}\n}\n"), 3);
    ASSERT_EQ(scene.modelSets().size(), 2u);
    EXPECT_EQ(scene.modelSets()[0].name, "Scene");
    EXPECT_EQ(scene.modelSets()[0].stream, 3);
    EXPECT_EQ(scene.modelSets()[0].objects, 1u);
    EXPECT_EQ(scene.modelSets()[1].name, "Other");

    std::string xml = scene.sceneXml(42, 10);
    size_t first = xml.find("name=\"Scene\"");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(xml.find("name=\"Scene\"", first + 1), std::string::npos);
}

// What a preview draws: the held cameras, then one group per active model set. A stream
// whose options keep the camera (an Update to a renderer that holds the scene) brings no
// new camera; one that adjusts it does, and one that adjusts it but has none keeps them.
TEST(StandinScene, PreviewDrawsTheHeldCamerasAndTheActiveModelSets)
{
    auto stream = [](const char* adjust, const std::string& camera, const char* group) {
        return parsed(std::string("load \"orvrtopt.so\" {\n\"import_adjust_camera\" ") + adjust + "\n}\n" +
                      (camera.empty() ? "" : "camera \"" + camera + "\" {\nfov 30\n}\n") + "group \"" + group +
                      "\" {\n}\n");
    };
    auto drawn = [](const standin::SceneState& scene) {
        std::string names;
        for (const orv::qrf::Statement* s : scene.drawable())
            names += s->keyword + ":" + s->name() + " ";
        return names;
    };
    standin::SceneState scene;
    scene.receive(stream("off", "First", "Scene"), 1); // none held yet: taken
    EXPECT_EQ(drawn(scene), "camera:First group:Scene ");
    scene.receive(stream("off", "Kept out", "Scene"), 2);
    scene.receive(stream("on", "Second", "Other"), 3);
    EXPECT_EQ(drawn(scene), "camera:Second group:Scene group:Other ");
    EXPECT_EQ(scene.drawable()[1]->block, scene.modelSets()[0].group.block);
    scene.receive(stream("on", "", "Other"), 4);
    EXPECT_EQ(drawn(scene), "camera:Second group:Scene group:Other ");
}

TEST(StandinScene, NamesWithMarkupAndOddBytesStayFindable)
{
    // Names reach the XML escaped; the factory's XML reader must get the same name back.
    for (std::string name : {std::string("A & <B> \"C\" 'D'"), std::string("Zo\xC3\xAB"),
                             std::string("tab\there")}) {
        standin::SceneState scene;
        orv::qrf::Document doc;
        orv::qrf::Statement group;
        group.keyword = "group";
        orv::qrf::Value v;
        v.kind = orv::qrf::Value::Kind::String;
        v.text = name;
        group.args.push_back(v);
        doc.top.statements.push_back(group);
        scene.receive(doc, 1);
        EXPECT_TRUE(judge(scene.sceneXml(42, 10), name, 10).holdsScene) << name;
    }
}

TEST(StandinScene, XmlEscapeKeepsDocumentsWellFormed)
{
    EXPECT_EQ(standin::xmlEscape("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&apos;f");
    EXPECT_EQ(standin::xmlEscape("x\ny"), "x&#xA;y");
    EXPECT_EQ(standin::xmlEscape("Zo\xC3\xAB"), "Zo\xC3\xAB");
    // A lead byte without its continuation would swallow the closing quote in a reader that
    // steps by UTF-8 sequence length; it becomes U+FFFD instead.
    EXPECT_EQ(standin::xmlEscape("a\xE0\""), "a\xEF\xBF\xBD&quot;");
    EXPECT_EQ(standin::xmlEscape("\xC0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");     // overlong
    EXPECT_EQ(standin::xmlEscape("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"); // surrogate
}

// --- Progress records picked out of a stream -------------------------------------------

struct Progress {
    std::string message;
    float fraction;
};

std::vector<Progress> scanInChunks(const std::string& stream, size_t chunk)
{
    std::vector<Progress> seen;
    standin::ProgressScanner scanner(
        [&](const std::string& m, float f) { seen.push_back({m, f}); });
    for (size_t i = 0; i < stream.size(); i += chunk)
        scanner.feed(stream.data() + i, std::min(chunk, stream.size() - i));
    return seen;
}

std::string binaryRun(char kind, const std::string& payload, uint32_t count)
{
    std::string run = "\"points\" [\n[ ";
    run += std::string{1, 2, 3, kind};
    for (int k = 0; k < 4; ++k)
        run.push_back(char((count >> (8 * k)) & 0xFF));
    run += payload;
    run += "] ,\n";
    return run;
}

TEST(StandinProgress, RecordsAreFoundWhateverTheChunking)
{
    std::string stream = "#print \"banner\"\nversion 9\n\nprogress \"Cube\" 0.250\n\n"
                         "group \"progress \" {\n}\nprogress xX5a6fc3ab 1.000\n\n";
    for (size_t chunk : {size_t(1), size_t(3), size_t(7), stream.size()}) {
        auto seen = scanInChunks(stream, chunk);
        ASSERT_EQ(seen.size(), 2u) << chunk;
        EXPECT_EQ(seen[0].message, "Cube");
        EXPECT_FLOAT_EQ(seen[0].fraction, 0.25f);
        EXPECT_EQ(seen[1].message, "Zo\xC3\xAB");
        EXPECT_FLOAT_EQ(seen[1].fraction, 1.0f);
    }
}

TEST(StandinProgress, BinaryRunsAreSkippedByTheirCount)
{
    // Payloads that hold a line break followed by a progress record's text.
    const std::string fake = "\nprogress \"fake\" 0.500\n";
    std::string padded = fake + std::string((4 - fake.size() % 4) % 4, ' ');
    std::string stream = binaryRun('f', padded, uint32_t(padded.size() / 4));
    std::string doubles = fake + std::string((8 - fake.size() % 8) % 8, ' ');
    stream += binaryRun('r', doubles, uint32_t(doubles.size() / 8));
    stream += binaryRun('i', "", 0);
    stream += "progress \"real\" 0.750\n";
    for (size_t chunk : {size_t(1), size_t(5), stream.size()}) {
        auto seen = scanInChunks(stream, chunk);
        ASSERT_EQ(seen.size(), 1u) << chunk;
        EXPECT_EQ(seen[0].message, "real");
    }
}

TEST(StandinProgress, MalformedRecordsAreIgnored)
{
    std::string message;
    float fraction = 0;
    for (const char* line : {"progress", "progress \"a\"", "progress \"a\" x", "progress \"a 0.5",
                             "progress a 0.5", "progress \"a\" 0.5 junk", " progress \"a\" 0.5"})
        EXPECT_FALSE(standin::parseProgressLine(line, message, fraction)) << line;
    EXPECT_TRUE(standin::parseProgressLine("progress \"\" 0.000", message, fraction));
    EXPECT_EQ(message, "");
    // "[ " followed by bytes that are not a run tag is ordinary text.
    auto seen = scanInChunks(std::string("x [ \x01zz\nprogress \"ok\" 0.100\n"), 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, "ok");
}

// What a stream brings, judged while it arrives: its top-level scene groups (not the
// nested ones, definitions, names in comments or bytes of binary runs) and its bytes by kind.
TEST(StandinProgress, TopLevelGroupsAndBytesByKind)
{
    const std::string fakeGroup = "\ngroup \"InARun\" {\n";
    const std::string padded = fakeGroup + std::string((4 - fakeGroup.size() % 4) % 4, ' ');
    const std::string run = binaryRun('f', padded, uint32_t(padded.size() / 4));
    const std::string stream = "version 9\n// group \"Comment\" {\n#define group \"Library\" {\ngroup \"Inner\" {\n}\n}\n"
                               "group \"Scene\" {\n  group \"Nested\" {\n" + run + "  }\n}\n"
                               "group xX4869 {\n}\n  group \"Late {brace}\" {\n}\n";
    for (size_t chunk : {size_t(1), size_t(9), stream.size()}) {
        SCOPED_TRACE(chunk);
        standin::ProgressScanner scanner(nullptr);
        for (size_t i = 0; i < stream.size(); i += chunk)
            scanner.feed(stream.data() + i, std::min(chunk, stream.size() - i));
        EXPECT_EQ(scanner.topGroups(), (std::vector<std::string>{"Scene", "Hi", "Late {brace}"}));
        EXPECT_EQ(scanner.bytes(), stream.size());
        EXPECT_EQ(scanner.binaryBytes(), padded.size());
        EXPECT_GE(scanner.quotedBytes(), std::string("\"Scene\"\"Late {brace}\"").size());
    }
}

// --- Bounds on what the renderer holds ----------------------------------------------------

TEST(StandinLimits, NamesAreCutAtACharacterAndSharedBlocksCountOnce)
{
    struct Case {
        std::string name;
        size_t held;
    };
    const Case cases[] = {{"short", 5},
                          {std::string(1024, 'n'), 1024},
                          {std::string(1025, 'n'), 1024},
                          {std::string(1023, 'n') + "\xC3\xA9", 1023}, // the two-byte letter would pass the cap
                          {std::string(20 << 20, 'n'), 1024}};
    for (const Case& c : cases)
        EXPECT_EQ(standin::limits::heldName(c.name).size(), c.held) << c.name.size();

    std::string items;
    for (int i = 0; i < 2000; ++i)
        items += "0.1000000000000000 ";
    orv::qrf::Document doc = parsed("version 9\ngroup \"" + std::string(3000, 'g') + "\" {\nobject \"O\" {\n\"list\" [ " +
                                    items + "] ,\n}\n}\n");
    standin::limits::capGroupNames(doc);
    EXPECT_EQ(doc.top.find("group")->name().size(), standin::limits::kMaxNameBytes);
    const orv::qrf::Statement* group = doc.top.find("group");
    const uint64_t once = standin::limits::parsedBytes({group});
    EXPECT_GT(once, 0u);
    EXPECT_GT(once, 2000u * 19) << "every list item counts";
    orv::qrf::Statement twin = *group; // shares the parsed block, as a merge shares what it keeps
    EXPECT_LT(standin::limits::parsedBytes({group, &twin}), once + once / 10);
}

TEST(StandinLimits, RefusalsSayWhy)
{
    using standin::limits::refusal;
    const uint64_t mb = 1 << 20;
    EXPECT_EQ(refusal(10, 1, 10 * mb, 5 * mb, 100 * mb), "");
    EXPECT_EQ(refusal(256, 0, 0, 0, mb), "") << "a set that replaces another is no new one";
    EXPECT_EQ(refusal(256, 1, 0, 0, 100 * mb), "refused: the renderer holds 256 scenes and keeps at most 256");
    EXPECT_EQ(refusal(1, 1, 90 * mb, 20 * mb, 100 * mb),
              "refused: the renderer's memory budget of 100 MB would be passed (it holds 90 MB, this stream may take 20 MB)");
    EXPECT_EQ(standin::limits::parsedEstimate(1000, 600, 100), 600u + 100u + 300u * standin::limits::kTextFactor);
}

// --- Messages between the server and its drawing and page processes --------------------

TEST(StandinDrawing, MessagesReadBackWhatWasWritten)
{
    const standin::drawing::StreamMessage stream{12, 7, 4, 123456789, "/tmp/a folder/received-1-12.png"};
    const auto back = standin::drawing::parseStreamMessage(standin::drawing::streamMessage(stream));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->number, 12);
    EXPECT_EQ(back->id, 7u);
    EXPECT_EQ(back->mode, 4);
    EXPECT_EQ(back->arrivedMs, 123456789);
    EXPECT_EQ(back->png, stream.png);
    for (const standin::drawing::PictureMessage& p :
         {standin::drawing::PictureMessage{false, 3, 17, "/x y/received-1-3.png", "1 object moved, camera moved"},
          standin::drawing::PictureMessage{true, 4, 2, "/x/received-1-4-quick.png", ""}}) {
        const auto picture = standin::drawing::parsePictureMessage(standin::drawing::pictureMessage(p));
        ASSERT_TRUE(picture);
        EXPECT_EQ(picture->quick, p.quick);
        EXPECT_EQ(picture->number, p.number);
        EXPECT_EQ(picture->ms, p.ms);
        EXPECT_EQ(picture->png, p.png);
        EXPECT_EQ(picture->changed, p.changed);
    }
    for (const char* junk : {"", "S", "S 1 2 3", "S x 1 2 3 /p", "P 1 2 /p", "Q", "B 1"})
        EXPECT_FALSE(standin::drawing::parseStreamMessage(junk) || standin::drawing::parsePictureMessage(junk)) << junk;
}

// --- Protocol lines --------------------------------------------------------------------

TEST(StandinProtocol, RequestAndReadyLines)
{
    using standin::protocol::Request;
    auto stream = standin::protocol::parseRequest("TAVRIN-STREAM 7 4");
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->kind, Request::Kind::Stream);
    EXPECT_EQ(stream->id, 7u);
    EXPECT_EQ(stream->mode, 4);
    EXPECT_EQ(standin::protocol::parseRequest("TAVRIN-QUERY scene")->kind, Request::Kind::QueryScene);
    EXPECT_EQ(standin::protocol::parseRequest("TAVRIN-QUERY instance\r")->kind,
              Request::Kind::QueryInstance);
    for (const char* bad : {"", "TAVRIN-STREAM", "TAVRIN-STREAM 1", "TAVRIN-STREAM x 1",
                            "TAVRIN-STREAM 1 2 3", "TAVRIN-STREAM 99999999999 1", "GET / HTTP/1.0",
                            "TAVRIN-QUERY scenes"})
        EXPECT_FALSE(standin::protocol::parseRequest(bad)) << bad;

    std::string ready = standin::protocol::readyLine(10, 123456789012);
    ASSERT_EQ(ready.back(), '\n');
    ready.pop_back();
    auto r = standin::protocol::parseReady(ready);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->major, 10);
    EXPECT_EQ(r->pid, 123456789012);
    EXPECT_FALSE(standin::protocol::parseReady("TAVRIN-READY 10"));
    EXPECT_FALSE(standin::protocol::parseReady("HTTP/1.1 200 OK"));
}

} // namespace

namespace live_merge {

// A held model set as a short text: group(objects; children), attributes left out.
std::string describe(const orv::qrf::Statement& group)
{
    std::string out = group.name() + "(";
    std::string children;
    for (const orv::qrf::Statement& s : group.block->statements) {
        if (s.keyword == "object") {
            out += s.name();
            if (s.block && s.block->find("geometry"))
                out += "+g";
            if (const orv::qrf::Statement* material = s.block ? s.block->find("material") : nullptr)
                out += ":" + material->name();
            out += " ";
        }
        else if (s.keyword == "group")
            children += describe(s);
        else if (s.keyword == "transform")
            out += "t" + s.args.front().text + " ";
    }
    return out + children + ")";
}

std::string held(const standin::SceneState& scene)
{
    std::string out;
    for (const standin::ModelSet& set : scene.modelSets())
        out += describe(set.group);
    return out;
}

const char* const kHeld =
    "group \"S\" {\nattribute \"live update\" \"merge\"\n"
    "group \"A\" {\ntransform 1\nobject \"a\" {\n}\ngroup \"C\" {\nobject \"c\" {\n}\n}\n}\n"
    "group \"B\" {\nobject \"b\" {\n}\n}\n"
    "group \"B\" {\nobject \"b2\" {\n}\n}\n"
    "group \"E\" {\nobject \"e\" {\ngeometry \"triangles\" {\n}\nmaterial \"Old\" {\n}\n}\n}\n}\n";

// The stream after kHeld, and what the renderer then holds. Groups match by their path of
// names and their index among same-named siblings.
struct MergeCase {
    const char* what;
    const char* update;
    const char* expected;
};

const MergeCase kMergeCases[] = {
    {"a re-sent tree without content keeps every content",
     "group \"S\" {\nattribute \"live update\" \"merge\"\ngroup \"A\" {\ntransform 2\ngroup \"C\" {\n}\n}\n"
     "group \"B\" {\n}\ngroup \"B\" {\n}\n}\n",
     "S(A(t2 a C(c ))B(b )B(b2 ))"},
    {"new looks keep the held geometry",
     "group \"S\" {\nattribute \"live update\" \"merge\"\ngroup \"E\" {\nattribute \"live content\" \"looks\"\n"
     "object \"e\" {\nmaterial \"New\" {\n}\n}\n}\n}\n",
     "S(E(e+g:New ))"},
    {"content re-sent replaces what was held, in that group only",
     "group \"S\" {\nattribute \"live update\" \"merge\"\ngroup \"A\" {\ntransform 1\nobject \"n\" {\n}\n"
     "group \"C\" {\n}\n}\ngroup \"B\" {\n}\ngroup \"B\" {\nobject \"m\" {\n}\n}\n}\n",
     "S(A(t1 n C(c ))B(b )B(m ))"},
    {"groups not re-sent are swept",
     "group \"S\" {\nattribute \"live update\" \"merge\"\ngroup \"A\" {\ntransform 1\n}\n}\n",
     "S(A(t1 a ))"},
    {"the mark empties a group's content",
     "group \"S\" {\nattribute \"live update\" \"merge\"\ngroup \"A\" {\ntransform 1\n"
     "attribute \"live content\" \"replaced\"\ngroup \"C\" {\n}\n}\ngroup \"B\" {\n}\ngroup \"B\" {\n}\n}\n",
     "S(A(t1 C(c ))B(b )B(b2 ))"},
    {"the second of two same-named siblings meets the second",
     "group \"S\" {\nattribute \"live update\" \"merge\"\ngroup \"B\" {\n}\ngroup \"B\" {\n}\ngroup \"D\" {\n}\n}\n",
     "S(B(b )B(b2 )D())"},
    {"a plain update replaces the model set",
     "group \"S\" {\ngroup \"A\" {\n}\n}\n", "S(A())"},
};

TEST(StandinLiveMerge, UpdatesMergeIntoTheHeldSetAndTheHeldTextReadsBack)
{
    for (const MergeCase& c : kMergeCases) {
        SCOPED_TRACE(c.what);
        standin::SceneState scene;
        const auto first = std::make_shared<const std::string>(kHeld);
        const auto second = std::make_shared<const std::string>(c.update);
        scene.receive(parsed(*first), 1, 0, first);
        scene.receive(parsed(*second), 2, 0, second);
        EXPECT_EQ(held(scene), c.expected);

        std::string text;
        ASSERT_TRUE(scene.heldText(text));
        standin::SceneState reread;
        reread.receive(parsed(text), 1);
        EXPECT_EQ(held(reread), c.expected) << text;
    }
}

} // namespace live_merge
