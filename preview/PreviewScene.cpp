#include "PreviewScene.h"

#include "Textures.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>

namespace preview {

namespace {

using orv::qrf::Block;
using orv::qrf::Statement;
using orv::qrf::Value;

// A list of numbers from a binary run or a text list: a view of the reader's own array when
// it holds the wanted type, else a converted copy.
template <typename T>
struct NumberList {
    std::span<const T> view;
    std::vector<T> owned;
    size_t size() const { return view.size(); }
    T operator[](size_t i) const { return view[i]; }
};

template <typename T>
NumberList<T> numbersOf(const Statement* s)
{
    NumberList<T> out;
    if (!s || s->args.empty())
        return out;
    const Value& v = s->args.front();
    if constexpr (std::is_same_v<T, float>) {
        if (v.kind == Value::Kind::Binary && !v.floats.empty()) {
            out.view = v.floats;
            return out;
        }
    } else {
        if (v.kind == Value::Kind::Binary && !v.ints.empty()) {
            out.view = v.ints;
            return out;
        }
    }
    if (v.kind == Value::Kind::Binary) {
        for (float f : v.floats) out.owned.push_back(T(f));
        for (double d : v.doubles) out.owned.push_back(T(d));
        for (int32_t i : v.ints) out.owned.push_back(T(i));
    } else if (v.kind == Value::Kind::List) {
        out.owned.reserve(v.items.size());
        for (const std::string& item : v.items)
            out.owned.push_back(T(std::strtod(item.c_str(), nullptr)));
    } else {
        for (const Value& a : s->args)
            out.owned.push_back(T(a.number()));
    }
    out.view = out.owned;
    return out;
}

// The numbers of a short attribute written as words ("fov 45", "color 1 1 1").
std::vector<double> wordsOf(const Statement* s)
{
    std::vector<double> out;
    if (!s)
        return out;
    for (const Value& a : s->args)
        if (a.kind == Value::Kind::Word)
            out.push_back(a.number());
    return out;
}

bool readVec3(const Block& b, std::string_view key, Vec3& out)
{
    const std::vector<double> n = wordsOf(b.find(key));
    if (n.size() < 3)
        return false;
    out = {n[0], n[1], n[2]};
    return true;
}

double readNumber(const Block& b, std::string_view key, double fallback)
{
    const std::vector<double> n = wordsOf(b.find(key));
    return n.empty() || !std::isfinite(n[0]) ? fallback : n[0];
}

bool readOn(const Block& b, std::string_view key, bool fallback)
{
    const Statement* s = b.find(key);
    if (!s || s->args.empty())
        return fallback;
    return s->args.front().text == "on";
}

bool matrixOf(const std::vector<double>& n, size_t at, Mat4& out)
{
    if (n.size() < at + 16)
        return false;
    for (size_t i = 0; i < 16; ++i)
        if (!std::isfinite(n[at + i]))
            return false;
    std::copy(n.begin() + long(at), n.begin() + long(at + 16), out.begin());
    return true;
}

// The first sample of an animation block: where the object stands at the first key.
bool firstSample(const Statement& animation, Mat4& out)
{
    if (!animation.block)
        return false;
    const Statement* m = animation.block->find("matrices");
    if (!m || m->args.empty())
        return false;
    const Value& v = m->args.front();
    std::vector<double> n;
    if (v.kind == Value::Kind::List) {
        for (size_t i = 0; i < v.items.size() && i < 16; ++i)
            n.push_back(std::strtod(v.items[i].c_str(), nullptr));
    } else if (v.kind == Value::Kind::Binary) {
        for (size_t i = 0; i < v.doubles.size() && i < 16; ++i) n.push_back(v.doubles[i]);
        for (size_t i = 0; i < v.floats.size() && i < 16; ++i) n.push_back(v.floats[i]);
    }
    return matrixOf(n, 0, out);
}

// The matrix a group, object or camera block applies to what it holds: its transforms in
// order, then the first sample of each of its animations (each acts in the local frame).
Mat4 localMatrix(const Block& block)
{
    Mat4 local = identity();
    for (const Statement& s : block.statements) {
        Mat4 m;
        if (s.keyword == "transform" && matrixOf(wordsOf(&s), 0, m))
            local = multiply(m, local);
        else if (s.keyword == "set transform" && matrixOf(wordsOf(&s), 0, m))
            local = m;
        else if (s.keyword == "animation" && firstSample(s, m))
            local = multiply(m, local);
    }
    return local;
}

class Builder {
public:
    Builder(Scene& scene, std::string textureFolder) : scene_(scene), textureFolder_(std::move(textureFolder)) {}

