#include "model_import.h"

#include "axis_convert.h"
#include "import_parts.h"
#include "regular_io.h"
#include "sim_host.h"

#include "files/private_file.h"
#include "files/regular_file.h"

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <unordered_map>
#include <unordered_set>

namespace modelimport {

namespace fs = std::filesystem;

namespace {

using sim::Matrix;
using sim::Vec3;

// Host type and parameter IDs the import fills.
constexpr int32_t kLightObject = 5102, kCameraObject = 5103, kNullObject = 5140, kTrack = 5350;
constexpr int32_t kCameraFov = 1008;
constexpr int32_t kLightColor = 90000, kLightBrightness = 90001, kLightType = 90002;
constexpr int32_t kAreaSizeX = 100010, kAreaSizeY = 100011;
constexpr int32_t kLightOmni = 0, kLightArea = 8;
constexpr int kMaxDepth = 256;       // object nesting the host document allows
constexpr double kTicksPerSecond = 25; // assumed when the file gives none

class Builder {
public:
    Builder(const aiScene& scene, const std::string& modelPath, const LoadOptions& options, Summary& summary)
        : scene_(scene), convert_(fileFrame(scene, modelPath)), summary_(summary),
          folder_(fs::absolute(fs::path(modelPath)).parent_path().lexically_normal()),
          cache_(options.textureCache),
          materialImporter_(scene, folder_, cache_, ModelRoot(modelPath, options.modelRoot), summary),
          meshImporter_(scene, convert_, summary)
    {
        // glTF has no camera or light position of its own: assimp copies the node's
        // translation there, which the node already carries.
        const std::string ext = lowerCase(fs::path(modelPath).extension().string());
        nodeCarriesPosition_ = ext == ".gltf" || ext == ".glb";
        for (unsigned i = 0; i < scene.mNumCameras; ++i)
            if (scene.mCameras[i])
                cameras_.emplace(scene.mCameras[i]->mName.C_Str(), scene.mCameras[i]);
        for (unsigned i = 0; i < scene.mNumLights; ++i)
            if (scene.mLights[i])
                lights_.emplace(scene.mLights[i]->mName.C_Str(), scene.mLights[i]);
        if (scene.mNumAnimations > 0 && scene.mAnimations[0]) {
            const aiAnimation& a = *scene.mAnimations[0];
            ticksPerSecond_ = a.mTicksPerSecond > 0 && std::isfinite(a.mTicksPerSecond) ? a.mTicksPerSecond
                                                                                         : kTicksPerSecond;
            for (unsigned i = 0; i < a.mNumChannels; ++i)
                if (a.mChannels[i])
                    channels_.emplace(a.mChannels[i]->mNodeName.C_Str(), a.mChannels[i]);
            if (a.mNumMeshChannels > 0 || a.mNumMorphMeshChannels > 0)
                summary_.add("morph_targets", "mesh and morph target animation");
            if (scene.mNumAnimations > 1)
                summary_.add("animation_after_first", "animations after the first", scene.mNumAnimations - 1);
        }
    }

    std::unique_ptr<sim::Document> build(const std::string& modelPath)
    {
        auto doc = std::make_unique<sim::Document>();
        doc->docName = fs::path(modelPath).filename().string();
        doc->path = folder_.string();
        for (unsigned i = 0; i < scene_.mNumMaterials; ++i)
            doc->materials.push_back(scene_.mMaterials[i] ? materialImporter_.material(*scene_.mMaterials[i], i)
                                                          : std::make_unique<sim::Material>());
        doc_ = doc.get();
        if (scene_.mRootNode)
            doc->objects.push_back(node(*scene_.mRootNode, identity(), 0));
        for (const auto& [name, camera] : cameras_)
            if (!usedCameras_.count(camera))
                summary_.add("camera_without_node", "cameras without a node");
        for (const auto& [name, light] : lights_)
            if (!usedLights_.count(light))
                summary_.add("light_without_node", "lights without a node");
        // Start at the first key when an animation starts before zero.
        doc->minTime = doc->time = sim::Time{std::min(0.0, firstKey_), 1};
        sim::finalize(*doc);
        return doc;
    }

private:
    // ---- nodes ----

