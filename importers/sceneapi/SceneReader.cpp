// Scene file reader: a recursive-descent parser over one contiguous buffer. Every read is
// bounds-checked against the end of the buffer, nesting is capped at kMaxNesting, and a
// binary run's count is checked against the bytes that are left before anything is
// allocated for it, so arbitrary bytes give an error, never a crash or a huge allocation.
#include "SceneReader.h"

#include "files/regular_file.h"

#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace orv::qrf {

static_assert(std::endian::native == std::endian::little,
              "binary runs are copied as they are: the reader assumes a little-endian host");

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool isSpace(char c) { return isBlank(c) || c == '\n'; }
// Bytes that end a bare word. Control bytes never belong to one.
bool isDelimiter(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f || c == ' ' || c == ',' || c == '{' || c == '}' || c == '[' ||
           c == ']' || c == '"';
}
int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string describeByte(char c) {
    const auto u = static_cast<unsigned char>(c);
    char text[32];
    if (u >= 0x20 && u < 0x7f)
        std::snprintf(text, sizeof text, "'%c'", c);
    else
        std::snprintf(text, sizeof text, "byte 0x%02x", u);
    return text;
}

class Parser {
public:
    // build false: the input is checked exactly as for a parse (same errors at the same
    // offsets) but nothing is kept, and binary runs are skipped without being copied.
    Parser(std::string_view data, bool build) : data_(data), build_(build) {}

    bool run(Document& out, ParseError& error) {
        error_ = &error;
        error = ParseError{};
        out = Document{};
        return parseBlock(out.top, 0, &out.comments);
    }

private:
    std::string_view data_;
    bool build_ = true;
    size_t pos_ = 0;
    ParseError* error_ = nullptr;

    bool atEnd() const { return pos_ >= data_.size(); }
    char peek(size_t ahead = 0) const {
        return pos_ + ahead < data_.size() ? data_[pos_ + ahead] : '\0';
    }
    bool startsWith(std::string_view text) const { return data_.substr(pos_).starts_with(text); }
    void skipBlanks() {
        while (!atEnd() && isBlank(data_[pos_])) ++pos_;
    }
    void skipSpace() {
        while (!atEnd() && isSpace(data_[pos_])) ++pos_;
    }

    bool fail(size_t offset, std::string message, bool truncated = false) {
        error_->offset = offset;
        error_->message = std::move(message);
        error_->truncated = truncated;
        return false;
    }
    bool failEnd(std::string message) { return fail(data_.size(), std::move(message), true); }
    bool checkDepth(size_t depth) {
        if (depth > kMaxNesting)
            return fail(pos_, "nesting deeper than " + std::to_string(kMaxNesting) + " levels");
        return true;
    }

    // Statements until the closing brace (consumed) or, at depth 0, the end of the input.
    // comments, when given, receives the comment lines that come before the first record.
    bool parseBlock(Block& block, size_t depth, std::vector<std::string>* comments = nullptr) {
        const size_t opened = pos_;
        bool anyStatement = false; // kept or not, so comments are told apart the same way
        for (;;) {
            skipSpace();
            if (atEnd()) {
                if (depth == 0) return true;
                return failEnd("input ends inside the block opened at offset " +
                               std::to_string(opened - 1));
            }
            if (peek() == '}') {
                if (depth == 0) return fail(pos_, "'}' without an open block");
                ++pos_;
                return true;
            }
            if (comments && !anyStatement && startsWith("//")) {
                const std::string_view line = readLine();
                if (build_) comments->emplace_back(line);
                continue;
            }
            Statement statement;
            if (!parseStatement(statement, depth)) return false;
            anyStatement = true;
            if (build_) block.statements.push_back(std::move(statement));
        }
    }

    // The rest of the current line, without its break; the break is consumed.
    std::string_view readLine() {
        const size_t start = pos_;
        const size_t newline = data_.find('\n', pos_);
        const size_t stop = newline == std::string_view::npos ? data_.size() : newline;
        pos_ = newline == std::string_view::npos ? data_.size() : newline + 1;
        return data_.substr(start, stop - start);
    }

