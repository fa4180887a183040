// A cheap check of an XML text before it reaches TinyXML, whose parser recurses once per
// nesting level without limit (a document nested some ten thousand levels deep exhausts
// the stack) and whose attribute lookup grows with the square of an element's attributes.
//
// The scan follows TinyXML's own reading of the text (element tags with quoted attribute
// values, comments, CDATA sections, other "<!" and "<?" constructs read to the next ">")
// so that the depth it counts is never below the depth TinyXML would reach. Constructs
// where the two readings could differ and that well-formed instance or scene descriptions
// never contain (a "<" inside an attribute value or tag, an XML declaration anywhere but
// at the start or with an unusual form) make the text refused.
#pragma once

#include <cstddef>
#include <vector>

enum class XmlTextCheck {
    Ok,
    TooLarge,     // more than the byte limit
    TooDeep,      // elements nested more than the depth limit
    Unsupported,  // a construct that is refused (see above)
};

constexpr size_t kMaxXmlTextBytes = 16u * 1024u * 1024u;
constexpr int kMaxXmlDepth = 64;
constexpr int kMaxXmlAttributesPerElement = 256;

// Checks a NUL-terminated text. Null counts as Unsupported.
XmlTextCheck check_xml_text(const char* text, size_t maxBytes = kMaxXmlTextBytes, int maxDepth = kMaxXmlDepth);

// Where one child element of the root begins and ends: text[begin, end).
struct XmlSpan {
    size_t begin = 0;
    size_t end = 0;
};

// The complete child elements of a text's root element, in order, found as TinyXML would
// read them but without the limits, so that each can be checked and parsed on its own and
// one child that breaks a limit does not take the others with it. A child the text ends
// inside is left out; a text larger than the byte limit gives none.
std::vector<XmlSpan> xml_root_children(const char* text, size_t maxBytes = kMaxXmlTextBytes);