    std::unique_ptr<sim::Object> node(const aiNode& n, const Matrix& inherited, int depth)
    {
        auto o = std::make_unique<sim::Object>();
        o->type = kNullObject;
        o->name = utf8Name(n.mName, summary_);
        Matrix local = convert_.matrix(n.mTransformation);
        if (!finite(local.off) || !finite(local.v1) || !finite(local.v2) || !finite(local.v3)) {
            summary_.changed("non_finite_data", "non-finite node transforms, made the identity");
            local = identity();
        }
        const Matrix effective = multiply(inherited, local);
        Matrix below = identity();
        const bool baked = !place(*o, effective);
        if (baked)
            below = effective;

        if (n.mNumMeshes > 0)
            meshImporter_.meshes(n, *o, baked ? &effective : nullptr, doc_->materials);

        auto camera = cameras_.find(n.mName.C_Str());
        if (camera != cameras_.end() && !usedCameras_.count(camera->second)) {
            usedCameras_.insert(camera->second);
            attach(*o, cameraObject(*camera->second), below, n.mNumMeshes == 0 && !baked);
        }
        auto light = lights_.find(n.mName.C_Str());
        if (light != lights_.end() && !usedLights_.count(light->second)) {
            usedLights_.insert(light->second);
            attach(*o, lightObject(*light->second), below, n.mNumMeshes == 0 && !baked && o->type == kNullObject);
        }

        auto channel = channels_.find(n.mName.C_Str());
        if (channel != channels_.end()) {
            if (baked || !isIdentity(inherited))
                summary_.add("animation_of_baked_node", "animation of nodes with or below a sheared or mirrored transform");
            else
                tracks(*channel->second, *o);
        }

        for (unsigned i = 0; n.mChildren && i < n.mNumChildren; ++i) {
            if (!n.mChildren[i])
                continue;
            if (depth + 1 >= kMaxDepth) {
                summary_.add("nested_too_deeply", "nodes nested deeper than " + std::to_string(kMaxDepth) + " levels");
                continue;
            }
            auto child = node(*n.mChildren[i], below, depth + 1);
            child->parent = o.get();
            o->children.push_back(std::move(child));
        }
        return o;
    }

    // Sets an object's position, rotation and scale from a host matrix; false (and an
    // identity transform) when the matrix must be baked into points instead.
    bool place(sim::Object& o, const Matrix& m)
    {
        Decomposed d;
        if (!decompose(m, d)) {
            summary_.changed("transform_baked", "node transforms with shear or a non-uniform mirror, baked into the points");
            return false;
        }
        o.pos = d.position;
        o.rot = d.rotation;
        o.scale = d.scale;
        return true;
    }

    // A camera or light: the node itself when it carries nothing else and the camera or
    // light sits at the node's origin in its default direction, else a child object.
    void attach(sim::Object& holder, std::unique_ptr<sim::Object> item, const Matrix& inherited, bool merge)
    {
        const Matrix frame = multiply(inherited, itemFrame_);
        if (merge && isIdentity(frame)) {
            holder.type = item->type;
            holder.params = std::move(item->params);
            return;
        }
        item->name = holder.name;
        if (!place(*item, frame))
            summary_.add("transform_baked", "the shear of cameras and lights in a sheared frame");
        item->parent = &holder;
        holder.children.push_back(std::move(item));
    }

    // The camera's frame in its node: looks along +z with +y up, as the host's camera does.
    std::unique_ptr<sim::Object> cameraObject(const aiCamera& c)
    {
        auto o = std::make_unique<sim::Object>();
        o->type = kCameraObject;
        double fov = c.mHorizontalFOV;
        if (!(fov > 0) || !std::isfinite(fov) || fov >= std::numbers::pi) {
            summary_.changed("parameter_default", "cameras without a usable field of view, given 45 degrees");
            fov = std::numbers::pi / 4;
        }
        o->params[kCameraFov] = fov;
        itemFrame_ = frame(itemPosition(c.mPosition), c.mLookAt, c.mUp);
        return o;
    }

