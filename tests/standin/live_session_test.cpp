// Live end to end: the Live session in this process against the simulated host, edits applied
// as c4dsim applies them, updates streamed to a stand-in that writes the scene it holds after
// each one. After every step, what the renderer holds must be what a fresh export of the
// document gives.
#include "SceneReader.h"
#include "TranslationContext.h"
#include "commands.h"
#include "live_command.h"
#include "sim_edit.h"
#include "sim_host.h"
#include "standin_rig.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <signal.h>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using orv::qrf::Statement;
using standintest::readFile;
using standintest::Rig;

// ---- what a scene shows: objects in world space, cameras, animation ----

std::string words(const Statement& s)
{
    std::string out = s.keyword;
    for (const orv::qrf::Value& v : s.args) {
        out += " " + v.text;
        for (const std::string& item : v.items)
            out += " " + item;
    }
    if (s.block)
        for (const Statement& inner : s.block->statements)
            if (inner.keyword != "geometry")
                out += " {" + words(inner) + "}";
    return out;
}

using Matrix = std::array<double, 16>;

Matrix times(const Matrix& a, const Matrix& b) // row vectors: a first, then b
{
    Matrix m{};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            for (int k = 0; k < 4; ++k)
                m[r * 4 + c] += a[r * 4 + k] * b[k * 4 + c];
    return m;
}

std::string rounded(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", std::abs(v) < 0.005 ? 0.0 : v);
    return text;
}

const orv::qrf::Value* listOf(const Statement* s)
{
    if (!s)
        return nullptr;
    for (const orv::qrf::Value& v : s->args)
        if (v.kind == orv::qrf::Value::Kind::Binary)
            return &v;
    return nullptr;
}

// An object: its records, then its triangles in world space with their UVs, sorted.
std::string objectText(const Statement& object, const Matrix& world)
{
    std::string out = words(object);
    const Statement* geometry = object.block ? object.block->find("geometry") : nullptr;
    if (!geometry || !geometry->block) {
        for (double v : world)
            out += " " + rounded(v);
        return out;
    }
    const auto* vertices = listOf(geometry->block->find("vertices"));
    const auto* triangles = listOf(geometry->block->find("triangles"));
    const auto* uvs = listOf(geometry->block->find("uv_tex"));
    const auto* uvIndices = listOf(geometry->block->find("triangles_uv"));
    std::vector<std::string> corners;
    for (size_t t = 0; vertices && triangles && t + 2 < triangles->ints.size(); t += 3) {
        std::string triangle;
        for (size_t k = 0; k < 3; ++k) {
            const size_t p = size_t(triangles->ints[t + k]) * 3;
            if (p + 2 >= vertices->floats.size())
                return out + " (index outside the vertices)";
            const double x = vertices->floats[p], y = vertices->floats[p + 1], z = vertices->floats[p + 2];
            for (int c = 0; c < 3; ++c)
                triangle += rounded(x * world[c] + y * world[4 + c] + z * world[8 + c] + world[12 + c]) + " ";
            if (uvs && uvIndices && t + k < uvIndices->ints.size()) {
                const size_t u = size_t(uvIndices->ints[t + k]) * 2;
                if (u + 1 < uvs->floats.size())
                    triangle += "uv " + rounded(uvs->floats[u]) + " " + rounded(uvs->floats[u + 1]) + " ";
            }
        }
        corners.push_back(triangle);
    }
    std::sort(corners.begin(), corners.end());
    for (const std::string& c : corners)
        out += " | " + c;
    return out;
}

void collect(const Statement& group, const Matrix& parent, const std::string& path, std::vector<std::string>& out)
{
    Matrix world = parent;
    for (const Statement& s : group.block->statements)
        if (s.keyword == "transform" && s.args.size() == 16) {
            Matrix local{};
            for (size_t i = 0; i < 16; ++i)
                local[i] = s.args[i].number();
            world = times(local, parent);
        }
    for (const Statement& s : group.block->statements) {
        if (s.keyword == "object")
            out.push_back(path + ": " + objectText(s, world));
        else if (s.keyword == "animation")
            out.push_back(path + ": " + words(s));
        else if (s.keyword == "group" && s.block)
            collect(s, world, path + "/" + s.name(), out);
    }
}

