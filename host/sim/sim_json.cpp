// The JSON document loader (format in docs/document-format.md).
#include "sim_host.h"
#include "sim_internal.h"

namespace sim {

std::unique_ptr<Document> parseDocument(const std::string& /*jsonText*/, const std::string& /*folder*/,
                                        std::string& error)
{
    error = "the JSON loader is not available yet";
    return nullptr;
}

std::unique_ptr<Document> loadDocument(const std::string& path, std::string& error)
{
    return parseDocument(std::string(), path, error);
}

} // namespace sim
