// The stand-in renderer as a process and the stand-in live library as the plug-in's loader
// sees it: command line, ports, stopping, the wire protocol with well- and ill-behaved
// clients, and the library's back end and query API against a running renderer.
#include "RepeatLinkFactory.h"
#include "net.h"
#include "protocol.h"
#include "standin_rig.h"
#include "tavrin_live.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

using standintest::nowMs;
using standintest::Rig;
using standintest::runProgram;

using standintest::ask;
using standintest::exitStatusWithin;
using standintest::portOf;

class RendererProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Rig::waitForFreePorts(40000))
            << "another renderer keeps answering on the live-link ports";
    }
    Rig rig;
};

TEST_F(RendererProcess, CommandLineAndEnvironmentAreChecked)
{
    std::string out;
    EXPECT_EQ(runProgram({TAVRIN_STANDIN_EXE, "--help"}, 10000, &out), 0);
    EXPECT_NE(out.find("--idle-exit"), std::string::npos);
    EXPECT_EQ(runProgram({TAVRIN_STANDIN_EXE, "--no-such-option"}, 10000), 2);
    EXPECT_EQ(runProgram({TAVRIN_STANDIN_EXE, "--port", "0"}, 10000), 2);

    ::setenv("TAVRIN_STANDIN_IDLE_EXIT", "soon", 1);
    EXPECT_EQ(runProgram({TAVRIN_STANDIN_EXE}, 10000, &out), 2);
    EXPECT_NE(out.find("TAVRIN_STANDIN_IDLE_EXIT"), std::string::npos) << out;
    ::setenv("TAVRIN_STANDIN_IDLE_EXIT", "30", 1);

    // An output folder that cannot be made is refused before any port is taken.
    EXPECT_EQ(runProgram({TAVRIN_STANDIN_EXE, "--output", "/proc/no/such/folder"}, 10000, &out), 1);
    EXPECT_TRUE(Rig::running().empty());
}

TEST_F(RendererProcess, PortsAreTakenInOrderAndStopsAreClean)
{
    pid_t first = rig.startRenderer({});
    pid_t second = rig.startRenderer({});
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_EQ(portOf(first), standin::net::kFirstPort);
    EXPECT_EQ(portOf(second), standin::net::kFirstPort + 1);

    std::string out;
    EXPECT_EQ(runProgram({TAVRIN_STANDIN_EXE, "--port", std::to_string(standin::net::kFirstPort)},
                         10000, &out),
              1); // the port is taken: cannot serve
    EXPECT_NE(out.find("not free"), std::string::npos) << out;

    ::kill(first, SIGTERM);
    EXPECT_EQ(exitStatusWithin(first, 5000), 0);
    ::kill(second, SIGINT);
    EXPECT_EQ(exitStatusWithin(second, 5000), 0);

    pid_t idle = rig.startRenderer({"--idle-exit", "2"});
    ASSERT_GT(idle, 0);
    EXPECT_EQ(exitStatusWithin(idle, 5000), 0);
}