    void topLevel(const Statement& s)
    {
        if (s.define || !s.block)
            return;
        if (s.keyword == "camera" && !scene_.camera.present)
            camera(s);
        else if (s.keyword == "group")
            group(s, multiply(localMatrix(*s.block), identity()));
        else if (s.keyword == "object")
            object(s, identity());
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

    void group(const Statement& g, const Mat4& world)
    {
        if (!cameraGroup_.empty() && g.name() == cameraGroup_) {
            placeCamera(world);
            cameraGroup_.clear();
        }
        const Block& block = *g.block;
        for (const Statement& s : block.statements) {
            if (s.define || !s.block)
                continue;
            if (s.keyword == "group")
                group(s, multiply(localMatrix(*s.block), world));
            else if (s.keyword == "object")
                object(s, world);
        }
    }

    void object(const Statement& s, const Mat4& parent)
    {
        const Block& b = *s.block;
        const Mat4 world = multiply(localMatrix(b), parent);
        const int mat = material(b, s.name());
        for (const Statement& g : b.statements) {
            if (g.keyword != "geometry" || !g.block)
                continue;
            const std::string kind = g.name();
            if (kind == "triangles")
                triangles(*g.block, world, mat, s.name());
            else if (kind == "orv_bezier_curves")
                curves(*g.block, world, mat, s.name());
            else
                warn("object \"" + s.name() + "\": geometry \"" + kind + "\" is not drawn");
        }
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
            pendingLight_ = colour * strength;
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
        if (m.texture < 0 && reported_.insert(path).second)
            warn("texture \"" + path + "\" is not drawn: " + error + "; the material's own colour is used");
    }

    // The texture's index, or -1 with the reason. Relative paths are tried as given, then
    // below the texture folder.
    int loadTexture(const std::string& path, std::string& error)
    {
        if (path.empty()) {
            error = "no file named";
            return -1;
        }
        const int index = textures_.load(path, error);
        const std::filesystem::path p(path);
        if (index >= 0 || !p.is_relative() || textureFolder_.empty())
            return index;
        std::string besideError;
        const int beside = textures_.load((std::filesystem::path(textureFolder_) / p).string(), besideError);
        if (beside < 0 && besideError.find("No such file") == std::string::npos)
            error = besideError; // found below the folder but unusable: that is the news
        return beside;
    }

    void triangles(const Block& g, const Mat4& world, int mat, const std::string& name)
    {
        const NumberList<float> v = numbersOf<float>(g.find("vertices"));
        const NumberList<int32_t> t = numbersOf<int32_t>(g.find("triangles"));
        const size_t vertexCount = v.size() / 3;
        const size_t triangleCount = t.size() / 3;
        if (vertexCount == 0 || triangleCount == 0 || vertexCount > UINT32_MAX)
            return takeLight(Bounds{}, mat);

        Mesh mesh;
        mesh.material = mat;
        mesh.worldToObject = inverseAffine(world);
        // World positions; a vertex that is not finite is kept out of every triangle.
        mesh.vertices.resize((vertexCount + 1) * 3);
        std::vector<uint8_t> usable(vertexCount);
        Bounds bounds;
        for (size_t i = 0; i < vertexCount; ++i) {
            const Vec3 p = transformPoint({v[i * 3], v[i * 3 + 1], v[i * 3 + 2]}, world);
            const bool ok = finite(p) && std::fabs(p.x) < 1e18 && std::fabs(p.y) < 1e18 && std::fabs(p.z) < 1e18;
            usable[i] = ok;
            mesh.vertices[i * 3] = ok ? float(p.x) : 0.f;
            mesh.vertices[i * 3 + 1] = ok ? float(p.y) : 0.f;
            mesh.vertices[i * 3 + 2] = ok ? float(p.z) : 0.f;
        }
        // Only triangles with three usable corners and an area are kept: a stack of
        // zero-area triangles covers nothing yet would defeat the acceleration structure.
        mesh.triangles.reserve(triangleCount * 3);
        std::vector<size_t> kept; // source triangle of each kept one
        size_t unusable = 0;
        for (size_t k = 0; k < triangleCount; ++k) {
            bool ok = true;
            for (size_t c = 0; c < 3; ++c) {
                const int32_t i = t[k * 3 + c];
                ok = ok && i >= 0 && size_t(i) < vertexCount && usable[size_t(i)];
            }
            if (!ok) {
                ++unusable;
                continue;
            }
            Vec3 q[3];
            for (size_t c = 0; c < 3; ++c) {
                const float* f = &mesh.vertices[size_t(t[k * 3 + c]) * 3];
                q[c] = {f[0], f[1], f[2]};
            }
            if (!(length(cross(q[1] - q[0], q[2] - q[0])) > 0))
                continue;
            for (size_t c = 0; c < 3; ++c) {
                mesh.triangles.push_back(uint32_t(t[k * 3 + c]));
                bounds.add(q[c]);
            }
            kept.push_back(k);
        }
        if (unusable)
            warn("object \"" + name + "\": " + std::to_string(unusable) +
                 " triangles with missing or unusable corners are not drawn");

        const NumberList<float> uv = numbersOf<float>(g.find("uv_tex"));
        const NumberList<int32_t> tuv = numbersOf<int32_t>(g.find("triangles_uv"));
        if (tuv.size() >= triangleCount * 3 && uv.size() >= 2) {
            mesh.uv.assign(uv.view.begin(), uv.view.end());
            mesh.triangleUv.reserve(kept.size() * 3);
            for (size_t k : kept)
                mesh.triangleUv.insert(mesh.triangleUv.end(), {tuv[k * 3], tuv[k * 3 + 1], tuv[k * 3 + 2]});
        }
        takeLight(bounds, mat);
        if (bounds.empty())
            return;
        addBounds(bounds, scene_.materials[size_t(mat)].emitter);
        scene_.meshes.push_back(std::move(mesh));
    }

    void curves(const Block& g, const Mat4& world, int mat, const std::string& name)
    {
        const NumberList<float> p = numbersOf<float>(g.find("p"));
        const NumberList<float> pr = numbersOf<float>(g.find("pr"));
        const NumberList<int32_t> counts = numbersOf<int32_t>(g.find("nvertices"));
        const double radius = readNumber(g, "radius", 0.5);
        // Radii follow the transform's average scale.
        const double scale = std::cbrt(std::fabs(determinant3(world)));
        const size_t pointCount = p.size() / 3;
        Curves c;
        c.material = mat;
        c.points.reserve(pointCount * 4);
        Bounds bounds;
        for (size_t i = 0; i < pointCount; ++i) {
            const Vec3 q = transformPoint({p[i * 3], p[i * 3 + 1], p[i * 3 + 2]}, world);
            double r = (i < pr.size() ? pr[i] : radius) * scale;
            if (!std::isfinite(r) || r < 0)
                r = 0;
            c.points.insert(c.points.end(), {float(q.x), float(q.y), float(q.z), float(r)});
        }
        size_t first = 0;
        for (size_t k = 0; k < counts.size(); ++k) {
            const int32_t n = counts[k];
            if (n < 0 || first + size_t(n) > pointCount) {
                warn("object \"" + name + "\": curve vertex counts exceed the points; the rest is not drawn");
                break;
            }
            for (size_t j = 0; j + 1 < size_t(n); ++j) {
                const float* a = &c.points[(first + j) * 4];
                const float* b = a + 4;
                const Vec3 pa{a[0], a[1], a[2]}, pb{b[0], b[1], b[2]};
                if (!finite(pa) || !finite(pb))
                    continue;
                c.segments.push_back(uint32_t(first + j));
                bounds.add(pa);
                bounds.add(pb);
            }
            first += size_t(n);
        }
        if (c.segments.empty())
            return;
        addBounds(bounds);
        scene_.curves.push_back(std::move(c));
    }

    // A light object's material was read just before its geometry: the light sits at the
    // centre of that geometry.
    void takeLight(const Bounds& bounds, int mat)
    {
        if (!scene_.materials[size_t(mat)].emitter || bounds.empty())
            return;
        scene_.lights.push_back({(bounds.lo + bounds.hi) * 0.5, pendingLight_});
    }

    void addBounds(const Bounds& b, bool emitter = false)
    {
        scene_.bounds.add(b.lo);
        scene_.bounds.add(b.hi);
        if (!emitter) {
            scene_.surfaceBounds.add(b.lo);
            scene_.surfaceBounds.add(b.hi);
        }
    }

    void warn(std::string text)
    {
        if (scene_.warnings.size() < 50)
            scene_.warnings.push_back(std::move(text));
    }

    Scene& scene_;
    std::string textureFolder_;
    TextureCache textures_{scene_.textures};
    std::set<std::string> reported_; // textures already named in a warning
    Vec3 pendingLight_{};
    // The camera as written, kept until its group is found (cameraGroup_: its name).
    Vec3 cameraPosition_, cameraDirection_, cameraUp_;
    Mat4 cameraLocal_ = identity();
    std::string cameraGroup_;
};

} // namespace

Scene buildScene(std::span<const orv::qrf::Statement* const> top, const std::string& textureFolder)
{
    Scene scene;
    Builder builder(scene, textureFolder);
    for (const Statement* s : top)
        builder.topLevel(*s);
    return scene;
}

Scene buildScene(const orv::qrf::Document& document, const std::string& textureFolder)
{
    std::vector<const Statement*> top;
    top.reserve(document.top.statements.size());
    for (const Statement& s : document.top.statements)
        top.push_back(&s);
    return buildScene(top, textureFolder);
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
