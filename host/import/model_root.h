// The one folder a model may read from. glTF buffers and images, OBJ material libraries and
// textures, and the like are named by the model itself, which may name any path ("../",
// "/etc/shadow"): only files below the root are read, and a symbolic link that leads out of
// it is not followed. Every file refused is remembered for the report.
//
// The root is the folder that holds the model's own folder unless the user names another
// (c4dsim --model-root): packaged models name textures and models of sibling folders
// ("../X/top.tga", "../obj/spider.obj"), and these must still be found.
#pragma once

#include <string>
#include <vector>

namespace modelimport {

// The report reason of a file refused for lying outside the root.
inline constexpr const char* kOutsideModelRoot = "outside_model_root";

class ModelRoot {
public:
    // root: the folder given, or empty for the folder above the folder of modelPath.
    ModelRoot(const std::string& modelPath, const std::string& root);

    // The root as an absolute path without links; empty when it does not exist.
    const std::string& folder() const { return folder_; }
    // True when path names an existing file below the root (links resolved). A file that
    // exists outside it is refused and remembered.
    bool admits(const std::string& path);
    // True when path, resolved as far as it exists, lies outside the root (the file need
    // not exist); such a path is remembered too.
    bool leadsOut(const std::string& path);

    // The files refused so far, each once, in the order met.
    const std::vector<std::string>& refused() const { return refused_; }

private:
    bool inside(const std::string& resolved) const;
    void refuse(const std::string& path);

    std::string folder_;
    std::vector<std::string> refused_;
};

} // namespace modelimport
