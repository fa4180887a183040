#include "InstallLocator.h"
#include "link_test_support.h"
#include "tavrinlive_loader.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

using linktest::EnvGuard;
using linktest::read_file;
using linktest::ScratchRoot;

namespace {

int counter(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::atoi(v) : 0;
}

// A root with one regular bundle and its support folder; counters start at zero and the
// loader at "absent".
class LoaderTest : public testing::Test {
protected:
    void SetUp() override {
        tavrin_live_unload();
        unsetenv("FAKE_LIVE_INIT_CALLS");
        unsetenv("FAKE_LIVE_SHUTDOWN_CALLS");
        unsetenv("FAKE_LIVE_INIT_NULL");
    }
    void TearDown() override { tavrin_live_unload(); }

    std::string install(int version, const char* library, const char* name) {
        const std::string dir = root_.make_bundle(version);
        root_.make_support(version);
        std::filesystem::copy_file(library, dir + name);
        return dir;
    }
    std::string log() { return read_file(root_.path() + "/Library/Application Support/Tavrin9/sceneapi.log"); }

    ScratchRoot root_;
};

TEST_F(LoaderTest, LoadsFromTheBundleOnceAndReuses) {
    const std::string dir = install(9, FAKE_LIVE_PATH, "orvtavrinlive6.so");
    orvScene_api* api = orv_get_scene_api(9, 10);
    ASSERT_NE(api, nullptr);
    EXPECT_NE(orv_get_query_api(9, 10), nullptr);
    // Another range does not matter while loaded.
    EXPECT_EQ(orv_get_scene_api(11, 12), api);
    EXPECT_EQ(counter("FAKE_LIVE_INIT_CALLS"), 1);

    const std::string text = log();
    EXPECT_NE(text.find("DEBUG:  shared_library_open: " + dir + "/orvtavrinlive6.so\n"), std::string::npos) << text;
    EXPECT_NE(text.find("DEBUG4:  Tavrin live: 0x"), std::string::npos) << text;
    EXPECT_NE(text.find("DEBUG4:  orv_get_query_api -> tavrin_live_loader: 0x"), std::string::npos) << text;

    tavrin_live_unload();
    EXPECT_EQ(counter("FAKE_LIVE_SHUTDOWN_CALLS"), 1);
    tavrin_live_unload();  // nothing loaded: no effect
    EXPECT_EQ(counter("FAKE_LIVE_SHUTDOWN_CALLS"), 1);

    // Unloaded: the next request loads anew.
    EXPECT_NE(orv_get_scene_api(9, 10), nullptr);
    EXPECT_EQ(counter("FAKE_LIVE_INIT_CALLS"), 2);
}

TEST_F(LoaderTest, OnlyTheBundlesLibraryIsLoaded) {
    // A library planted in the working folder is never loaded, whatever the bundle holds.
    install(9, FAKE_LIVE_PATH, "unrelated.so");
    const std::string cwd = root_.path() + "/work";
    std::filesystem::create_directories(cwd);
    std::filesystem::copy_file(FAKE_LIVE_PATH, cwd + "/orvtavrinlive6.so");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(cwd);
    EXPECT_EQ(orv_get_scene_api(9, 10), nullptr);
    std::filesystem::current_path(previous);
    EXPECT_EQ(counter("FAKE_LIVE_INIT_CALLS"), 0);

    const std::string text = log();
    EXPECT_EQ(text.find("shared_library_open: ./"), std::string::npos) << text;
    EXPECT_NE(text.find("WARNING:  the renderer's bundle holds no usable live library: " + root_.path()),
              std::string::npos) << text;
    EXPECT_NE(text.find("WARNING:  NO shared handle\n"), std::string::npos);
}

TEST_F(LoaderTest, OldRendererUsesTheUnnumberedLibrary) {
    install(5, FAKE_LIVE_PATH, "orvtavrinlive.so");
    EXPECT_NE(orv_get_scene_api(5, 5), nullptr);
    EXPECT_STREQ(live_library_base_name(5), "orvtavrinlive");
    EXPECT_STREQ(live_library_base_name(6), "orvtavrinlive6");
}

TEST_F(LoaderTest, NothingInstalledLogsNothing) {
    root_.make_support(9);
    EXPECT_EQ(orv_get_scene_api(9, 10), nullptr);
    EXPECT_EQ(orv_get_query_api(9, 10), nullptr);
    EXPECT_EQ(log().find("shared_library_open"), std::string::npos);
}

TEST_F(LoaderTest, MissingOrFailingEntryPointForgetsTheLoader) {
    install(9, FAKE_LIVE_NOENTRY_PATH, "orvtavrinlive6.so");
    EXPECT_EQ(orv_get_scene_api(9, 10), nullptr);
    EXPECT_NE(log().find("DEBUG4:  Tavrin live: 0\n"), std::string::npos) << log();
    // The record is gone: the next request opens the library again.
    EXPECT_EQ(orv_get_scene_api(9, 10), nullptr);
    size_t opens = 0;
    const std::string text = log();
    for (size_t at = text.find("shared_library_open:"); at != std::string::npos;
         at = text.find("shared_library_open:", at + 1))
        ++opens;
    EXPECT_EQ(opens, 2u);

    // An entry point answering null: no shutdown of a live object that does not exist.
    // (Another bundle, as a closed library may stay mapped under a sanitizer.)
    const std::string dir10 = root_.make_bundle(10);
    std::filesystem::copy_file(FAKE_LIVE_PATH, dir10 + "orvtavrinlive6.so");
    EnvGuard null("FAKE_LIVE_INIT_NULL", "1");
    EXPECT_EQ(orv_get_query_api(10, 10), nullptr);
    EXPECT_EQ(counter("FAKE_LIVE_INIT_CALLS"), 1);
    EXPECT_EQ(counter("FAKE_LIVE_SHUTDOWN_CALLS"), 0);
}

} // namespace
