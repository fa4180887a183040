// Scratch install roots and environment guards for the renderer link tests.
#pragma once

#include "sceneapi_log.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace linktest {

// Sets (or unsets) an environment variable for the guard's lifetime.
class EnvGuard {
public:
    EnvGuard(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvGuard() {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A temporary folder used as TAVRIN_INSTALL_ROOT, with helpers that lay out bundles.
// The log is closed on entry and exit so that it opens below this root.
class ScratchRoot {
public:
    ScratchRoot() {
        char templ[] = "/tmp/tavrin_link_XXXXXX";
        const char* made = mkdtemp(templ);
        path_ = made ? made : "/tmp/tavrin_link_fallback";
        root_.emplace("TAVRIN_INSTALL_ROOT", path_.c_str());
        Output2FILE::Close();
    }
    ~ScratchRoot() {
        Output2FILE::Close();
        root_.reset();
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;

    const std::string& path() const { return path_; }

    // The bundle folder (ending in "/"), as the locator spells it without the root.
    static std::string bundle(int version, bool floating) {
        return "/Applications/Tavrin" + std::to_string(version) + (floating ? "_floating" : "") +
               ".app/Contents/MacOS/";
    }
    std::string make_bundle(int version, bool floating = false) const {
        std::filesystem::create_directories(path_ + bundle(version, floating));
        return path_ + bundle(version, floating);
    }
    // A plain file where the bundle folder would be.
    void make_bundle_file(int version, bool floating = false) const {
        std::string folder = path_ + bundle(version, floating);
        folder.pop_back();
        std::filesystem::create_directories(std::filesystem::path(folder).parent_path());
        std::ofstream(folder) << "not a folder";
    }
    std::string make_support(int version) const {
        const std::string dir = path_ + "/Library/Application Support/Tavrin" + std::to_string(version) + "/";
        std::filesystem::create_directories(dir);
        return dir;
    }

private:
    std::string path_;
    std::optional<EnvGuard> root_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace linktest
