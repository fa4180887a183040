// Scene setup (device, one committed scene per shape data, the instances in two top-level
// scenes) is kept apart from the per-pixel work, which is one short function of the
// committed scenes and the pixel position.
#include "Tracer.h"

#include "Preview.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace preview {

namespace {

// Library errors all arrive here; the first one is reported after the build.
void onEmbreeError(void* user, RTCError code, const char* text)
{
    auto* first = static_cast<std::string*>(user);
    if (first->empty())
        *first = "ray tracing library: " + std::string(text ? text : "error") + " (code " +
                 std::to_string(int(code)) + ")";
}

// Embree asks this while it builds: answering false cancels the build.
bool buildGoesOn(void* user, double)
{
    return !static_cast<const Deadline*>(user)->passed();
}

// The matrix as Embree takes it: the rows of ours (axes, then the translation) are the
// columns of its column-major 4x4.
std::array<float, 16> instanceTransform(const Mat4& m)
{
    std::array<float, 16> f{};
    for (size_t i = 0; i < 16; ++i)
        f[i] = float(m[i]);
    return f;
}

// A normal of the object's space in the world: through the inverse's transpose.
Vec3 normalToWorld(Vec3 n, const Mat4& worldToObject)
{
    const Mat4& w = worldToObject;
    return {w[0] * n.x + w[1] * n.y + w[2] * n.z, w[4] * n.x + w[5] * n.y + w[6] * n.z,
            w[8] * n.x + w[9] * n.y + w[10] * n.z};
}

} // namespace

Tracer::~Tracer()
{
    reset();
    if (device_)
        rtcReleaseDevice(device_);
}

void Tracer::reset()
{
    if (surfaces_)
        rtcReleaseScene(surfaces_);
    if (emitters_)
        rtcReleaseScene(emitters_);
    surfaces_ = emitters_ = nullptr;
    surfacesPlaced_.clear();
    emittersPlaced_.clear();
    for (auto& [data, s] : structures_)
        rtcReleaseScene(s.scene);
    structures_.clear();
    scene_ = nullptr;
}

// One thread, so the acceleration structures and with them the image never vary.
bool Tracer::setUp(std::string& error)
{
    if (device_)
        return true;
    device_ = rtcNewDevice("threads=1,set_affinity=0,verbose=0");
    if (!device_) {
        error = "ray tracing library: no device (" + std::to_string(int(rtcGetDeviceError(nullptr))) + ")";
        return false;
    }
    rtcSetDeviceErrorFunction(device_, onEmbreeError, &error_);
    return true;
}

// The committed scene of a shape's data: the one built before when the data is shared.
// A preview traces few rays per triangle, so the quick build pays off over the careful one.
RTCScene Tracer::structureOf(const Shape& shape, const Deadline& deadline)
{
    const void* key = shape.mesh ? static_cast<const void*>(shape.mesh.get()) : shape.curves.get();
    Structure& s = structures_[key];
    s.used = true;
    if (s.scene)
        return s.scene;
    RTCGeometry g = nullptr;
    if (shape.mesh) {
        const MeshData& mesh = *shape.mesh;
        g = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_TRIANGLE);
        // The vertex array carries one spare vertex: Embree reads 16 bytes at the last one.
        rtcSetSharedGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, mesh.vertices.data(), 0,
                                   3 * sizeof(float), mesh.vertexCount());
        rtcSetSharedGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, mesh.triangles.data(), 0,
                                   3 * sizeof(uint32_t), mesh.triangles.size() / 3);
        s.data = shape.mesh;
    } else {
        const CurveData& c = *shape.curves;
        g = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_ROUND_LINEAR_CURVE);
        rtcSetSharedGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT4, c.points.data(), 0,
                                   4 * sizeof(float), c.points.size() / 4);
        rtcSetSharedGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT, c.segments.data(), 0,
                                   sizeof(uint32_t), c.segments.size());
        s.data = shape.curves;
    }
    rtcSetGeometryBuildQuality(g, RTC_BUILD_QUALITY_LOW);
    rtcCommitGeometry(g);
    s.scene = rtcNewScene(device_);
    rtcSetSceneBuildQuality(s.scene, RTC_BUILD_QUALITY_LOW);
    // Robust mode: rays through a shared edge hit one of its triangles, never neither.
    rtcSetSceneFlags(s.scene, RTC_SCENE_FLAG_ROBUST);
    rtcSetSceneProgressMonitorFunction(s.scene, buildGoesOn, const_cast<Deadline*>(&deadline));
    rtcAttachGeometryByID(s.scene, g, 0);
    rtcReleaseGeometry(g);
    rtcCommitScene(s.scene);
    rtcSetSceneProgressMonitorFunction(s.scene, nullptr, nullptr);
    ++work_.built;
    return s.scene;
}