std::vector<std::string> sceneContent(const std::string& text)
{
    orv::qrf::Document doc;
    orv::qrf::ParseError error;
    if (!orv::qrf::parse(text, doc, error))
        return {"unreadable: " + error.message};
    std::vector<std::string> out;
    const Matrix identity{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (const Statement& s : doc.top.statements) {
        if (s.keyword == "camera" && s.block)
            out.push_back("camera " + words(s));
        if (s.keyword == "group" && !s.define && s.block)
            collect(s, identity, s.name(), out);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// ---- the edit sequence ----

json& child(json& parent, const std::string& name, int nth = 0)
{
    json& list = parent.contains("children") ? parent["children"] : parent["objects"];
    for (json& o : list)
        if (o.value("name", "") == name && nth-- == 0)
            return o;
    throw std::runtime_error("no object " + name);
}

json plainQuad(const std::string& name, double x)
{
    return {{"type", "polygon"},
            {"name", name},
            {"position", {x, -100, 0}},
            {"points", {{0, 0, 0}, {40, 0, 0}, {40, 40, 0}, {0, 40, 0}}},
            {"polygons", {{0, 1, 2, 3}}}};
}

struct Step {
    const char* what;
    std::function<void(json&)> edit;
    bool meshes; // whether the update carries any mesh
};

const Step kSteps[] = {
    {"move an object", [](json& d) { child(child(d, "World"), "Generated Cube")["position"] = {-150, 20, 0}; }, false},
    {"edit points", [](json& d) { child(child(child(d, "World"), "Props"), "Box")["points"][0] = {-70, -50, -50}; }, true},
    {"material colour", [](json& d) { d["materials"][1]["params"]["color"] = {0, 0.6, 1}; }, true},
    {"texture", [](json& d) { d["materials"][0]["shaders"][0]["file"] = "tex/wood2.png"; }, true},
    {"another material",
     [](json& d) { child(d, "Plain", 1)["tags"] = {{{"type", "texture"}, {"material", "Red"}}}; }, true},
    {"add", [](json& d) { child(d, "World")["children"].push_back(plainQuad("Added", 300)); }, true},
    // The second "Plain" becomes the first: its path changed, so its mesh is sent again.
    {"delete the first of two same-named", [](json& d) { d["objects"].erase(d["objects"].begin() + 2); }, true},
    {"hide", [](json& d) { child(child(d, "World"), "Added")["params"] = {{"visibility_editor", 1}}; }, false},
    {"show", [](json& d) { child(child(d, "World"), "Added")["params"] = {{"visibility_editor", 0}}; }, true},
    {"rename", [](json& d) { child(child(d, "World"), "Added")["name"] = "Renamed"; }, true},
    {"reparent",
     [](json& d) {
         json& world = child(d, "World");
         json moved = child(world, "Renamed");
         auto& list = world["children"];
         list.erase(std::remove_if(list.begin(), list.end(), [](const json& o) { return o["name"] == "Renamed"; }),
                    list.end());
         child(world, "Props")["children"].push_back(moved);
     },
     true},
    {"move the camera", [](json& d) { child(d, "Camera")["position"] = {100, 200, -700}; }, false},
    {"light", [](json& d) { child(child(d, "World"), "Key Light")["params"]["brightness"] = 0.4; }, false},
    {"animation key",
     [](json& d) { child(child(child(d, "World"), "Props"), "Box")["tracks"][0]["keys"][1] = {1, 250}; }, false},
};

class LiveSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Rig::waitForFreePorts(40000)) << "another renderer keeps answering on the live-link ports";
        sim::clearHostState();
        ::setenv("TAVRIN_STANDIN_HELD", "1", 1);
        ::setenv("TAVRIN_STANDIN_NO_PREVIEW", "1", 1);
        fs::create_directories(rig.root() + "/tex");
        for (const char* name : {"wood.png", "wood2.png"})
            fs::copy_file(std::string(TAVRIN_EXAMPLES_DIR) + "/tex/wood.png", rig.root() + "/tex/" + name);
    }
    void TearDown() override
    {
        ::unsetenv("TAVRIN_STANDIN_HELD");
        ::unsetenv("TAVRIN_STANDIN_NO_PREVIEW");
    }

    std::unique_ptr<sim::Document> parse(const json& d)
    {
        std::string error;
        auto doc = sim::parseDocument(d.dump(), rig.root(), error);
        EXPECT_TRUE(doc) << error;
        return doc;
    }

    // The held scene after the newest stream, which the renderer writes once it has answered.
    std::string held() const
    {
        const std::string received = rig.receivedFiles().back();
        const std::string name = fs::path(received).filename().string();
        const std::string path = rig.output() + "/held-" + name.substr(std::string("received-").size());
        for (int waited = 0; !fs::exists(path) && waited < 5000; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return readFile(path);
    }

    // Whether a stream carries a mesh (a light's shape is not one).
    static bool carriesMesh(const std::string& text)
    {
        for (const std::string& object : sceneContent(text))
            if (object.find(": object ") != std::string::npos && object.find("_light}") == std::string::npos)
                return true;
        return false;
    }

    std::string exported()
    {
        const std::string path = rig.root() + "/export.qrf";
        EXPECT_TRUE(exportDocumentTo(context, host::Document(sim::handle(doc.get())), path));
        return readFile(path);
    }

    // The change message and the timer ticks the session asks for, as the host sends them.
    void deliver()
    {
        int32_t interval = sim::deliverMessage(C4D_MSG_DOCUMENT_CHANGED, doc.get());
        for (int ticks = 0; interval > 0 && ticks < 1000; ++ticks) {
            std::this_thread::sleep_for(std::chrono::milliseconds(interval));
            interval = sim::deliverMessage(C4D_MSG_TIMER, doc.get());
        }
    }

    // Makes the document the host's open, active one.
    void open(const json& d)
    {
        doc = parse(d);
        if (!doc)
            return;
        host::bind(sim::hostTable());
        sim::setActiveDocument(doc.get());
    }

    Rig rig;
    std::unique_ptr<sim::Document> doc;
    TranslationContext context;
};

TEST_F(LiveSession, AfterEveryEditTheRendererHoldsWhatAFreshExportGives)
{
    json d = json::parse(readFile(std::string(TAVRIN_EXAMPLES_DIR) + "/hierarchy.json"));
    d["objects"].push_back(plainQuad("Plain", 0));
    d["objects"].push_back(plainQuad("Plain", 100));
    open(d);
    ASSERT_TRUE(doc);
    TavrinCinema4DLive live(&context);
    host::registerMessageHandler(command_ids::Live, &live.session());

    live.Execute(host::Document(sim::handle(doc.get())));
    ASSERT_TRUE(live.session().active()) << (sim::messages().empty() ? "" : sim::messages().back());
    EXPECT_EQ(live.GetState(host::Document()), C4D_CMD_ENABLED | C4D_CMD_CHECKED);
    EXPECT_EQ(sceneContent(held()), sceneContent(exported()));

    for (const Step& step : kSteps) {
        SCOPED_TRACE(step.what);
        const size_t streams = rig.receivedFiles().size();
        step.edit(d);
        sim::applyEdit(*doc, parse(d));
        deliver();
        ASSERT_TRUE(live.session().active()) << (sim::messages().empty() ? "" : sim::messages().back());
        ASSERT_EQ(rig.receivedFiles().size(), streams + 1);
        const std::string sent = readFile(rig.receivedFiles().back());
        EXPECT_EQ(carriesMesh(sent), step.meshes);
        EXPECT_EQ(sceneContent(held()), sceneContent(exported()));
    }

    live.Execute(host::Document(sim::handle(doc.get())));
    EXPECT_FALSE(live.session().active());
    EXPECT_EQ(live.GetState(host::Document()), C4D_CMD_ENABLED);
    EXPECT_TRUE(sim::messages().empty()) << sim::messages().front();
    rig.stopRenderers();
}

// A renderer that quits or stops answering ends the session with one message, within the
// link's own waits; the next toggle finds a renderer again and sends it everything.
TEST_F(LiveSession, ARendererThatQuitsOrStopsAnsweringEndsTheSessionOnce)
{
    const struct {
        const char* what;
        int signal;   // sent to the session's renderer
        bool restart; // a fresh renderer is started for the next toggle (else it goes on)
    } cases[] = {{"quits", SIGKILL, true}, {"stops answering", SIGSTOP, false}};
    json d = json::parse(readFile(std::string(TAVRIN_EXAMPLES_DIR) + "/minimal.json"));
    open(d);
    ASSERT_TRUE(doc);
    TavrinCinema4DLive live(&context);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::clearHostState();
        host::registerMessageHandler(command_ids::Live, &live.session());
        live.Execute(host::Document(sim::handle(doc.get())));
        ASSERT_TRUE(live.session().active()) << (sim::messages().empty() ? "" : sim::messages().back());
        const std::vector<standintest::Instance> renderers = Rig::running();
        ASSERT_EQ(renderers.size(), 1u);
        ASSERT_EQ(::kill(pid_t(renderers[0].pid), c.signal), 0);

        d["objects"][0]["position"] = {c.signal, 0, 0};
        sim::applyEdit(*doc, parse(d));
        const int64_t before = standintest::nowMs();
        deliver();
        EXPECT_LT(standintest::nowMs() - before, 10000);
        EXPECT_FALSE(live.session().active());
        ASSERT_EQ(sim::messages().size(), 1u);
        EXPECT_NE(sim::messages()[0].find("the renderer no longer takes updates"), std::string::npos)
            << sim::messages()[0];

        if (c.restart)
            ASSERT_GT(rig.startRenderer({}), 0);
        else
            ::kill(pid_t(renderers[0].pid), SIGCONT);
        live.Execute(host::Document(sim::handle(doc.get())));
        ASSERT_TRUE(live.session().active()) << (sim::messages().empty() ? "" : sim::messages().back());
        EXPECT_EQ(sceneContent(held()), sceneContent(exported()));
        live.Execute(host::Document(sim::handle(doc.get())));
        rig.stopRenderers();
    }
}