    std::string_view readWord() {
        const size_t start = pos_;
        while (!atEnd() && !isDelimiter(data_[pos_])) ++pos_;
        return data_.substr(start, pos_ - start);
    }

    // A bare word that follows on the same line, without consuming it.
    std::string_view peekWord() const {
        size_t at = pos_;
        while (at < data_.size() && isBlank(data_[at])) ++at;
        size_t stop = at;
        while (stop < data_.size() && !isDelimiter(data_[stop])) ++stop;
        return data_.substr(at, stop - at);
    }

    bool atHexName() const {
        return peek() == 'x' && peek(1) == 'X' && hexDigit(peek(2)) >= 0;
    }

    // "..." (no escapes, never spanning a line) or xX followed by hex pairs.
    bool parseName(std::string& out) {
        const size_t start = pos_;
        if (peek() == '"') {
            ++pos_;
            while (!atEnd() && data_[pos_] != '"' && data_[pos_] != '\n') ++pos_;
            if (atEnd()) return fail(start, "quoted name not closed", true);
            if (data_[pos_] == '\n') return fail(start, "quoted name not closed on its line");
            out.assign(data_.substr(start + 1, pos_ - start - 1));
            ++pos_;
            return true;
        }
        pos_ += 2; // xX
        return parseHexBytes(start, out, "hex name");
    }

    bool parseHexBytes(size_t start, std::string& out, const char* what) {
        const size_t digits = pos_;
        while (!atEnd() && hexDigit(data_[pos_]) >= 0) ++pos_;
        if (!atEnd() && !isDelimiter(data_[pos_]))
            return fail(pos_, std::string("bad hex digit ") + describeByte(data_[pos_]) + " in " + what);
        const size_t count = pos_ - digits;
        if (count % 2 != 0) return fail(start, std::string("odd number of hex digits in ") + what);
        out.resize(count / 2);
        for (size_t i = 0; i < count / 2; ++i)
            out[i] = static_cast<char>(hexDigit(data_[digits + 2 * i]) * 16 +
                                       hexDigit(data_[digits + 2 * i + 1]));
        return true;
    }

    static bool isBlockKeyword(const Statement& s) {
        if (s.quotedKey) return false;
        static constexpr std::string_view always[] = {"group",   "object", "geometry", "animation",
                                                      "load",    "options", "camera",  "image",
                                                      "output",  "light",  "accel",    "material"};
        for (std::string_view k : always)
            if (s.keyword == k) return true;
        return s.define && (s.keyword == "shader" || s.keyword == "matrix");
    }

    bool parseStatement(Statement& s, size_t depth) {
        if (!parseStatementText(s, depth)) return false;
        s.end = pos_;
        return true;
    }

