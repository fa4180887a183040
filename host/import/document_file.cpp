#include "document_file.h"

#include "contained_import.h"
#include "import_parts.h"
#include "sim_host.h"

#include <exception>
#include <filesystem>

namespace modelimport {

bool isJsonDocument(const std::string& path)
{
    if (path == "-")
        return true;
    return lowerCase(std::filesystem::path(path).extension().string()) == ".json";
}

LoadedDocument loadDocumentFile(const std::string& path, const LoadOptions& options)
{
    LoadedDocument out;
    try {
        if (isJsonDocument(path)) {
            out.document = sim::loadDocument(path, out.error);
            return out;
        }
        ContainedImport imported = importModelContained(path, options);
        out.document = std::move(imported.document);
        out.error = std::move(imported.error);
        out.summary = std::move(imported.summary);
        out.notes = std::move(imported.notes);
    } catch (const std::exception& e) {
        out.document.reset();
        out.error = "cannot load \"" + path + "\": " + e.what();
    }
    return out;
}

} // namespace modelimport
