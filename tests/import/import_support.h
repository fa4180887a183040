// Shared by the model import tests and the corpus driver: exports a document in-process
// through the file factory, and reads a model the way assimp triangulates it.
#pragma once

#include "sim_document.h"

#include <cstdint>
#include <string>

namespace importtest {

// The scene text Export writes for a document; empty with a message on failure.
std::string exportText(sim::Document& doc, std::string& error);

// Triangles of the meshes that the node tree places (a mesh placed twice counts twice;
// points and lines do not count): with `triangulate`, those of assimp's own triangulated
// reading, else n - 2 for each polygon of n corners as read. False when assimp cannot read
// the file.
bool assimpTriangles(const std::string& path, bool triangulate, uint64_t& triangles, std::string& error);

// Light objects in a document (each is written as an eight-triangle octahedron).
uint64_t lightCount(const sim::Document& doc);

} // namespace importtest
