// The parts of the model import that the node walk (model_import.cpp) hands work to:
// materials with their textures, and the meshes of one node as a polygon object. Internal
// to the import.
#pragma once

#include "axis_convert.h"
#include "import_summary.h"
#include "model_root.h"
#include "sim_document.h"
#include "polygon_split.h"

#include <assimp/scene.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace modelimport {

inline bool finite(const sim::Vec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }
// ASCII lower case, for file name extensions.
std::string lowerCase(std::string s);
// A name as UTF-8: kept when it is valid UTF-8, else read as Latin-1 (older formats write
// names in it) and counted in the summary.
std::string utf8Name(const aiString& name, Summary& summary);

// Standard materials (colour channel, diffuse colour, bitmap colour shader) from assimp's
// materials; external texture files found beside the model, embedded ones written once
// into the texture cache.
class MaterialImporter {
public:
    MaterialImporter(const aiScene& scene, std::filesystem::path folder, std::string cache, ModelRoot root,
                     Summary& summary)
        : scene_(scene), folder_(std::move(folder)), cache_(std::move(cache)), root_(std::move(root)),
          summary_(summary)
    {
    }
    std::unique_ptr<sim::Material> material(const aiMaterial& m, unsigned index);

private:
    void leftOut(const aiMaterial& m);
    std::string texturePath(const std::string& name);
    std::string textureElsewhere(const std::string& leaf);
    const std::vector<std::string>& names(const std::filesystem::path& folder);
    std::string writeEmbedded(const aiTexture& t);

    const aiScene& scene_;
    std::filesystem::path folder_;
    std::string cache_;
    ModelRoot root_; // below which textures may lie
    Summary& summary_;
    std::map<std::string, std::vector<std::string>> listings_; // folder names, listed once
};

// The meshes of one node as one polygon object.
class MeshImporter {
public:
    MeshImporter(const aiScene& scene, const Converter& convert, Summary& summary)
        : scene_(scene), convert_(convert), summary_(summary)
    {
    }
    // Fills `o` from the node's meshes; with `bake`, points and normals are transformed by
    // it. `materials` are the document's, in assimp's material order.
    void meshes(const aiNode& n, sim::Object& o, const sim::Matrix* bake,
                const std::vector<std::unique_ptr<sim::Material>>& materials);

private:
    using Regions = std::vector<std::pair<unsigned, std::vector<std::pair<int32_t, int32_t>>>>;
    void materialTags(sim::Object& o, const Regions& regions);
    void countLeftOut(const aiMesh& mesh);

    const aiScene& scene_;
    const Converter& convert_;
    Summary& summary_;
    const std::vector<std::unique_ptr<sim::Material>>* materials_ = nullptr;
    PolygonSplitter splitter_;
    std::vector<unsigned> corners_; // triangles of one split polygon
};

} // namespace modelimport
