// Scene setup (device, one Embree geometry per mesh or hair object, commit) is kept apart
// from the per-pixel work, which is one short function of the committed scene and the
// pixel position.
#include "Preview.h"

#include <embree3/rtcore.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

namespace preview {

namespace {

// Library errors all arrive here; the first one is reported after setup.
void onEmbreeError(void* user, RTCError code, const char* text)
{
    auto* first = static_cast<std::string*>(user);
    if (first->empty())
        *first = "ray tracing library: " + std::string(text ? text : "error") + " (code " +
                 std::to_string(int(code)) + ")";
}

struct Shape {
    bool curve = false;
    size_t index = 0; // into Scene::meshes or Scene::curves
};

using Clock = std::chrono::steady_clock;

// When the drawing must stop; never when no limit is set.
struct Deadline {
    Clock::time_point at = Clock::time_point::max();
    bool passed() const { return at != Clock::time_point::max() && Clock::now() >= at; }
};

// Embree asks this while it builds: answering false cancels the build.
bool buildGoesOn(void* user, double)
{
    return !static_cast<const Deadline*>(user)->passed();
}

struct View {
    Vec3 eye, forward, right, up;
    double tanHalf = 0;
};

class Tracer {
public:
    Tracer(const Scene& scene, const Deadline& deadline) : scene_(scene), deadline_(deadline) {}

    ~Tracer()
    {
        if (surfaces_)
            rtcReleaseScene(surfaces_);
        if (emitters_)
            rtcReleaseScene(emitters_);
        if (device_)
            rtcReleaseDevice(device_);
    }

    Tracer(const Tracer&) = delete;
    Tracer& operator=(const Tracer&) = delete;

    // One thread, so the acceleration structure and with it the image never vary.
    bool setup(std::string& error)
    {
        device_ = rtcNewDevice("threads=1,set_affinity=0,verbose=0");
        if (!device_) {
            error = "ray tracing library: no device (" + std::to_string(int(rtcGetDeviceError(nullptr))) + ")";
            return false;
        }
        rtcSetDeviceErrorFunction(device_, onEmbreeError, &error_);
        surfaces_ = rtcNewScene(device_);
        rtcSetSceneBuildQuality(surfaces_, RTC_BUILD_QUALITY_LOW);
        // Robust mode: rays through a shared edge hit one of its triangles, never neither.
        rtcSetSceneFlags(surfaces_, RTC_SCENE_FLAG_ROBUST);
        emitters_ = rtcNewScene(device_);
        rtcSetSceneFlags(emitters_, RTC_SCENE_FLAG_ROBUST);
        rtcSetSceneProgressMonitorFunction(surfaces_, buildGoesOn, const_cast<Deadline*>(&deadline_));
        rtcSetSceneProgressMonitorFunction(emitters_, buildGoesOn, const_cast<Deadline*>(&deadline_));
        for (size_t i = 0; i < scene_.meshes.size() && error_.empty(); ++i)
            addMesh(i);
        for (size_t i = 0; i < scene_.curves.size() && error_.empty(); ++i)
            addCurves(i);
        rtcCommitScene(surfaces_);
        rtcCommitScene(emitters_);
        sceneSize_ = scene_.bounds.empty() ? 1.0 : std::max(length(scene_.bounds.hi - scene_.bounds.lo), 1e-6);
        error = error_;
        return error.empty();
    }

    // The colour seen through one pixel, each channel 0..1; background when nothing is hit.
    Vec3 pixel(const View& view, double sx, double sy) const
    {
        const Vec3 dir = normalized(view.forward + view.right * (sx * view.tanHalf) + view.up * (sy * view.tanHalf));
        RTCRayHit hit = primary(view.eye, dir);
        if (hit.hit.geomID == RTC_INVALID_GEOMETRY_ID)
            return background();
        const Shape& shape = shapes_[hit.hit.geomID];
        const Material& m = scene_.materials[size_t(materialOf(shape))];
        if (m.emitter)
            return m.emission;
        const Vec3 p = view.eye + dir * double(hit.ray.tfar);
        Vec3 n = normalized({hit.hit.Ng_x, hit.hit.Ng_y, hit.hit.Ng_z});
        if (dot(n, dir) > 0)
            n = n * -1.0;
        const Vec3 albedo = surfaceColour(m, shape, hit.hit.primID, hit.hit.u, hit.hit.v, p);
        return albedo * lighting(p, n, view.eye);
    }

    static Vec3 background() { return {kBackground[0] / 255.0, kBackground[1] / 255.0, kBackground[2] / 255.0}; }

private:
    int materialOf(const Shape& s) const
    {
        return s.curve ? scene_.curves[s.index].material : scene_.meshes[s.index].material;
    }

