// Render and Update end to end: the commands run in this process against the simulated
// host, load the stand-in live library from a scratch installation, launch or find the
// stand-in renderer and stream the document to it. What the renderer receives is compared
// with what Export writes for the same document; faulty renderers and ports must cost a
// bounded wait and leave the host running.
#include "Png.h"
#include "Preview.h"
#include "SceneReader.h"
#include "TranslationContext.h"
#include "commands.h"
#include "net.h"
#include "protocol.h"
#include "sim_host.h"
#include "standin_rig.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

using standintest::fromBanner;
using standintest::nowMs;
using standintest::readFile;
using standintest::Rig;

// Equal texts, or where they part.
::testing::AssertionResult sameBytes(const std::string& a, const std::string& b)
{
    if (a == b)
        return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        ++i;
    return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size()
                                         << ", first difference at byte " << i;
}

std::string sceneXmlOf(int port)
{
    standin::net::Fd fd = standin::net::connectLoopback(port, 2000);
    std::string text;
    if (fd && standin::net::sendAll(fd.get(), standin::protocol::kQueryScene, 2000))
        standin::net::readToEnd(fd.get(), text, 1 << 20, nowMs() + 2000);
    return text;
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

// The value of one import option in a received stream.
std::string importOption(const std::string& sceneText, const std::string& key)
{
    orv::qrf::Document doc;
    orv::qrf::ParseError error;
    if (!orv::qrf::parse(sceneText, doc, error))
        return "(unparsable)";
    const orv::qrf::Statement* load = doc.top.find("load", "orvrtopt.so");
    if (!load || !load->block)
        return "(no options)";
    const orv::qrf::Statement* option = load->block->findDeep(key);
    if (!option || option->args.empty())
        return "(absent)";
    return option->args.front().text;
}

class LiveCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Rig::waitForFreePorts(40000))
            << "another renderer keeps answering on the live-link ports";
        sim::clearHostState();
    }

    host::Document hostDoc()
    {
        sim::finalize(doc);
        host::bind(sim::hostTable());
        return host::Document(sim::handle(&doc));
    }

    bool render() { return TavrinCinema4DRender(&context).Execute(hostDoc()); }
    bool update() { return TavrinCinema4DUpdate(&context).Execute(hostDoc()); }

    std::string exported()
    {
        const std::string path = rig.root() + "/export.qrf";
        EXPECT_TRUE(exportDocumentTo(context, hostDoc(), path));
        return readFile(path);
    }

    Rig rig;
    sim::Document doc;
    TranslationContext context;
};

TEST_F(LiveCommands, RenderLaunchesRendererAndSendsWhatExportWrites_UpdateFindsItAgain)
{
    standintest::buildDocument(doc, "Shapes.c4d", 5000);

    EXPECT_TRUE(render());
    EXPECT_EQ(context.scene, nullptr);
    EXPECT_FALSE(context.updateMode);
    EXPECT_TRUE(sim::messages().empty()) << sim::messages().front();

    auto instances = Rig::running();
    ASSERT_EQ(instances.size(), 1u);
    auto files = rig.receivedFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::string received = readFile(files[0]);
    const std::string expected = exported();
    ASSERT_FALSE(fromBanner(expected).empty());
    EXPECT_TRUE(sameBytes(fromBanner(received), fromBanner(expected)));
    // Nothing came before the banner: the stream is the scene itself.
    EXPECT_EQ(fromBanner(received).size(), received.size());
    EXPECT_EQ(importOption(received, "import_adjust_camera"), "on");
    EXPECT_EQ(importOption(received, "import_adjust_environment"), "on");

    EXPECT_TRUE(update());
    EXPECT_EQ(context.scene, nullptr);
    EXPECT_TRUE(context.updateMode);
    EXPECT_TRUE(sim::messages().empty()) << sim::messages().front();

    auto after = Rig::running();
    ASSERT_EQ(after.size(), 1u) << "Update must use the instance that holds the scene";
    EXPECT_EQ(after[0].pid, instances[0].pid);
    files = rig.receivedFiles();
    ASSERT_EQ(files.size(), 2u);
    const std::string second = readFile(files[1]);
    EXPECT_EQ(importOption(second, "import_adjust_camera"), "off");
    EXPECT_EQ(importOption(second, "import_adjust_environment"), "off");

    const std::string scene = sceneXmlOf(after[0].port);
    EXPECT_EQ(count(scene, "<modelset "), 1u) << scene;
    EXPECT_EQ(count(scene, "name=\"Shapes\""), 1u) << scene;
}

