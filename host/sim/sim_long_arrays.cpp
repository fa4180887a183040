#include "sim_long_arrays.h"

#include <cstring>

namespace sim {

namespace {

template <typename T>
std::vector<T> copied(const PackedArray& a)
{
    std::vector<T> out(a.count);
    if (a.count > 0)
        std::memcpy(out.data(), a.data, a.count * sizeof(T));
    return out;
}

} // namespace

size_t packedElementBytes(PackedKind kind)
{
    switch (kind) {
    case PackedKind::Points:
    case PackedKind::HairPoints:
    case PackedKind::RootUV: return sizeof(Vec3);
    case PackedKind::Polygons: return sizeof(c4d_cpolygon);
    case PackedKind::Normals: return sizeof(c4d_vec32);
    case PackedKind::Uvw: return sizeof(c4d_uvw);
    case PackedKind::Segments: return 2 * sizeof(int32_t);
    }
    return 0;
}

LongArray LongArray::copyOf(const PackedArray& view)
{
    LongArray a{view.kind, {}, {}, {}, {}, {}};
    switch (view.kind) {
    case PackedKind::Points:
    case PackedKind::HairPoints:
    case PackedKind::RootUV: a.vec3 = copied<Vec3>(view); break;
    case PackedKind::Polygons: a.polygons = copied<c4d_cpolygon>(view); break;
    case PackedKind::Normals: a.normals = copied<c4d_vec32>(view); break;
    case PackedKind::Uvw: a.uvw = copied<c4d_uvw>(view); break;
    case PackedKind::Segments: {
        // Pairs are set number by number rather than copied as bytes.
        const auto* numbers = static_cast<const unsigned char*>(view.data);
        a.segments.resize(view.count);
        for (size_t i = 0; i < view.count; ++i) {
            std::memcpy(&a.segments[i].first, numbers + 8 * i, 4);
            std::memcpy(&a.segments[i].second, numbers + 8 * i + 4, 4);
        }
        break;
    }
    }
    return a;
}

} // namespace sim