    std::unique_ptr<sim::Object> lightObject(const aiLight& l)
    {
        auto o = std::make_unique<sim::Object>();
        o->type = kLightObject;
        Vec3 colour{l.mColorDiffuse.r, l.mColorDiffuse.g, l.mColorDiffuse.b};
        if (!finite(colour))
            colour = {1, 1, 1};
        const double intensity = std::max({colour.x, colour.y, colour.z, 0.0});
        if (intensity > 0)
            colour = {colour.x / intensity, colour.y / intensity, colour.z / intensity};
        o->params[kLightColor] = colour;
        o->params[kLightBrightness] = intensity;
        o->params[kLightType] = kLightOmni;
        switch (l.mType) {
        case aiLightSource_POINT:
            break;
        case aiLightSource_AREA:
            o->params[kLightType] = kLightArea;
            o->params[kAreaSizeX] = std::isfinite(l.mSize.x) ? l.mSize.x * convert_.unit() : 0.0;
            o->params[kAreaSizeY] = std::isfinite(l.mSize.y) ? l.mSize.y * convert_.unit() : 0.0;
            break;
        case aiLightSource_SPOT:
            summary_.changed("light_direction_lost", "spot lights, made point lights");
            break;
        case aiLightSource_DIRECTIONAL:
            summary_.changed("light_direction_lost", "directional lights, made point lights");
            break;
        default:
            summary_.changed("light_type_changed", "ambient and other lights, made point lights");
            break;
        }
        if (l.mType == aiLightSource_AREA)
            itemFrame_ = frame(itemPosition(l.mPosition), l.mDirection, l.mUp);
        else {
            itemFrame_ = identity();
            const Vec3 p = convert_.position(itemPosition(l.mPosition));
            if (finite(p))
                itemFrame_.off = p;
        }
        return o;
    }

    aiVector3D itemPosition(const aiVector3D& given) const
    {
        return nodeCarriesPosition_ ? aiVector3D(0, 0, 0) : given;
    }

    // A host frame at a position, its z axis along `forward`, its y axis toward `up`.
    Matrix frame(const aiVector3D& position, const aiVector3D& forward, const aiVector3D& up) const
    {
        Matrix m = identity();
        const Vec3 p = convert_.position(position);
        if (finite(p))
            m.off = p;
        Vec3 z = convert_.direction(forward);
        Vec3 y = convert_.direction(up);
        const auto len = [](const Vec3& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); };
        if (!(len(z) > 0) || !finite(z))
            return m;
        z = {z.x / len(z), z.y / len(z), z.z / len(z)};
        const double along = y.x * z.x + y.y * z.y + y.z * z.z;
        y = {y.x - along * z.x, y.y - along * z.y, y.z - along * z.z};
        if (!(len(y) > 1e-9) || !finite(y))
            y = std::abs(z.y) < 0.9 ? Vec3{0, 1, 0} : Vec3{1, 0, 0};
        const double a = y.x * z.x + y.y * z.y + y.z * z.z;
        y = {y.x - a * z.x, y.y - a * z.y, y.z - a * z.z};
        y = {y.x / len(y), y.y / len(y), y.z / len(y)};
        m.v3 = z;
        m.v2 = y;
        m.v1 = {y.y * z.z - y.z * z.y, y.z * z.x - y.x * z.z, y.x * z.y - y.y * z.x};
        return m;
    }

    // ---- animation ----

