#include "PreviewScene.h"

#include "SceneValues.h"
#include "ShapeData.h"
#include "Textures.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string_view>
#include <unordered_map>

namespace preview {

namespace {


class Builder {
public:
    Builder(Scene& scene, std::string textureFolder, TextureCache& textures, const Scene* previous)
        : scene_(scene), textureFolder_(std::move(textureFolder)), textures_(textures), previous_(previous)
    {
        textures_.beginScene();
        if (!previous_)
            return;
        matched_.assign(previous_->shapes.size(), 0);
        byKey_.reserve(previous_->shapes.size());
        bySource_.reserve(previous_->shapes.size());
        for (size_t i = 0; i < previous_->shapes.size(); ++i) {
            byKey_.emplace(previous_->shapes[i].key, i);
            bySource_.emplace(previous_->shapes[i].source.get(), i);
        }
    }

    void topLevel(const Statement& s)
    {
        if (s.define || !s.block)
            return;
        if (s.keyword == "camera" && !scene_.camera.present)
            camera(s);
        else if (s.keyword == "group")
            group(s, multiply(localMatrix(*s.block), identity()), "");
        else if (s.keyword == "object")
            object(s, identity(), "");
    }

    // After the last statement: the lights, and what changed against the scene before.
    void finish()
    {
        for (const Shape& shape : scene_.shapes) {
            const Material& m = scene_.materials[size_t(shape.material)];
            if (shape.mesh && m.emitter && !shape.bounds.empty())
                scene_.lights.push_back({(shape.bounds.lo + shape.bounds.hi) * 0.5, m.light});
        }
        textures_.endScene();
        SceneChanges& changes = scene_.changes;
        if (!previous_) {
            changes.added = scene_.shapes.size();
            changes.first = true;
            return;
        }
        for (uint8_t m : matched_)
            changes.removed += !m;
        changes.camera = !(scene_.camera == previous_->camera);
    }

private:
    void camera(const Statement& s)
    {
        const Block& b = *s.block;
        Camera& c = scene_.camera;
        c.present = true;
        c.name = s.name();
        Vec3 position{0, 0, 0}, direction{0, 0, -1}, up{0, 1, 0}, lookAt;
        readVec3(b, "position", position);
        readVec3(b, "direction", direction);
        readVec3(b, "up", up);
        if (readVec3(b, "look_at", lookAt))
            direction = lookAt - position;
        const Statement* projection = b.find("projection");
        if (projection && !projection->args.empty() && projection->args.front().text == "orthographic")
            warn("camera \"" + c.name + "\" is orthographic; drawn in perspective");
        c.fovDegrees = readNumber(b, "fov", 60);
        cameraPosition_ = position;
        cameraDirection_ = direction;
        cameraUp_ = up;
        cameraLocal_ = localMatrix(b);
        placeCamera(identity());
        // A camera that moves is written without its placement: its animations only say how
        // far it has moved since the start. The host's camera object is also written as a
        // group of the same name, placed where the camera starts; that group places it.
        bool placed = false, animated = false;
        for (const Statement& a : b.statements) {
            placed = placed || a.keyword == "transform" || a.keyword == "set transform";
            animated = animated || a.keyword == "animation";
        }
        if (animated && !placed)
            cameraGroup_ = c.name;
    }

    // The camera's vectors through its own matrix, then through `world`.
    void placeCamera(const Mat4& world)
    {
        Camera& c = scene_.camera;
        const Mat4 m = multiply(cameraLocal_, world);
        c.eye = transformPoint(cameraPosition_, m);
        c.forward = normalized(transformDirection(cameraDirection_, m));
        c.up = normalized(transformDirection(cameraUp_, m));
    }

    // The key of a named statement below `parent`: its name and how many statements of the
    // same kind and name came before it there, so that siblings of one name stay apart.
    std::string keyOf(const std::string& parent, char kind, const std::string& name)
    {
        std::string key = parent;
        key += '/';
        key += kind;
        key += name;
        const int seen = occurrences_[key]++;
        key += '#';
        key += std::to_string(seen);
        return key;
    }

