// The scene of the live-picture figures: 1,000 objects of 1,000 triangles each (bumpy tiles
// on a 40 x 25 grid, each with a material of its own), a sun and a camera above them, written
// as the plug-in writes a document (binary runs for the meshes). And the edits a live
// session makes of it, applied to the parsed scene as a renderer's merge applies an update
// stream: the statements of what was not sent stay shared with the scene before.
#pragma once

#include "SceneReader.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

constexpr int kColumns = 40, kRows = 25, kTileQuads = 20, kTileRows = 25; // 1,000 triangles a tile

template <class T>
void binaryRun(std::string& scene, const char* name, char letter, const std::vector<T>& values)
{
    scene += '"';
    scene += name;
    scene += "\" [ ";
    scene.append("\x01\x02\x03", 3);
    scene += letter;
    const uint32_t count = uint32_t(values.size());
    scene.append(reinterpret_cast<const char*>(&count), 4);
    scene.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
    scene += "] ,\n";
}

inline std::string tileMesh(float lift)
{
    std::vector<float> vertices;
    for (int j = 0; j <= kTileRows; ++j)
        for (int i = 0; i <= kTileQuads; ++i) {
            const float x = float(i) / kTileQuads * 8 - 4, z = float(j) / kTileRows * 8 - 4;
            vertices.insert(vertices.end(), {x, lift + std::sin(x * 0.9f) * std::cos(z * 0.7f), z});
        }
    std::vector<int32_t> triangles;
    for (int j = 0; j < kTileRows; ++j)
        for (int i = 0; i < kTileQuads; ++i) {
            const int32_t a = j * (kTileQuads + 1) + i, b = a + 1, c = a + kTileQuads + 1, d = c + 1;
            triangles.insert(triangles.end(), {a, c, b, b, c, d});
        }
    std::string text = "geometry \"triangles\" {\n";
    binaryRun(text, "vertices", 'c', vertices);
    binaryRun(text, "triangles", 'i', triangles);
    return text + "}\n";
}

inline std::string tileName(int index)
{
    return "Tile_" + std::to_string(index);
}

inline std::string placement(int index, double dy = 0)
{
    const double x = (index % kColumns) * 10.0 - kColumns * 5.0, z = (index / kColumns) * 10.0 - kRows * 5.0;
    return "transform 1 0 0 0 0 1 0 0 0 0 1 0 " + std::to_string(x) + " " + std::to_string(dy) + " " +
           std::to_string(z) + " 1\n";
}

inline std::string material(int index, double red)
{
    return "material \"M" + std::to_string(index) + "\" {\nsurface \"orv_diffuse\" {\n\"diffuse\" " + std::to_string(red) +
           " " + std::to_string(0.3 + 0.5 * (index % 7) / 7.0) + " 0.3,\n}\n}\n";
}

inline std::string cameraText(double height)
{
    return "camera \"Camera\" {\n  projection \"perspective\"\n  fov 60\n  position 0 0 0\n  direction 0 0 1\n"
           "  up 0 1 0\n  transform 1 0 0 0 0 0.894427 -0.447214 0 0 -0.447214 -0.894427 0 0 " +
           std::to_string(height) + " 260 1\n}\n";
}

inline std::string manyObjectsScene()
{
    std::string scene = "version 9\n\n" + cameraText(130) +
                        "group \"tiles\" {\ntransform 1 0 0 0 0 1 0 0 0 0 -1 0 0 0 0 1\n"
                        "group \"Sun\" {\ntransform 1 0 0 0 0 1 0 0 0 0 1 0 100 300 -50 1\n"
                        "object \"Sun\" {\ngeometry \"triangles\" {\n"
                        "\"vertices\" [ 0 -1 0,1 0 0,0 0 1,-1 0 0,0 0 -1,0 1 0 ] ,\n"
                        "\"triangles\" [ 2,1,0,1,2,5,3,2,0,2,3,5,4,3,0,3,4,5,1,4,0,4,1,5 ] ,\n}\n"
                        "material \"Sun\" {\nsurface \"orv_point_light\" {\n\"power\" 100,\n\"color\" 1 1 1,\n}\n}\n}\n}\n";
    const std::string mesh = tileMesh(0);
    for (int i = 0; i < kColumns * kRows; ++i)
        scene += "group \"" + tileName(i) + "\" {\n" + placement(i) + "object \"" + tileName(i) + "\" {\n" + mesh +
                 material(i, 0.6) + "}\n}\n";
    return scene + "}\n";
}

inline orv::qrf::Document parsedScene(const std::string& text)
{
    orv::qrf::Document doc;
    orv::qrf::ParseError error;
    if (!orv::qrf::parse(text, doc, error))
        throw std::runtime_error("the scene does not parse: " + error.message);
    return doc;
}

// One statement parsed from text (for the parts an edit sends again).
inline orv::qrf::Statement statementOf(const std::string& text)
{
    orv::qrf::Document doc = parsedScene(text);
    if (doc.top.statements.empty())
        throw std::runtime_error("no statement in: " + text.substr(0, 40));
    return doc.top.statements.front();
}

// A copy of `s` whose block is a copy of its own (the statements in it still shared) in
// which the statement `keyword` (and name) is replaced by `replacement`.
inline orv::qrf::Statement replacing(const orv::qrf::Statement& s, std::string_view keyword, std::string_view name,
                                     const orv::qrf::Statement& replacement)
{
    orv::qrf::Statement copy = s;
    copy.block = std::make_shared<orv::qrf::Block>(*s.block);
    for (orv::qrf::Statement& child : copy.block->statements)
        if (child.keyword == keyword && (name.empty() || child.name() == name)) {
            child = replacement;
            return copy;
        }
    throw std::runtime_error("no " + std::string(keyword) + " to replace");
}

// The held scene after an edit of one tile: its group passed through `edit`.
template <class Edit>
std::vector<orv::qrf::Statement> editTile(const std::vector<orv::qrf::Statement>& held, int index, Edit edit)
{
    std::vector<orv::qrf::Statement> next = held;
    for (orv::qrf::Statement& top : next)
        if (top.keyword == "group") {
            const orv::qrf::Statement* tile = top.block->find("group", tileName(index));
            top = replacing(top, "group", tileName(index), edit(*tile));
        }
    return next;
}

} // namespace bench