TEST_F(LiveCommands, RenderLeavesAnInstanceHoldingAnotherSceneAlone)
{
    standintest::buildDocument(doc, "First.c4d");
    EXPECT_TRUE(update()); // nothing runs yet: Update launches a renderer too
    auto first = Rig::running();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(rig.receivedFiles().size(), 1u);
    EXPECT_EQ(importOption(readFile(rig.receivedFiles()[0]), "import_adjust_camera"), "on");

    // The one instance is no longer empty, so Render starts a second one.
    EXPECT_TRUE(render());
    auto both = Rig::running();
    ASSERT_EQ(both.size(), 2u);
    EXPECT_NE(both[0].pid, both[1].pid);
    EXPECT_EQ(count(sceneXmlOf(first[0].port), "<modelset "), 1u);
}

TEST_F(LiveCommands, RendererKilledMidStreamCostsABoundedWait)
{
    standintest::buildDocument(doc, "Heavy.c4d", 200000);
    const pid_t pid = rig.startRenderer({"--fail-after", "100000"});
    ASSERT_GT(pid, 0);

    const int64_t start = nowMs();
    EXPECT_TRUE(render());
    EXPECT_LT(nowMs() - start, 30000);
    EXPECT_EQ(context.scene, nullptr);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_TRUE(rig.receivedFiles().empty());
    // The user is told that the scene did not arrive.
    ASSERT_EQ(sim::messages().size(), 1u);
    EXPECT_NE(sim::messages()[0].find("Render in Tavrin"), std::string::npos);
    EXPECT_NE(sim::messages()[0].find("did not confirm the scene"), std::string::npos);
    sim::clearHostState();

    // The host and the plug-in carry on: the next Render launches a renderer and succeeds.
    doc = sim::Document();
    standintest::buildDocument(doc, "Light.c4d");
    EXPECT_TRUE(render());
    ASSERT_EQ(rig.receivedFiles().size(), 1u);
    EXPECT_TRUE(sameBytes(fromBanner(readFile(rig.receivedFiles()[0])), fromBanner(exported())));
}

TEST_F(LiveCommands, RendererThatStopsReadingCostsABoundedWait)
{
    standintest::buildDocument(doc, "Heavy.c4d", 200000);
    ASSERT_GT(rig.startRenderer({"--stall-after", "100000"}), 0);

    const int64_t start = nowMs();
    EXPECT_TRUE(render());
    EXPECT_LT(nowMs() - start, 30000);
    EXPECT_EQ(context.scene, nullptr);
    EXPECT_TRUE(rig.receivedFiles().empty());
    ASSERT_EQ(sim::messages().size(), 1u);
    EXPECT_NE(sim::messages()[0].find("did not confirm the scene"), std::string::npos);
}

