#include "xml_guard.h"

#include <climits>
#include <cstring>

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_ascii_alpha(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// TinyXML starts an element at "<" followed by a letter, "_" or any byte from 127 up.
bool starts_element(unsigned char c) {
    return is_ascii_alpha(c) || c == '_' || c >= 127;
}

bool is_name_char(unsigned char c) {
    return is_ascii_alpha(c) || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == ':' || c == '-';
}

bool starts_with_nocase(const char* text, size_t n, size_t at, const char* word) {
    const size_t w = std::strlen(word);
    if (n - at < w) return false;
    for (size_t k = 0; k < w; ++k) {
        char a = text[at + k];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (a != word[k]) return false;
    }
    return true;
}

bool starts_with(const char* text, size_t n, size_t at, const char* word) {
    const size_t w = std::strlen(word);
    return n - at >= w && std::memcmp(text + at, word, w) == 0;
}

// Position of `word` at or after `from`, or n.
size_t find(const char* text, size_t n, size_t from, const char* word) {
    const size_t w = std::strlen(word);
    for (size_t k = from; k + w <= n; ++k)
        if (std::memcmp(text + k, word, w) == 0) return k;
    return n;
}

size_t find_char(const char* text, size_t n, size_t from, char c) {
    if (from >= n) return n;
    const void* hit = std::memchr(text + from, c, n - from);
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text) : n;
}

// Reads a leading declaration in the strict form <?xml (name = "value")* ?> with values
// free of "<" and ">". Returns the position after it, or n + 1 when the form is refused.
size_t read_declaration(const char* text, size_t n, size_t at) {
    size_t k = at + 5;
    for (;;) {
        while (k < n && is_space(text[k])) ++k;
        if (k >= n) return n + 1;
        if (text[k] == '>') return k + 1;
        if (text[k] == '?') return k + 1 < n && text[k + 1] == '>' ? k + 2 : n + 1;
        const size_t nameStart = k;
        while (k < n && is_name_char(static_cast<unsigned char>(text[k]))) ++k;
        if (k == nameStart) return n + 1;
        while (k < n && is_space(text[k])) ++k;
        if (k >= n || text[k] != '=') return n + 1;
        ++k;
        while (k < n && is_space(text[k])) ++k;
        if (k >= n || (text[k] != '"' && text[k] != '\'')) return n + 1;
        const char quote = text[k];
        const size_t close = find_char(text, n, k + 1, quote);
        if (close >= n) return n + 1;
        for (size_t v = k + 1; v < close; ++v)
            if (text[v] == '<' || text[v] == '>') return n + 1;
        k = close + 1;
    }
}

enum class Tag { Open, Close };

// Walks the elements of text[i, n) as TinyXML reads them and tells `visit` of every start
// tag (Tag::Open, the depth it opens, the position of its "<") and every end of an element
// (Tag::Close, the depth after it, the position after its ">"). Strict, it stops at the
// limits and at the refused constructs; lenient, it reads on through them with no limit,
// for finding where elements begin and end. Where TinyXML would stop with an error,
// nothing after it is parsed: the walk ends Ok.
template <class Visit>
XmlTextCheck walk(const char* text, size_t n, size_t i, int maxDepth, bool lenient, Visit&& visit) {
    int depth = 0;
    while (i < n) {
        const size_t p = find_char(text, n, i, '<');
        if (p >= n) break;
        if (!lenient && starts_with_nocase(text, n, p, "<?xml")) return XmlTextCheck::Unsupported;
        if (starts_with(text, n, p, "<!--")) {
            const size_t end = find(text, n, p + 4, "-->");
            if (end >= n) break;
            i = end + 3;
            continue;
        }
        if (starts_with(text, n, p, "<![CDATA[")) {
            const size_t end = find(text, n, p + 9, "]]>");
            if (end >= n) break;
            i = end + 3;
            continue;
        }
        if (starts_with(text, n, p, "</")) {
            const bool closes = depth > 0;
            if (closes) --depth;
            const size_t end = find_char(text, n, p + 2, '>');
            if (end >= n) break;
            if (closes) visit(Tag::Close, depth, end + 1);
            i = end + 1;
            continue;
        }
        if (p + 1 < n && starts_element(static_cast<unsigned char>(text[p + 1]))) {
            if (++depth > maxDepth) return XmlTextCheck::TooDeep;
            visit(Tag::Open, depth, p);
            int attributes = 0;
            size_t k = p + 1;
            bool closed = false;
            while (k < n) {
                const char c = text[k];
                if (c == '"' || c == '\'') {
                    const size_t close = find_char(text, n, k + 1, c);
                    if (close >= n) return XmlTextCheck::Ok;
                    if (!lenient && find_char(text, close, k + 1, '<') < close) return XmlTextCheck::Unsupported;
                    k = close + 1;
                    continue;
                }
                if (c == '<') {
                    if (!lenient) return XmlTextCheck::Unsupported;
                    break; // read on from this "<"; the element stays open
                }
                if (c == '=' && !lenient && ++attributes > kMaxXmlAttributesPerElement)
                    return XmlTextCheck::Unsupported;
                if (c == '>') {
                    if (text[k - 1] == '/') {
                        --depth;
                        visit(Tag::Close, depth, k + 1);
                    }
                    closed = true;
                    break;
                }
                ++k;
            }
            if (k >= n) break;
            i = closed ? k + 1 : k;
            continue;
        }
        // Anything else that starts with "<" ("<!DOCTYPE", "<?target", "< ") is read by
        // TinyXML up to the next ">" without regard to quotes.
        const size_t end = find_char(text, n, p + 1, '>');
        if (end >= n) break;
        i = end + 1;
    }
    return XmlTextCheck::Ok;
}

// Where the content begins after a byte order mark, blanks and a leading declaration;
// n + 1 when the declaration's form is refused.
size_t content_start(const char* text, size_t n) {
    size_t i = 0;
    if (n >= 3 && static_cast<unsigned char>(text[0]) == 0xEF && static_cast<unsigned char>(text[1]) == 0xBB &&
        static_cast<unsigned char>(text[2]) == 0xBF)
        i = 3;
    while (i < n && is_space(text[i])) ++i;
    if (starts_with_nocase(text, n, i, "<?xml")) i = read_declaration(text, n, i);
    return i;
}

} // namespace

XmlTextCheck check_xml_text(const char* text, size_t maxBytes, int maxDepth) {
    if (!text) return XmlTextCheck::Unsupported;
    const size_t n = ::strnlen(text, maxBytes + 1);
    if (n > maxBytes) return XmlTextCheck::TooLarge;
    const size_t i = content_start(text, n);
    if (i > n) return XmlTextCheck::Unsupported;
    return walk(text, n, i, maxDepth, false, [](Tag, int, size_t) {});
}

std::vector<XmlSpan> xml_root_children(const char* text, size_t maxBytes) {
    std::vector<XmlSpan> spans;
    if (!text) return spans;
    const size_t n = ::strnlen(text, maxBytes + 1);
    if (n > maxBytes) return spans;
    size_t i = content_start(text, n);
    if (i > n) i = find_char(text, n, 0, '>') + 1; // read on after what TinyXML would not
    size_t begin = 0;
    walk(text, n, i, INT_MAX, true, [&](Tag tag, int depth, size_t at) {
        if (tag == Tag::Open && depth == 2) begin = at;
        if (tag == Tag::Close && depth == 1) spans.push_back(XmlSpan{begin, at});
    });
    return spans;
}