    void tracks(const aiNodeAnim& channel, sim::Object& o)
    {
        const char* axes[3] = {"X", "Y", "Z"};
        const auto add = [&](int32_t parameter, const char* label, auto&& keyCount, auto&& keyAt) {
            std::array<std::unique_ptr<sim::Track>, 3> t;
            for (int c = 0; c < 3; ++c) {
                t[c] = std::make_unique<sim::Track>();
                t[c]->type = kTrack;
                t[c]->name = std::string(label) + " . " + axes[c];
                t[c]->descId = {parameter, 1000 + c};
                t[c]->keys.reserve(keyCount);
            }
            const Vec3* previous = nullptr;
            Vec3 last{};
            for (unsigned k = 0; k < keyCount; ++k) {
                double time = 0;
                Vec3 v{};
                keyAt(k, time, v, previous);
                if (!std::isfinite(time) || !finite(v)) {
                    summary_.add("non_finite_data", "non-finite animation keys");
                    continue;
                }
                last = v;
                previous = &last;
                firstKey_ = std::min(firstKey_, time / ticksPerSecond_);
                const sim::Time at{time, ticksPerSecond_};
                t[0]->keys.push_back({at, v.x});
                t[1]->keys.push_back({at, v.y});
                t[2]->keys.push_back({at, v.z});
            }
            for (auto& track : t) {
                std::stable_sort(track->keys.begin(), track->keys.end(), [](const sim::Key& a, const sim::Key& b) {
                    return a.time.num < b.time.num;
                });
                o.tracks.push_back(std::move(track));
            }
        };
        if (channel.mNumPositionKeys > 0 && channel.mPositionKeys)
            add(903, "Position", channel.mNumPositionKeys, [&](unsigned k, double& time, Vec3& v, const Vec3*) {
                time = channel.mPositionKeys[k].mTime;
                v = convert_.position(channel.mPositionKeys[k].mValue);
            });
        if (channel.mNumRotationKeys > 0 && channel.mRotationKeys)
            add(904, "Rotation", channel.mNumRotationKeys, [&](unsigned k, double& time, Vec3& v, const Vec3* prev) {
                time = channel.mRotationKeys[k].mTime;
                v = convert_.rotation(channel.mRotationKeys[k].mValue, prev ? prev : &o.rot);
            });
        if (channel.mNumScalingKeys > 0 && channel.mScalingKeys)
            add(905, "Scale", channel.mNumScalingKeys, [&](unsigned k, double& time, Vec3& v, const Vec3*) {
                time = channel.mScalingKeys[k].mTime;
                v = convert_.scale(channel.mScalingKeys[k].mValue);
            });
    }

    const aiScene& scene_;
    Converter convert_;
    Summary& summary_;
    fs::path folder_;
    std::string cache_;
    MaterialImporter materialImporter_;
    MeshImporter meshImporter_;
    sim::Document* doc_ = nullptr;
    std::unordered_map<std::string, const aiCamera*> cameras_;
    std::unordered_map<std::string, const aiLight*> lights_;
    std::unordered_map<std::string, const aiNodeAnim*> channels_;
    std::unordered_set<const void*> usedCameras_, usedLights_;
    bool nodeCarriesPosition_ = false;
    double ticksPerSecond_ = kTicksPerSecond;
    double firstKey_ = 0;
    Matrix itemFrame_ = identity(); // frame of the camera or light last made
};

} // namespace

std::string defaultTextureCache(std::string* why)
{
    return tavrin::files::privateCacheFolder("c4dsim-textures", why);
}

unsigned importFlags() { return aiProcess_ValidateDataStructure; }

namespace {

// Takes the meshes without points or faces out of the scene and out of the nodes that place
// them; returns how many.
size_t removeEmptyMeshes(aiScene& scene)
{
    if (!scene.mMeshes)
        return 0;
    std::vector<unsigned> renumbered(scene.mNumMeshes, UINT_MAX);
    unsigned kept = 0;
    for (unsigned i = 0; i < scene.mNumMeshes; ++i) {
        aiMesh* mesh = scene.mMeshes[i];
        if (mesh && mesh->mNumVertices > 0 && mesh->mNumFaces > 0) {
            renumbered[i] = kept;
            scene.mMeshes[kept++] = mesh;
        } else {
            delete mesh;
        }
    }
    const size_t removed = scene.mNumMeshes - kept;
    scene.mNumMeshes = kept;
    std::vector<aiNode*> stack{scene.mRootNode};
    while (!stack.empty()) {
        aiNode* n = stack.back();
        stack.pop_back();
        if (!n)
            continue;
        unsigned placed = 0;
        for (unsigned i = 0; n->mMeshes && i < n->mNumMeshes; ++i)
            if (n->mMeshes[i] < renumbered.size() && renumbered[n->mMeshes[i]] != UINT_MAX)
                n->mMeshes[placed++] = renumbered[n->mMeshes[i]];
        n->mNumMeshes = placed;
        for (unsigned i = 0; n->mChildren && i < n->mNumChildren; ++i)
            stack.push_back(n->mChildren[i]);
    }
    return removed;
}

// True when some mesh with faces is the model's own. Where a file holds no mesh (or is no
// model at all: 100 zero bytes named .ase), several of assimp's readers make one that
// draws the skeleton, with a material of its own name: that is no geometry of the model.
// A model without any, and without cameras and lights, gives nothing of its own.
bool hasOwnGeometry(const aiScene& scene)
{
    for (unsigned i = 0; i < scene.mNumMeshes; ++i) {
        const aiMesh* mesh = scene.mMeshes[i];
        if (!mesh || mesh->mNumFaces == 0)
            continue;
        const aiMaterial* material =
            mesh->mMaterialIndex < scene.mNumMaterials ? scene.mMaterials[mesh->mMaterialIndex] : nullptr;
        aiString name;
        if (material && material->Get(AI_MATKEY_NAME, name) == AI_SUCCESS &&
            std::strcmp(name.C_Str(), "SkeletonMaterial") == 0 && mesh->mNumBones > 0)
            continue;
        return true;
    }
    return false;
}

} // namespace

