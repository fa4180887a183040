// The document loader proper: reads the model from a parsed JSON document (format in
// docs/document-format.md), checking every value and naming the JSON path of a value it
// rejects. Internal to the simulated host.
#pragma once

#include "sim_document.h"
#include "sim_json_heavy.h"
#include "sim_json_value.h"

#include <string>

namespace sim {

// A rejected document: the message names the JSON path of the offending value.
struct LoadError {
    std::string message;
};

// Reads the document whose root is `root` into `doc`; `heavy` holds the arrays the fast
// pass read ahead (empty when there was none). Throws LoadError.
void readDocumentModel(Json root, const std::string& folder, Document& doc, HeavyArrays& heavy);

} // namespace sim
