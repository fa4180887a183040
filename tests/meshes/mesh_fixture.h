// A fluent builder for simulated documents holding polygon objects, and an exporter that
// runs the translation driver into a scene text and reads it back, so the tests assert on
// what was written. One fixture keeps one TranslationContext across its exports, as the
// plug-in keeps one for its whole life.
#pragma once

#include "SceneReader.h"
#include "TranslationContext.h"
#include "sim_document.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace meshtest {

using Statement = orv::qrf::Statement;
using Block = orv::qrf::Block;

struct Poly {
    int32_t a, b, c, d;
};

// A rows x cols grid of unit quads in the z = 0 plane, points numbered row by row.
void grid(sim::Object& o, int rows, int cols);

class MeshTest : public ::testing::Test {
protected:
    MeshTest();

    // A polygon object (top level when parent is null) with the given points and polygons.
    sim::Object& polygon(const std::string& name, std::vector<sim::Vec3> points,
                         std::vector<Poly> polygons, sim::Object* parent = nullptr);
    sim::Object& null(const std::string& name);
    sim::Tag& tag(sim::Object& o, int32_t type, const std::string& name = "");
    // A UVW tag whose polygon p has the corners (p + i/10, p + i/100, 7) for corner i.
    sim::Tag& uvw(sim::Object& o, size_t polygons);
    sim::Tag& texture(sim::Object& o, sim::Material* m, const std::string& restriction = "");
    sim::Tag& selection(sim::Object& o, const std::string& name,
                        std::vector<std::pair<int32_t, int32_t>> segments);
    // A standard material with only the colour channel on.
    sim::Material& material(const std::string& name, sim::Vec3 colour = {1, 0, 0});
    sim::Shader& shader(sim::Material& m, int32_t type);
    sim::Layer& layer(sim::Object& o);

    // Runs one export of the document; the scene's object blocks, in order.
    std::vector<const Statement*> exportObjects();

    std::unique_ptr<sim::Document> doc = std::make_unique<sim::Document>();
    TranslationContext context;
    orv::qrf::Document scene;
};

// A statement's numbers: binary runs, lists and words alike.
std::vector<double> numbers(const Statement* s);
// An attribute of an object's geometry block, or null.
const Statement* geometry(const Statement* object, const std::string& attribute);
std::vector<double> geometryNumbers(const Statement* object, const std::string& attribute);
std::string materialName(const Statement* object);
// The surface shader of an object's material: its kind and its attribute block.
std::string surfaceKind(const Statement* object);
const Block* surface(const Statement* object);
// The texture shader that feeds the surface's diffuse input, or null.
const Block* textureShader(const Statement* object);

} // namespace meshtest
