// Builds the simulated host's in-memory document from a 3D model file read by assimp. The
// result is the document a hand-written JSON file would give: a null or polygon object per
// node with its local transform, standard materials with the diffuse colour and texture,
// cameras, lights and position, rotation and scale tracks. What cannot be carried over is
// counted in an import summary. Frames and units change in axis_convert.h only.
#pragma once

#include "import_summary.h"
#include "sim_document.h"

#include "model_root.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

struct aiScene;
namespace Assimp {
class Importer;
}

namespace modelimport {

struct LoadOptions {
    LoadOptions() = default;
    // LoadOptions{cache} as well as LoadOptions{cache, root}.
    LoadOptions(std::string cache, std::string root = {}) : textureCache(std::move(cache)), modelRoot(std::move(root)) {}

    // Folder for textures embedded in a model; empty: defaultTextureCache().
    std::string textureCache;
    // The folder below which the model may read files; empty: the model's own folder.
    std::string modelRoot;
};

// The per-user cache folder c4dsim-textures ($XDG_CACHE_HOME, else ~/.cache, else a private
// temporary folder), created 0700; empty with `why` set when there is none.
std::string defaultTextureCache(std::string* why = nullptr);

// The post-processing asked of assimp when a model is read for import.
unsigned importFlags();
// Reads a model with importFlags() and `extraFlags`; the importer holds the scene. A file
// that assimp's validation refuses only for empty meshes is read again with those taken out
// (counted in `emptyMeshes`). Null with assimp's reason in `error` when it cannot be read.
// assimp opens only files below `root` (the model's own folder when null).
std::unique_ptr<Assimp::Importer> readScene(const std::string& path, unsigned extraFlags, size_t& emptyMeshes,
                                            std::string& error, ModelRoot* root = nullptr);
// Builds the document of a scene that assimp has read from modelPath.
std::unique_ptr<sim::Document> buildDocument(const aiScene& scene, const std::string& modelPath,
                                             const LoadOptions& options, Summary& summary);

// Reads a model file with assimp and builds its document. On failure returns null and sets
// error to the file's name and assimp's reason.
std::unique_ptr<sim::Document> importModel(const std::string& path, const LoadOptions& options,
                                           Summary& summary, std::string& error);

} // namespace modelimport
