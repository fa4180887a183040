#include "document_file.h"

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
        Summary summary;
        out.document = importModel(path, options, summary, out.error);
        out.summary = summary.lines();
        out.notes = summary.notes();
    } catch (const std::exception& e) {
        out.document.reset();
        out.error = "cannot load \"" + path + "\": " + e.what();
    }
    return out;
}

} // namespace modelimport
