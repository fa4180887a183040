// The pixels of the last picture as the rays found them: per pixel the shape, triangle and
// point its primary ray hit, and for each light whether it reaches that point. After an
// edit, only the rays the edit can have changed are traced again:
//  - a pixel whose ray hit a shape that moved, changed or went away, or whose ray passes
//    through the new place of a moved, changed or added shape before its hit;
//  - a shadow ray that passes through the old or the new place of such a shape;
//  - a pixel on a shape whose material changed is shaded again, no ray traced.
// Everything else keeps its colour. A ray traced again finds what a fresh picture's ray
// finds (the shapes' own structures are the same, only the instances differ), so the picture
// is the one a fresh drawing gives. Another view, other lights, another image size, a scene
// that grew or shrank, or many changed shapes: every pixel is traced.
#pragma once

#include "PreviewScene.h"
#include "Tracer.h"

#include <cstdint>
#include <vector>

namespace preview {

class Frame {
public:
    // Traces every pixel of the scene as seen through the view into the image. False when
    // the deadline passed (the frame is then forgotten).
    bool drawAll(const Tracer& tracer, const Scene& scene, const View& view, Image& image, const Deadline& deadline);
    // Brings the last picture (in image) from the scene `before` to `scene`, tracing only
    // what changed. False when it cannot tell what changed: then drawAll is wanted. A
    // deadline that passes forgets the frame (and returns true: see passed()).
    bool drawChanged(const Tracer& tracer, const Scene& before, const Scene& scene, const View& view, Image& image,
                     const Deadline& deadline);
    void forget() { width_ = height_ = 0; }
    bool held() const { return width_ > 0; }
    // Rays the last draw traced (primary and shadow), for the record.
    size_t raysTraced() const { return traced_; }

    struct Hit {
        uint32_t shape = kNone; // index into the scene's shapes
        uint32_t prim = 0;
        float u = 0, v = 0, t = 0;
        float ng[3] = {0, 0, 0}; // the geometry normal in the shape's own space
    };
    static constexpr uint32_t kNone = UINT32_MAX;

private:
    // The shadow rays from the point of pixels[i] to the light lights[i].
    void traceLights(const Tracer& tracer, const Scene& scene, const std::vector<uint32_t>& pixels,
                     const std::vector<uint32_t>& lights);
    void tracePrimary(const Tracer& tracer, const std::vector<uint32_t>& pixels, bool coherent);
    void shade(const Scene& scene, uint32_t pixel, Image& image) const;

    int width_ = 0, height_ = 0;
    View view_;
    double eps_ = 0;
    std::vector<Light> lights_;
    std::vector<Vec3> dirs_;   // per pixel: its ray's direction in the view
    std::vector<Hit> hits_;    // per pixel
    std::vector<uint8_t> lit_; // per pixel and light: the light reaches the point
    size_t traced_ = 0;
};

} // namespace preview