TEST_F(RendererProcess, WireProtocolWithGoodAndBadClients)
{
    pid_t pid = rig.startRenderer({});
    ASSERT_GT(pid, 0);
    const int port = portOf(pid);

    // A client that connects and never speaks holds up nobody.
    standin::net::Fd silent = standin::net::connectLoopback(port, 2000);
    ASSERT_TRUE(silent);
    const int64_t start = nowMs();
    std::string instance = ask(port, standin::protocol::kQueryInstance);
    EXPECT_LT(nowMs() - start, 3000); // well below the 5 s a silent client is granted
    EXPECT_NE(instance.find("<process_id>" + std::to_string(pid) + "</process_id>"), std::string::npos);

    EXPECT_EQ(ask(port, "GET / HTTP/1.0\n"), "");
    EXPECT_EQ(ask(port, std::string(2000, 'x')), "");

    // A malformed stream is kept on disk but becomes no model set.
    std::string bad = ask(port, standin::protocol::streamRequest(3, 1), "group \"Broken\" {\n");
    EXPECT_NE(bad.find("TAVRIN-READY 10 " + std::to_string(pid) + "\n"), std::string::npos) << bad;
    EXPECT_NE(bad.find("TAVRIN-RECEIVED 17 error"), std::string::npos) << bad;
    EXPECT_EQ(rig.receivedFiles().size(), 1u);
    EXPECT_EQ(ask(port, standin::protocol::kQueryScene).find("<modelset "), std::string::npos);

    std::string good = ask(port, standin::protocol::streamRequest(5, 4),
                                "#print \"hi\"\nversion 9\n\ngroup \"Wire\" {\n}\n");
    EXPECT_NE(good.find("TAVRIN-RECEIVED 40 ok\n"), std::string::npos) << good;
    std::string scene = ask(port, standin::protocol::kQueryScene);
    EXPECT_NE(scene.find("name=\"Wire\""), std::string::npos) << scene;
    EXPECT_NE(scene.find("<id>5</id>"), std::string::npos) << scene;
    ASSERT_EQ(rig.receivedFiles().size(), 2u);
    EXPECT_EQ(standintest::readFile(rig.receivedFiles()[1]),
              "#print \"hi\"\nversion 9\n\ngroup \"Wire\" {\n}\n");
    // A preview is drawn for the scene that took effect, none for the malformed one.
    auto png = [&](size_t i) { return std::filesystem::path(rig.receivedFiles()[i]).replace_extension(".png"); };
    for (int i = 0; i < 100 && !std::filesystem::exists(png(1)); ++i)
        ::usleep(50000);
    EXPECT_TRUE(std::filesystem::exists(png(1)));
    EXPECT_FALSE(std::filesystem::exists(png(0)));

    // Well-formed text that is no scene (no version record, no record with a block) is
    // answered as a failure.
    for (const std::string text : {"AAAA", "// only a comment\n", "AAAA BBBB\nCCCC \"G\"\n"}) {
        SCOPED_TRACE(text);
        const std::string answer = ask(port, standin::protocol::streamRequest(6, 1), text);
        EXPECT_NE(answer.find("TAVRIN-RECEIVED " + std::to_string(text.size()) + " error"), std::string::npos)
            << answer;
    }
}

// A preview is drawn beside the serving, never in its way: a scene that takes the ray
// tracer far longer than the preview's limit (200,000 triangles stacked on one spot) is
// abandoned, queries are answered meanwhile, and the next scene gets its picture.
TEST_F(RendererProcess, APreviewNeverHoldsUpTheServing)
{
    pid_t pid = rig.startRenderer({"--preview-time-limit", "1"});
    ASSERT_GT(pid, 0);
    const int port = portOf(pid);
    std::string indices;
    for (int i = 0; i < 200000; ++i)
        indices += "0,1,2,";
    const std::string heavy = "version 9\ncamera \"C\" {\n position 0 0 10\n direction 0 0 -1\n}\n"
                              "group \"Stack\" {\n object \"S\" {\n  geometry \"triangles\" {\n"
                              "\"vertices\" [ -5 -5 0,5 -5 0,0 5 0 ] ,\n\"triangles\" [ " + indices + "] ,\n  }\n }\n}\n";
    EXPECT_NE(ask(port, standin::protocol::streamRequest(1, 1), heavy).find(" ok\n"), std::string::npos);
    for (int i = 0; i < 5; ++i) {
        const int64_t start = nowMs();
        EXPECT_NE(ask(port, standin::protocol::kQueryScene).find("name=\"Stack\""), std::string::npos);
        EXPECT_LT(nowMs() - start, 1000) << "query " << i << " waited for the picture";
        ::usleep(200000);
    }
    const std::string light = "version 9\ngroup \"Stack\" {\n}\n"; // replaces the heavy set
    EXPECT_NE(ask(port, standin::protocol::streamRequest(2, 1), light).find(" ok\n"), std::string::npos);
    ASSERT_EQ(rig.receivedFiles().size(), 2u);
    auto png = [&](size_t i) { return std::filesystem::path(rig.receivedFiles()[i]).replace_extension(".png"); };
    for (int i = 0; i < 300 && !std::filesystem::exists(png(1)); ++i)
        ::usleep(50000);
    EXPECT_TRUE(std::filesystem::exists(png(1)));
    EXPECT_FALSE(std::filesystem::exists(png(0))) << "the heavy preview was abandoned";
}