RTCScene Tracer::topLevel(const std::vector<Placed>& placed, const Deadline& deadline)
{
    RTCScene top = rtcNewScene(device_);
    rtcSetSceneBuildQuality(top, RTC_BUILD_QUALITY_LOW);
    rtcSetSceneFlags(top, RTC_SCENE_FLAG_ROBUST);
    rtcSetSceneProgressMonitorFunction(top, buildGoesOn, const_cast<Deadline*>(&deadline));
    for (const Placed& p : placed) {
        RTCGeometry instance = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_INSTANCE);
        rtcSetGeometryInstancedScene(instance, structures_.at(p.data).scene);
        rtcSetGeometryTransform(instance, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, p.transform.data());
        rtcCommitGeometry(instance);
        rtcAttachGeometryByID(top, instance, p.id);
        rtcReleaseGeometry(instance);
    }
    rtcCommitScene(top);
    rtcSetSceneProgressMonitorFunction(top, nullptr, nullptr);
    return top;
}

bool Tracer::follow(const Scene& scene, const Deadline& deadline, std::string& error)
{
    work_ = TracerWork{};
    error_.clear();
    if (!setUp(error))
        return false;
    for (auto& [data, s] : structures_)
        s.used = false;
    std::vector<Placed> surfaces, emitters;
    surfaces.reserve(scene.shapes.size());
    for (size_t i = 0; i < scene.shapes.size() && error_.empty(); ++i) {
        const Shape& shape = scene.shapes[i];
        structureOf(shape, deadline);
        const bool emitter = shape.mesh && scene.materials[size_t(shape.material)].emitter;
        (emitter ? emitters : surfaces)
            .push_back(Placed{shape.mesh ? static_cast<const void*>(shape.mesh.get()) : shape.curves.get(),
                              instanceTransform(shape.world), unsigned(i)});
    }
    const auto place = [&](RTCScene& top, std::vector<Placed>& held, std::vector<Placed>& wanted) {
        if (top && held == wanted)
            return;
        if (top)
            rtcReleaseScene(top);
        top = error_.empty() ? topLevel(wanted, deadline) : nullptr;
        held = std::move(wanted);
        work_.topLevel = true;
    };
    place(surfaces_, surfacesPlaced_, surfaces);
    place(emitters_, emittersPlaced_, emitters);
    if (!error_.empty()) {
        error = error_;
        reset();
        return false;
    }
    // What no scene uses any longer goes (the top levels no longer hold it).
    std::erase_if(structures_, [this](auto& item) {
        if (item.second.used)
            return false;
        rtcReleaseScene(item.second.scene);
        ++work_.released;
        return true;
    });
    scene_ = &scene;
    sceneSize_ = scene.bounds.empty() ? 1.0 : std::max(length(scene.bounds.hi - scene.bounds.lo), 1e-6);
    return true;
}

