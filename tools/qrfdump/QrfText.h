// What qrfdump shows of a parsed scene file: a readable listing (binary runs decoded to
// numbers) and the counts of what the scene holds.
#pragma once

#include "SceneReader.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace orv::qrf {

struct SceneStats {
    uint64_t groups = 0;     // group blocks
    uint64_t objects = 0;    // object blocks
    uint64_t triangles = 0;  // "triangles" indices / 3 in "triangles" geometry
    uint64_t vertices = 0;   // elements of "vertices" lists in any geometry
    uint64_t materials = 0;  // material blocks (references by name not counted)
    uint64_t shaders = 0;    // inline shader values plus defined shaders
    uint64_t cameras = 0;    // camera blocks, "#modify" ones not counted
    uint64_t lights = 0;     // objects whose material's surface shader is a light shader
    uint64_t animations = 0; // animation blocks
    uint64_t curves = 0;     // "nvertices" entries in orv_bezier_curves geometry
    uint64_t bytes = 0;      // size of the input
};

SceneStats computeStats(const Document& document, uint64_t bytes);

// "key: value" lines in a fixed order.
std::string formatStats(const SceneStats& stats);

// Writes the listing in pieces through write; a piece is at most about 64 KiB.
void dumpDocument(const Document& document, const std::function<void(std::string_view)>& write);
std::string dumpToString(const Document& document);

// A name for people: printable ASCII and valid UTF-8 as they are, '"' and '\' escaped,
// anything else as \xNN; in double quotes.
std::string readableName(std::string_view bytes);

} // namespace orv::qrf
