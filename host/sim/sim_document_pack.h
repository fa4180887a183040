// A document packed for handing it to another process of the same program: its JSON text
// (sim_json_write.h) in which every long number array (points, polygons, phong normals,
// UVW and selection records, hair points and root UVs) stands as a placeholder, and those
// arrays as they lie in memory. Unpacking reads the small text with the document loader and
// takes the arrays as they are, without reading a number from text, so a large mesh costs
// no more than moving its bytes. An array holding a number that is not finite stays in the
// text, where the loader refuses it as it refuses it in a document file: the unpacked
// document is always the one that loading documentJson(doc) gives.
#pragma once

#include "sim_document.h"
#include "sim_long_arrays.h"

#include <memory>
#include <string>
#include <vector>

namespace sim {

struct PackedDocument {
    std::string text;                // the JSON text, placeholder n standing for arrays[n]
    std::vector<PackedArray> arrays; // views into the document packed
};

// Packs a document; the views stay valid while the document lives unchanged.
PackedDocument packDocument(const Document& doc);

// Builds the document from a packed text and its arrays (placeholder n takes arrays[n]).
// `folder` and `name` as for parseDocument. On failure returns null and sets error to the
// loader's message.
std::unique_ptr<Document> unpackDocument(const std::string& text, std::vector<LongArray> arrays,
                                         const std::string& folder, std::string& error,
                                         const std::string& name = {});

} // namespace sim