namespace {

uint8_t toByte(double c)
{
    if (!(c > 0))
        return 0;
    return c >= 1 ? 255 : uint8_t(c * 255 + 0.5);
}

void setRay(RTCRay16& r, int k, Vec3 org, Vec3 dir, float tfar)
{
    r.org_x[k] = float(org.x);
    r.org_y[k] = float(org.y);
    r.org_z[k] = float(org.z);
    r.dir_x[k] = float(dir.x);
    r.dir_y[k] = float(dir.y);
    r.dir_z[k] = float(dir.z);
    r.tnear[k] = 0;
    r.tfar[k] = tfar;
    r.time[k] = 0;
    r.mask[k] = 0xFFFFFFFFu;
    r.id[k] = unsigned(k);
    r.flags[k] = 0;
}

void clearHits(RTCHit16& h)
{
    for (int k = 0; k < 16; ++k) {
        h.geomID[k] = RTC_INVALID_GEOMETRY_ID;
        h.instID[0][k] = RTC_INVALID_GEOMETRY_ID;
    }
}

} // namespace

// Four by four pixels traced as one packet: the primary rays into the surfaces, then into
// the light shapes up to the surface hit, then one packet of shadow rays per light.
void Tracer::tile(const View& view, int x0, int y0, Image& image) const
{
    const int w = image.width, h = image.height;
    const double aspect = double(h) / double(w);
    alignas(64) int valid[16];
    alignas(64) RTCRayHit16 surface;
    alignas(64) RTCRayHit16 light;
    Vec3 dirs[16];
    for (int k = 0; k < 16; ++k) {
        const int x = x0 + (k & 3), y = y0 + (k >> 2);
        valid[k] = x < w && y < h ? -1 : 0;
        const double sx = (x + 0.5) * 2 / w - 1, sy = (1 - (y + 0.5) * 2 / h) * aspect;
        dirs[k] = normalized(view.forward + view.right * (sx * view.tanHalf) + view.up * (sy * view.tanHalf));
        setRay(surface.ray, k, view.eye, dirs[k], std::numeric_limits<float>::infinity());
    }
    clearHits(surface.hit);
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    context.flags = RTC_INTERSECT_CONTEXT_FLAG_COHERENT;
    rtcIntersect16(valid, surfaces_, &context, &surface);
    const bool lightShapes = !emittersPlaced_.empty();
    if (lightShapes) {
        for (int k = 0; k < 16; ++k)
            setRay(light.ray, k, view.eye, dirs[k], surface.ray.tfar[k]);
        clearHits(light.hit);
        rtcIntersect16(valid, emitters_, &context, &light);
    }

    // What each pixel sees, before the lights.
    Vec3 colour[16], albedo[16], point[16], normal[16];
    bool shaded[16] = {};
    for (int k = 0; k < 16; ++k) {
        colour[k] = {kBackground[0] / 255.0, kBackground[1] / 255.0, kBackground[2] / 255.0};
        if (!valid[k])
            continue;
        const bool lit = lightShapes && light.hit.instID[0][k] != RTC_INVALID_GEOMETRY_ID;
        const RTCRayHit16& hit = lit ? light : surface;
        const unsigned id = hit.hit.instID[0][k];
        if (id == RTC_INVALID_GEOMETRY_ID)
            continue;
        const Shape& shape = scene_->shapes[id];
        const Material& m = scene_->materials[size_t(shape.material)];
        if (m.emitter) {
            colour[k] = m.emission;
            continue;
        }
        point[k] = view.eye + dirs[k] * double(hit.ray.tfar[k]);
        Vec3 n = normalized(normalToWorld({hit.hit.Ng_x[k], hit.hit.Ng_y[k], hit.hit.Ng_z[k]}, shape.worldToObject));
        if (dot(n, dirs[k]) > 0)
            n = n * -1.0;
        normal[k] = n;
        albedo[k] = surfaceColour(m, shape, hit.hit.primID[k], hit.hit.u[k], hit.hit.v[k], point[k]);
        colour[k] = {kAmbient, kAmbient, kAmbient};
        shaded[k] = true;
    }

    // Lambert from each light that the point sees. Without lights, a light at the eye stands
    // in, so an unlit scene still shows its shapes.
    if (scene_->lights.empty()) {
        for (int k = 0; k < 16; ++k)
            if (shaded[k])
                colour[k] = colour[k] + Vec3{1, 1, 1} * ((1 - kAmbient) * std::max(0.0, dot(normal[k], normalized(view.eye - point[k]))));
    }
    const double eps = sceneSize_ * 1e-5;
    for (const Light& l : scene_->lights) {
        alignas(64) int towards[16];
        alignas(64) RTCRay16 shadow;
        double cosine[16];
        bool any = false;
        for (int k = 0; k < 16; ++k) {
            towards[k] = 0;
            setRay(shadow, k, {}, {0, 0, 1}, 0);
            if (!shaded[k])
                continue;
            const Vec3 start = point[k] + normal[k] * eps;
            const Vec3 toLight = l.position - start;
            const double distance = length(toLight);
            if (!(distance > eps))
                continue;
            const Vec3 dir = toLight * (1.0 / distance);
            cosine[k] = dot(normal[k], dir);
            if (cosine[k] <= 0)
                continue;
            setRay(shadow, k, start, dir, float(distance * (1 - 1e-6)));
            towards[k] = -1;
            any = true;
        }
        if (!any)
            continue;
        RTCIntersectContext shadowContext;
        rtcInitIntersectContext(&shadowContext);
        rtcOccluded16(towards, surfaces_, &shadowContext, &shadow);
        for (int k = 0; k < 16; ++k)
            if (towards[k] && shadow.tfar[k] >= 0)
                colour[k] = colour[k] + l.colour * cosine[k];
    }

    for (int k = 0; k < 16; ++k) {
        if (!valid[k])
            continue;
        const Vec3 c = shaded[k] ? albedo[k] * colour[k] : colour[k];
        uint8_t* px = image.rgb.data() + (size_t(y0 + (k >> 2)) * size_t(w) + size_t(x0 + (k & 3))) * 3;
        px[0] = toByte(c.x);
        px[1] = toByte(c.y);
        px[2] = toByte(c.z);
    }
}

