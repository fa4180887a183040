#include "QrfText.h"

#include <charconv>
#include <cstdio>
#include <unordered_map>

namespace orv::qrf {

namespace {

using Kind = Value::Kind;

bool isLightShader(std::string_view kind) {
    return kind == "orv_point_light" || kind == "orv_mesh_light";
}

// Scalars in a "vertices"-like list, counted as elements (triples for 'c').
uint64_t elementCount(const Value& v) {
    if (v.kind == Kind::Binary) return v.binaryKind == 'c' ? v.binaryCount() / 3 : v.binaryCount();
    if (v.kind == Kind::List) return v.listElements;
    return 0;
}
uint64_t scalarCount(const Value& v) {
    if (v.kind == Kind::Binary) return v.binaryCount();
    if (v.kind == Kind::List) return v.items.size();
    return 0;
}
const Value* listValue(const Statement& s) {
    for (const Value& v : s.args)
        if (v.kind == Kind::Binary || v.kind == Kind::List) return &v;
    return nullptr;
}

class StatsCounter {
public:
    explicit StatsCounter(SceneStats& stats) : stats_(stats) {}

    void run(const Document& document) {
        index(document.top);
        count(document.top, {});
    }

private:
    SceneStats& stats_;
    std::unordered_map<std::string, const Statement*> materials_; // by name, first wins
    std::unordered_map<std::string, std::string> shaderKinds_;    // defined shader id or name -> kind

    // Material and shader definitions anywhere, for references by name or number.
    void index(const Block& block) {
        for (const Statement* s : block.allDeep("material"))
            if (s->block) materials_.emplace(s->name(), s);
        for (const Statement* s : block.allDeep("shader")) {
            if (!s->define || !s->block || s->args.size() < 2) continue;
            shaderKinds_.emplace(s->args[0].text, s->args[1].text);
        }
    }

    std::string surfaceKind(const Statement& surface) const {
        if (surface.args.empty()) return {};
        const Value& v = surface.args[0];
        if (v.kind == Kind::Shader) return v.text;
        auto found = shaderKinds_.find(v.text);
        return found == shaderKinds_.end() ? std::string() : found->second;
    }

    bool isLight(const Statement& object) const {
        for (const Statement& s : object.block->statements) {
            if (s.keyword != "material") continue;
            const Statement* material = &s;
            if (!s.block) {
                auto found = materials_.find(s.name());
                if (found == materials_.end()) continue;
                material = found->second;
            }
            for (const Statement* surface : material->block->all("surface"))
                if (isLightShader(surfaceKind(*surface))) return true;
        }
        return false;
    }

    void countValue(const Value& v) {
        if (v.kind == Kind::Shader || (v.kind == Kind::ShaderRef && v.block)) ++stats_.shaders;
        if (v.block) count(*v.block, {});
        for (const Value& shader : v.shaders) countValue(shader);
    }

    void count(const Block& block, std::string_view geometry) {
        for (const Statement& s : block.statements) {
            for (const Value& v : s.args) countValue(v);
            if (s.block) {
                if (s.keyword == "group") ++stats_.groups;
                else if (s.keyword == "object") {
                    ++stats_.objects;
                    if (isLight(s)) ++stats_.lights;
                } else if (s.keyword == "material") ++stats_.materials;
                else if (s.keyword == "shader" && s.define) ++stats_.shaders;
                else if (s.keyword == "camera" && !s.modify) ++stats_.cameras;
                else if (s.keyword == "animation") ++stats_.animations;
                count(*s.block, s.keyword == "geometry" ? std::string_view(s.name()) : geometry);
                continue;
            }
            if (geometry.empty()) continue;
            const Value* list = listValue(s);
            if (!list) continue;
            if (s.keyword == "vertices") stats_.vertices += elementCount(*list);
            else if (s.keyword == "triangles" && geometry == "triangles") stats_.triangles += scalarCount(*list) / 3;
            else if (s.keyword == "nvertices" && geometry == "orv_bezier_curves") stats_.curves += elementCount(*list);
        }
    }
};

// Buffers the listing and hands it out in pieces.
class Listing {
public:
    explicit Listing(const std::function<void(std::string_view)>& write) : write_(write) {}
    ~Listing() { flush(); }

    void put(std::string_view text) {
        buffer_ += text;
        if (buffer_.size() >= 65536) flush();
    }
    void put(char c) {
        buffer_ += c;
        if (buffer_.size() >= 65536) flush();
    }
    void indent(int level) {
        for (int i = 0; i < level; ++i) put("  ");
    }
    template <typename T>
    void number(T value) {
        char text[64];
        auto result = std::to_chars(text, text + sizeof text, value);
        put(std::string_view(text, static_cast<size_t>(result.ptr - text)));
    }

    void statement(const Statement& s, int level) {
        indent(level);
        if (s.keyword == "//") {
            put(s.args.empty() ? std::string_view("//") : std::string_view(s.args[0].text));
            put('\n');
            return;
        }
        if (s.define) put("#define ");
        if (s.modify) put("#modify ");
        put(s.quotedKey ? readableName(s.keyword) : s.keyword);
        for (const Value& v : s.args) {
            put(' ');
            value(v, level);
        }
        if (s.block) {
            put(" {\n");
            block(*s.block, level + 1);
            indent(level);
            put('}');
        }
        put('\n');
    }

    void block(const Block& b, int level) {
        for (const Statement& s : b.statements) statement(s, level);
    }