    void addMesh(size_t index)
    {
        const Mesh& mesh = scene_.meshes[index];
        RTCGeometry g = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_TRIANGLE);
        // The vertex array carries one spare vertex: Embree reads 16 bytes at the last one.
        rtcSetSharedGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, mesh.vertices.data(), 0,
                                   3 * sizeof(float), mesh.vertexCount());
        rtcSetSharedGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, mesh.triangles.data(), 0,
                                   3 * sizeof(uint32_t), mesh.triangles.size() / 3);
        attach(g, {false, index}, scene_.materials[size_t(mesh.material)].emitter ? emitters_ : surfaces_);
    }

    void addCurves(size_t index)
    {
        const Curves& c = scene_.curves[index];
        RTCGeometry g = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_ROUND_LINEAR_CURVE);
        rtcSetSharedGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT4, c.points.data(), 0,
                                   4 * sizeof(float), c.points.size() / 4);
        rtcSetSharedGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT, c.segments.data(), 0,
                                   sizeof(uint32_t), c.segments.size());
        attach(g, {true, index}, surfaces_);
    }

    // A preview traces few rays per triangle, so the quick build pays off over the careful one.
    void attach(RTCGeometry g, Shape shape, RTCScene into)
    {
        rtcSetGeometryBuildQuality(g, RTC_BUILD_QUALITY_LOW);
        rtcCommitGeometry(g);
        rtcAttachGeometryByID(into, g, unsigned(shapes_.size()));
        rtcReleaseGeometry(g);
        shapes_.push_back(shape);
    }

    static RTCRayHit makeRay(Vec3 org, Vec3 dir, float tfar)
    {
        RTCRayHit r{};
        r.ray.org_x = float(org.x);
        r.ray.org_y = float(org.y);
        r.ray.org_z = float(org.z);
        r.ray.dir_x = float(dir.x);
        r.ray.dir_y = float(dir.y);
        r.ray.dir_z = float(dir.z);
        r.ray.tnear = 0;
        r.ray.tfar = tfar;
        r.ray.mask = 0xFFFFFFFFu;
        r.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        r.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
        return r;
    }

    // The nearest of the surfaces and the light shapes.
    RTCRayHit primary(Vec3 org, Vec3 dir) const
    {
        RTCIntersectContext context;
        rtcInitIntersectContext(&context);
        RTCRayHit surface = makeRay(org, dir, std::numeric_limits<float>::infinity());
        rtcIntersect1(surfaces_, &context, &surface);
        RTCRayHit light = makeRay(org, dir, surface.ray.tfar);
        rtcIntersect1(emitters_, &context, &light);
        return light.hit.geomID != RTC_INVALID_GEOMETRY_ID ? light : surface;
    }

    bool occluded(Vec3 org, Vec3 dir, double distance) const
    {
        RTCIntersectContext context;
        rtcInitIntersectContext(&context);
        RTCRayHit r = makeRay(org, dir, float(distance));
        rtcOccluded1(surfaces_, &context, &r.ray);
        return r.ray.tfar < 0;
    }

    // Ambient plus Lambert from each light that the point sees. Without lights, a light at
    // the eye stands in, so an unlit scene still shows its shapes.
    Vec3 lighting(Vec3 p, Vec3 n, Vec3 eye) const
    {
        Vec3 sum{kAmbient, kAmbient, kAmbient};
        if (scene_.lights.empty()) {
            const double c = std::max(0.0, dot(n, normalized(eye - p)));
            return sum + Vec3{1, 1, 1} * ((1 - kAmbient) * c);
        }
        const double eps = sceneSize_ * 1e-5;
        const Vec3 start = p + n * eps;
        for (const Light& light : scene_.lights) {
            const Vec3 toLight = light.position - start;
            const double distance = length(toLight);
            if (!(distance > eps))
                continue;
            const Vec3 l = toLight * (1.0 / distance);
            const double c = dot(n, l);
            if (c <= 0 || occluded(start, l, distance * (1 - 1e-6)))
                continue;
            sum = sum + light.colour * c;
        }
        return sum;
    }

    Vec3 surfaceColour(const Material& m, const Shape& shape, unsigned prim, float bu, float bv, Vec3 p) const
    {
        if (!m.textured || m.texture < 0 || shape.curve)
            return m.untextured();
        const Mesh& mesh = scene_.meshes[shape.index];
        const TexturePlacement& t = m.placement;
        double u = 0, v = 0;
        if (t.objectProjection) {
            // Flat projection: the placement's -1..1 square covers the image once.
            const Vec3 q = transformPoint(transformPoint(p, mesh.worldToObject), t.objectToUv);
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
        const Image& image = scene_.textures[size_t(m.texture)];
        const int x = std::min(int(u * image.width), image.width - 1);
        const int y = std::min(int(v * image.height), image.height - 1);
        const uint8_t* texel = image.pixel(x, y);
        return {texel[0] / 255.0, texel[1] / 255.0, texel[2] / 255.0};
    }

    const Scene& scene_;
    const Deadline& deadline_;
    RTCDevice device_ = nullptr;
    RTCScene surfaces_ = nullptr; // everything that is shaded and casts shadows
    RTCScene emitters_ = nullptr; // light shapes: seen by the camera only
    std::vector<Shape> shapes_;   // by geometry ID, over both scenes
    std::string error_;
    double sceneSize_ = 1;
};