    void group(const Statement& g, const Mat4& world, const std::string& parentKey)
    {
        if (!cameraGroup_.empty() && g.name() == cameraGroup_) {
            placeCamera(world);
            cameraGroup_.clear();
        }
        const std::string key = keyOf(parentKey, 'g', g.name());
        const Block& block = *g.block;
        for (const Statement& s : block.statements) {
            if (s.define || !s.block)
                continue;
            if (s.keyword == "group")
                group(s, multiply(localMatrix(*s.block), world), key);
            else if (s.keyword == "object")
                object(s, world, key);
        }
    }

    void object(const Statement& s, const Mat4& parent, const std::string& parentKey)
    {
        const Block& b = *s.block;
        const Mat4 world = multiply(localMatrix(b), parent);
        const int mat = material(b, s.name());
        const std::string key = keyOf(parentKey, 'o', s.name());
        size_t index = 0;
        for (const Statement& g : b.statements) {
            if (g.keyword != "geometry" || !g.block)
                continue;
            const GeometryKind kind = kindOf(g);
            if (kind == GeometryKind::Other)
                warn("object \"" + s.name() + "\": geometry \"" + g.name() + "\" is not drawn");
            else
                shape(g, kind, key + "/" + std::to_string(index), world, mat, s.name());
            ++index;
        }
    }

    // The previous scene's shape that this geometry continues: the one gathered from the
    // same block, else the one of the same key; -1 when none.
    long previousShape(const Statement& g, const std::string& key) const
    {
        if (!previous_)
            return -1;
        if (auto same = bySource_.find(g.block.get()); same != bySource_.end())
            return long(same->second);
        if (auto named = byKey_.find(key); named != byKey_.end())
            return long(named->second);
        return -1;
    }

    void shape(const Statement& g, GeometryKind kind, std::string key, const Mat4& world, int mat,
               const std::string& name)
    {
        Shape shape;
        shape.source = g.block;
        shape.world = world;
        shape.material = mat;
        const long before = previousShape(g, key);
        const Shape* old = before >= 0 ? &previous_->shapes[size_t(before)] : nullptr;
        const bool sameKind = old && (kind == GeometryKind::Mesh ? old->mesh != nullptr : old->curves != nullptr);
        const bool unchanged = sameKind && (old->source == g.block || sameGeometry(kind, *old->source, *g.block));
        if (unchanged) {
            shape.mesh = old->mesh;
            shape.curves = old->curves;
        } else if (kind == GeometryKind::Mesh) {
            shape.mesh = gatherMesh(*g.block);
        } else {
            shape.curves = gatherCurves(*g.block);
        }
        if (shape.mesh && shape.mesh->unusable)
            warn("object \"" + name + "\": " + std::to_string(shape.mesh->unusable) +
                 " triangles with missing or unusable corners are not drawn");
        if (shape.curves && shape.curves->countsExceedPoints)
            warn("object \"" + name + "\": curve vertex counts exceed the points; the rest is not drawn");
        const bool empty = shape.mesh ? shape.mesh->triangles.empty() : shape.curves->segments.empty();
        // A placement that flattens the shape or is not finite shows nothing.
        const double det = determinant3(world);
        if (empty || !(std::fabs(det) > 0) || !std::isfinite(det))
            return;
        const bool placedAsBefore = unchanged && old->world == world;
        shape.bounds = placedAsBefore ? old->bounds : worldBounds(shape);
        if (shape.bounds.empty())
            return;
        shape.worldToObject = placedAsBefore ? old->worldToObject : inverseAffine(world);
        shape.key = std::move(key);

        SceneChanges& changes = scene_.changes;
        if (old && !matched_[size_t(before)]) {
            matched_[size_t(before)] = 1;
            shape.before = before;
            changes.rebuilt += !unchanged;
            changes.moved += !(old->world == world);
            changes.materials += !(previous_->materials[size_t(old->material)] == scene_.materials[size_t(mat)]);
        } else {
            ++changes.added;
        }
        const bool emitter = scene_.materials[size_t(mat)].emitter;
        scene_.bounds.merge(shape.bounds);
        if (!emitter || shape.curves)
            scene_.surfaceBounds.merge(shape.bounds);
        scene_.shapes.push_back(std::move(shape));
    }

