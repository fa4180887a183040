// Reads a scene file (or a live scene stream) back into a tree of statements. It accepts
// the whole grammar the text writer produces: header comments, print/error/progress
// records, blocks with quoted or hex-encoded names, attributes in both syntaxes, text
// lists and binary runs, inline shaders and shader references, definitions, transforms.
// It never reads past its input; the first malformed spot is reported with its offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orv::qrf {

struct Block;

// One value of a statement.
struct Value {
    enum class Kind {
        Word,      // bare word or number: on, off, 1, -0.5, 0.1000000000000000
        String,    // quoted "..." or hex xX... name, decoded to its bytes
        Hex,       // bX... blob, decoded to its bytes (in text)
        List,      // text list [ a b c, d e f ] : items hold the scalars in order
        Binary,    // binary run [ tag count data ]
        Shader,    // inline shader: text = kind, block = its attributes
        ShaderRef, // "!" followed by a shader (inline: block set) or a shader number (text)
    };
    Kind kind = Kind::Word;
    std::string text;                // Word / String / Hex / Shader kind / ShaderRef number
    std::vector<std::string> items;  // List: every scalar or string in order
    std::vector<Kind> itemKinds;     // List: Word, String or Shader for each item
    size_t listElements = 0;         // List: element count (separated by ",")
    char binaryKind = 0;             // Binary: 'c', 'f', 'r', 'i'
    std::vector<float> floats;       // Binary 'c' and 'f'
    std::vector<double> doubles;     // Binary 'r'
    std::vector<int32_t> ints;       // Binary 'i'
    std::shared_ptr<Block> block;    // Shader and inline ShaderRef (text then holds the kind)
    std::vector<Value> shaders;      // List: inline shader elements, in order (kinds also in items)

    double number() const;           // Word parsed as a number (0 when not numeric)
    size_t binaryCount() const;      // scalars in a binary run
};

// One statement: a record, an attribute, a block header with its block.
struct Statement {
    size_t offset = 0;        // byte offset of its first character
    size_t end = 0;           // byte offset just past it (its line break included)
    size_t blockOffset = 0;   // byte offset of the '{' that opens its block (block set)
    bool define = false;      // written after "#define "
    bool modify = false;      // written after "#modify "
    bool quotedKey = false;   // key was quoted ("name" value, syntax)
    // group, object, version, "#print", "#error", progress, render, flags, id, transform,
    // "set transform", material, surface, "reflection map", attribute (file attribute),
    // load, options, camera, geometry, animation, shader, or an attribute's name.
    // A "//" comment line after the first record is a statement of its own: keyword "//"
    // and one String argument holding the whole line (with the "//", without the break).
    // "#print" and "#error" carry their text as one String argument.
    std::string keyword;
    std::vector<Value> args;  // names and values after the keyword
    std::shared_ptr<Block> block; // set when the statement opens a { } block

    // Convenience for tests.
    const std::string& name() const;          // first String argument, "" when none
    const Statement* find(std::string_view keyword, std::string_view name = {}) const;
};

struct Block {
    std::vector<Statement> statements;

    // The first statement with this keyword (and first String argument, when given),
    // searched in this block only; null when absent.
    const Statement* find(std::string_view keyword, std::string_view name = {}) const;
    // Every statement with this keyword, in order, searched in this block only.
    std::vector<const Statement*> all(std::string_view keyword) const;
    // Depth-first search through nested blocks (including inline shader blocks).
    const Statement* findDeep(std::string_view keyword, std::string_view name = {}) const;
    std::vector<const Statement*> allDeep(std::string_view keyword) const;
};

struct Document {
    // The "//..." lines before the first record (the file header), in order, without the
    // line break. Comment lines further on are statements (see Statement::keyword).
    std::vector<std::string> comments;
    Block top;                          // every record after the comments
};

struct ParseError {
    size_t offset = 0;
    std::string message;
    bool truncated = false; // the input ended where more was expected (a live stream may
                            // simply not have delivered the rest yet)
};

// Blocks, inline shaders and lists nest at most this deep; deeper input is refused.
inline constexpr size_t kMaxNesting = 256;

// Parses a whole scene text. Returns false and fills error at the first malformed spot.
bool parse(std::string_view data, Document& out, ParseError& error);
// Checks a whole scene text as parse does, with the same error at the same offset, but
// keeps nothing: binary runs are stepped over, so a mesh-heavy text is checked in a
// fraction of the time its parse takes.
bool check(std::string_view data, ParseError& error);
// Reads a file (or standard input for "-") and parses it. An unreadable file gives offset 0
// and a message naming the path and the system's reason.
bool parseFile(const std::string& path, Document& out, ParseError& error);
// Reads a whole file (or standard input for "-") into data; false with a message on failure.
bool readInput(const std::string& path, std::string& data, std::string& error);

} // namespace orv::qrf
