// The simulated host's in-memory document model. Plain data with public fields: the JSON
// loader fills it, tests build it directly, and the host table (sim_host.h) answers the
// plug-in's calls from it. Odd data is kept as given (empty names, indices past the point
// array, tracks with one key, dangling links) so that tests can show the plug-in copes.
#pragma once

#include "../c4d_host_abi.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace sim {

using Vec3 = c4d_vec;
using Matrix = c4d_matrix;
using Time = c4d_time;

struct Element;
struct Document;

// A link parameter: the target, or null for an empty or dangling link.
struct Link {
    Element* target = nullptr;
};
// A file name parameter.
struct FilenameValue {
    std::string full;
};
// A gradient parameter (custom data type 1000481): knot colours in knot order.
struct Gradient {
    std::vector<Vec3> knots;
};

using Value = std::variant<int32_t, double, Vec3, std::string, Link, FilenameValue, Gradient, Time>;

// Anything with a type, a name and parameters.
struct Element {
    virtual ~Element() = default;
    int32_t type = 0;
    std::string name;
    std::map<int32_t, Value> params;
    uint64_t key = 0; // unique per document, assigned by finalize (0: not yet assigned)
    std::string id;   // the document file's "id", "" when it gives none

    // Dirty counters, raised by each edit that touches the element (sim_edit.h): the matrix
    // (objects: position, rotation, scale), the data (anything else of the element's own)
    // and the cache (objects: the generated or deformed cache).
    uint32_t dirtyMatrix = 0;
    uint32_t dirtyData = 0;
    uint32_t dirtyCache = 0;

    // Derived by finalize, not data of their own: the following element of the same list
    // (sibling object, tag, track, shader, material, layer) and the document it belongs to.
    Element* next = nullptr;
    Document* owner = nullptr;
};

struct Layer : Element {};

struct Shader : Element {};

struct Material : Element {
    std::map<int32_t, bool> channels;     // channel id -> enabled
    std::map<int32_t, Vec3> data;         // data container vector entries (e.g. 65)
    std::vector<std::unique_ptr<Shader>> shaders;
};

struct Tag : Element {
    // UVW tag (5671): one record per polygon
    std::vector<c4d_uvw> uvw;
    // Polygon selection tag (5673): inclusive ranges, one per segment
    std::vector<std::pair<int32_t, int32_t>> segments;
    // Texture tag (5616)
    Material* material = nullptr;
    Matrix placement{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
};

struct Key {
    Time time{0, 1};
    double value = 0;
};

// An animation track on a vector component of an object's position (903), rotation (904)
// or scale (905); component 1000 x, 1001 y, 1002 z.
struct Track : Element {
    std::vector<int32_t> descId; // e.g. {903, 1000}
    bool hasCurve = true;
    std::vector<Key> keys;       // in time order
};

struct Hair {
    bool generates = true;       // false: generation gives no strands
    int32_t strandCount = 0;
    int32_t segmentCount = 0;
    std::vector<Vec3> points;    // strandCount * (segmentCount + 1), kept as given
    std::vector<Vec3> rootUV;    // per strand
};

struct Object : Element {
    Object* parent = nullptr;
    std::vector<std::unique_ptr<Object>> children;
    std::vector<std::unique_ptr<Tag>> tags;
    std::vector<std::unique_ptr<Track>> tracks;
    std::unique_ptr<Object> deformCache;
    std::unique_ptr<Object> cache;

    // Relative (local) position, rotation (radians) and scale; matrices derive from them.
    Vec3 pos{0, 0, 0};
    Vec3 rot{0, 0, 0};
    Vec3 scale{1, 1, 1};
    int32_t rotationOrder = 6; // 6: heading, pitch, bank
    uint32_t bits = 0;
    Layer* layer = nullptr;

    // Polygon objects (type 5100)
    std::vector<Vec3> points;
    std::vector<c4d_cpolygon> polygons;
    bool hasPointTag = false;
    bool hasPolygonTag = false;
    // Phong normals, four per polygon; absent means the host gives none. Kept as given
    // (may be short).
    std::optional<std::vector<c4d_vec32>> phongNormals;

    // Hair objects (type 1017305)
    Hair hair;
};

struct Document : Element {
    std::string path;            // folder of the document file (parameter 1012)
    std::string docName;         // document name (parameter 1013)
    Time time{0, 1};             // current time (parameter 1000)
    Time minTime{0, 1};          // minimum time (parameter 1002)
    bool hasSelection = true;
    std::vector<Element*> selection;
    std::vector<std::unique_ptr<Object>> objects;
    std::vector<std::unique_ptr<Material>> materials;
    std::vector<std::unique_ptr<Layer>> layers;
    // Raised by each edit that adds, removes or moves objects in the tree.
    uint32_t dirtyChildren = 0;
    // The highest key handed out so far: a deleted element's key is never given again.
    uint64_t lastKey = 0;
};

} // namespace sim