    int material(const Block& object, const std::string& objectName)
    {
        Material m;
        const Statement* mat = object.find("material");
        const Statement* surface = mat && mat->block ? mat->block->find("surface") : nullptr;
        const Value* shader = nullptr;
        if (surface)
            for (const Value& v : surface->args)
                if ((v.kind == Value::Kind::Shader || v.kind == Value::Kind::ShaderRef) && v.block)
                    shader = &v;
        if (!shader) {
            if (surface)
                warn("object \"" + objectName + "\": only inline surface shaders are drawn");
            scene_.materials.push_back(m);
            return int(scene_.materials.size() - 1);
        }
        const Block& sb = *shader->block;
        const std::string& kind = shader->text;
        if (kind == "orv_point_light" || kind == "orv_mesh_light") {
            Vec3 colour{1, 1, 1};
            readVec3(sb, "color", colour);
            const double power = readNumber(sb, "power", 100);
            // Power is a percentage of the light's colour, or lumens when "lumen" is on
            // (1000 lumens counting as full strength).
            const double strength = std::max(0.0, readOn(sb, "lumen", false) ? power / 1000 : power / 100);
            m.emitter = true;
            m.emission = {std::clamp(colour.x, 0.0, 1.0), std::clamp(colour.y, 0.0, 1.0),
                          std::clamp(colour.z, 0.0, 1.0)};
            m.light = colour * strength;
        } else {
            readVec3(sb, "diffuse", m.diffuse);
            for (const Statement& a : sb.statements)
                if (a.keyword == "diffuse" && !a.args.empty() && a.args.front().block &&
                    a.args.front().text == "texture2_rgb")
                    texture(*a.args.front().block, m);
        }
        scene_.materials.push_back(m);
        return int(scene_.materials.size() - 1);
    }

    void texture(const Block& t, Material& m)
    {
        m.textured = true;
        readVec3(t, "default_color", m.textureDefault);
        TexturePlacement& p = m.placement;
        p.wrap = readOn(t, "wrap", true);
        p.scaleU = readNumber(t, "scale_u", 1);
        p.scaleV = readNumber(t, "scale_v", 1);
        p.shiftU = readNumber(t, "shift_u", 0);
        p.shiftV = readNumber(t, "shift_v", 0);
        if (readNumber(t, "uv_projection", 4) == 5) {
            p.objectProjection = true;
            Mat4 objectToUv;
            if (matrixOf(wordsOf(t.find("transform_obj_to_uv")), 0, objectToUv))
                p.objectToUv = objectToUv;
        }
        const Statement* file = t.find("texture");
        const std::string path = file ? file->name() : std::string();
        std::string error;
        m.texture = loadTexture(path, error);
        if (!m.texture && reported_.insert(path).second)
            warn("texture \"" + path + "\" is not drawn: " + error + "; the material's own colour is used");
    }

    // The texture, or null with the reason. Relative paths are tried as given, then below
    // the texture folder.
    std::shared_ptr<const Image> loadTexture(const std::string& path, std::string& error)
    {
        if (path.empty()) {
            error = "no file named";
            return nullptr;
        }
        std::shared_ptr<const Image> image = textures_.load(path, error);
        const std::filesystem::path p(path);
        if (image || !p.is_relative() || textureFolder_.empty())
            return image;
        std::string besideError;
        image = textures_.load((std::filesystem::path(textureFolder_) / p).string(), besideError);
        if (!image && besideError.find("No such file") == std::string::npos)
            error = besideError; // found below the folder but unusable: that is the news
        return image;
    }

