// The nesting of a document as both readings follow it (format in docs/document-format.md):
// the members that hold further objects, tags and hair, and those that hold the long number
// arrays. The loader reads these members by these names and the fast pass
// (sim_json_heavy.cpp) walks exactly these places, so the nesting is stated here once.
// Internal to the simulated host.
#pragma once

#include <string_view>

namespace sim::layout {

// The document: the list of its top objects.
inline constexpr std::string_view kObjects = "objects";

// An object: further objects one level down, its tags and hair, and its long arrays.
inline constexpr std::string_view kChildren = "children";       // a list of objects
inline constexpr std::string_view kCache = "cache";             // an object
inline constexpr std::string_view kDeformCache = "deformCache"; // an object
inline constexpr std::string_view kTags = "tags";               // a list of tags
inline constexpr std::string_view kHair = "hair";               // a hair object
inline constexpr std::string_view kPoints = "points";
inline constexpr std::string_view kPolygons = "polygons";
inline constexpr std::string_view kPhongNormals = "phongNormals";

// A tag's long arrays.
inline constexpr std::string_view kUvw = "uvw";
inline constexpr std::string_view kSegments = "segments";

// A hair object's long arrays.
inline constexpr std::string_view kHairPoints = "points";
inline constexpr std::string_view kRootUV = "rootUV";

} // namespace sim::layout
