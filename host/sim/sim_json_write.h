// Writes an in-memory document in the JSON document format (docs/document-format.md), so
// that loading the text again gives the same document. Parameters are written by number.
#pragma once

#include "sim_document.h"

#include <string>

namespace sim {

std::string documentJson(const Document& doc);
// Writes documentJson to a file; false with a message naming the file and the reason.
bool saveDocument(const Document& doc, const std::string& path, std::string& error);

} // namespace sim
