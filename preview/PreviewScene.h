// What the preview renderer draws, gathered from a parsed scene: the camera, every triangle
// mesh and hair object in world coordinates, the lights and the materials with their
// textures. Building it knows nothing of the ray tracer; the tracer only reads it.
#pragma once

#include "Image.h"
#include "PreviewMath.h"
#include "SceneReader.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace preview {

// Where a texture is looked up on a surface.
struct TexturePlacement {
    bool objectProjection = false; // coordinates from the object-space point, else the mesh UVs
    Mat4 objectToUv = identity();
    double scaleU = 1, scaleV = 1, shiftU = 0, shiftV = 0;
    bool wrap = true;
};

struct Material {
    Vec3 diffuse{0.65, 0.65, 0.65};
    int texture = -1;  // index into Scene::textures; -1 none or unreadable
    bool textured = false; // the material reads a texture (even one that could not be loaded)
    Vec3 textureDefault{0, 0, 0}; // colour where the texture gives none
    TexturePlacement placement;
    bool emitter = false; // drawn in its light colour, unshaded, never casts shadows
    Vec3 emission{};
    // The colour drawn where a texture cannot be (unreadable, no UVs): the surface's own
    // diffuse colour, which the texture replaces; the texture's default colour when the
    // surface gives black.
    Vec3 untextured() const
    {
        return diffuse.x > 0 || diffuse.y > 0 || diffuse.z > 0 || !textured ? diffuse : textureDefault;
    }
};

struct Mesh {
    std::vector<float> vertices;    // world x y z per vertex, plus one padding vertex
    std::vector<uint32_t> triangles; // 3 per triangle; unusable ones made degenerate
    std::vector<float> uv;          // 2 per UV entry (owned copy)
    std::vector<int32_t> triangleUv; // 3 per triangle into uv, or empty
    Mat4 worldToObject = identity();
    int material = 0;
    size_t vertexCount() const { return vertices.size() / 3 - 1; }
};

struct Curves {
    std::vector<float> points;     // world x y z radius per control point
    std::vector<uint32_t> segments; // index of the first point of each linear segment
    int material = 0;
};

struct Light {
    Vec3 position;
    Vec3 colour; // colour times strength
};

struct Camera {
    bool present = false; // false: the scene holds none
    std::string name;
    Vec3 eye{0, 0, 0};
    Vec3 forward{0, 0, -1};
    Vec3 up{0, 1, 0};
    double fovDegrees = 60; // horizontal
};

struct Bounds {
    Vec3 lo{1e300, 1e300, 1e300}, hi{-1e300, -1e300, -1e300};
    bool empty() const { return lo.x > hi.x; }
    void add(Vec3 p)
    {
        lo = {std::fmin(lo.x, p.x), std::fmin(lo.y, p.y), std::fmin(lo.z, p.z)};
        hi = {std::fmax(hi.x, p.x), std::fmax(hi.y, p.y), std::fmax(hi.z, p.z)};
    }
};

struct Scene {
    Camera camera;
    std::vector<Material> materials;
    std::vector<Image> textures;
    std::vector<Mesh> meshes;
    std::vector<Curves> curves;
    std::vector<Light> lights;
    Bounds bounds;                     // of everything drawn, emitters included
    Bounds surfaceBounds;              // of everything drawn but the light shapes
    std::vector<std::string> warnings; // what was drawn differently than written
};

// The documented automatic view of the bounds (the scene's surfaces, or everything drawn
// when it holds only light shapes), for an image of the given aspect (height
// over width): from in front of (+z), right of (+x) and above (+y) the bounds' centre,
// along the direction (1, 1, 2), at the distance where the bounding sphere just fits the
// narrower of the two fields of view (50 degrees horizontally). Empty bounds frame the
// unit sphere at the origin.
Camera autoCamera(const Bounds& bounds, double aspect);

// Gathers the scene from top-level statements: camera sections and scene groups (a group
// or object written as a definition is not drawn). Relative texture paths are tried as
// given, then below textureFolder.
Scene buildScene(std::span<const orv::qrf::Statement* const> top, const std::string& textureFolder);
Scene buildScene(const orv::qrf::Document& document, const std::string& textureFolder);

} // namespace preview
