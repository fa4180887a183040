#include "model_import.h"

#include "axis_convert.h"
#include "polygon_split.h"
#include "sim_host.h"

#include <assimp/Importer.hpp>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace modelimport {

namespace fs = std::filesystem;

namespace {

using sim::Matrix;
using sim::Vec3;

// Host type and parameter IDs the import fills.
constexpr int32_t kPolygonObject = 5100, kLightObject = 5102, kCameraObject = 5103, kNullObject = 5140;
constexpr int32_t kTextureTag = 5616, kUvwTag = 5671, kSelectionTag = 5673;
constexpr int32_t kStandardMaterial = 5703, kBitmapShader = 5833, kTrack = 5350;
constexpr int32_t kMaterialColor = 2100, kMaterialBrightness = 2101, kColorShader = 8000;
constexpr int32_t kCameraFov = 1008;
constexpr int32_t kLightColor = 90000, kLightBrightness = 90001, kLightType = 90002;
constexpr int32_t kAreaSizeX = 100010, kAreaSizeY = 100011;
constexpr int32_t kLightOmni = 0, kLightArea = 8;
constexpr int32_t kTagRestriction = 1006, kTagProjection = 1004, kTagTile = 1007, kProjectionUvw = 6;
constexpr int kMaxDepth = 256;       // object nesting the host document allows
constexpr double kTicksPerSecond = 25; // assumed when the file gives none

bool finite(const Vec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

bool readable(const fs::path& p)
{
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

uint64_t fnv1a(const unsigned char* data, size_t size)
{
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

class Builder {
public:
    Builder(const aiScene& scene, const std::string& modelPath, const LoadOptions& options, Summary& summary)
        : scene_(scene), convert_(unitFactor(scene, modelPath)), summary_(summary),
          folder_(fs::absolute(fs::path(modelPath)).parent_path().lexically_normal()),
          cache_(options.textureCache.empty() ? defaultTextureCache() : options.textureCache)
    {
        // glTF has no camera or light position of its own: assimp copies the node's
        // translation there, which the node already carries.
        const std::string ext = lower(fs::path(modelPath).extension().string());
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
                summary_.add("mesh and morph target animation");
            if (scene.mNumAnimations > 1)
                summary_.add("animations after the first", scene.mNumAnimations - 1);
        }
    }

    std::unique_ptr<sim::Document> build(const std::string& modelPath)
    {
        auto doc = std::make_unique<sim::Document>();
        doc->docName = fs::path(modelPath).filename().string();
        doc->path = folder_.string();
        for (unsigned i = 0; i < scene_.mNumMaterials; ++i)
            doc->materials.push_back(scene_.mMaterials[i] ? material(*scene_.mMaterials[i], i)
                                                          : std::make_unique<sim::Material>());
        doc_ = doc.get();
        if (scene_.mRootNode)
            doc->objects.push_back(node(*scene_.mRootNode, identity(), 0));
        for (const auto& [name, camera] : cameras_)
            if (!usedCameras_.count(camera))
                summary_.add("cameras without a node");
        for (const auto& [name, light] : lights_)
            if (!usedLights_.count(light))
                summary_.add("lights without a node");
        // Start at the first key when an animation starts before zero.
        doc->minTime = doc->time = sim::Time{std::min(0.0, firstKey_), 1};
        sim::finalize(*doc);
        return doc;
    }

private:
    // ---- materials and textures ----

    std::unique_ptr<sim::Material> material(const aiMaterial& m, unsigned index)
    {
        auto out = std::make_unique<sim::Material>();
        out->type = kStandardMaterial;
        aiString name;
        out->name = m.Get(AI_MATKEY_NAME, name) == AI_SUCCESS && name.length > 0 ? name.C_Str()
                                                                                 : "Material " + std::to_string(index);
        out->channels[0] = true;
        aiColor4D colour(0.8f, 0.8f, 0.8f, 1.0f);
        if (m.Get(AI_MATKEY_BASE_COLOR, colour) != AI_SUCCESS)
            m.Get(AI_MATKEY_COLOR_DIFFUSE, colour);
        Vec3 diffuse{colour.r, colour.g, colour.b};
        if (!finite(diffuse)) {
            summary_.add("non-finite material colours (grey used)");
            diffuse = {0.8, 0.8, 0.8};
        }
        out->params[kMaterialColor] = diffuse;
        out->params[kMaterialBrightness] = 1.0;

        aiString file;
        if (m.GetTexture(aiTextureType_DIFFUSE, 0, &file) == AI_SUCCESS ||
            m.GetTexture(aiTextureType_BASE_COLOR, 0, &file) == AI_SUCCESS) {
            const std::string path = texturePath(file.C_Str());
            if (!path.empty()) {
                auto shader = std::make_unique<sim::Shader>();
                shader->type = kBitmapShader;
                shader->name = "Diffuse texture";
                shader->params[1000] = sim::FilenameValue{path};
                out->params[kColorShader] = sim::Link{shader.get()};
                out->shaders.push_back(std::move(shader));
            }
        }
        leftOut(m);
        return out;
    }

    // Counts the material properties the host's standard material does not take.
    void leftOut(const aiMaterial& m)
    {
        float f = 0;
        if (m.Get(AI_MATKEY_METALLIC_FACTOR, f) == AI_SUCCESS || m.Get(AI_MATKEY_ROUGHNESS_FACTOR, f) == AI_SUCCESS)
            summary_.add("PBR metallic and roughness factors");
        for (int t = aiTextureType_NONE + 1; t < aiTextureType_UNKNOWN + 1; ++t) {
            const auto type = static_cast<aiTextureType>(t);
            const unsigned count = m.GetTextureCount(type);
            const bool diffuse = type == aiTextureType_DIFFUSE || type == aiTextureType_BASE_COLOR;
            if (count > (diffuse ? 1u : 0u))
                summary_.add(std::string(aiTextureTypeToString(type)) + " textures" +
                             (diffuse ? " after the first" : ""));
        }
        aiString diffuse, base;
        if (m.GetTexture(aiTextureType_DIFFUSE, 0, &diffuse) == AI_SUCCESS &&
            m.GetTexture(aiTextureType_BASE_COLOR, 0, &base) == AI_SUCCESS && diffuse != base)
            summary_.add("base colour textures beside a different diffuse texture");
    }

    // The file a bitmap shader names: an embedded texture written to the cache, or the
    // model's file name taken relative to the model's folder.
    std::string texturePath(const std::string& name)
    {
        if (const aiTexture* embedded = scene_.GetEmbeddedTexture(name.c_str()))
            return writeEmbedded(*embedded);
        if (!name.empty() && name[0] == '*') {
            summary_.add("references to missing embedded textures");
            return {};
        }
        std::string written = name;
        std::replace(written.begin(), written.end(), '\\', '/');
        const fs::path given(written);
        if (given.is_absolute() && readable(given))
            return written;
        const fs::path beside = (folder_ / given).lexically_normal();
        if (readable(beside))
            return beside.string();
        const fs::path leaf = given.filename();
        if (!readable(folder_ / "tex" / leaf) && !readable(folder_ / leaf))
            summary_.add("texture files not found");
        return written;
    }

    std::string writeEmbedded(const aiTexture& t)
    {
        if (t.mHeight != 0 || !t.pcData) {
            summary_.add("uncompressed embedded textures");
            return {};
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(t.pcData);
        const size_t size = t.mWidth;
        std::string hint = lower(std::string(t.achFormatHint, strnlen(t.achFormatHint, sizeof t.achFormatHint)));
        if (hint.empty() || !std::all_of(hint.begin(), hint.end(), [](char c) { return std::isalnum((unsigned char)c); }))
            hint = "bin";
        char leaf[48];
        std::snprintf(leaf, sizeof leaf, "%016llx.%s", static_cast<unsigned long long>(fnv1a(bytes, size)),
                      hint.c_str());
        const fs::path target = fs::path(cache_) / leaf;
        std::error_code ec;
        // Named by content: a file already there holds the same texture and is kept.
        if (fs::is_regular_file(target, ec) && fs::file_size(target, ec) == size)
            return fs::absolute(target).string();
        fs::create_directories(cache_, ec);
        const fs::path temporary = target.string() + ".tmp" + std::to_string(getpid());
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
            out.close();
            if (!out)
                ec = std::make_error_code(std::errc::io_error);
        }
        if (!ec)
            fs::rename(temporary, target, ec);
        if (ec) {
            fs::remove(temporary, ec);
            summary_.add("embedded textures that could not be written to " + cache_);
            return {};
        }
        return fs::absolute(target).string();
    }

    // ---- nodes ----

    std::unique_ptr<sim::Object> node(const aiNode& n, const Matrix& inherited, int depth)
    {
        auto o = std::make_unique<sim::Object>();
        o->type = kNullObject;
        o->name = n.mName.C_Str();
        Matrix local = convert_.matrix(n.mTransformation);
        if (!finite(local.off) || !finite(local.v1) || !finite(local.v2) || !finite(local.v3)) {
            summary_.add("non-finite node transforms (identity used)");
            local = identity();
        }
        const Matrix effective = multiply(inherited, local);
        Matrix below = identity();
        const bool baked = !place(*o, effective);
        if (baked)
            below = effective;

        if (n.mNumMeshes > 0)
            meshes(n, *o, baked ? &effective : nullptr);

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
                summary_.add("animation of nodes with or below a sheared or mirrored transform");
            else
                tracks(*channel->second, *o);
        }

        for (unsigned i = 0; i < n.mNumChildren; ++i) {
            if (!n.mChildren[i])
                continue;
            if (depth + 1 >= kMaxDepth) {
                summary_.add("nodes nested deeper than " + std::to_string(kMaxDepth) + " levels");
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
            summary_.add("node transforms with shear or a non-uniform mirror (baked into the points)");
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
            summary_.add("cameras and lights with a sheared frame (placed without it)");
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
            summary_.add("cameras without a usable field of view (45 degrees used)");
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
            summary_.add("spot lights (made point lights)");
            break;
        case aiLightSource_DIRECTIONAL:
            summary_.add("directional lights (made point lights)");
            break;
        default:
            summary_.add("ambient and other light types (made point lights)");
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

    // ---- meshes ----

    // All meshes of a node as one polygon object: triangles and quads as they are, larger
    // polygons as fans, corners in the host's order; one texture tag per material, each
    // restricted to a polygon selection when the node has several.
    void meshes(const aiNode& n, sim::Object& o, const Matrix* bake)
    {
        o.type = kPolygonObject;
        o.hasPointTag = o.hasPolygonTag = true;
        // A scene that assimp read incompletely is not validated: check what it refers to.
        std::vector<const aiMesh*> list;
        for (unsigned i = 0; i < n.mNumMeshes; ++i) {
            if (n.mMeshes[i] < scene_.mNumMeshes && scene_.mMeshes[n.mMeshes[i]])
                list.push_back(scene_.mMeshes[n.mMeshes[i]]);
            else
                summary_.add("references to missing meshes");
        }
        size_t pointCount = 0, polygonCount = 0;
        bool allNormals = true, anyUv = false;
        for (const aiMesh* each : list) {
            const aiMesh& mesh = *each;
            pointCount += mesh.mNumVertices;
            for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
                const unsigned k = mesh.mFaces[f].mNumIndices;
                polygonCount += k < 3 ? 0 : k == 4 ? 2 : k - 2;
            }
            allNormals = allNormals && mesh.HasNormals();
            anyUv = anyUv || mesh.HasTextureCoords(0);
        }
        if (pointCount > size_t(INT32_MAX) || polygonCount > size_t(INT32_MAX)) {
            summary_.add("meshes past the host's 2^31 points or polygons");
            return;
        }
        o.points.reserve(pointCount);
        o.polygons.reserve(polygonCount);
        std::vector<sim::Vec3>& points = o.points;
        std::vector<c4d_vec32> normals;
        if (allNormals)
            normals.reserve(polygonCount * 4);
        std::vector<c4d_uvw> uvw;
        if (anyUv)
            uvw.reserve(polygonCount);
        // Polygon ranges per material, in the order materials are first met.
        std::vector<std::pair<unsigned, std::vector<std::pair<int32_t, int32_t>>>> regions;

        size_t nonFinite = 0, skipped = 0, outside = 0;
        for (const aiMesh* each : list) {
            const aiMesh& mesh = *each;
            if (mesh.mNumVertices > 0 && !mesh.mVertices)
                continue;
            countLeftOut(mesh);
            const auto base = static_cast<int32_t>(points.size());
            for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
                Vec3 p = convert_.position(mesh.mVertices[v]);
                if (!finite(p)) {
                    p = {0, 0, 0};
                    ++nonFinite;
                }
                points.push_back(bake ? transformPoint(*bake, p) : p);
            }
            const auto first = static_cast<int32_t>(o.polygons.size());
            const auto normalAt = [&](unsigned v) {
                Vec3 d = convert_.direction(mesh.mNormals[v]);
                if (!finite(d))
                    d = {0, 0, 0};
                if (bake)
                    d = transformNormal(*bake, d);
                return c4d_vec32{float(d.x), float(d.y), float(d.z)};
            };
            const auto uvAt = [&](unsigned v) {
                if (!mesh.HasTextureCoords(0))
                    return c4d_vec{0, 0, 0};
                const aiVector3D& t = mesh.mTextureCoords[0][v];
                // The host's v runs down the image.
                const c4d_vec out{t.x, 1.0 - t.y, 0};
                return std::isfinite(out.x) && std::isfinite(out.y) ? out : c4d_vec{0, 0, 0};
            };
            // One host polygon from model corners i0, i1, i2 (and i3), reversed into the
            // host's corner order.
            const auto emit = [&](unsigned a, unsigned b, unsigned c, unsigned d, bool quad) {
                const unsigned host[4] = {a, quad ? d : c, quad ? c : b, quad ? b : b};
                o.polygons.push_back({base + int32_t(host[0]), base + int32_t(host[1]), base + int32_t(host[2]),
                                      base + int32_t(host[3])});
                if (allNormals)
                    for (unsigned h : host)
                        normals.push_back(normalAt(h));
                if (anyUv)
                    uvw.push_back({uvAt(host[0]), uvAt(host[1]), uvAt(host[2]), uvAt(host[3])});
            };
            for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
                const aiFace& face = mesh.mFaces[f];
                const unsigned* idx = face.mIndices;
                if (face.mNumIndices >= 3 &&
                    (!idx || std::any_of(idx, idx + face.mNumIndices, [&](unsigned k) { return k >= mesh.mNumVertices; }))) {
                    ++outside;
                } else if (face.mNumIndices < 3) {
                    ++skipped;
                } else if (face.mNumIndices == 3) {
                    emit(idx[0], idx[1], idx[2], 0, false);
                } else if (face.mNumIndices == 4 && idx[1] != idx[2]) {
                    emit(idx[0], idx[1], idx[2], idx[3], true);
                } else if (face.mNumIndices == 4) {
                    // Reversed, this quad's last two corners would be equal: the host would
                    // take it for one triangle. Keep both of its triangles.
                    emit(idx[0], idx[1], idx[2], 0, false);
                    emit(idx[0], idx[2], idx[3], 0, false);
                } else {
                    corners_.clear();
                    splitter_.split(mesh.mVertices, idx, face.mNumIndices, corners_);
                    for (size_t k = 0; k + 2 < corners_.size(); k += 3)
                        emit(idx[corners_[k]], idx[corners_[k + 1]], idx[corners_[k + 2]], 0, false);
                }
            }
            const auto last = static_cast<int32_t>(o.polygons.size()) - 1;
            if (last >= first) {
                auto it = std::find_if(regions.begin(), regions.end(),
                                       [&](const auto& r) { return r.first == mesh.mMaterialIndex; });
                if (it == regions.end())
                    it = regions.insert(regions.end(), {mesh.mMaterialIndex, {}});
                if (!it->second.empty() && it->second.back().second + 1 == first)
                    it->second.back().second = last;
                else
                    it->second.emplace_back(first, last);
            }
        }
        if (nonFinite > 0)
            summary_.add("non-finite mesh points (set to the origin)", nonFinite);
        if (outside > 0)
            summary_.add("faces with corners past their mesh's points", outside);
        if (skipped > 0)
            summary_.add("points and lines of meshes", skipped);
        if (allNormals)
            o.phongNormals = std::move(normals);
        if (anyUv) {
            auto tag = std::make_unique<sim::Tag>();
            tag->type = kUvwTag;
            tag->name = "UVW";
            tag->uvw = std::move(uvw);
            o.tags.push_back(std::move(tag));
        }
        materialTags(o, regions);
    }

    void materialTags(sim::Object& o,
                      const std::vector<std::pair<unsigned, std::vector<std::pair<int32_t, int32_t>>>>& regions)
    {
        const bool several = regions.size() > 1;
        for (size_t r = 0; r < regions.size(); ++r) {
            const unsigned index = regions[r].first;
            if (index >= doc_->materials.size())
                continue;
            sim::Material* material = doc_->materials[index].get();
            std::string selection;
            if (several) {
                selection = material->name + " (" + std::to_string(r) + ")";
                auto tag = std::make_unique<sim::Tag>();
                tag->type = kSelectionTag;
                tag->name = selection;
                tag->segments = regions[r].second;
                o.tags.push_back(std::move(tag));
            }
            auto tag = std::make_unique<sim::Tag>();
            tag->type = kTextureTag;
            tag->name = material->name;
            tag->material = material;
            tag->params[kTagProjection] = kProjectionUvw;
            tag->params[kTagTile] = int32_t(1);
            tag->params[1000] = 0.0;
            tag->params[1001] = 0.0;
            tag->params[1002] = 1.0;
            tag->params[1003] = 1.0;
            if (several)
                tag->params[kTagRestriction] = selection;
            o.tags.push_back(std::move(tag));
        }
    }

    void countLeftOut(const aiMesh& mesh)
    {
        if (mesh.HasBones())
            summary_.add("bones and skins of meshes");
        if (mesh.mNumAnimMeshes > 0)
            summary_.add("morph targets of meshes");
        if (mesh.GetNumUVChannels() > 1)
            summary_.add("UV channels after the first");
        if (mesh.GetNumColorChannels() > 0)
            summary_.add("vertex colours of meshes");
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
                    summary_.add("non-finite animation keys");
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
        if (channel.mNumPositionKeys > 0)
            add(903, "Position", channel.mNumPositionKeys, [&](unsigned k, double& time, Vec3& v, const Vec3*) {
                time = channel.mPositionKeys[k].mTime;
                v = convert_.position(channel.mPositionKeys[k].mValue);
            });
        if (channel.mNumRotationKeys > 0)
            add(904, "Rotation", channel.mNumRotationKeys, [&](unsigned k, double& time, Vec3& v, const Vec3* prev) {
                time = channel.mRotationKeys[k].mTime;
                v = convert_.rotation(channel.mRotationKeys[k].mValue, prev ? prev : &o.rot);
            });
        if (channel.mNumScalingKeys > 0)
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
    sim::Document* doc_ = nullptr;
    std::unordered_map<std::string, const aiCamera*> cameras_;
    std::unordered_map<std::string, const aiLight*> lights_;
    std::unordered_map<std::string, const aiNodeAnim*> channels_;
    std::unordered_set<const void*> usedCameras_, usedLights_;
    bool nodeCarriesPosition_ = false;
    double ticksPerSecond_ = kTicksPerSecond;
    double firstKey_ = 0;
    Matrix itemFrame_ = identity(); // frame of the camera or light last made
    PolygonSplitter splitter_;
    std::vector<unsigned> corners_;
};

} // namespace

void Summary::add(const std::string& thing, size_t count)
{
    for (auto& [name, n] : things_)
        if (name == thing) {
            n += count;
            return;
        }
    things_.emplace_back(thing, count);
}

std::vector<std::string> Summary::lines() const
{
    std::vector<std::string> out;
    out.reserve(things_.size());
    for (const auto& [name, n] : things_)
        out.push_back("not carried over: " + name + (n > 1 ? " (" + std::to_string(n) + ")" : ""));
    return out;
}

std::string defaultTextureCache()
{
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec)
        base = "/tmp";
    return (base / "c4dsim-textures").string();
}

unsigned importFlags() { return aiProcess_ValidateDataStructure; }

double unitFactor(const aiScene& scene, const std::string& modelPath)
{
    const std::string ext = lower(fs::path(modelPath).extension().string());
    if (ext == ".gltf" || ext == ".glb" || ext == ".dae" || ext == ".zae")
        return 100;
    if (ext == ".fbx" && scene.mMetaData) {
        double d = 0;
        float f = 0;
        if (scene.mMetaData->Get("UnitScaleFactor", d) && std::isfinite(d) && d > 0)
            return d;
        if (scene.mMetaData->Get("UnitScaleFactor", f) && std::isfinite(f) && f > 0)
            return f;
    }
    return 1;
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
    std::error_code ec;
    if (FILE* f = std::fopen(path.c_str(), "rb"))
        std::fclose(f);
    else {
        error = "cannot open model \"" + path + "\": " + std::strerror(errno);
        return nullptr;
    }
    if (!fs::is_regular_file(path, ec)) {
        error = "cannot open model \"" + path + "\": not a regular file";
        return nullptr;
    }
    Assimp::Importer importer;
    const aiScene* scene = importer.ReadFile(path, importFlags());
    if (!scene) {
        error = "cannot read model \"" + path + "\": " + importer.GetErrorString();
        return nullptr;
    }
    if (!scene->mRootNode) {
        error = "cannot read model \"" + path + "\": assimp gives no node tree";
        return nullptr;
    }
    return buildDocument(*scene, path, options, summary);
}

} // namespace modelimport