TEST_F(LiveCommands, SilentListenerOnTheFirstPortIsPassedOver)
{
    // Accepts connections (the kernel completes them) but never reads or answers.
    standin::net::Fd silent(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(silent);
    int one = 1;
    ::setsockopt(silent.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(standin::net::kFirstPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(silent.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(silent.get(), 16), 0);

    standintest::buildDocument(doc, "Shapes.c4d");
    const int64_t start = nowMs();
    EXPECT_TRUE(render());
    EXPECT_LT(nowMs() - start, 30000);
    EXPECT_TRUE(sim::messages().empty()) << sim::messages().front();

    auto instances = Rig::running();
    ASSERT_EQ(instances.size(), 1u);
    EXPECT_NE(instances[0].port, standin::net::kFirstPort);
    ASSERT_EQ(rig.receivedFiles().size(), 1u);
    EXPECT_TRUE(sameBytes(fromBanner(readFile(rig.receivedFiles()[0])), fromBanner(exported())));
}

TEST_F(LiveCommands, WithoutInstallationTheUserIsToldAndNothingRuns)
{
    const std::string empty = rig.root() + "/empty";
    std::filesystem::create_directories(empty);
    ::setenv("TAVRIN_INSTALL_ROOT", empty.c_str(), 1);
    standintest::buildDocument(doc, "Shapes.c4d");

    const int64_t start = nowMs();
    EXPECT_TRUE(render());
    EXPECT_TRUE(update());
    EXPECT_LT(nowMs() - start, 5000);
    EXPECT_EQ(context.scene, nullptr);
    ASSERT_EQ(sim::messages().size(), 2u);
    EXPECT_NE(sim::messages()[0].find("Render in Tavrin"), std::string::npos);
    EXPECT_NE(sim::messages()[0].find("Could not get a scene api"), std::string::npos);
    EXPECT_NE(sim::messages()[1].find("Update Tavrin scene"), std::string::npos);
    EXPECT_TRUE(Rig::running().empty());
}

// Two hosts that Render at the same moment each launch a renderer, and each streams to the
// one it launched, not both to whichever came up first.
TEST_F(LiveCommands, SimultaneousRendersLandInTheirOwnRenderers)
{
    const std::string examples = TAVRIN_EXAMPLES_DIR;
    std::string logs[2];
    int codes[2] = {-1, -1};
    std::thread second([&] {
        codes[1] = standintest::runProgram(
            {C4DSIM_EXE, examples + "/hierarchy.json", "--render", "--plugin", PLUGIN_MODULE}, 60000, &logs[1]);
    });
    codes[0] = standintest::runProgram({C4DSIM_EXE, examples + "/minimal.json", "--render", "--plugin", PLUGIN_MODULE},
                                       60000, &logs[0]);
    second.join();
    EXPECT_EQ(codes[0], 0) << logs[0];
    EXPECT_EQ(codes[1], 0) << logs[1];

    auto instances = Rig::running();
    ASSERT_EQ(instances.size(), 2u) << logs[0] << logs[1];
    EXPECT_EQ(rig.receivedFiles().size(), 2u);
    for (const auto& instance : instances)
        EXPECT_EQ(count(sceneXmlOf(instance.port), "<modelset "), 1u) << "renderer on port " << instance.port;
}

// c4dsim runs the commands by their IDs through the built plug-in module.
TEST_F(LiveCommands, C4dsimRenderAndUpdate)
{
    const std::string example = std::string(TAVRIN_EXAMPLES_DIR) + "/minimal.json";
    const std::string exportPath = rig.root() + "/minimal.qrf";
    std::string log;
    ASSERT_EQ(standintest::runProgram({C4DSIM_EXE, example, "--export", exportPath, "--plugin",
                                       PLUGIN_MODULE},
                                      60000, &log),
              0)
        << log;
    ASSERT_EQ(standintest::runProgram({C4DSIM_EXE, example, "--render", "--plugin", PLUGIN_MODULE},
                                      60000, &log),
              0)
        << log;
    ASSERT_EQ(rig.receivedFiles().size(), 1u) << log;
    EXPECT_TRUE(sameBytes(fromBanner(readFile(rig.receivedFiles()[0])), fromBanner(readFile(exportPath))));

    ASSERT_EQ(standintest::runProgram({C4DSIM_EXE, example, "--update", "--plugin", PLUGIN_MODULE},
                                      60000, &log),
              0)
        << log;
    auto instances = Rig::running();
    ASSERT_EQ(instances.size(), 1u);
    ASSERT_EQ(rig.receivedFiles().size(), 2u);
    EXPECT_EQ(importOption(readFile(rig.receivedFiles()[1]), "import_adjust_camera"), "off");
    const std::string scene = sceneXmlOf(instances[0].port);
    EXPECT_EQ(count(scene, "name=\"minimal\""), 1u) << scene;
}

// A renderer that another user started on this machine (a shared one) never receives our
// document: Update and Render pass it over as they pass over a busy one, find or launch
// their own, and the report and the console name the renderer passed over.
TEST_F(LiveCommands, RendererOfAnotherUserIsPassedOver)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "starting a renderer as another user needs root";
    constexpr uid_t kOther = 65534; // nobody
    // The other user's renderer runs from a copy it may execute, into a folder it may write.
    char pattern[] = "/tmp/other-user-renderer-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path place = pattern;
    std::filesystem::copy_file(TAVRIN_STANDIN_EXE, place / "tavrin");
    std::filesystem::create_directory(place / "received");
    ::chmod(place.c_str(), 0755);
    ::chmod((place / "received").c_str(), 0777);
    const pid_t other = ::fork();
    if (other == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kOther, kOther, kOther) != 0 ||
            ::setresuid(kOther, kOther, kOther) != 0)
            ::_exit(127);
        const std::string exe = (place / "tavrin").string(), out = (place / "received").string();
        ::execl(exe.c_str(), exe.c_str(), "--output", out.c_str(), "--quiet", "--no-preview", "--idle-exit", "30",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(other, 0);
    int port = 0;
    for (int64_t end = nowMs() + 10000; port == 0 && nowMs() < end; ::usleep(50000))
        for (const auto& instance : Rig::running())
            if (instance.pid == other)
                port = instance.port;
    EXPECT_NE(port, 0) << "the other user's renderer did not come up";

    standintest::buildDocument(doc, "Mine.c4d");
    for (const bool isUpdate : {true, false}) {
        SCOPED_TRACE(isUpdate ? "update" : "render");
        sim::clearHostState();
        EXPECT_TRUE(isUpdate ? update() : render());
        EXPECT_TRUE(sim::messages().empty()) << sim::messages().front();
        const auto& entry = context.report.entry(report::Reason::RendererOfAnotherUser);
        ASSERT_EQ(entry.items.size(), 1u);
        EXPECT_EQ(entry.items[0].path, "port " + std::to_string(port));
        EXPECT_EQ(entry.items[0].detail, "process " + std::to_string(other) + " of user 65534");
        const auto& console = sim::consoleLines();
        EXPECT_NE(std::find(console.begin(), console.end(), "  renderers of another user passed over (1):"),
                  console.end());
    }
    // Ours received both commands (Render a renderer of its own, as ours holds a scene);
    // the other user's received nothing.
    EXPECT_EQ(rig.receivedFiles().size(), 2u);
    EXPECT_TRUE(std::filesystem::is_empty(place / "received"));

    ::kill(other, SIGTERM);
    int status = 0;
    ::waitpid(other, &status, 0);
    std::filesystem::remove_all(place);
}

// A texture that is a FIFO (no writer ever comes) is reported with its reason, and Render
// finishes as quickly as Export does.
TEST_F(LiveCommands, AFifoTextureCostsNoWait)
{
    const std::filesystem::path folder = rig.root();
    ASSERT_EQ(::mkfifo((folder / "pipe.png").c_str(), 0644), 0);
    const std::string document = (folder / "fifo.json").string();
    std::ofstream(document) << R"({"name": "fifo.c4d",
      "materials": [{"name": "Wood", "type": "standard", "channels": {"color": true},
                     "params": {"color_shader": {"link": {"shader": "Grain"}}},
                     "shaders": [{"type": "bitmap", "name": "Grain", "file": "pipe.png"}]}],
      "objects": [{"type": "polygon", "name": "Quad", "points": [[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]],
                   "polygons": [[0, 1, 2, 3]], "tags": [{"type": "texture", "name": "Wood", "material": "Wood"}]}]})";
    // The stand-in's own preview of the scene is not what is tried here.
    ::setenv("TAVRIN_STANDIN_NO_PREVIEW", "1", 1);
    for (const char* command : {"--export", "--render"}) {
        SCOPED_TRACE(command);
        const std::string report = (folder / "report.json").string();
        std::vector<std::string> args{C4DSIM_EXE, document, command, "--report", report, "--plugin", PLUGIN_MODULE};
        if (std::string(command) == "--export")
            args.insert(args.begin() + 3, (folder / "fifo.qrf").string());
        std::string log;
        const int64_t start = nowMs();
        EXPECT_EQ(standintest::runProgram(args, 20000, &log), 0) << log;
        EXPECT_LT(nowMs() - start, 20000);
        EXPECT_NE(readFile(report).find("pipe.png (a FIFO, not a regular file)"), std::string::npos) << log;
    }
    ::unsetenv("TAVRIN_STANDIN_NO_PREVIEW");
    EXPECT_EQ(rig.receivedFiles().size(), 1u);
    EXPECT_TRUE(std::filesystem::is_fifo(folder / "pipe.png"));
}

