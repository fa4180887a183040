// The document loader's fast pass over the bulk of a document: the long number arrays of
// meshes, UVW and selection tags and hair. It reads them in one forward walk straight into
// the model's vectors and leaves the loader a small text in which each of them stands as
// a placeholder. Internal to the simulated host.
#pragma once

#include "sim_document.h"
#include "sim_long_arrays.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// The deepest nesting of JSON values that either reading takes: a hostile file cannot make
// the loader recurse without limit.
constexpr int kMaxJsonDepth = 1024;
// The deepest nesting of objects (children and caches) that either reading follows. Both
// walks stop here, well inside kMaxJsonDepth, so neither recurses past it.
constexpr int kMaxObjectDepth = 256;

// The arrays read by the fast pass, with the text the loader reads instead of the document.
// A packed document (sim_document_pack.h) hands the loader its arrays in the same form
// (sim_long_arrays.h).
struct HeavyArrays {
    using Kind = PackedKind;
    using Entry = LongArray;

    std::vector<Entry> entries;
    // The document with every array read here replaced by a placeholder string, followed by
    // the parser's padding; empty when nothing was replaced.
    std::string reduced;
    size_t reducedSize = 0;

    // The entry a placeholder string stands for, or nullptr when the text is no placeholder
    // of this kind.
    Entry* take(std::string_view text, Kind kind);
    // The text of the placeholder for entry `index` (a string value, before JSON escaping).
    static std::string placeholder(size_t index);
};

// Walks a document (followed by simdjson::SIMDJSON_PADDING readable bytes) and reads its
// heavy arrays. Returns false when the document holds anything the fast pass does not take
// as given (a syntax error, a value of the wrong type or range, an odd number such as -0,
// an unexpected structure): the caller then reads the whole document the thorough way,
// which also finds the exact message.
bool readHeavyArrays(const char* text, size_t size, HeavyArrays& out);

// Reads a document the thorough way only, without the fast pass: for checks that both ways
// give the same model.
std::unique_ptr<Document> parseDocumentThoroughly(const std::string& jsonText, const std::string& folder,
                                                  std::string& error);

// Whether two documents hold bit for bit the same arrays of the kinds the fast pass reads,
// in the same objects, tags and hair (children and caches included).
bool sameHeavyArrays(const Document& a, const Document& b);

} // namespace sim
