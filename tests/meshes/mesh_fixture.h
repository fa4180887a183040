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
#include <vector>

namespace meshtest {

using Statement = orv::qrf::Statement;
using Block = orv::qrf::Block;
using V = std::vector<double>;
using Lines = std::vector<std::string>;

// A rows x cols grid of unit quads in the z = 0 plane, points numbered row by row.
void grid(sim::Object& o, int rows, int cols);

class MeshTest : public ::testing::Test {
protected:
    MeshTest() { doc->docName = "meshes.c4d"; }

    // A polygon object (type 5140, a null, when it has no points).
    sim::Object& polygon(const std::string& name, std::vector<sim::Vec3> points = {},
                         std::vector<c4d_cpolygon> polygons = {}, sim::Object* parent = nullptr);
    sim::Object& triangle(const std::string& name) { return polygon(name, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2, 2}}); }
    sim::Tag& tag(sim::Object& o, int32_t type, const std::string& name = "");
    // A UVW tag whose polygon p has the corners (p + i/10, p + i/100, 7) for corner i.
    sim::Tag& uvw(sim::Object& o, size_t polygons);
    sim::Tag& texture(sim::Object& o, sim::Material* m, const std::string& restriction = "");
    sim::Tag& selection(sim::Object& o, const std::string& name, std::vector<std::pair<int32_t, int32_t>> segments);
    // A standard material with only the colour channel on.
    sim::Material& material(const std::string& name, sim::Vec3 colour = {1, 0, 0});
    sim::Shader& shader(sim::Material& m, int32_t type, sim::Value value);
    sim::Layer& layer(sim::Object& o);

    // Runs one export of the document; the scene's object blocks, in order.
    std::vector<const Statement*> exportObjects(const c4d_host_table* table = nullptr);
    // The material names of one export, in object order.
    Lines exportMaterials();

    std::unique_ptr<sim::Document> doc = std::make_unique<sim::Document>();
    TranslationContext context;
    orv::qrf::Document scene;
};

// A statement's numbers: binary runs and words alike.
V numbers(const Statement* s);
// An attribute of an object's geometry block (null when absent), and its numbers.
const Statement* geometry(const Statement* object, const std::string& attribute);
V geometryNumbers(const Statement* object, const std::string& attribute);
std::string materialName(const Statement* object);
// The surface shader of an object's material ("kind" in front), and the texture shader
// that feeds its diffuse input; null when absent.
const orv::qrf::Value* surface(const Statement* object);
const orv::qrf::Value* textureShader(const Statement* object);
// A shader's attributes as written: "name value..." per line, texts quoted, shaders "!kind".
Lines lines(const orv::qrf::Value* shader);

} // namespace meshtest
