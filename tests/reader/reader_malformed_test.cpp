// Malformed and hostile inputs: each is refused at the right offset (by the parse and by the
// check alike), nothing is read past the end of the buffer (the buffers here are exact-size
// heap copies, so the sanitizer build catches any overread), counts from the input never
// drive allocations, and nesting is capped.
#include "SceneReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>

using namespace orv::qrf;

namespace {

std::string run(char letter, uint32_t count, std::string_view data = {}) {
    std::string s("\x01\x02\x03", 3);
    s += letter;
    s.append(reinterpret_cast<const char*>(&count), 4);
    s += data;
    return s;
}

// Parses an exact-size copy so that a read one byte too far is a heap overflow. Checking
// the same bytes without building anything must come to the same verdict, error and offset.
bool parseExact(const std::string& text, Document& d, ParseError& e) {
    std::unique_ptr<char[]> copy(new char[text.size() ? text.size() : 1]);
    std::memcpy(copy.get(), text.data(), text.size());
    const std::string_view bytes(copy.get(), text.size());
    const bool parsed = parse(bytes, d, e);
    ParseError checked;
    EXPECT_EQ(check(bytes, checked), parsed);
    EXPECT_EQ(checked.offset, e.offset);
    EXPECT_EQ(checked.message, e.message);
    EXPECT_EQ(checked.truncated, e.truncated);
    return parsed;
}

struct Malformed {
    const char* what;
    std::string text;
    size_t offset;
    const char* message; // a part of the message
    bool truncated;
};

std::string nested(const std::string& open, const std::string& close, int depth) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += open;
    for (int i = 0; i < depth; ++i) s += close;
    return s;
}

} // namespace

TEST(ReaderMalformed, RefusedAtTheRightOffset) {
    const std::string head = "\"v\" [ "; // 6 bytes before a binary run
    const Malformed cases[] = {
        {"closing brace at top level", "render\n}\n", 7, "without an open block", false},
        {"block never closed", "group \"a\" {\nflags 1\n", 20, "block opened at offset 10", true},
        {"quoted name cut by the end", "object \"abc", 7, "not closed", true},
        {"quoted name cut by a line break", "object \"ab\nc\" {\n}\n", 7, "not closed on its line", false},
        {"odd hex digits", "object xX616 {\n}\n", 7, "odd number", false},
        {"bad hex digit", "object xX61zz {\n}\n", 11, "bad hex digit 'z'", false},
        {"bad hex blob digit", "icon bX0g\n", 8, "hex blob", false},
        {"print never closed", "#print \"abc\" and more", 0, "not closed", true},
        {"print without text", "#print 42\n", 7, "expected '\"'", false},
        {"unknown directive", "#include \"x\"\n", 0, "unknown directive #include", false},
        {"define without block", "#define group \"a\"\n", 0, "#define without a block", false},
        {"define without keyword", "#define \"a\" {\n}\n", 8, "expected a keyword", false},
        {"brace after a plain record", "flags 1 {\n}\n", 8, "unexpected '{' after flags", false},
        {"brace closing mid-line", "group \"a\" {\nflags 1 }\n", 20, "before the end of the line", false},
        {"text after a block's brace", "group \"a\" {\n} x\n", 14, "line break after '}'", false},
        {"stray ']'", "flags ]\n", 6, "without an open list", false},
        {"empty list element", "\"a\" [ 1, , 2 ] ,\n", 9, "empty list element", false},
        {"list inside a list", "\"a\" [ [ 1 ] ] ,\n", 6, "list inside a list", false},
        {"text list never closed", "\"a\" [ 1 2,\n3", 12, "list opened at offset 4", true},
        {"brace in a list", "\"a\" [ 1 { ] ,\n", 8, "in a list", false},
        {"nothing after '!'", "\"a\" ! ,\n", 6, "expected a shader after '!'", false},
        {"kind after '!' without braces", "\"a\" ! \"k\" ,\n", 10, "expected '{'", false},
        {"binary header cut", head + std::string("\x01\x02\x03", 3), 9, "header of a binary run", true},
        {"binary count past the end", head + run('f', 3, std::string(8, '\0')), 10, "3 scalars runs past", true},
        {"binary 'r' count past the end", head + run('r', 2, std::string(12, '\0')), 10, "2 scalars runs past", true},
        {"huge binary count", head + run('r', 0xffffffffu, "] ,\n"), 10, "4294967295 scalars", true},
        {"unknown binary letter", head + run('x', 0) + "] ,\n", 9, "unknown binary run type 'x'", false},
        {"triples not a multiple of 3", head + run('c', 2, std::string(8, '\0')) + "] ,\n", 10,
         "not a multiple of 3", false},
        {"binary run without ']'", head + run('i', 1, std::string(4, '\0')) + "x ,\n", 18, "expected ']'", false},
        {"binary run cut before ']'", head + run('i', 1, std::string(4, '\0')), 18, "before the ']'", true},
        {"text after a binary run", "\"v\" [ 1 " + run('i', 0) + "] ,\n", 8, "after text elements", false},
        {"control byte as a value", "flags \x01\n", 6, "byte 0x01", false},
        {"keyword missing", ", 1\n", 0, "expected a keyword", false},
    };
    for (const Malformed& c : cases) {
        SCOPED_TRACE(c.what);
        Document d;
        ParseError e;
        EXPECT_FALSE(parseExact(c.text, d, e));
        EXPECT_EQ(e.offset, c.offset);
        EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
        EXPECT_EQ(e.truncated, c.truncated);
    }
}

