// The long number arrays of a document (points, polygons, phong normals, UVW and selection
// records, hair points and root UVs) as a document packed for another process hands them
// over (sim_document_pack.h): views of them in memory, and arrays in the vectors the model
// holds, which the document loader takes over as they are.
#pragma once

#include "sim_document.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace sim {

// The kinds of long arrays, each element laid out as the model holds it.
enum class PackedKind : uint32_t {
    Points,     // Vec3
    Polygons,   // c4d_cpolygon
    Normals,    // c4d_vec32
    Uvw,        // c4d_uvw
    Segments,   // first and last, two int32_t
    HairPoints, // Vec3
    RootUV,     // Vec3
};
inline constexpr uint32_t kPackedKinds = 7;

// The bytes of one element of a kind.
size_t packedElementBytes(PackedKind kind);

// A view of `count` elements of `kind` at `data`.
struct PackedArray {
    PackedKind kind;
    const void* data;
    size_t count;
};

// A long array in the vector of its kind that the document will hold.
struct LongArray {
    PackedKind kind;
    std::vector<Vec3> vec3;                            // Points, HairPoints, RootUV
    std::vector<c4d_cpolygon> polygons;                // Polygons
    std::vector<c4d_vec32> normals;                    // Normals
    std::vector<c4d_uvw> uvw;                          // Uvw
    std::vector<std::pair<int32_t, int32_t>> segments; // Segments

    // A copy of the elements a view shows.
    static LongArray copyOf(const PackedArray& view);
};

} // namespace sim