std::unique_ptr<Assimp::Importer> readScene(const std::string& path, unsigned extraFlags, size_t& emptyMeshes,
                                            std::string& error, ModelRoot* root)
{
    emptyMeshes = 0;
    error.clear();
    ModelRoot ownFolder(path, std::string());
    if (root == nullptr)
        root = &ownFolder;
    auto importer = std::make_unique<Assimp::Importer>();
    importer->SetIOHandler(new RegularFileIOSystem(*root));
    if (importer->ReadFile(path, importFlags() | extraFlags))
        return importer;
    error = importer->GetErrorString();
    // assimp's validation refuses a whole file for one empty mesh. Such a file is read again
    // without the validation (by a new importer: some of assimp's readers keep state), its
    // empty meshes are taken out, and the rest must then pass the validation.
    if (error.find("contains no vertices") == std::string::npos && error.find("contains no faces") == std::string::npos)
        return nullptr;
    importer = std::make_unique<Assimp::Importer>();
    importer->SetIOHandler(new RegularFileIOSystem(*root));
    const aiScene* scene =
        importer->ReadFile(path, (importFlags() | extraFlags) & ~unsigned(aiProcess_ValidateDataStructure));
    if (!scene || !scene->mRootNode)
        return nullptr;
    const size_t removed = removeEmptyMeshes(*const_cast<aiScene*>(scene));
    if (removed == 0 || !importer->ApplyPostProcessing(aiProcess_ValidateDataStructure)) {
        if (removed > 0)
            error = importer->GetErrorString();
        return nullptr;
    }
    emptyMeshes = removed;
    return importer;
}

std::unique_ptr<sim::Document> buildDocument(const aiScene& scene, const std::string& modelPath,
                                             const LoadOptions& options, Summary& summary)
{
    return Builder(scene, modelPath, options, summary).build(modelPath);
}

std::unique_ptr<sim::Document> importModel(const std::string& path, const LoadOptions& options, Summary& summary,
                                           std::string& error)
{
    error.clear();
    std::string why;
    if (!tavrin::files::isReadableRegularFile(path, &why)) {
        error = "cannot open model \"" + path + "\": " + why;
        return nullptr;
    }
    ModelRoot root(path, options.modelRoot);
    if (root.folder().empty()) {
        error = "cannot open model \"" + path + "\": the model root \"" + options.modelRoot + "\" does not exist";
        return nullptr;
    }
    if (!root.admits(path)) {
        error = "cannot open model \"" + path + "\": it lies outside the model root " + root.folder();
        return nullptr;
    }
    size_t emptyMeshes = 0;
    const std::unique_ptr<Assimp::Importer> importer = readScene(path, 0, emptyMeshes, why, &root);
    const aiScene* scene = importer ? importer->GetScene() : nullptr;
    if (!scene) {
        // A model that needs a file it may not read says which.
        if (!root.refused().empty())
            why = "it needs \"" + root.refused().front() + "\", outside the model root " + root.folder() +
                  " (--model-root names another)";
        error = "cannot read model \"" + path + "\": " + why;
        return nullptr;
    }
    if (!hasOwnGeometry(*scene) && scene->mNumCameras == 0 && scene->mNumLights == 0) {
        error = "cannot read model \"" + path + "\": no meshes";
        return nullptr;
    }
    for (const std::string& refused : root.refused())
        summary.add(kOutsideModelRoot, "file \"" + refused + "\", outside the model root " + root.folder());
    if (emptyMeshes > 0)
        summary.add("empty_mesh", "empty meshes", emptyMeshes);
    if (!scene->mRootNode) {
        error = "cannot read model \"" + path + "\": assimp gives no node tree";
        return nullptr;
    }
    return buildDocument(*scene, path, options, summary);
}

} // namespace modelimport