// Started as the plug-in starts a renderer (no arguments, a session of its own), the
// stand-in writes to a log in its output folder, not to the terminal it came from, and
// leaves by itself when idle.
TEST_F(RendererProcess, ALaunchedRendererLogsToItsFolderAndLeavesWhenIdle)
{
    const std::string exe = TAVRIN_STANDIN_EXE;
    ::setenv("TAVRIN_STANDIN_OUTPUT", rig.output().c_str(), 1);
    ::unsetenv("TAVRIN_STANDIN_IDLE_EXIT");
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setsid();
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        char* const argv[] = {const_cast<char*>(exe.c_str()), nullptr};
        ::execv(argv[0], argv);
        ::_exit(127);
    }
    ::close(out[1]);
    ::setenv("TAVRIN_STANDIN_IDLE_EXIT", "30", 1);
    int port = 0;
    for (int i = 0; i < 200 && !(port = portOf(pid)); ++i)
        ::usleep(50000);
    ASSERT_GT(port, 0);
    EXPECT_NE(ask(port, standin::protocol::streamRequest(1, 1), "version 9\ngroup \"L\" {\n}\n").find(" ok\n"),
              std::string::npos);
    ::kill(pid, SIGTERM);
    EXPECT_EQ(exitStatusWithin(pid, 5000), 0);
    char buffer[256];
    EXPECT_EQ(::read(out[0], buffer, sizeof buffer), 0) << "nothing reaches the launcher's terminal";
    ::close(out[0]);
    const std::string log =
        standintest::readFile(rig.output() + "/tavrin-" + std::to_string(pid) + ".log");
    EXPECT_NE(log.find("listening on 127.0.0.1:" + std::to_string(port)), std::string::npos) << log;
    EXPECT_NE(log.find("leaving after 600 s without a scene"), std::string::npos) << log;
    EXPECT_NE(log.find("stream 1"), std::string::npos) << log;
    EXPECT_NE(log.find("stopping on request"), std::string::npos) << log;
}

TEST_F(RendererProcess, StreamThatCannotBeKeptOnDiskIsStillAnsweredAndTakenIn)
{
    pid_t pid = rig.startRenderer({});
    ASSERT_GT(pid, 0);
    const int port = portOf(pid);
    std::filesystem::remove_all(rig.output()); // the folder goes away under the renderer

    const std::string text = "version 9\n\ngroup \"Kept\" {\n}\n";
    EXPECT_NE(ask(port, standin::protocol::streamRequest(2, 1), text).find("TAVRIN-RECEIVED 28 ok\n"),
              std::string::npos);
    EXPECT_NE(ask(port, standin::protocol::kQueryScene).find("name=\"Kept\""), std::string::npos);
    EXPECT_NE(ask(port, standin::protocol::streamRequest(3, 1), "group \"Cut\" {\n").find("error"),
              std::string::npos);

    // The folder back: streams reach it again, and no unfinished part is left behind.
    std::filesystem::create_directories(rig.output());
    EXPECT_NE(ask(port, standin::protocol::streamRequest(4, 1), text).find(" ok\n"), std::string::npos);
    ASSERT_EQ(rig.receivedFiles().size(), 1u);
    EXPECT_EQ(standintest::readFile(rig.receivedFiles()[0]), text);
    for (const auto& entry : std::filesystem::directory_iterator(rig.output()))
        EXPECT_NE(entry.path().extension(), ".part") << entry.path();
}

