#include "InstallLocator.h"
#include "link_test_support.h"

#include <gtest/gtest.h>

using linktest::ScratchRoot;

namespace {

TEST(InstallLocator, NewestRegularBundleWins) {
    ScratchRoot root;
    root.make_bundle(9);
    root.make_bundle(10);
    int version = -1;
    EXPECT_EQ(InstallLocator::find_install_dir(9, 10, version), root.path() + ScratchRoot::bundle(10, false));
    EXPECT_EQ(version, 10);
    EXPECT_EQ(InstallLocator::find_executable(9, 10), root.path() + ScratchRoot::bundle(10, false) + "tavrin");
    EXPECT_EQ(InstallLocator::find_installed_version(5, 20), 10);
}

TEST(InstallLocator, FloatingBundleOutsideRangeIsFoundOnlyByInstallDir) {
    ScratchRoot root;
    root.make_bundle(11, true);
    int version = -1;
    EXPECT_EQ(InstallLocator::find_install_dir(9, 10, version), root.path() + ScratchRoot::bundle(11, true));
    EXPECT_EQ(version, 11);
    EXPECT_EQ(InstallLocator::find_executable(9, 10), "");
    EXPECT_EQ(InstallLocator::find_installed_version(9, 10), -1);
}

TEST(InstallLocator, RegularBeatsFloatingOfSameVersion) {
    ScratchRoot root;
    root.make_bundle(9);
    root.make_bundle(9, true);
    int version = -1;
    EXPECT_EQ(InstallLocator::find_install_dir(5, 20, version), root.path() + ScratchRoot::bundle(9, false));
    EXPECT_EQ(version, 9);
    EXPECT_EQ(InstallLocator::find_executable(5, 20), root.path() + ScratchRoot::bundle(9, false) + "tavrin");
    EXPECT_EQ(InstallLocator::find_installed_version(5, 20), 9);
}

TEST(InstallLocator, NewerFloatingBundleAgainstOlderRegular) {
    ScratchRoot root;
    root.make_bundle(5);
    root.make_bundle(9, true);
    int version = -1;
    EXPECT_EQ(InstallLocator::find_install_dir(5, 20, version), root.path() + ScratchRoot::bundle(9, true));
    EXPECT_EQ(version, 9);
    EXPECT_EQ(InstallLocator::find_executable(5, 20),
              root.path() + ScratchRoot::bundle(9, true) + "tavrin_floating");
    // Any regular bundle wins here, however old.
    EXPECT_EQ(InstallLocator::find_installed_version(5, 20), 5);
    EXPECT_EQ(InstallLocator::support_dir(), root.path() + "/Library/Application Support/Tavrin5/");
}

TEST(InstallLocator, ExecutableNamesForOldAndNewVersions) {
    ScratchRoot root;
    root.make_bundle(6);
    EXPECT_EQ(InstallLocator::find_executable(5, 6), root.path() + ScratchRoot::bundle(6, false) + "tavrin6");
    root.make_bundle(5, true);
    EXPECT_EQ(InstallLocator::find_executable(5, 5),
              root.path() + ScratchRoot::bundle(5, true) + "tavrin5_floating");
    root.make_bundle(7);
    EXPECT_EQ(InstallLocator::find_executable(5, 7), root.path() + ScratchRoot::bundle(7, false) + "tavrin");
}

TEST(InstallLocator, PlainFileCountsOnlyForExecutable) {
    ScratchRoot root;
    root.make_bundle_file(9);
    int version = -1;
    EXPECT_EQ(InstallLocator::find_install_dir(9, 10, version), "");
    EXPECT_EQ(version, -1);
    EXPECT_EQ(InstallLocator::find_installed_version(9, 10), -1);
    EXPECT_EQ(InstallLocator::find_executable(9, 10), root.path() + ScratchRoot::bundle(9, false) + "tavrin");
}

TEST(InstallLocator, NothingInstalled) {
    ScratchRoot root;
    int version = -1;
    EXPECT_EQ(InstallLocator::find_install_dir(5, 20, version), "");
    EXPECT_EQ(version, -1);
    EXPECT_EQ(InstallLocator::find_executable(5, 20), "");
    EXPECT_EQ(InstallLocator::support_dir(), root.path() + "/Library/Application Support/Tavrin-1/");
}

TEST(InstallLocator, OverlongRootCountsAsAbsent) {
    const std::string longRoot = "/tmp/" + std::string(1100, 'x');
    linktest::EnvGuard guard("TAVRIN_INSTALL_ROOT", longRoot.c_str());
    int version = -1;
    EXPECT_EQ(InstallLocator::find_install_dir(5, 20, version), "");
    EXPECT_EQ(InstallLocator::find_executable(5, 20), "");
}

TEST(InstallLocator, FileHelpers) {
    ScratchRoot root;
    EXPECT_EQ(InstallLocator::join_path("/a/b/", "c.log"), "/a/b//c.log");
    EXPECT_EQ(InstallLocator::join_path("a", "b"), "a/b");
    int first = 0, last = 0;
    EXPECT_EQ(InstallLocator::known_port_range(first, last), 0);
    EXPECT_EQ(first, 3141);
    EXPECT_EQ(last, 3151);
    const std::string file = root.path() + "/data";
    std::ofstream(file) << "12345";
    EXPECT_EQ(InstallLocator::file_size(file), 5);
    EXPECT_EQ(InstallLocator::file_size(root.path() + "/missing"), 0);
    EXPECT_TRUE(InstallLocator::is_directory(root.path()));
    EXPECT_FALSE(InstallLocator::is_directory(file));
    EXPECT_FALSE(InstallLocator::is_directory(""));
}

} // namespace
