// Reading a document file into memory. Internal to the simulated host.
#pragma once

#include <string>

namespace sim {

// Reads a whole document file, or standard input for "-", refusing files past 2 GiB. On
// failure sets error to the system's reason ("cannot open document \"PATH\": ...").
bool readDocumentText(const std::string& path, std::string& text, std::string& error);

} // namespace sim