    bool parseStatementText(Statement& s, size_t depth) {
        s.offset = pos_;
        if (startsWith("//")) {
            s.keyword = "//";
            Value line;
            line.kind = Value::Kind::String;
            line.text = readLine();
            s.args.push_back(std::move(line));
            return true;
        }
        if (startsWith("#print") || startsWith("#error")) return parseMessage(s);
        if (startsWith("#define ")) {
            s.define = true;
            pos_ += 8;
        } else if (startsWith("#modify ")) {
            s.modify = true;
            pos_ += 8;
        } else if (peek() == '#') {
            const size_t at = pos_;
            return fail(at, "unknown directive " + std::string(readWord()));
        }
        // "#modify " is followed by the camera record, which starts on a new line.
        if (s.define || s.modify) skipSpace();

        if (peek() == '"' || atHexName()) {
            if (s.define || s.modify) return fail(pos_, "expected a keyword after the directive");
            if (!parseName(s.keyword)) return false;
            s.quotedKey = true;
        } else {
            const std::string_view word = readWord();
            if (word.empty()) {
                if (atEnd()) return failEnd("input ends where a keyword was expected");
                return fail(pos_, "expected a keyword or attribute name, found " + describeByte(peek()));
            }
            s.keyword.assign(word);
            // The two keywords written as two words.
            if ((word == "set" && peekWord() == "transform") ||
                (word == "reflection" && peekWord() == "map")) {
                skipBlanks();
                s.keyword += ' ';
                s.keyword += readWord();
            }
        }
        const bool blockKeyword = isBlockKeyword(s);

        for (;;) {
            skipBlanks();
            if (atEnd()) break; // the last line of a file may lack its break
            const char c = peek();
            if (c == '\n') {
                ++pos_;
                break;
            }
            if (c == ',') {
                ++pos_;
                skipBlanks();
                if (peek() == '\n') ++pos_;
                break;
            }
            if (c == '{') {
                if (!blockKeyword) return fail(pos_, "unexpected '{' after " + s.keyword);
                if (!checkDepth(depth + 1)) return false;
                s.blockOffset = pos_;
                ++pos_;
                s.block = std::make_shared<Block>();
                if (!parseBlock(*s.block, depth + 1)) return false;
                skipBlanks();
                if (atEnd()) break;
                if (peek() != '\n') return fail(pos_, "expected a line break after '}'");
                ++pos_;
                break;
            }
            if (c == '}') return fail(pos_, "'}' before the end of the line");
            if (c == ']') return fail(pos_, "']' without an open list");
            if (c == '!' && (pos_ + 1 >= data_.size() || isDelimiter(data_[pos_ + 1]))) {
                ++pos_;
                Value ref;
                if (!parseShaderRef(ref, depth)) return false;
                s.args.push_back(std::move(ref));
                continue;
            }
            Value value;
            // A name directly followed by "{" is the block's own opening for block records
            // and an inline shader anywhere else.
            if (!parseValue(value, depth, !blockKeyword)) return false;
            s.args.push_back(std::move(value));
        }
        if ((s.define || s.modify) && !s.block)
            return fail(s.offset, std::string(s.define ? "#define" : "#modify") + " without a block");
        return true;
    }

    // #print "text" / #error "text": the text is not escaped and runs to the quote that
    // ends the line.
    bool parseMessage(Statement& s) {
        const size_t start = pos_;
        s.keyword.assign(data_.substr(pos_, 6));
        pos_ += 6;
        skipBlanks();
        if (peek() != '"') {
            if (atEnd()) return failEnd("input ends before the text of " + s.keyword);
            return fail(pos_, "expected '\"' after " + s.keyword);
        }
        const size_t textStart = ++pos_;
        for (size_t at = textStart;; ++at) {
            at = data_.find('"', at);
            if (at == std::string_view::npos)
                return fail(start, "text of " + s.keyword + " not closed", true);
            if (at + 1 == data_.size() || data_[at + 1] == '\n' ||
                (data_[at + 1] == '\r' && at + 2 < data_.size() && data_[at + 2] == '\n')) {
                Value text;
                text.kind = Value::Kind::String;
                text.text.assign(data_.substr(textStart, at - textStart));
                s.args.push_back(std::move(text));
                pos_ = at + 1;
                skipBlanks();
                if (peek() == '\n') ++pos_;
                return true;
            }
        }
    }

    // After "!": a shader number or an inline shader.
    bool parseShaderRef(Value& ref, size_t depth) {
        ref.kind = Value::Kind::ShaderRef;
        skipBlanks();
        if (peek() == '"' || atHexName()) {
            Value shader;
            if (!parseValue(shader, depth, true)) return false;
            if (shader.kind != Value::Kind::Shader)
                return fail(pos_, "expected '{' of the shader after its kind");
            ref.text = std::move(shader.text);
            ref.block = std::move(shader.block);
            return true;
        }
        const std::string_view word = readWord();
        if (word.empty()) {
            if (atEnd()) return failEnd("input ends after '!'");
            return fail(pos_, "expected a shader after '!'");
        }
        ref.text.assign(word);
        return true;
    }