// A host whose table ends before the change messages gets the command, which says why it
// cannot run; c4dsim runs a session of steps and prints one line per update.
TEST_F(LiveSession, OlderHostIsToldAndC4dsimRunsASessionOfSteps)
{
    c4d_host_table older = *sim::hostTable();
    older.size = static_cast<uint32_t>(offsetof(c4d_host_table, register_message_handler));
    host::bind(&older);
    TavrinCinema4DLive live(&context);
    live.Execute(host::Document());
    ASSERT_EQ(sim::messages().size(), 1u);
    EXPECT_NE(sim::messages()[0].find("sends no change messages"), std::string::npos);
    EXPECT_FALSE(live.session().active());
    host::bind(sim::hostTable());

    json d = json::parse(readFile(std::string(TAVRIN_EXAMPLES_DIR) + "/minimal.json"));
    const std::string first = rig.root() + "/v0.json", second = rig.root() + "/v1.json";
    std::ofstream(first) << d.dump();
    d["objects"][0]["position"] = {10, 20, 30};
    std::ofstream(second) << d.dump();
    std::string output;
    const int status = standintest::runProgram(
        {C4DSIM_EXE, "--plugin", PLUGIN_MODULE, first, "--live", "--steps", second, "--report", rig.root() + "/r.json"},
        60000, &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Tavrin Live update 2: moved 1 object"), std::string::npos) << output;
    const json report = json::parse(readFile(rig.root() + "/r.json"));
    EXPECT_EQ(report["updates"].size(), 2u);
    rig.stopRenderers();
}

} // namespace
