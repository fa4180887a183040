#include "InstallLocator.h"
#include "RepeatLinkFactory.h"
#include "launch.h"
#include "link_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <filesystem>
#include <thread>

using linktest::EnvGuard;
using linktest::ScratchRoot;

namespace {

std::vector<std::string> kept(const std::vector<const char*>& environment) {
    std::vector<const char*> env = environment;
    env.push_back(nullptr);
    FilterEnv filter(launch_filtered_names(), env.data());
    std::vector<std::string> out;
    for (char* const* e = filter.envp(); *e; ++e) out.emplace_back(*e);
    return out;
}

TEST(FilterEnv, DropsExactNamesOnlyAndSorts) {
    const std::vector<std::string> result = kept({
        "ZED=1",
        "PYTHONHOME=/opt/py",
        "PYTHONHOMEX=stays",
        "PYTHONHOME",
        "pythonhome=lower",
        "QT_PLUGIN_PATH=",
        "PYTHONPATH=a:b",
        "QTWEBENGINE_CHROMIUM_FLAGS=--x",
        "QTWEBENGINE_REMOTE_DEBUGGING=1",
        "NCS_USER_PREFS=u",
        "NCS_MACHINE_PREFS=m",
        "PYTHONDONTWRITEBYTECODE=1",
        "ALPHA=2",
        "ALPHA=2",
        "ALPHA=10",
    });
    const std::vector<std::string> expected = {"ALPHA=10", "ALPHA=2", "PYTHONHOME", "PYTHONHOMEX=stays",
                                               "ZED=1", "pythonhome=lower"};
    EXPECT_EQ(result, expected);
}

TEST(FilterEnv, EmptyEnvironmentGivesOnlyTheTerminator) {
    FilterEnv empty(launch_filtered_names(), nullptr);
    EXPECT_EQ(empty.envp()[0], nullptr);
    const char* none[] = {nullptr};
    FilterEnv alsoEmpty({"A"}, none);
    EXPECT_EQ(alsoEmpty.envp()[0], nullptr);
    EXPECT_TRUE(alsoEmpty.entries().empty());
}

// Waits (bounded) for the stand-in renderer's report and reaps the child.
std::string await_report(const std::string& path, int pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(path) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (pid > 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    return linktest::read_file(path);
}

TEST(Launch, ChildGetsOnlyItsPathAndTheFilteredSortedEnvironment) {
    ScratchRoot root;
    const std::string exe = root.make_bundle(10) + "tavrin";
    std::filesystem::create_symlink(ENV_DUMP_PATH, exe);
    std::filesystem::create_symlink(ENV_DUMP_PATH, root.make_bundle(9) + "tavrin");
    EnvGuard a("PYTHONHOME", "/host/python");
    EnvGuard b("QT_PLUGIN_PATH", "/host/qt");
    EnvGuard c("PYTHONHOMEX", "kept");
    EnvGuard d("AAA_LINK_TEST", "first");

    // A descriptor of the host without close-on-exec, such as a socket or an open file.
    const int hostFd = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(hostFd, 3);

    // The newest bundle of the range is started; the launch does not wait for it.
    ASSERT_TRUE(launch_renderer(9, 10));
    ::close(hostFd);
    const std::string report = await_report(exe + ".out", -1);
    while (::waitpid(-1, nullptr, 0) > 0) {
    }
    EXPECT_FALSE(std::filesystem::exists(root.path() + ScratchRoot::bundle(9, false) + "tavrin.out"));

    std::istringstream lines(report);
    std::string line;
    std::vector<std::string> args, env;
    int argc = -1;
    while (std::getline(lines, line)) {
        if (line.rfind("argc ", 0) == 0) argc = std::stoi(line.substr(5));
        if (line.rfind("arg ", 0) == 0) args.push_back(line.substr(4));
        if (line.rfind("env ", 0) == 0) env.push_back(line.substr(4));
        // The renderer inherits none of the host's descriptors.
        EXPECT_NE(line.rfind("fd ", 0), 0u) << line;
    }
    EXPECT_EQ(argc, 1);
    EXPECT_EQ(args, std::vector<std::string>{exe});
    EXPECT_TRUE(std::is_sorted(env.begin(), env.end()));
    EXPECT_NE(std::find(env.begin(), env.end(), "PYTHONHOMEX=kept"), env.end());
    EXPECT_NE(std::find(env.begin(), env.end(), "AAA_LINK_TEST=first"), env.end());
    for (const std::string& entry : env) {
        EXPECT_NE(entry.rfind("PYTHONHOME=", 0), 0u) << entry;
        EXPECT_NE(entry.rfind("QT_PLUGIN_PATH=", 0), 0u) << entry;
    }
}

TEST(Launch, NoExecutableMeansNoChildAndFailure) {
    ScratchRoot root;
    root.make_bundle(11, true);  // outside the range: no executable for 9..10
    EXPECT_FALSE(launch_renderer(9, 10));
    EXPECT_EQ(spawn_detached(""), -1);
    // No child was forked.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(Launch, FailedExecLeavesTheChildWith127) {
    ScratchRoot root;
    const std::string exe = root.make_bundle(9) + "tavrin";
    std::ofstream(exe) << "not executable";
    const int pid = spawn_detached(exe);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);
}

// Whether a process of ours has ended without being reaped.
bool is_zombie(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

// Renderers that end are reaped: one that cannot start, while the factory polls for it
// (which then stops and says why), and one that ran and ended, at the next command.
TEST(Launch, EndedRenderersAreReapedAndAFailedStartIsReported) {
    ScratchRoot root;
    const std::string exe = root.make_bundle(9) + "tavrin";
    std::ofstream(exe) << "not executable";

    // The fake live library lists no instances.
    std::filesystem::copy_file(FAKE_LIVE_PATH, root.make_bundle(9) + "orvtavrinlive6.so");
    LinkServices services;
    int sleeps = 0;
    services.sleep = [&](int ms) {
        ++sleeps;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    };
    RepeatLinkFactory factory(services);
    factory.set_version_range(9, 10);
    factory.set_poll_delay_ms(100);
    EXPECT_EQ(factory.getApi(), nullptr);
    EXPECT_EQ(factory.error_text(), "Failed to connect. Could not start Tavrin: \"" + exe + "\" exited with status 127.");
    EXPECT_LE(sleeps, 5);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child was left behind";

    // A renderer that ran for a while and ended is reaped at the next command.
    std::ofstream(exe) << "#!/bin/sh\nexit 0\n";
    std::filesystem::permissions(exe, std::filesystem::perms::owner_all);
    const LaunchedRenderer launched = start_renderer(9, 10);
    ASSERT_GT(launched.pid, 0);
    for (int i = 0; i < 200 && !is_zombie(static_cast<int>(launched.pid)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(is_zombie(static_cast<int>(launched.pid)));
    reap_launched_renderers();
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(launched.pid)));
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

} // namespace