TEST(ReaderMalformed, NestingIsCappedNotRecursedWithoutBound) {
    struct Form {
        const char* what;
        std::string open, close;
    };
    const Form forms[] = {
        {"groups", "group \"g\" {\n", "}\n"},
        {"inline shaders", "\"s\" \"k\" {\n", "},\n"},
    };
    for (const Form& f : forms) {
        SCOPED_TRACE(f.what);
        Document d;
        ParseError e;
        EXPECT_TRUE(parseExact(nested(f.open, f.close, static_cast<int>(kMaxNesting)), d, e)) << e.message;
        EXPECT_FALSE(parseExact(nested(f.open, f.close, static_cast<int>(kMaxNesting) + 1), d, e));
        EXPECT_NE(e.message.find("nesting deeper than 256"), std::string::npos) << e.message;
        EXPECT_EQ(e.offset, f.open.size() * kMaxNesting + f.open.find('{'));
        // Far deeper than any stack would allow if the depth were not checked.
        EXPECT_FALSE(parseExact(nested(f.open, f.close, 200000), d, e));
        EXPECT_FALSE(e.truncated);
    }
}

TEST(ReaderMalformed, AcceptsTheLooseEndsTheWriterLeaves) {
    const char* accepted[] = {
        "",                                          // nothing at all
        "render",                                    // last line without its break
        "#print \"say \"hi\" \"\n",                  // quotes inside an unescaped print
        "#print \"two\nlines\"\n",                   // a break inside a print
        "#error \"\"",                               // empty text at the very end
        "\"a\" [ ] ,\n\"b\" [\n ],\n",               // empty lists in both forms
        "version 9\r\n\r\nrender\r\n",               // CRLF line ends
        "icon bX\n",                                 // empty blob
        "\"a\" 1,\"b\" 2,\n",                        // records sharing a line
    };
    for (const char* text : accepted) {
        SCOPED_TRACE(text);
        Document d;
        ParseError e;
        EXPECT_TRUE(parseExact(text, d, e)) << e.offset << ": " << e.message;
    }
}

// Every prefix of a scene, and the scene with bytes flipped, is either read or refused with
// an offset inside the input; a prefix that stops mid-record is refused as truncated.
TEST(ReaderMalformed, PrefixesAndFlippedBytesNeverReadPastTheEnd) {
    std::string scene = "// header\n\n#print \"b\"\nversion 9\n\noptions {\nimport_mode on\n}\n"
                        "material \"m\" {\nsurface \"orv_diffuse\" {\n\"d\" 1 2 3,\n\"t\" ! \"orv_texture\" {\n"
                        "\"file\" xX5a6fc3ab,\n},\n}\n}\nobject \"o\" {\nmaterial \"m\"\ngeometry \"triangles\" {\n"
                        "\"vertices\" [ ";
    const float v[6] = {0, 1, 2, 3, 4, 5};
    scene += run('c', 6, std::string_view(reinterpret_cast<const char*>(v), sizeof v));
    scene += "] ,\n\"l\" [ 1 2 3,4 5 6 ] ,\n}\n}\nrender\n";
    Document d;
    ParseError e;
    ASSERT_TRUE(parseExact(scene, d, e)) << e.offset << ": " << e.message;

    for (size_t n = 0; n < scene.size(); ++n) {
        const std::string prefix = scene.substr(0, n);
        if (parseExact(prefix, d, e)) continue;
        EXPECT_LE(e.offset, n) << "prefix " << n;
    }
    // Cut inside the object block: refused as truncated at the end of the input.
    const size_t inObject = scene.find("geometry");
    EXPECT_FALSE(parseExact(scene.substr(0, inObject), d, e));
    EXPECT_TRUE(e.truncated);
    EXPECT_EQ(e.offset, inObject);

    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        std::string damaged = scene;
        for (int flips = 0; flips < 3; ++flips)
            damaged[random() % damaged.size()] = static_cast<char>(random() & 0xff);
        if (!parseExact(damaged, d, e)) {
            EXPECT_LE(e.offset, damaged.size());
        }
    }
}
