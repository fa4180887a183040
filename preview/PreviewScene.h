// What the preview renderer draws, gathered from a parsed scene: the camera, every triangle
// mesh and hair object in its own object space with the matrix that places it in the world,
// the lights and the materials with their textures. Building it knows nothing of the ray
// tracer; the tracer only reads it.
//
// A scene can be gathered after another one (the picture before): a geometry whose parsed
// block is the one gathered then, or one of the same content, shares its gathered data with
// it instead of being read again, so the tracer keeps what it built from it. What differs
// from the scene before is counted in Scene::changes.
#pragma once

#include "Image.h"
#include "PreviewMath.h"
#include "SceneReader.h"
#include "ShapeData.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace preview {

class TextureCache;

// Where a texture is looked up on a surface.
struct TexturePlacement {
    bool objectProjection = false; // coordinates from the object-space point, else the mesh UVs
    Mat4 objectToUv = identity();
    double scaleU = 1, scaleV = 1, shiftU = 0, shiftV = 0;
    bool wrap = true;
    bool operator==(const TexturePlacement&) const = default;
};

struct Material {
    Vec3 diffuse{0.65, 0.65, 0.65};
    std::shared_ptr<const Image> texture; // null: none, or unreadable
    bool textured = false; // the material reads a texture (even one that could not be loaded)
    Vec3 textureDefault{0, 0, 0}; // colour where the texture gives none
    TexturePlacement placement;
    bool emitter = false; // drawn in its light colour, unshaded, never casts shadows
    Vec3 emission{};
    Vec3 light{}; // an emitter's light: its colour times its strength
    // The colour drawn where a texture cannot be (unreadable, no UVs): the surface's own
    // diffuse colour, which the texture replaces; the texture's default colour when the
    // surface gives black.
    Vec3 untextured() const
    {
        return diffuse.x > 0 || diffuse.y > 0 || diffuse.z > 0 || !textured ? diffuse : textureDefault;
    }
    bool operator==(const Material&) const = default;
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
    bool operator==(const Camera&) const = default;
};

// What a scene gathered after another one changed, counted in shapes (most objects have one).
struct SceneChanges {
    size_t added = 0;     // shapes new to the scene
    size_t removed = 0;   // shapes of the scene before that are gone
    size_t rebuilt = 0;   // shapes whose geometry changed
    size_t moved = 0;     // shapes whose placement changed
    size_t materials = 0; // shapes whose material changed
    bool camera = false;  // the camera changed
    bool first = false;   // no scene came before
    // "1 object moved, 1 material changed", "nothing changed", or for the first scene
    // "the whole scene: 12 objects".
    std::string summary() const;
};

struct Scene {
    Camera camera;
    std::vector<Material> materials;
    std::vector<Shape> shapes;
    std::vector<Light> lights;
    Bounds bounds;                     // of everything drawn, emitters included
    Bounds surfaceBounds;              // of everything drawn but the light shapes
    std::vector<std::string> warnings; // what was drawn differently than written
    SceneChanges changes;              // against the scene gathered before (all added when none)
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
// given, then below textureFolder. With a previous scene, unchanged geometry is shared with
// it (see above); textures come from the cache, which forgets those the scene does not use.
Scene buildScene(std::span<const orv::qrf::Statement* const> top, const std::string& textureFolder,
                 TextureCache& textures, const Scene* previous = nullptr);
Scene buildScene(std::span<const orv::qrf::Statement* const> top, const std::string& textureFolder);
Scene buildScene(const orv::qrf::Document& document, const std::string& textureFolder);

// The top-level statements of a parsed document, in order.
std::vector<const orv::qrf::Statement*> topLevel(const orv::qrf::Document& document);

} // namespace preview