// The live library loaded as the plug-in's loader loads it.
class LiveLibrary : public RendererProcess {
protected:
    void SetUp() override
    {
        RendererProcess::SetUp();
        handle = ::dlopen(TAVRIN_LIVE_LIBRARY, RTLD_LAZY | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << ::dlerror();
        auto init = reinterpret_cast<tavrin_live_initialize_fn>(::dlsym(handle, TAVRIN_LIVE_ENTRY_POINT));
        ASSERT_NE(init, nullptr);
        live = init();
        ASSERT_NE(live, nullptr);
        api = live->scene_api();
        query = live->query_api();
        ASSERT_NE(api, nullptr);
        ASSERT_NE(query, nullptr);
    }
    void TearDown() override
    {
        if (live)
            live->shutdown();
        if (handle)
            ::dlclose(handle);
    }

    void* handle = nullptr;
    TavrinLive* live = nullptr;
    orvScene_api* api = nullptr;
    TavrinQueryApi* query = nullptr;
};

TEST_F(LiveLibrary, UnconnectedBackEndAcceptsEverythingAndRefusesForeignHosts)
{
    double m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    EXPECT_FALSE(api->beginGroup("Nowhere", 1));
    api->transform(m);
    api->print("%s %d", "text", 3);
    api->progress("p", 0.5f);
    api->endGroup();
    EXPECT_EQ(api->currentShader(), nullptr);
    EXPECT_EQ(api->disconnect(), -1);

    const int64_t start = nowMs();
    EXPECT_FALSE(api->connect(nullptr, 3141, 1));
    EXPECT_FALSE(api->connect("192.0.2.1", 3141, 1));
    EXPECT_FALSE(api->connect("localhost", 0, 1));
    EXPECT_FALSE(api->connect("127.0.0.1", 70000, 1));
    EXPECT_FALSE(api->connect("127.0.0.1", standin::net::kLastPort, 1)); // nothing listens
    EXPECT_LT(nowMs() - start, 3000);
}

TEST_F(LiveLibrary, BackEndAndQueryApiAgainstARunningRenderer)
{
    pid_t pid = rig.startRenderer({});
    ASSERT_GT(pid, 0);
    const int port = portOf(pid);

    // The factory's own reader takes the instance list.
    RepeatLinkFactory factory;
    factory.set_version_range(9, 10);
    auto instances = factory.list_instances(*query);
    ASSERT_EQ(instances.size(), 1u);
    EXPECT_EQ(instances[0].version, 10);
    EXPECT_EQ(instances[0].process_id, pid);
    EXPECT_EQ(instances[0].port, port);
    EXPECT_EQ(factory.choose_instance(*query, instances).process_id, pid); // empty

    api->id(7); // before the connection: travels with it
    ASSERT_TRUE(api->connect("localhost", unsigned(port), 4));
    EXPECT_TRUE(api->beginGroup("Direct", 1));
    api->id(8); // while connected: an ordinary record
    api->endGroup();
    EXPECT_EQ(api->disconnect(), 0);
    EXPECT_EQ(api->disconnect(), -1);
    EXPECT_FALSE(api->beginGroup("After", 1));

    ASSERT_TRUE(query->select_instance(pid));
    const char* scene = query->scene_xml();
    ASSERT_NE(scene, nullptr);
    EXPECT_NE(std::string(scene).find("name=\"Direct\""), std::string::npos) << scene;
    EXPECT_NE(std::string(scene).find("<id>7</id>"), std::string::npos) << scene;
    query->end_selection();
    EXPECT_EQ(query->scene_xml(), nullptr);
    EXPECT_FALSE(query->select_instance(pid + 100000));

    ASSERT_EQ(rig.receivedFiles().size(), 1u);
    EXPECT_EQ(standintest::readFile(rig.receivedFiles()[0]), "\ngroup \"Direct\" {\nid 8\n}\n");

    // Update-style choice now finds the scene on this instance.
    factory.set_scene_name("Direct");
    factory.set_accept_any_instance(true);
    EXPECT_EQ(factory.choose_instance(*query, factory.list_instances(*query)).process_id, pid);
    EXPECT_TRUE(factory.scene_found());
}

} // namespace
