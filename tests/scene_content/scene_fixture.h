// A small builder for simulated documents and an exporter that runs the translation driver
// into a real scene file and reads it back with the scene reader, so tests assert on what
// was written.
#pragma once

#include "SceneReader.h"
#include "sim_document.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace scenetest {

struct KeyValue {
    double seconds;
    double value;
};

class DocBuilder {
public:
    DocBuilder();

    sim::Document& doc() { return *doc_; }

    // An object of the host type under parent (top level when null).
    sim::Object& object(int32_t type, const std::string& name, sim::Object* parent = nullptr);
    // A track on parameter 903/904/905, component 1000/1001/1002, with keys in time order.
    sim::Track& track(sim::Object& o, int32_t parameter, int32_t component,
                      const std::vector<KeyValue>& keys, const std::string& name = "track");
    sim::Tag& tag(sim::Object& o, int32_t type, const std::string& name = "");
    sim::Material& material(int32_t type, const std::string& name);

private:
    std::unique_ptr<sim::Document> doc_;
};

// The scene file written by one Export of a document, and its parsed statements.
struct Scene {
    std::string text;
    orv::qrf::Document parsed;
    const orv::qrf::Block& top() const { return parsed.top; }
};

// Finalises the document, binds the simulated host and runs the translation driver into a
// scene file through the file factory; fails the test when the file does not parse.
Scene exportScene(sim::Document& doc);

// The numbers of a statement's value: binary runs, text lists and bare words alike.
std::vector<double> numbers(const orv::qrf::Value& value);
// The numbers of the first value of a statement; empty when the statement is null.
std::vector<double> numbers(const orv::qrf::Statement* statement);
// The inline shader block of a statement such as `surface "orv_point_light" {...}`.
const orv::qrf::Block* shaderBlock(const orv::qrf::Statement* statement);
// The animation blocks in a block, in order, searched through nested blocks.
std::vector<const orv::qrf::Statement*> animations(const orv::qrf::Block& block);
// The animation's name (its second quoted argument).
std::string animationName(const orv::qrf::Statement& animation);

} // namespace scenetest
