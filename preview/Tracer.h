// The ray tracer's side of the preview: Embree's two-level scenes kept from one picture to
// the next. Every shape's data (a mesh or a hair set, in object space) is a committed scene
// of its own, built once and kept while a scene uses that data; instances place them in two
// top-level scenes, the surfaces and the light shapes, built again only when an instance
// changed (another data, another placement, a shape added or gone). A changed material or
// camera rebuilds nothing. The top levels take the shapes in scene order, numbered as the
// scene numbers them, so a tracer that followed many scenes builds the same structures as
// a fresh one would for the last: the same pixels.
#pragma once

#include "Preview.h"
#include "PreviewScene.h"

#include <embree3/rtcore.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace preview {

using Clock = std::chrono::steady_clock;

// When the drawing must stop; never when no limit is set.
struct Deadline {
    Clock::time_point at = Clock::time_point::max();
    bool passed() const { return at != Clock::time_point::max() && Clock::now() >= at; }
};

// The camera's frame for the pixels.
struct View {
    Vec3 eye, forward, right, up;
    double tanHalf = 0;
    bool operator==(const View&) const = default;
};

class Tracer {
public:
    Tracer() = default;
    ~Tracer();
    Tracer(const Tracer&) = delete;
    Tracer& operator=(const Tracer&) = delete;

    // Makes the structures those of `scene`. False with a message when the library fails or
    // the deadline passes while building; everything built is then let go, and the next
    // follow starts afresh.
    bool follow(const Scene& scene, const Deadline& deadline, std::string& error);
    const TracerWork& work() const { return work_; }

    // The nearest hit of each valid ray of the packet: among the surfaces, or a light shape
    // in front of it. The hit's instance is the shape's index in the scene followed.
    void nearest(const int* valid, RTCRayHit16& rays, bool coherent) const;
    // Marks each valid ray that a surface blocks before its tfar (tfar becomes negative).
    void blocked(const int* valid, RTCRay16& rays) const;

private:
    struct Structure {
        RTCScene scene = nullptr;
        std::shared_ptr<const void> data; // kept alive while the structure shares its arrays
        bool used = false;
    };
    // One instance as a top level holds it: which data, where, under which number.
    struct Placed {
        const void* data = nullptr;
        std::array<float, 16> transform{};
        unsigned id = 0;
        bool operator==(const Placed&) const = default;
    };

    bool setUp(std::string& error);
    void reset();
    RTCScene structureOf(const Shape& shape, const Deadline& deadline);
    RTCScene topLevel(const std::vector<Placed>& placed, const Deadline& deadline);

    RTCDevice device_ = nullptr;
    std::string error_; // the library's first error since the last follow
    std::unordered_map<const void*, Structure> structures_;
    RTCScene surfaces_ = nullptr; // everything that is shaded and casts shadows
    RTCScene emitters_ = nullptr; // light shapes: seen by the camera only
    std::vector<Placed> surfacesPlaced_, emittersPlaced_;
    TracerWork work_;
};

} // namespace preview