uint8_t toByte(double c)
{
    if (!(c > 0))
        return 0;
    return c >= 1 ? 255 : uint8_t(c * 255 + 0.5);
}

// The camera's frame; false when it cannot see anything (no direction, unusable angle).
bool makeView(const Camera& camera, View& view, std::vector<std::string>& warnings)
{
    const double fov = camera.fovDegrees;
    if (!(fov > 0.01 && fov < 179.9)) {
        warnings.push_back("camera \"" + camera.name + "\" has an unusable field of view (" +
                           std::to_string(fov) + " degrees); nothing is seen");
        return false;
    }
    view.forward = normalized(camera.forward);
    if (length(view.forward) == 0 || !finite(camera.eye)) {
        warnings.push_back("camera \"" + camera.name + "\" has no usable position or direction; nothing is seen");
        return false;
    }
    view.eye = camera.eye;
    view.right = normalized(cross(view.forward, camera.up));
    if (length(view.right) == 0)
        view.right = normalized(cross(view.forward, std::fabs(view.forward.y) < 0.9 ? Vec3{0, 1, 0} : Vec3{0, 0, -1}));
    view.up = cross(view.right, view.forward);
    view.tanHalf = std::tan(fov * M_PI / 360);
    return true;
}

} // namespace

bool parseSize(const std::string& text, int& width, int& height)
{
    // from_chars refuses a number past int's range instead of wrapping it round (a
    // 4294967297 must not become 1), and takes neither signs nor spaces.
    const char* begin = text.data();
    const char* end = begin + text.size();
    int w = 0, h = 0;
    auto [afterW, errW] = std::from_chars(begin, end, w);
    if (errW != std::errc() || afterW == begin || afterW == end || (*afterW != 'x' && *afterW != 'X'))
        return false;
    auto [afterH, errH] = std::from_chars(afterW + 1, end, h);
    if (errH != std::errc() || afterH == afterW + 1 || afterH != end)
        return false;
    if (w < 1 || h < 1 || w > kMaxImageSide || h > kMaxImageSide)
        return false;
    width = w;
    height = h;
    return true;
}

bool parseCameraChoice(const std::string& text, CameraChoice& out)
{
    if (text == "auto")
        out = CameraChoice::Auto;
    else if (text == "file")
        out = CameraChoice::File;
    else
        return false;
    return true;
}

bool render(const Scene& scene, const Options& options, Result& out, std::string& error)
{
    const int w = options.width, h = options.height;
    if (w < 1 || h < 1 || w > kMaxImageSide || h > kMaxImageSide) {
        error = "image size " + std::to_string(w) + "x" + std::to_string(h) + " is out of range (1.." +
                std::to_string(kMaxImageSide) + ")";
        return false;
    }
    Deadline deadline;
    if (options.timeLimitSeconds > 0)
        deadline.at = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(options.timeLimitSeconds));
    const auto abandoned = [&] {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", options.timeLimitSeconds);
        error = std::string("preview abandoned: drawing took longer than its limit of ") + seconds + " s";
        return false;
    };
    out.warnings.insert(out.warnings.end(), scene.warnings.begin(), scene.warnings.end());
    out.image.width = w;
    out.image.height = h;
    out.image.rgb.assign(size_t(w) * size_t(h) * 3, 0);
    for (size_t i = 0; i < out.image.rgb.size(); i += 3)
        std::copy(kBackground, kBackground + 3, out.image.rgb.begin() + long(i));

    const double aspect = double(h) / double(w);
    const Camera camera = options.camera == CameraChoice::Auto || !scene.camera.present
                              ? autoCamera(scene.surfaceBounds.empty() ? scene.bounds : scene.surfaceBounds, aspect)
                              : scene.camera;
    View view;
    if (!makeView(camera, view, out.warnings))
        return true;
    Tracer tracer(scene, deadline);
    if (!tracer.setup(error))
        return deadline.passed() ? abandoned() : false;
    uint8_t* px = out.image.rgb.data();
    for (int y = 0; y < h; ++y) {
        const double sy = (1 - (y + 0.5) * 2 / h) * aspect;
        for (int x = 0; x < w; ++x, px += 3) {
            // A pixel can cost much when many triangles overlap: look at the clock often.
            if (x % 16 == 0 && deadline.passed())
                return abandoned();
            const Vec3 c = tracer.pixel(view, (x + 0.5) * 2 / w - 1, sy);
            px[0] = toByte(c.x);
            px[1] = toByte(c.y);
            px[2] = toByte(c.z);
        }
    }
    return true;
}

bool render(std::span<const orv::qrf::Statement* const> top, const Options& options, Result& out,
            std::string& error)
{
    return render(buildScene(top, options.textureFolder), options, out, error);
}

bool render(const orv::qrf::Document& document, const Options& options, Result& out, std::string& error)
{
    return render(buildScene(document, options.textureFolder), options, out, error);
}

} // namespace preview