// The stand-in draws what it received: a PNG beside the received scene, the same picture
// the preview library draws from that file, and again after an Update.
TEST_F(LiveCommands, RenderDrawsAPreviewBesideTheReceivedScene)
{
    const std::string example = std::string(TAVRIN_EXAMPLES_DIR) + "/hierarchy.json";
    std::string log;
    ASSERT_EQ(standintest::runProgram({C4DSIM_EXE, example, "--render", "--plugin", PLUGIN_MODULE}, 60000, &log), 0)
        << log;
    ASSERT_EQ(standintest::runProgram({C4DSIM_EXE, example, "--update", "--plugin", PLUGIN_MODULE}, 60000, &log), 0)
        << log;
    const auto files = rig.receivedFiles();
    ASSERT_EQ(files.size(), 2u);
    for (const std::string& received : files) {
        SCOPED_TRACE(received);
        const std::string png = std::filesystem::path(received).replace_extension(".png").string();
        // The picture is drawn after the sender has its answer: give it a moment.
        for (int i = 0; i < 100 && !std::filesystem::exists(png); ++i)
            ::usleep(50000);
        preview::Image image;
        std::string error;
        ASSERT_TRUE(preview::readPng(png, image, error)) << error;
        EXPECT_EQ(image.width, 640);
        EXPECT_EQ(image.height, 360);

        orv::qrf::Document doc;
        orv::qrf::ParseError parseError;
        ASSERT_TRUE(orv::qrf::parse(readFile(received), doc, parseError));
        preview::Result expected;
        ASSERT_TRUE(preview::render(doc, preview::Options{}, expected, error)) << error;
        EXPECT_TRUE(image.rgb == expected.image.rgb);
        size_t drawn = 0;
        for (size_t p = 0; p < image.rgb.size(); p += 3)
            drawn += !std::equal(preview::kBackground, preview::kBackground + 3, image.rgb.begin() + long(p));
        EXPECT_GT(drawn, image.rgb.size() / 3 / 20);
    }
}

} // namespace