    void warn(std::string text)
    {
        if (scene_.warnings.size() < 50)
            scene_.warnings.push_back(std::move(text));
    }

    Scene& scene_;
    std::string textureFolder_;
    TextureCache& textures_;
    const Scene* previous_;
    std::unordered_map<std::string_view, size_t> byKey_;           // previous shapes by key
    std::unordered_map<const Block*, size_t> bySource_;            // and by the block they came from
    std::vector<uint8_t> matched_;                                 // per previous shape: continued
    std::unordered_map<std::string, int> occurrences_;             // keys handed out so far
    std::set<std::string> reported_; // textures already named in a warning
    // The camera as written, kept until its group is found (cameraGroup_: its name).
    Vec3 cameraPosition_, cameraDirection_, cameraUp_;
    Mat4 cameraLocal_ = identity();
    std::string cameraGroup_;
};

} // namespace

Scene buildScene(std::span<const orv::qrf::Statement* const> top, const std::string& textureFolder,
                 TextureCache& textures, const Scene* previous)
{
    Scene scene;
    Builder builder(scene, textureFolder, textures, previous);
    for (const Statement* s : top)
        builder.topLevel(*s);
    builder.finish();
    return scene;
}

Scene buildScene(std::span<const orv::qrf::Statement* const> top, const std::string& textureFolder)
{
    TextureCache textures;
    return buildScene(top, textureFolder, textures);
}

std::vector<const orv::qrf::Statement*> topLevel(const orv::qrf::Document& document)
{
    std::vector<const Statement*> top;
    top.reserve(document.top.statements.size());
    for (const Statement& s : document.top.statements)
        top.push_back(&s);
    return top;
}

Scene buildScene(const orv::qrf::Document& document, const std::string& textureFolder)
{
    return buildScene(topLevel(document), textureFolder);
}

std::string SceneChanges::summary() const
{
    if (first)
        return "the whole scene: " + std::to_string(added) + (added == 1 ? " object" : " objects");
    std::string text;
    const auto item = [&text](size_t count, const char* one, const char* many, const char* what) {
        if (count == 0)
            return;
        if (!text.empty())
            text += ", ";
        text += std::to_string(count) + " " + (count == 1 ? one : many) + " " + what;
    };
    item(moved, "object", "objects", "moved");
    item(rebuilt, "mesh", "meshes", "changed");
    item(materials, "material", "materials", "changed");
    if (camera)
        text += text.empty() ? "camera moved" : ", camera moved";
    item(added, "object", "objects", "added");
    item(removed, "object", "objects", "removed");
    return text.empty() ? "nothing changed" : text;
}

} // namespace preview

namespace preview {

Camera autoCamera(const Bounds& bounds, double aspect)
{
    Camera c;
    c.name = "(automatic view)";
    c.fovDegrees = 50;
    Vec3 centre{0, 0, 0};
    double radius = 1;
    if (!bounds.empty()) {
        centre = (bounds.lo + bounds.hi) * 0.5;
        radius = std::max(length(bounds.hi - bounds.lo) * 0.5, 1e-6);
    }
    const Vec3 toEye = normalized(Vec3{1, 1, 2});
    c.forward = toEye * -1.0;
    c.up = {0, 1, 0};
    const double tanHalfWide = std::tan(c.fovDegrees * M_PI / 360);
    const double tanHalfTall = tanHalfWide * (aspect > 0 && std::isfinite(aspect) ? aspect : 1.0);
    const double halfAngle = std::atan(std::min(tanHalfWide, tanHalfTall));
    c.eye = centre + toEye * (radius / std::sin(halfAngle));
    return c;
}

} // namespace preview
