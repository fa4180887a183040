// Loading a document: the choice between the fast way through a well-formed document
// (sim_json_heavy.cpp, then the loader over what is left) and the thorough reading, which
// also finds the exact message for a document either refuses.
#include "sim_host.h"
#include "sim_json_file.h"
#include "sim_json_heavy.h"
#include "sim_json_loader.h"
#include "sim_text_position.h"

#include <nlohmann/json.hpp>
#include <simdjson.h>

#include <filesystem>
#include <string_view>

namespace sim {

namespace {

// The JSON library's message without its "[json.exception...]" tag and, for syntax
// errors, without its own "parse error at line L, column C: " (the caller says where).
std::string jsonMessage(std::string_view text)
{
    if (const size_t tag = text.find("] "); !text.empty() && text[0] == '[' && tag != std::string_view::npos)
        text.remove_prefix(tag + 2);
    if (text.rfind("parse error", 0) == 0)
        if (const size_t colon = text.find(": "); colon != std::string_view::npos)
            text.remove_prefix(colon + 2);
    return std::string(text);
}

// Rereads text the fast parser refused with the reference JSON parser: for its message
// (which names the line, column and byte of the fault), or to learn that the text is valid
// after all. The handlers keep nothing, so the walk needs no memory for the values and no
// recursion.
struct Reread : nlohmann::json_sax<nlohmann::json> {
    std::string message;
    size_t byte = 0;     // where the fault is (counted from 1)
    bool syntax = false; // a syntax error, rather than a value out of range
    bool tooDeep = false;
    int depth = 0;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return enter(); }
    bool key(string_t&) override { return true; }
    bool end_object() override { return leave(); }
    bool start_array(std::size_t) override { return enter(); }
    bool end_array() override { return leave(); }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) override
    {
        byte = position;
        message = e.what();
        syntax = dynamic_cast<const nlohmann::json::parse_error*>(&e) != nullptr;
        return false;
    }

private:
    bool enter()
    {
        tooDeep = ++depth > kMaxJsonDepth;
        return !tooDeep;
    }
    bool leave()
    {
        --depth;
        return true;
    }
};

// A message that says where, as FILE:LINE:COLUMN (characters, from 1) of the byte at
// `offset`; LINE:COLUMN for a text without a name.
std::string located(const std::string& name, std::string_view text, size_t offset, const std::string& what)
{
    const TextPosition at = textPosition(text, offset);
    return (name.empty() ? std::string() : name + ":") + std::to_string(at.line) + ":" +
           std::to_string(at.column) + ": " + what;
}

// The offset of the bracket that opens a value more than `limit` levels deep, or npos.
size_t tooDeepAt(std::string_view text, int limit)
{
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return i;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return std::string_view::npos;
}

// The fast way through a well-formed document: its heavy arrays read in one forward pass,
// the rest, with placeholders for them, read as a tree. Null when the document is not
// plainly well formed, or is refused: the thorough reading then finds the message.
std::unique_ptr<Document> parseFast(const char* text, size_t size, const std::string& folder)
{
    HeavyArrays heavy;
    if (!readHeavyArrays(text, size, heavy) || heavy.entries.empty())
        return nullptr;
    try {
        simdjson::dom::parser parser;
        simdjson::dom::element root;
        if (parser.allocate(heavy.reducedSize, kMaxJsonDepth) ||
            parser.parse(heavy.reduced.data(), heavy.reducedSize, false).get(root))
            return nullptr;
        auto doc = std::make_unique<Document>();
        readDocumentModel(Json(root), folder, *doc, heavy);
        return doc;
    } catch (...) {
        return nullptr;
    }
}

// Parses text that is followed by at least simdjson::SIMDJSON_PADDING readable bytes.
std::unique_ptr<Document> parsePadded(const char* text, size_t size, const std::string& folder,
                                      std::string& error, const std::string& name, bool fast = true)
{
    error.clear();
    if (fast)
        if (auto doc = parseFast(text, size, folder))
            return doc;
    const std::string prefix = name.empty() ? std::string() : name + ": ";
    try {
        simdjson::dom::parser parser;
        // The depth bound keeps a hostile file from making the loader recurse without limit.
        if (auto code = parser.allocate(size, kMaxJsonDepth)) {
            error = prefix + "cannot read the document: " + simdjson::error_message(code);
            return nullptr;
        }
        simdjson::dom::element root;
        auto code = parser.parse(text, size, false).get(root);
        if (code && code != simdjson::DEPTH_ERROR) {
            Reread reread;
            nlohmann::json::sax_parse(text, text + size, &reread);
            if (reread.tooDeep) {
                code = simdjson::DEPTH_ERROR;
            } else if (!reread.message.empty() && reread.syntax) {
                error = located(name, std::string_view(text, size), reread.byte > 0 ? reread.byte - 1 : 0,
                                jsonMessage(reread.message));
                return nullptr;
            } else if (!reread.message.empty()) {
                error = prefix + "not valid JSON: " + jsonMessage(reread.message);
                return nullptr;
            } else {
                // Valid JSON the fast parser does not take, such as integers past 64 bits
                // (read as floating point): rewrite it in the reference parser's spelling.
                code = parser.parse(nlohmann::json::parse(text, text + size).dump()).get(root);
            }
        }
        if (code == simdjson::DEPTH_ERROR) {
            // Said where: at the bracket that opens one level too many.
            const std::string_view all(text, size);
            const std::string what = "JSON nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
            const size_t offset = tooDeepAt(all, kMaxJsonDepth);
            if (offset == std::string_view::npos) {
                error = prefix + what;
            } else {
                error = located(name, all, offset, what);
            }
            return nullptr;
        }
        if (code) {
            error = prefix + "not valid JSON: " + simdjson::error_message(code);
            return nullptr;
        }
        auto doc = std::make_unique<Document>();
        HeavyArrays none;
        readDocumentModel(Json(root), folder, *doc, none);
        return doc;
    } catch (const LoadError& e) {
        error = prefix + e.message;
    } catch (const std::exception& e) {
        error = prefix + "cannot read the document: " + e.what();
    }
    return nullptr;
}

} // namespace

std::unique_ptr<Document> parseDocument(const std::string& jsonText, const std::string& folder,
                                        std::string& error, const std::string& name)
{
    const simdjson::padded_string padded(jsonText);
    return parsePadded(padded.data(), padded.size(), folder, error, name);
}

std::unique_ptr<Document> parseDocumentThoroughly(const std::string& jsonText, const std::string& folder,
                                                  std::string& error)
{
    const simdjson::padded_string padded(jsonText);
    return parsePadded(padded.data(), padded.size(), folder, error, "", false);
}

std::unique_ptr<Document> loadDocument(const std::string& path, std::string& error)
{
    error.clear();
    namespace fs = std::filesystem;
    const bool standardInput = path == "-";
    std::string text;
    if (!readDocumentText(path, text, error))
        return nullptr;
    // A document read from standard input stands in the working folder.
    std::error_code ec;
    fs::path folder = standardInput ? fs::current_path(ec)
                                    : fs::absolute(path, ec).lexically_normal().parent_path();
    if (ec)
        folder = standardInput ? fs::path() : fs::path(path).parent_path();
    // The parser reads up to a fixed padding past the text's end; zeros fill it without a copy.
    const size_t size = text.size();
    text.resize(size + simdjson::SIMDJSON_PADDING, '\0');
    return parsePadded(text.data(), size, folder.generic_string(), error, standardInput ? "<stdin>" : path);
}

} // namespace sim
