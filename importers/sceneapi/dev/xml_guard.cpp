#include "xml_guard.h"

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

} // namespace

XmlTextCheck check_xml_text(const char* text, size_t maxBytes, int maxDepth) {
    if (!text) return XmlTextCheck::Unsupported;
    const size_t n = ::strnlen(text, maxBytes + 1);
    if (n > maxBytes) return XmlTextCheck::TooLarge;

    size_t i = 0;
    if (n >= 3 && static_cast<unsigned char>(text[0]) == 0xEF && static_cast<unsigned char>(text[1]) == 0xBB &&
        static_cast<unsigned char>(text[2]) == 0xBF)
        i = 3;
    while (i < n && is_space(text[i])) ++i;
    if (starts_with_nocase(text, n, i, "<?xml")) {
        i = read_declaration(text, n, i);
        if (i > n) return XmlTextCheck::Unsupported;
    }

    int depth = 0;
    // Where TinyXML would stop with an error, nothing after it is parsed: the scan ends Ok.
    while (i < n) {
        const size_t p = find_char(text, n, i, '<');
        if (p >= n) break;
        if (starts_with_nocase(text, n, p, "<?xml")) return XmlTextCheck::Unsupported;
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
            if (depth > 0) --depth;
            const size_t end = find_char(text, n, p + 2, '>');
            if (end >= n) break;
            i = end + 1;
            continue;
        }
        if (p + 1 < n && starts_element(static_cast<unsigned char>(text[p + 1]))) {
            if (++depth > maxDepth) return XmlTextCheck::TooDeep;
            int attributes = 0;
            size_t k = p + 1;
            bool closed = false;
            while (k < n) {
                const char c = text[k];
                if (c == '"' || c == '\'') {
                    const size_t close = find_char(text, n, k + 1, c);
                    if (close >= n) return XmlTextCheck::Ok;
                    if (find_char(text, close, k + 1, '<') < close) return XmlTextCheck::Unsupported;
                    k = close + 1;
                    continue;
                }
                if (c == '<') return XmlTextCheck::Unsupported;
                if (c == '=' && ++attributes > kMaxXmlAttributesPerElement) return XmlTextCheck::Unsupported;
                if (c == '>') {
                    if (text[k - 1] == '/') --depth;
                    closed = true;
                    break;
                }
                ++k;
            }
            if (!closed) break;
            i = k + 1;
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
