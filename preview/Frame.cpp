#include "Frame.h"

#include "Preview.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace preview {

namespace {

// Past this many changed places every pixel is traced: testing each ray against them would
// cost more than tracing it.
constexpr size_t kMaxChangedPlaces = 64;

uint8_t toByte(double c)
{
    if (!(c > 0))
        return 0;
    return c >= 1 ? 255 : uint8_t(c * 255 + 0.5);
}

Vec3 directionOf(const View& view, int w, int h, uint32_t pixel)
{
    const int x = int(pixel % uint32_t(w)), y = int(pixel / uint32_t(w));
    const double aspect = double(h) / double(w);
    const double sx = (x + 0.5) * 2 / w - 1, sy = (1 - (y + 0.5) * 2 / h) * aspect;
    return normalized(view.forward + view.right * (sx * view.tanHalf) + view.up * (sy * view.tanHalf));
}

// A normal of the object's space in the world: through the inverse's transpose.
Vec3 normalToWorld(const float* n, const Mat4& w)
{
    return {w[0] * n[0] + w[1] * n[1] + w[2] * n[2], w[4] * n[0] + w[5] * n[1] + w[6] * n[2],
            w[8] * n[0] + w[9] * n[1] + w[10] * n[2]};
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

// Whether the segment org + t dir, 0 <= t <= tmax, passes through the box.
bool crosses(const Bounds& b, Vec3 org, Vec3 dir, double tmax)
{
    double t0 = 0, t1 = tmax;
    const double o[3] = {org.x, org.y, org.z}, d[3] = {dir.x, dir.y, dir.z};
    const double lo[3] = {b.lo.x, b.lo.y, b.lo.z}, hi[3] = {b.hi.x, b.hi.y, b.hi.z};
    for (int a = 0; a < 3; ++a) {
        if (d[a] == 0) {
            if (o[a] < lo[a] || o[a] > hi[a])
                return false;
            continue;
        }
        const double inv = 1.0 / d[a];
        double tn = (lo[a] - o[a]) * inv, tf = (hi[a] - o[a]) * inv;
        if (tn > tf)
            std::swap(tn, tf);
        t0 = std::max(t0, tn);
        t1 = std::min(t1, tf);
        if (!(t0 <= t1))
            return false;
    }
    return true;
}

// A box a little larger than the bounds, for what single precision may have placed beside them.
Bounds padded(const Bounds& b)
{
    const double pad = 1e-4 * std::max(length(b.hi - b.lo), 1e-6) + 1e-6 * std::max(length(b.lo), length(b.hi));
    Bounds out = b;
    out.lo = out.lo - Vec3{pad, pad, pad};
    out.hi = out.hi + Vec3{pad, pad, pad};
    return out;
}

// The pixels a box can cover in the view: [x0, x1) x [y0, y1); all of them when the box
// reaches behind the eye.
struct Rect {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool holds(int x, int y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
};

Rect screenRect(const Bounds& b, const View& view, int w, int h)
{
    const double aspect = double(h) / double(w);
    double sx0 = 1e300, sx1 = -1e300, sy0 = 1e300, sy1 = -1e300;
    for (int corner = 0; corner < 8; ++corner) {
        const Vec3 c{corner & 1 ? b.hi.x : b.lo.x, corner & 2 ? b.hi.y : b.lo.y, corner & 4 ? b.hi.z : b.lo.z};
        const Vec3 d = c - view.eye;
        const double z = dot(d, view.forward);
        if (!(z > 1e-9))
            return Rect{0, 0, w, h};
        const double sx = dot(d, view.right) / (z * view.tanHalf), sy = dot(d, view.up) / (z * view.tanHalf);
        sx0 = std::min(sx0, sx);
        sx1 = std::max(sx1, sx);
        sy0 = std::min(sy0, sy);
        sy1 = std::max(sy1, sy);
    }
    // Pixel x at screen (x + 0.5) * 2 / w - 1; pixel y at (1 - (y + 0.5) * 2 / h) * aspect.
    const auto clampX = [w](double v) { return int(std::clamp(v, -1.0, double(w) + 1)); };
    const auto clampY = [h](double v) { return int(std::clamp(v, -1.0, double(h) + 1)); };
    Rect r;
    r.x0 = std::max(0, clampX(std::floor((sx0 + 1) * w / 2 - 0.5)) - 1);
    r.x1 = std::min(w, clampX(std::ceil((sx1 + 1) * w / 2 - 0.5)) + 2);
    r.y0 = std::max(0, clampY(std::floor((1 - sy1 / aspect) * h / 2 - 0.5)) - 1);
    r.y1 = std::min(h, clampY(std::ceil((1 - sy0 / aspect) * h / 2 - 0.5)) + 2);
    return r;
}

Vec3 surfaceColour(const Material& m, const Shape& shape, const Frame::Hit& hit, Vec3 p)
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
        const double w[3] = {1.0 - hit.u - hit.v, hit.u, hit.v};
        for (size_t c = 0; c < 3; ++c) {
            const int32_t i = mesh.triangleUv[size_t(hit.prim) * 3 + c];
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

// Where a pixel's ray met a surface, and the surface's normal facing the ray.
struct SurfacePoint {
    Vec3 p, n;
};

SurfacePoint surfacePoint(const Scene& scene, const View& view, const Frame::Hit& hit, Vec3 dir)
{
    const Shape& shape = scene.shapes[hit.shape];
    SurfacePoint s;
    s.p = view.eye + dir * double(hit.t);
    s.n = normalized(normalToWorld(hit.ng, shape.worldToObject));
    if (dot(s.n, dir) > 0)
        s.n = s.n * -1.0;
    return s;
}

// The shadow ray from a surface point to a light; false when the light cannot reach it
// (behind the surface, or at the point itself).
bool towardsLight(const SurfacePoint& s, const Light& light, double eps, Vec3& start, Vec3& dir, double& distance,
                  double& cosine)
{
    start = s.p + s.n * eps;
    const Vec3 toLight = light.position - start;
    distance = length(toLight);
    if (!(distance > eps))
        return false;
    dir = toLight * (1.0 / distance);
    cosine = dot(s.n, dir);
    return cosine > 0;
}

double sceneEps(const Scene& scene)
{
    const double size = scene.bounds.empty() ? 1.0 : std::max(length(scene.bounds.hi - scene.bounds.lo), 1e-6);
    return size * 1e-5;
}

bool emitterHit(const Scene& scene, const Frame::Hit& hit)
{
    return scene.materials[size_t(scene.shapes[hit.shape].material)].emitter;
}

bool sameLights(const std::vector<Light>& a, const std::vector<Light>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!(a[i].position == b[i].position) || !(a[i].colour == b[i].colour))
            return false;
    return true;
}

} // namespace

void Frame::tracePrimary(const Tracer& tracer, const std::vector<uint32_t>& pixels, bool coherent)
{
    alignas(64) int valid[16];
    alignas(64) RTCRayHit16 rays;
    for (size_t at = 0; at < pixels.size(); at += 16) {
        for (int k = 0; k < 16; ++k) {
            valid[k] = at + size_t(k) < pixels.size() ? -1 : 0;
            const Vec3 dir = valid[k] ? dirs_[pixels[at + size_t(k)]] : Vec3{0, 0, 1};
            setRay(rays.ray, k, view_.eye, dir, std::numeric_limits<float>::infinity());
            rays.hit.geomID[k] = RTC_INVALID_GEOMETRY_ID;
            rays.hit.instID[0][k] = RTC_INVALID_GEOMETRY_ID;
        }
        tracer.nearest(valid, rays, coherent);
        for (int k = 0; k < 16 && valid[k]; ++k) {
            Hit& hit = hits_[pixels[at + size_t(k)]];
            hit = Hit{};
            if (rays.hit.instID[0][k] == RTC_INVALID_GEOMETRY_ID)
                continue;
            hit.shape = rays.hit.instID[0][k];
            hit.prim = rays.hit.primID[k];
            hit.u = rays.hit.u[k];
            hit.v = rays.hit.v[k];
            hit.t = rays.ray.tfar[k];
            hit.ng[0] = rays.hit.Ng_x[k];
            hit.ng[1] = rays.hit.Ng_y[k];
            hit.ng[2] = rays.hit.Ng_z[k];
        }
        traced_ += pixels.size() - at < 16 ? pixels.size() - at : 16;
    }
}

// The shadow rays from the points of pixels[i] to lights[i].
void Frame::traceLights(const Tracer& tracer, const Scene& scene, const std::vector<uint32_t>& pixels,
                        const std::vector<uint32_t>& lights)
{
    const size_t count = lights_.size();
    alignas(64) int valid[16];
    alignas(64) RTCRay16 rays;
    uint32_t slot[16];
    int filled = 0;
    const auto flush = [&] {
        for (int k = filled; k < 16; ++k) {
            valid[k] = 0;
            setRay(rays, k, {}, {0, 0, 1}, 0);
        }
        tracer.blocked(valid, rays);
        for (int k = 0; k < filled; ++k)
            lit_[slot[k]] = rays.tfar[k] >= 0;
        traced_ += size_t(filled);
        filled = 0;
    };
    for (size_t i = 0; i < pixels.size(); ++i) {
        const uint32_t pixel = pixels[i];
        const Hit& hit = hits_[pixel];
        const uint32_t l = lights[i];
        const size_t at = size_t(pixel) * count + l;
        lit_[at] = 0;
        if (hit.shape == kNone || emitterHit(scene, hit))
            continue;
        const SurfacePoint s = surfacePoint(scene, view_, hit, dirs_[pixel]);
        Vec3 start, dir;
        double distance = 0, cosine = 0;
        if (!towardsLight(s, lights_[l], eps_, start, dir, distance, cosine))
            continue;
        valid[filled] = -1;
        setRay(rays, filled, start, dir, float(distance * (1 - 1e-6)));
        slot[filled] = uint32_t(at);
        if (++filled == 16)
            flush();
    }
    if (filled)
        flush();
}

void Frame::shade(const Scene& scene, uint32_t pixel, Image& image) const
{
    const Hit& hit = hits_[pixel];
    Vec3 c{kBackground[0] / 255.0, kBackground[1] / 255.0, kBackground[2] / 255.0};
    if (hit.shape != kNone) {
        const Shape& shape = scene.shapes[hit.shape];
        const Material& m = scene.materials[size_t(shape.material)];
        if (m.emitter) {
            c = m.emission;
        } else {
            const Vec3& dir = dirs_[pixel];
            const SurfacePoint s = surfacePoint(scene, view_, hit, dir);
            Vec3 light{kAmbient, kAmbient, kAmbient};
            // Lambert from each light that reaches the point. Without lights, a light at the
            // eye stands in, so an unlit scene still shows its shapes.
            if (lights_.empty())
                light = light + Vec3{1, 1, 1} * ((1 - kAmbient) * std::max(0.0, dot(s.n, normalized(view_.eye - s.p))));
            for (size_t l = 0; l < lights_.size(); ++l) {
                if (!lit_[size_t(pixel) * lights_.size() + l])
                    continue;
                Vec3 start, toward;
                double distance = 0, cosine = 0;
                if (towardsLight(s, lights_[l], eps_, start, toward, distance, cosine))
                    light = light + lights_[l].colour * cosine;
            }
            c = surfaceColour(m, shape, hit, s.p) * light;
        }
    }
    uint8_t* px = image.rgb.data() + size_t(pixel) * 3;
    px[0] = toByte(c.x);
    px[1] = toByte(c.y);
    px[2] = toByte(c.z);
}

bool Frame::drawAll(const Tracer& tracer, const Scene& scene, const View& view, Image& image, const Deadline& deadline)
{
    width_ = image.width;
    height_ = image.height;
    view_ = view;
    eps_ = sceneEps(scene);
    lights_ = scene.lights;
    traced_ = 0;
    const size_t pixels = size_t(width_) * size_t(height_);
    // Each pixel's ray direction, for its primary ray, its shadow rays and its shading.
    dirs_.resize(pixels);
    for (size_t pixel = 0; pixel < pixels; ++pixel)
        dirs_[pixel] = directionOf(view_, width_, height_, uint32_t(pixel));
    hits_.assign(pixels, Hit{});
    lit_.assign(pixels * lights_.size(), 0);
    // Four by four pixels at a time: the rays of one packet stay close together.
    std::vector<uint32_t> tile, tilePixels, tileLights;
    for (int y = 0; y < height_; y += 4)
        for (int x = 0; x < width_; x += 4) {
            // A pixel can cost much when many triangles overlap: look at the clock often.
            if (deadline.passed()) {
                forget();
                return false;
            }
            tile.clear();
            for (int k = 0; k < 16; ++k)
                if (x + (k & 3) < width_ && y + (k >> 2) < height_)
                    tile.push_back(uint32_t((y + (k >> 2)) * width_ + x + (k & 3)));
            tracePrimary(tracer, tile, true);
            tilePixels.clear();
            tileLights.clear();
            for (uint32_t pixel : tile)
                for (uint32_t l = 0; l < lights_.size(); ++l) {
                    tilePixels.push_back(pixel);
                    tileLights.push_back(l);
                }
            traceLights(tracer, scene, tilePixels, tileLights);
            for (uint32_t pixel : tile)
                shade(scene, pixel, image);
        }
    return true;
}

bool Frame::drawChanged(const Tracer& tracer, const Scene& before, const Scene& scene, const View& view, Image& image,
                        const Deadline& deadline)
{
    if (!held() || image.width != width_ || image.height != height_ || !(view == view_) ||
        sceneEps(scene) != eps_ || !sameLights(scene.lights, lights_))
        return false;
    traced_ = 0;
    // What moved, changed or went: the old places, the new places, and the shapes whose
    // shading alone changed.
    std::vector<long> oldToNew(before.shapes.size(), -1);
    std::vector<uint8_t> gone(before.shapes.size(), 0), reshade(scene.shapes.size(), 0);
    std::vector<Bounds> oldPlaces, newPlaces;
    for (size_t i = 0; i < scene.shapes.size(); ++i) {
        const Shape& shape = scene.shapes[i];
        if (shape.before < 0) {
            newPlaces.push_back(padded(shape.bounds));
            continue;
        }
        const Shape& old = before.shapes[size_t(shape.before)];
        oldToNew[size_t(shape.before)] = long(i);
        const Material& was = before.materials[size_t(old.material)];
        const Material& is = scene.materials[size_t(shape.material)];
        if (old.mesh != shape.mesh || old.curves != shape.curves || !(old.world == shape.world) ||
            was.emitter != is.emitter) {
            gone[size_t(shape.before)] = 1;
            oldPlaces.push_back(padded(old.bounds));
            newPlaces.push_back(padded(shape.bounds));
        } else if (!(was == is)) {
            reshade[i] = 1;
        }
    }
    for (size_t b = 0; b < before.shapes.size(); ++b)
        if (oldToNew[b] < 0) {
            gone[b] = 1;
            oldPlaces.push_back(padded(before.shapes[b].bounds));
        }
    if (oldPlaces.size() + newPlaces.size() > kMaxChangedPlaces)
        return false;
    std::vector<Rect> newRects;
    for (const Bounds& b : newPlaces)
        newRects.push_back(screenRect(b, view_, width_, height_));
    std::vector<Bounds> places = oldPlaces;
    places.insert(places.end(), newPlaces.begin(), newPlaces.end());

    // Which rays to trace again, and which pixels to shade again.
    const size_t count = lights_.size();
    // Whether a shadow ray from near the point p (the ray starts eps_ off the surface) to
    // some light can pass through one of the places: a quick look at the boxes around each
    // segment, before the exact test.
    const auto mayShadow = [this](Vec3 p, const std::vector<Bounds>& boxes) {
        for (const Light& light : lights_) {
            const Vec3 lo{std::min(p.x, light.position.x) - eps_, std::min(p.y, light.position.y) - eps_,
                          std::min(p.z, light.position.z) - eps_};
            const Vec3 hi{std::max(p.x, light.position.x) + eps_, std::max(p.y, light.position.y) + eps_,
                          std::max(p.z, light.position.z) + eps_};
            for (const Bounds& b : boxes)
                if (lo.x <= b.hi.x && hi.x >= b.lo.x && lo.y <= b.hi.y && hi.y >= b.lo.y && lo.z <= b.hi.z &&
                    hi.z >= b.lo.z)
                    return true;
        }
        return false;
    };
    std::vector<uint32_t> primary, shadows, shadowLights, touched;
    const uint32_t pixels = uint32_t(width_) * uint32_t(height_);
    for (uint32_t pixel = 0; pixel < pixels; ++pixel) {
        if (pixel % 4096 == 0 && deadline.passed()) {
            forget();
            return true;
        }
        Hit& hit = hits_[pixel];
        bool again = hit.shape != kNone && gone[hit.shape];
        if (!again && hit.shape != kNone)
            hit.shape = uint32_t(oldToNew[hit.shape]);
        const int x = int(pixel % uint32_t(width_)), y = int(pixel / uint32_t(width_));
        const Vec3& dir = dirs_[pixel];
        for (size_t b = 0; b < newPlaces.size() && !again; ++b) {
            if (!newRects[b].holds(x, y))
                continue;
            const double reach = hit.shape == kNone ? std::numeric_limits<double>::infinity() : double(hit.t) * (1 + 1e-6);
            again = crosses(newPlaces[b], view_.eye, dir, reach);
        }
        if (again) {
            primary.push_back(pixel);
            continue;
        }
        if (hit.shape == kNone)
            continue;
        bool shadeAgain = reshade[hit.shape] != 0;
        if (!places.empty() && !emitterHit(scene, hit) && mayShadow(view_.eye + dir * double(hit.t), places)) {
            const SurfacePoint s = surfacePoint(scene, view_, hit, dir);
            for (uint32_t l = 0; l < count; ++l) {
                Vec3 start, toward;
                double distance = 0, cosine = 0;
                if (!towardsLight(s, lights_[l], eps_, start, toward, distance, cosine))
                    continue;
                for (const Bounds& b : places)
                    if (crosses(b, start, toward, distance)) {
                        shadows.push_back(pixel);
                        shadowLights.push_back(l);
                        shadeAgain = true;
                        break;
                    }
            }
        }
        if (shadeAgain)
            touched.push_back(pixel);
    }
    if (deadline.passed()) {
        forget();
        return true;
    }
    tracePrimary(tracer, primary, false);
    // The pixels traced again need every light; the others only the lights found above.
    for (uint32_t pixel : primary)
        for (uint32_t l = 0; l < count; ++l) {
            shadows.push_back(pixel);
            shadowLights.push_back(l);
        }
    traceLights(tracer, scene, shadows, shadowLights);
    for (uint32_t pixel : primary)
        shade(scene, pixel, image);
    for (uint32_t pixel : touched)
        shade(scene, pixel, image);
    if (deadline.passed())
        forget();
    return true;
}

} // namespace preview
