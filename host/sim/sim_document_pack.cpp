#include "sim_document_pack.h"

#include "sim_internal.h"
#include "sim_json_heavy.h"
#include "sim_json_loader.h"

#include <simdjson.h>

#include <exception>

namespace sim {

PackedDocument packDocument(const Document& doc)
{
    PackedDocument packed;
    packed.text = packedDocumentJson(doc, packed.arrays);
    return packed;
}

std::unique_ptr<Document> unpackDocument(const std::string& text, std::vector<LongArray> arrays,
                                         const std::string& folder, std::string& error, const std::string& name)
{
    error.clear();
    const std::string prefix = name.empty() ? std::string() : name + ": ";
    try {
        HeavyArrays heavy;
        heavy.entries = std::move(arrays);
        simdjson::dom::parser parser;
        simdjson::dom::element root;
        if (auto code = parser.allocate(text.size(), kMaxJsonDepth)) {
            error = prefix + "cannot read the document: " + simdjson::error_message(code);
            return nullptr;
        }
        if (auto code = parser.parse(text).get(root)) {
            error = prefix + "not valid JSON: " + simdjson::error_message(code);
            return nullptr;
        }
        auto doc = std::make_unique<Document>();
        readDocumentModel(Json(root), folder, *doc, heavy);
        return doc;
    } catch (const LoadError& e) {
        error = prefix + e.message;
    } catch (const std::exception& e) {
        error = prefix + "cannot read the document: " + e.what();
    }
    return nullptr;
}

} // namespace sim
