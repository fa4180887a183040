#include "xml_guard.h"

#include <gtest/gtest.h>

#include <tinyxml.h>

#include <string>

namespace {

std::string nested(int levels, const std::string& open = "<a>") {
    std::string s;
    for (int i = 0; i < levels; ++i) s += open;
    return s;
}

// Depth that TinyXML itself reaches, for texts it accepts.
int tinyxml_depth(const TiXmlNode* node) {
    int deepest = 0;
    for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling())
        if (child->ToElement()) deepest = std::max(deepest, 1 + tinyxml_depth(child));
    return deepest;
}

TEST(XmlGuard, AcceptsOrdinaryDescriptions) {
    const char* ok[] = {
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone='yes'?>\n<list><i a=\"1\" b='x>y'/></list>",
        "\xEF\xBB\xBF<list><!-- <a><a><a> --><![CDATA[<b><b>]]><i/></list>",
        "<!DOCTYPE list><list>text &amp; more<?pi stuff?></list>",
        "<a><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/><b/></a>",
        "",
    };
    for (const char* text : ok) EXPECT_EQ(check_xml_text(text), XmlTextCheck::Ok) << text;
}

TEST(XmlGuard, DepthLimitCountsRealNesting) {
    EXPECT_EQ(check_xml_text((nested(64) + "x").c_str()), XmlTextCheck::Ok);
    EXPECT_EQ(check_xml_text((nested(65) + "x").c_str()), XmlTextCheck::TooDeep);
    // Self-closed siblings do not add up.
    std::string siblings = "<r>";
    for (int i = 0; i < 1000; ++i) siblings += "<e k=\"v\"/>";
    EXPECT_EQ(check_xml_text((siblings + "</r>").c_str()), XmlTextCheck::Ok);
    // Closing tags bring the depth down again.
    std::string closed;
    for (int i = 0; i < 1000; ++i) closed += "<a><b></b></a>";
    EXPECT_EQ(check_xml_text(closed.c_str()), XmlTextCheck::Ok);
}

TEST(XmlGuard, TricksThatWouldHideNestingAreCaught) {
    const std::string cases[] = {
        nested(100, "<a b=\"/>\">"),            // self-closing marker inside a value
        nested(100, "<a b='</a>'>"),            // closing tag inside a value: refused
        nested(100, "<a c=\"\" d='/'>"),        // quote right before the end
        "<?xml v=\"1\" version=\"2>" + nested(100) + "\"?>",  // declaration TinyXML reads differently
        "<r>" + nested(100, "<?xml version=\"1.0\"?><a>"),    // declaration inside content
        nested(100, "<_x>"),
        nested(100, "<\xC3\xA9>"),
    };
    for (const std::string& text : cases) EXPECT_NE(check_xml_text(text.c_str()), XmlTextCheck::Ok) << text;
}

TEST(XmlGuard, NeverBelowWhatTinyXmlReaches) {
    // Where TinyXML parses a text, the guard's verdict must not let more nesting through.
    const std::string texts[] = {
        nested(70, "<!-- x --><a>") + "</a>",
        nested(70, "<a><!x>") + "</a>",
        nested(70, "<a>< b>") + "</a>",
        nested(70, "<a u=v>") + "</a>",
    };
    for (const std::string& text : texts) {
        TiXmlDocument doc;
        doc.Parse(text.c_str());
        if (!doc.Error() && tinyxml_depth(&doc) > kMaxXmlDepth) {
            EXPECT_EQ(check_xml_text(text.c_str()), XmlTextCheck::TooDeep) << text;
        }
    }
}

TEST(XmlGuard, SizeAndAttributeLimits) {
    EXPECT_EQ(check_xml_text(nullptr), XmlTextCheck::Unsupported);
    const std::string big(100, 'x');
    EXPECT_EQ(check_xml_text(big.c_str(), 99), XmlTextCheck::TooLarge);
    EXPECT_EQ(check_xml_text(big.c_str(), 100), XmlTextCheck::Ok);
    std::string many = "<a";
    for (int i = 0; i < 300; ++i) many += " k" + std::to_string(i) + "=\"1\"";
    EXPECT_EQ(check_xml_text((many + "/>").c_str()), XmlTextCheck::Unsupported);
    EXPECT_EQ(check_xml_text("<a b=\"<\"/>"), XmlTextCheck::Unsupported);
}

} // namespace
