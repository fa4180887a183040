// Exports simulated documents (the bundled examples or inline JSON) through the file
// factory and reads the scene file back with the scene reader, so tests assert on what was
// written.
#pragma once

#include "SceneReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace scenetest {

using orv::qrf::Block;
using orv::qrf::Statement;

struct Scene {
    orv::qrf::Document parsed;
    const Block& top() const { return parsed.top; }
};

// A document of examples/ or a JSON text, exported; a load or parse failure fails the test.
Scene exportExample(const std::string& file);
Scene exportJson(const std::string& json);

// The numbers of every value of a statement (binary runs, text lists, words); empty for null.
std::vector<double> numbers(const Statement* statement);
// The block of a statement's inline shader, e.g. `surface "orv_point_light" {...}`.
const Block* shaderBlock(const Statement* statement);
// The surface shader statement of an object's material.
const Statement* surfaceOf(const Scene& scene, const std::string& object);

// One animation block as written.
struct Animation {
    std::string name, folder;
    double start = -1;
    std::vector<double> stamps, matrices; // 16 per sample
    double at(size_t sample, size_t index) const { return matrices.at(sample * 16 + index); }
};
// The animation blocks directly inside a camera or group statement, in order.
std::vector<Animation> animationsIn(const Statement* holder);
std::vector<std::string> namesOf(const std::vector<Animation>& list);

} // namespace scenetest
