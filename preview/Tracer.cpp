// The ray tracer's structures: the device, one committed scene per shape data, the
// instances in two top-level scenes; and the two queries the pixels make of them.
#include "Tracer.h"

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
    return true;
}

void Tracer::nearest(const int* valid, RTCRayHit16& rays, bool coherent) const
{
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    if (coherent)
        context.flags = RTC_INTERSECT_CONTEXT_FLAG_COHERENT;
    rtcIntersect16(valid, surfaces_, &context, &rays);
    if (emittersPlaced_.empty())
        return;
    alignas(64) RTCRayHit16 light;
    light.ray = rays.ray; // up to the surface hit
    for (int k = 0; k < 16; ++k) {
        light.hit.geomID[k] = RTC_INVALID_GEOMETRY_ID;
        light.hit.instID[0][k] = RTC_INVALID_GEOMETRY_ID;
    }
    rtcIntersect16(valid, emitters_, &context, &light);
    for (int k = 0; k < 16; ++k) {
        if (!valid[k] || light.hit.instID[0][k] == RTC_INVALID_GEOMETRY_ID)
            continue;
        rays.ray.tfar[k] = light.ray.tfar[k];
        rays.hit.Ng_x[k] = light.hit.Ng_x[k];
        rays.hit.Ng_y[k] = light.hit.Ng_y[k];
        rays.hit.Ng_z[k] = light.hit.Ng_z[k];
        rays.hit.u[k] = light.hit.u[k];
        rays.hit.v[k] = light.hit.v[k];
        rays.hit.primID[k] = light.hit.primID[k];
        rays.hit.geomID[k] = light.hit.geomID[k];
        rays.hit.instID[0][k] = light.hit.instID[0][k];
    }
}

void Tracer::blocked(const int* valid, RTCRay16& rays) const
{
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    rtcOccluded16(valid, surfaces_, &context, &rays);
}

} // namespace preview