    bool parseValue(Value& v, size_t depth, bool allowShader) {
        const size_t start = pos_;
        const char c = peek();
        if (c == '"' || atHexName()) {
            v.kind = Value::Kind::String;
            if (!parseName(v.text)) return false;
            if (allowShader) {
                skipBlanks();
                if (peek() == '{') {
                    if (!checkDepth(depth + 1)) return false;
                    ++pos_;
                    v.kind = Value::Kind::Shader;
                    v.block = std::make_shared<Block>();
                    return parseBlock(*v.block, depth + 1);
                }
            }
            return true;
        }
        if (c == 'b' && peek(1) == 'X') {
            pos_ += 2;
            v.kind = Value::Kind::Hex;
            return parseHexBytes(start, v.text, "hex blob");
        }
        if (c == '[') {
            if (!checkDepth(depth + 1)) return false;
            ++pos_;
            return parseList(v, start, depth + 1);
        }
        const std::string_view word = readWord();
        if (word.empty()) return fail(pos_, "unexpected " + describeByte(c));
        v.kind = Value::Kind::Word;
        v.text.assign(word);
        return true;
    }

    bool parseList(Value& v, size_t open, size_t depth) {
        skipSpace();
        if (startsWith(std::string_view("\x01\x02\x03", 3))) return parseBinary(v, open);
        v.kind = Value::Kind::List;
        bool elementOpen = false; // items seen since the last separator
        for (;;) {
            skipSpace();
            if (atEnd()) return failEnd("input ends inside the list opened at offset " + std::to_string(open));
            const char c = peek();
            if (c == ']') {
                ++pos_;
                if (elementOpen) ++v.listElements;
                return true;
            }
            if (c == ',') {
                if (!elementOpen) return fail(pos_, "empty list element");
                ++pos_;
                ++v.listElements;
                elementOpen = false;
                continue;
            }
            if (c == '[') return fail(pos_, "list inside a list");
            if (c == '{' || c == '}') return fail(pos_, "unexpected " + describeByte(c) + " in a list");
            if (c == '\x01' && peek(1) == '\x02' && peek(2) == '\x03')
                return fail(pos_, "binary run after text elements");
            Value item;
            if (!parseValue(item, depth, true)) return false;
            if (item.kind == Value::Kind::Hex) return fail(pos_, "hex blob in a list");
            if (build_) {
                v.items.push_back(item.text);
                v.itemKinds.push_back(item.kind);
                if (item.kind == Value::Kind::Shader) v.shaders.push_back(std::move(item));
            }
            elementOpen = true;
        }
    }

    // "\1\2\3" letter, 32-bit little-endian count of scalars, the scalars, then "]".
    bool parseBinary(Value& v, size_t open) {
        const size_t tag = pos_;
        if (data_.size() - pos_ < 8) return failEnd("input ends inside the header of a binary run");
        const char letter = data_[pos_ + 3];
        size_t width = 4;
        switch (letter) {
        case 'c': case 'f': case 'i': break;
        case 'r': width = 8; break;
        default: return fail(tag + 3, "unknown binary run type " + describeByte(letter));
        }
        uint32_t count = 0;
        std::memcpy(&count, data_.data() + pos_ + 4, 4);
        pos_ += 8;
        const uint64_t bytes = uint64_t{count} * width;
        if (bytes > data_.size() - pos_)
            return fail(tag + 4, "binary run of " + std::to_string(count) + " scalars runs past the end of the input", true);
        if (letter == 'c' && count % 3 != 0)
            return fail(tag + 4, "binary run of triples holds " + std::to_string(count) + " scalars, not a multiple of 3");
        const char* src = data_.data() + pos_;
        v.kind = Value::Kind::Binary;
        v.binaryKind = letter;
        if (build_ && letter == 'r') {
            v.doubles.resize(count);
            if (count) std::memcpy(v.doubles.data(), src, bytes);
        } else if (build_ && letter == 'i') {
            v.ints.resize(count);
            if (count) std::memcpy(v.ints.data(), src, bytes);
        } else if (build_) {
            v.floats.resize(count);
            if (count) std::memcpy(v.floats.data(), src, bytes);
        }
        pos_ += bytes;
        skipSpace();
        if (atEnd()) return failEnd("input ends before the ']' of the binary run at offset " + std::to_string(open));
        if (peek() != ']') return fail(pos_, "expected ']' after the binary run, found " + describeByte(peek()));
        ++pos_;
        return true;
    }
};