Vec3 Tracer::surfaceColour(const Material& m, const Shape& shape, unsigned prim, float bu, float bv, Vec3 p) const
{
    if (!m.textured || !m.texture || !shape.mesh)
        return m.untextured();
    const MeshData& mesh = *shape.mesh;
    const TexturePlacement& t = m.placement;
    double u = 0, v = 0;
    if (t.objectProjection) {
        // Flat projection: the placement's -1..1 square covers the image once.
        const Vec3 q = transformPoint(transformPoint(p, shape.worldToObject), t.objectToUv);
        u = 0.5 + q.x;
        v = 0.5 - q.y;
    } else {
        if (mesh.triangleUv.empty())
            return m.untextured();
        const size_t entries = mesh.uv.size() / 2;
        double w[3] = {1.0 - bu - bv, bu, bv};
        for (size_t c = 0; c < 3; ++c) {
            const int32_t i = mesh.triangleUv[size_t(prim) * 3 + c];
            if (i < 0 || size_t(i) >= entries)
                return m.untextured();
            u += w[c] * mesh.uv[size_t(i) * 2];
            v += w[c] * mesh.uv[size_t(i) * 2 + 1];
        }
    }
    u = (u - t.shiftU) / (t.scaleU != 0 ? t.scaleU : 1);
    v = (v - t.shiftV) / (t.scaleV != 0 ? t.scaleV : 1);
    if (!std::isfinite(u) || !std::isfinite(v))
        return m.untextured();
    if (t.wrap) {
        u -= std::floor(u);
        v -= std::floor(v);
    } else if (u < 0 || u > 1 || v < 0 || v > 1) {
        return m.textureDefault;
    }
    // v runs down the image, as in the host's UV space.
    const Image& image = *m.texture;
    const int x = std::min(int(u * image.width), image.width - 1);
    const int y = std::min(int(v * image.height), image.height - 1);
    const uint8_t* texel = image.pixel(x, y);
    return {texel[0] / 255.0, texel[1] / 255.0, texel[2] / 255.0};
}

} // namespace preview
