#include "import_support.h"

#include "LightFileFactory.h"
#include "TranslationContext.h"
#include "c4d_host.h"
#include "model_import.h"
#include "orvSceneapi_oo.h"
#include "sim_host.h"
#include "translate_document.h"

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace importtest {

namespace {

// Triangles of the meshes placed by the node tree: n - 2 for every face of n >= 3 corners.
uint64_t placedTriangles(const aiScene& scene, const aiNode& node, int depth)
{
    uint64_t n = 0;
    for (unsigned i = 0; i < node.mNumMeshes; ++i) {
        if (node.mMeshes[i] >= scene.mNumMeshes || !scene.mMeshes[node.mMeshes[i]])
            continue;
        const aiMesh& mesh = *scene.mMeshes[node.mMeshes[i]];
        for (unsigned f = 0; f < mesh.mNumFaces; ++f)
            n += std::max(mesh.mFaces[f].mNumIndices, 2u) - 2;
    }
    // The import keeps the nesting the host allows (256 levels).
    if (depth + 1 < 256)
        for (unsigned i = 0; i < node.mNumChildren; ++i)
            if (node.mChildren[i])
                n += placedTriangles(scene, *node.mChildren[i], depth + 1);
    return n;
}

uint64_t lights(const sim::Object& o)
{
    uint64_t n = o.type == 5102;
    for (const auto& c : o.children)
        n += lights(*c);
    return n;
}

} // namespace

std::string exportText(sim::Document& doc, std::string& error)
{
    static std::atomic<int> serial{0};
    const auto path = std::filesystem::temp_directory_path() /
        ("model_import_" + std::to_string(getpid()) + "_" + std::to_string(serial++) + ".qrf");
    host::bind(sim::hostTable());
    try {
        TranslationContext context;
        orv::LightFileFactory factory(path.string());
        auto* wrapper = new orv::orvSceneapi_oo(&factory);
        context.scene = wrapper;
        translateDocument(context, host::Document(sim::handle(&doc)));
        delete wrapper;
        factory.close();
    } catch (const std::exception& e) {
        error = e.what();
        std::filesystem::remove(path);
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::filesystem::remove(path);
    return text.str();
}

bool assimpTriangles(const std::string& path, bool triangulate, uint64_t& triangles, std::string& error)
{
    Assimp::Importer importer;
    std::string refusal;
    const aiScene* scene =
        modelimport::readScene(importer, path, triangulate ? unsigned(aiProcess_Triangulate) : 0u, refusal);
    if (!scene || !scene->mRootNode) {
        error = scene ? "no root node" : importer.GetErrorString();
        return false;
    }
    triangles = placedTriangles(*scene, *scene->mRootNode, 0);
    return true;
}

uint64_t lightCount(const sim::Document& doc)
{
    uint64_t n = 0;
    for (const auto& o : doc.objects)
        n += lights(*o);
    return n;
}

} // namespace importtest