// Depth first, in file order; visit returns true to stop.
template <typename Visit>
bool walk(const Block& block, Visit& visit) {
    for (const Statement& s : block.statements) {
        if (visit(s)) return true;
        for (const Value& v : s.args) {
            if (v.block && walk(*v.block, visit)) return true;
            for (const Value& shader : v.shaders)
                if (shader.block && walk(*shader.block, visit)) return true;
        }
        if (s.block && walk(*s.block, visit)) return true;
    }
    return false;
}

bool matches(const Statement& s, std::string_view keyword, std::string_view name) {
    return s.keyword == keyword && (name.empty() || s.name() == name);
}

} // namespace

double Value::number() const {
    if (kind != Kind::Word) return 0;
    double result = 0;
    const char* first = text.data();
    if (!text.empty() && text[0] == '+') ++first;
    const auto [end, ec] = std::from_chars(first, text.data() + text.size(), result);
    if (ec != std::errc() || end != text.data() + text.size()) return 0;
    return result;
}

size_t Value::binaryCount() const {
    switch (binaryKind) {
    case 'r': return doubles.size();
    case 'i': return ints.size();
    case 'c': case 'f': return floats.size();
    default: return 0;
    }
}

const std::string& Statement::name() const {
    static const std::string empty;
    for (const Value& v : args)
        if (v.kind == Value::Kind::String) return v.text;
    return empty;
}

const Statement* Statement::find(std::string_view keyword, std::string_view name) const {
    return block ? block->find(keyword, name) : nullptr;
}

const Statement* Block::find(std::string_view keyword, std::string_view name) const {
    for (const Statement& s : statements)
        if (matches(s, keyword, name)) return &s;
    return nullptr;
}

std::vector<const Statement*> Block::all(std::string_view keyword) const {
    std::vector<const Statement*> found;
    for (const Statement& s : statements)
        if (s.keyword == keyword) found.push_back(&s);
    return found;
}

const Statement* Block::findDeep(std::string_view keyword, std::string_view name) const {
    const Statement* found = nullptr;
    auto visit = [&](const Statement& s) {
        if (!matches(s, keyword, name)) return false;
        found = &s;
        return true;
    };
    walk(*this, visit);
    return found;
}

std::vector<const Statement*> Block::allDeep(std::string_view keyword) const {
    std::vector<const Statement*> found;
    auto visit = [&](const Statement& s) {
        if (s.keyword == keyword) found.push_back(&s);
        return false;
    };
    walk(*this, visit);
    return found;
}

bool parse(std::string_view data, Document& out, ParseError& error) {
    return Parser(data, true).run(out, error);
}

bool check(std::string_view data, ParseError& error) {
    Document nothing;
    return Parser(data, false).run(nothing, error);
}

bool readInput(const std::string& path, std::string& data, std::string& error) {
    data.clear();
    const bool standardInput = path == "-";
    // Only a regular file is read (a folder or a FIFO is refused with its reason, and the
    // open never blocks).
    std::string why;
    FILE* file = standardInput ? stdin : tavrin::files::fopenRegular(path, &why);
    if (!file) {
        error = "cannot open " + path + ": " + why;
        return false;
    }
    // Size known up front for regular files: one allocation, one read.
    if (!standardInput && std::fseek(file, 0, SEEK_END) == 0) {
        const long size = std::ftell(file);
        if (size > 0) data.reserve(static_cast<size_t>(size));
        std::rewind(file);
    }
    char chunk[1 << 16];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) data.append(chunk, got);
    const bool failed = std::ferror(file) != 0;
    const int reason = errno;
    if (!standardInput) std::fclose(file);
    if (failed) {
        error = "cannot read " + path + ": " + std::strerror(reason);
        return false;
    }
    return true;
}

bool parseFile(const std::string& path, Document& out, ParseError& error) {
    std::string data;
    std::string reason;
    if (!readInput(path, data, reason)) {
        out = Document{};
        error = ParseError{0, reason, false};
        return false;
    }
    return parse(data, out, error);
}

} // namespace orv::qrf
