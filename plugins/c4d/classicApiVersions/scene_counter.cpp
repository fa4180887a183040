// The counting scene back end (see scene_counter.h).
#include "scene_counter.h"

#include <cstring>

namespace {

bool same(const char* a, const char* b) { return a != nullptr && std::strcmp(a, b) == 0; }

// Size in bytes of one element of a list type; 0 for lists of texts.
size_t elementSize(int type)
{
    switch (type) {
    case orvType::Float3Array: return 12;
    case orvType::Float4Array: return 16;
    case orvType::FloatArray: return 4;
    case orvType::DoubleArray: return 8;
    case orvType::Double3Array: return 24;
    case orvType::IntArray: return 4;
    case orvType::BoolArray: return 4;
    case orvType::Matrix16Array: return 64;
    case orvType::IntbArray: return 1;
    default: return 0;
    }
}

} // namespace

bool CountingSceneApi::beginGroup(const char* name, int immediate)
{
    ++written_.groups;
    return ForwardingApi::beginGroup(name, immediate);
}

bool CountingSceneApi::beginObject(const char* name, int immediate)
{
    ++written_.objects;
    return ForwardingApi::beginObject(name, immediate);
}

bool CountingSceneApi::beginGeometry(const char* kind)
{
    geometry_ = same(kind, "triangles")           ? Geometry::Triangles
                : same(kind, "orv_bezier_curves") ? Geometry::Curves
                                                  : Geometry::Other;
    return ForwardingApi::beginGeometry(kind);
}

void CountingSceneApi::endGeometry()
{
    geometry_ = Geometry::None;
    ForwardingApi::endGeometry();
}

bool CountingSceneApi::beginAnimation(const char* name, const char* kind)
{
    ++written_.animations;
    return ForwardingApi::beginAnimation(name, kind);
}

bool CountingSceneApi::beginCamera(const char* name)
{
    ++written_.cameras;
    return ForwardingApi::beginCamera(name);
}

bool CountingSceneApi::beginLight(const char* name)
{
    ++written_.lights;
    return ForwardingApi::beginLight(name);
}

bool CountingSceneApi::beginMaterial(const char* name, int immediate)
{
    ++written_.materials;
    return ForwardingApi::beginMaterial(name, immediate);
}

bool CountingSceneApi::beginShader(const char* name, const char* kind)
{
    if (same(kind, "texture2_rgb"))
        ++written_.textures;
    else if (same(kind, "orv_point_light") || same(kind, "orv_mesh_light"))
        ++written_.lights;
    return ForwardingApi::beginShader(name, kind);
}

bool CountingSceneApi::attribute(const char* name, int type, const void* value)
{
    if ((type & orvType::ArrayFlag) != 0 && value != nullptr) {
        const auto* list = static_cast<const AttributeArray*>(value);
        const uint64_t count = list->count > 0 ? static_cast<uint64_t>(list->count) : 0;
        written_.bytes += count * elementSize(type);
        if (geometry_ == Geometry::Triangles && type == orvType::IntArray && same(name, "triangles"))
            written_.triangles += count / 3;
        else if (geometry_ == Geometry::Curves && type == orvType::IntArray && same(name, "nvertices"))
            written_.hairCurves += count;
    }
    return ForwardingApi::attribute(name, type, value);
}