    void value(const Value& v, int level) {
        switch (v.kind) {
        case Kind::Word: put(v.text); break;
        case Kind::String: put(readableName(v.text)); break;
        case Kind::Hex: hexBlob(v.text); break;
        case Kind::List: textList(v, level); break;
        case Kind::Binary: binaryRun(v, level); break;
        case Kind::Shader: shader(v, level); break;
        case Kind::ShaderRef:
            put("! ");
            if (v.block) shader(v, level);
            else put(v.text);
            break;
        }
    }

private:
    const std::function<void(std::string_view)>& write_;
    std::string buffer_;

    void flush() {
        if (!buffer_.empty()) write_(buffer_);
        buffer_.clear();
    }

    void shader(const Value& v, int level) {
        put(readableName(v.text));
        put(" {\n");
        if (v.block) block(*v.block, level + 1);
        indent(level);
        put('}');
    }

    void hexBlob(std::string_view bytes) {
        static constexpr char digits[] = "0123456789abcdef";
        put("bX");
        for (char c : bytes) {
            const auto u = static_cast<unsigned char>(c);
            put(digits[u >> 4]);
            put(digits[u & 15]);
        }
    }

    // Eight elements a line, continuation lines indented one level deeper.
    void separator(size_t element, int level) {
        if (element == 0) return;
        put(',');
        if (element % 8 == 0) {
            put('\n');
            indent(level + 1);
        } else {
            put(' ');
        }
    }

    void textList(const Value& v, int level) {
        put("[ ");
        const size_t per = v.listElements ? v.items.size() / v.listElements : 0;
        size_t nextShader = 0;
        for (size_t i = 0; i < v.items.size(); ++i) {
            if (per && i % per == 0) separator(i / per, level);
            else put(' ');
            const Kind kind = i < v.itemKinds.size() ? v.itemKinds[i] : Kind::Word;
            if (kind == Kind::Shader && nextShader < v.shaders.size())
                shader(v.shaders[nextShader++], level + 1);
            else if (kind == Kind::String)
                put(readableName(v.items[i]));
            else
                put(v.items[i]);
        }
        put(" ]");
    }

    void binaryRun(const Value& v, int level) {
        put("[ /* binary ");
        put(v.binaryKind);
        put(", ");
        number(v.binaryCount());
        put(" scalars */");
        const size_t per = v.binaryKind == 'c' ? 3 : 1;
        const size_t count = v.binaryCount();
        for (size_t i = 0; i < count; ++i) {
            if (i % per == 0) {
                if (i) separator(i / per, level);
                else put(' ');
            } else {
                put(' ');
            }
            switch (v.binaryKind) {
            case 'r': number(v.doubles[i]); break;
            case 'i': number(v.ints[i]); break;
            default: number(v.floats[i]); break;
            }
        }
        put(" ]");
    }
};

// Length of the valid UTF-8 sequence (2 to 4 bytes) starting at i, or 0.
size_t utf8Length(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = b(i);
    size_t length = 0;
    unsigned minimum = 0;
    unsigned code = 0;
    if (lead >= 0xc2 && lead <= 0xdf) { length = 2; code = lead & 0x1f; minimum = 0x80; }
    else if (lead >= 0xe0 && lead <= 0xef) { length = 3; code = lead & 0x0f; minimum = 0x800; }
    else if (lead >= 0xf0 && lead <= 0xf4) { length = 4; code = lead & 0x07; minimum = 0x10000; }
    else return 0;
    if (i + length > s.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((b(i + k) & 0xc0) != 0x80) return 0;
        code = (code << 6) | (b(i + k) & 0x3f);
    }
    if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return length;
}

} // namespace

SceneStats computeStats(const Document& document, uint64_t bytes) {
    SceneStats stats;
    stats.bytes = bytes;
    StatsCounter(stats).run(document);
    return stats;
}

std::string formatStats(const SceneStats& s) {
    const std::pair<const char*, uint64_t> rows[] = {
        {"groups", s.groups},         {"objects", s.objects},     {"triangles", s.triangles},
        {"vertices", s.vertices},     {"materials", s.materials}, {"shaders", s.shaders},
        {"cameras", s.cameras},       {"lights", s.lights},       {"animations", s.animations},
        {"curves", s.curves},         {"bytes", s.bytes},
    };
    std::string out;
    for (const auto& [key, value] : rows) {
        out += key;
        out += ": ";
        out += std::to_string(value);
        out += '\n';
    }
    return out;
}

std::string readableName(std::string_view bytes) {
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size();) {
        const auto u = static_cast<unsigned char>(bytes[i]);
        if (u == '"' || u == '\\') {
            out += '\\';
            out += static_cast<char>(u);
        } else if (u >= 0x20 && u < 0x7f) {
            out += static_cast<char>(u);
        } else if (const size_t length = u >= 0x80 ? utf8Length(bytes, i) : 0) {
            out.append(bytes.substr(i, length));
            i += length;
            continue;
        } else if (u == '\n') {
            out += "\\n";
        } else if (u == '\t') {
            out += "\\t";
        } else if (u == '\r') {
            out += "\\r";
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        }
        ++i;
    }
    out += '"';
    return out;
}

void dumpDocument(const Document& document, const std::function<void(std::string_view)>& write) {
    Listing listing(write);
    for (const std::string& comment : document.comments) {
        listing.put(comment);
        listing.put('\n');
    }
    listing.block(document.top, 0);
}

std::string dumpToString(const Document& document) {
    std::string out;
    dumpDocument(document, [&](std::string_view piece) { out += piece; });
    return out;
}

} // namespace orv::qrf
