// Finds installed renderer bundles, their executables, the per-version support folder and
// the port range on which renderers accept live connections, plus the small file-system and
// timing helpers the renderer link shares.
//
// The locator holds no data: every function answers from the file system at the time of
// the call. Absence is told by an empty string, -1, false or 0; nothing is reported.
//
// Paths are probed below an install root: the machine's own root, unless the environment
// variable TAVRIN_INSTALL_ROOT names a folder, which is then put in front of every
// "/Applications/..." and "/Library/..." path (used to lay out bundles in a scratch folder).
#pragma once

#include <cstdint>
#include <string>

class InstallLocator {
public:
    // Size of the fixed working buffers for formatted paths; longer paths count as absent.
    static constexpr int kPathBufferSize = 1024;
    static constexpr int kFirstKnownPort = 3141;
    static constexpr int kLastKnownPort = 3151;

    // Folder (ending in "/") of the newest installed bundle: the highest regular bundle in
    // [lowest, highest], replaced by a floating bundle of a strictly higher version found
    // anywhere in 20..5. Sets `version` only when something is found.
    static std::string find_install_dir(int lowest, int highest, int& version);

    // Full path of the executable to start: per version from highest down, the regular
    // bundle when it exists, else the floating one. Empty when the range holds no bundle.
    static std::string find_executable(int lowest, int highest);

    // Major version of an installed bundle: any regular bundle wins over every floating
    // one. -1 when none is installed.
    static int find_installed_version(int lowest, int highest);

    // "/Library/Application Support/Tavrin<version>/" for the installed version (-1 when
    // none), below the install root.
    static std::string support_dir();

    // Sets the known live-link port range (3141..3151) and returns 0.
    static int known_port_range(int& first, int& last);

    static bool is_directory(const std::string& path);
    // Size of a file in bytes; 0 when it cannot be opened or positioned.
    static int64_t file_size(const std::string& path);
    // a + "/" + b, whether or not a already ends in "/".
    static std::string join_path(const std::string& a, const std::string& b);
    static void sleep_ms(int ms);

    // The install root in force: TAVRIN_INSTALL_ROOT, or empty for the machine's root.
    static std::string install_root();
};

// The one process-wide locator.
InstallLocator& install_locator();
