// Loads a simulated host document from a file of either kind: a JSON document (a name
// ending in ".json", or "-") or any 3D model file that assimp reads.
#pragma once

#include "model_import.h"

namespace modelimport {

struct LoadedDocument {
    std::unique_ptr<sim::Document> document; // null on failure
    std::string error;                       // one line naming the file and what is wrong
    std::vector<std::string> summary;        // what a model import left out
    std::vector<ImportNote> notes;           // the same with the report's reasons
};

bool isJsonDocument(const std::string& path);
LoadedDocument loadDocumentFile(const std::string& path, const LoadOptions& options);

} // namespace modelimport
