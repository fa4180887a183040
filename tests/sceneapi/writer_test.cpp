// The text scene file writer: exact bytes of records, names, values, lists and shaders.
#include "capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <cstdio>
#include <vector>

using orv::orvScene_api_file;
using namespace std::string_literals;

namespace {

const double identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

std::string attributeText(int type, const void* value, bool binary = true)
{
    WriterOnMemory w(binary);
    w.writer.attribute("a", type, value);
    return w.text();
}

} // namespace

TEST(Writer, ExampleSceneComesOutByteForByte)
{
    WriterOnMemory w;
    orvScene_api_file& s = w.writer;
    int one = 1;
    s.beginOptions();
    s.attribute("import_mode", 7, &one);
    s.endOptions();
    const float rgb[3] = {0.8f, 0.5f, 0.25f};
    s.beginShader(nullptr, "orv_diffuse");
    s.attribute("diffuse", 1, rgb);
    s.endShader();
    ShaderHandle h = s.currentShader();
    s.beginMaterial("Red", 1);
    s.materialShader(0, h);
    s.endMaterial();
    s.beginObject("Cube", 1);
    s.useMaterial("Red");
    s.setTransform(identity);
    s.beginGeometry("triangles");
    const int indices[3] = {0, 1, 2};
    AttributeArray list = listOf(indices, 3);
    s.attribute("triangles", 0x8006, &list);
    s.endGeometry();
    s.endObject();
    EXPECT_TRUE(s.render());

    const std::string expected =
        "\noptions {\nimport_mode on\n}\n"
        "material \"Red\" {\nsurface \"orv_diffuse\" {\n\"diffuse\" 0.8 0.5 0.25,\n}\n}\n"
        "object \"Cube\" {\nmaterial \"Red\"\nset transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n"
        "geometry \"triangles\" {\n\"triangles\" [ \x01\x02\x03i\x03\x00\x00\x00"
        "\x00\x00\x00\x00\x01\x00\x00\x00\x02\x00\x00\x00] ,\n}\n}\n\nrender\n"s;
    EXPECT_EQ(w.text(), expected);
}

TEST(Writer, NamesAreQuotedOrHexEncoded)
{
    const struct {
        const char* name;
        std::string written;
    } cases[] = {
        {"Cube", "\"Cube\""},
        {"", "\"\""},
        {nullptr, "\"\""},
        {"a\"b", "xX612262"},
        {"Zo\xc3\xab", "xX5a6fc3ab"},
        {"two\nlines", "xX74776f0a6c696e6573"},
        {"cr\r", "xX6372" "0d"},
        {"100% %s%n{}", "\"100% %s%n{}\""}, // a format in a name is just text
    };
    for (const auto& c : cases) {
        WriterOnMemory w;
        w.writer.beginGroup(c.name, 1);
        EXPECT_EQ(w.text(), "\ngroup " + c.written + " {\n") << (c.name ? c.name : "(null)");
    }
    WriterOnMemory w;
    w.writer.fileAttribute("source file", "/tmp/Zo\xc3\xab.c4d");
    EXPECT_EQ(w.text(), "attribute \"source file\" xX2f746d702f5a6fc3ab2e633464\n");
}

TEST(Writer, ScalarValues)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float floats[] = {inf, -inf, std::nanf(""), FLT_MAX, -FLT_MAX};
    for (float f : floats) EXPECT_EQ(attributeText(3, &f), "\"a\" -1,\n") << f;
    const float half = 0.5f, big = 3.0e38f;
    EXPECT_EQ(attributeText(3, &half), "\"a\" 0.5,\n");
    EXPECT_EQ(attributeText(3, &big), "\"a\" 3e+38,\n");

    const double tenth = 0.1;
    EXPECT_EQ(attributeText(4, &tenth), "\"a\" 0.1000000000000000,\n");
    const double d3[3] = {1.5, -2, 1e-7};
    EXPECT_EQ(attributeText(5, d3), "\"a\" 1.5 -2 1e-07,\n");
    const int ints[4] = {-1, 2, 3, 4};
    EXPECT_EQ(attributeText(6, ints), "\"a\" -1,\n");
    EXPECT_EQ(attributeText(23, ints), "\"a\" -1,\n");
    EXPECT_EQ(attributeText(16, ints), "\"a\" -1 2,\n");
    EXPECT_EQ(attributeText(18, ints), "\"a\" -1 2 3 4,\n");
    EXPECT_EQ(attributeText(7, &ints[0]), "\"a\" on,\n");
    const int zero = 0;
    EXPECT_EQ(attributeText(7, &zero), "\"a\" off,\n");
    const float f4[4] = {1, 2, 3, 4};
    EXPECT_EQ(attributeText(15, f4), "\"a\" 1 2 3 4,\n");
    EXPECT_EQ(attributeText(14, f4), "\"a\" 1 2,\n");
    // Matrices are rounded to single precision first.
    const double m[16] = {1e39, 0.1, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    EXPECT_EQ(attributeText(9, m), "\"a\" inf 0.1 0 0 0 1 0 0 0 0 1 0 0 0 0 1,\n");
    const char* ref = "Zo\xc3\xab";
    EXPECT_EQ(attributeText(13, &ref), "\"a\" xX5a6fc3ab,\n");
    EXPECT_EQ(attributeText(10, "ok"), "\"a\" \"ok\",\n");
    EXPECT_EQ(attributeText(8, &zero), "\"a\" ,\n");
    EXPECT_EQ(attributeText(6, nullptr), "\"a\" ,\n"); // no value to read: none written
}

TEST(Writer, TextLists)
{
    const float f3[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    AttributeArray l = listOf(f3, 3);
    EXPECT_EQ(attributeText(0x8001, &l, false), "\"a\" [ 1 2 3,4 5 6,7 8 9 ] ,\n");

    int ten[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    l = listOf(ten, 10);
    EXPECT_EQ(attributeText(0x8006, &l, false), "\"a\" [ 0,1,2,3,4,5,6,7,8,\n9 ] ,\n");
    EXPECT_EQ(attributeText(0x8007, &l, false), "\"a\" [ 0,1,1,1,1,1,1,1,1,\n1 ] ,\n");

    const float clamp[2] = {std::numeric_limits<float>::infinity(), 2.5f};
    l = listOf(clamp, 2);
    EXPECT_EQ(attributeText(0x8003, &l, false), "\"a\" [ -1,2.5 ] ,\n");
    const double doubles[2] = {1e39, 0.25};
    l = listOf(doubles, 2);
    EXPECT_EQ(attributeText(0x8004, &l, false), "\"a\" [ -1.0000000000000000,0.2500000000000000 ] ,\n");

    double mats[32] = {};
    mats[0] = 0.1;
    mats[31] = 7;
    l = listOf(mats, 2);
    EXPECT_EQ(attributeText(0x8009, &l),
              "\"a\" [ 0.1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 ,\n0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 7 \n] ,\n");
    const char* strings[2] = {"x", "a\"b"};
    l = listOf(strings, 2);
    EXPECT_EQ(attributeText(0x800A, &l), "\"a\" [ \"x\",\nxX612262 \n] ,\n");

    l = listOf(f3, 0);
    EXPECT_EQ(attributeText(0x8001, &l, false), "\"a\" [ ] ,\n");
    l = listOf(nullptr, 5); // no elements to read
    EXPECT_EQ(attributeText(0x8006, &l, false), "\"a\" [ ] ,\n");
    l = listOf(f3, 3);
    EXPECT_EQ(attributeText(0x8010, &l), "\"a\" ,\n"); // unknown list: nothing at all
}

TEST(Writer, BinaryListLayout)
{
    const float f3[6] = {1, 2, 3, 4, 5, 6};
    AttributeArray l = listOf(f3, 2);
    std::string run = attributeText(0x8001, &l);
    EXPECT_EQ(run.substr(0, 14), "\"a\" [ \x01\x02\x03" "c\x06\x00\x00\x00"s);
    EXPECT_EQ(run.size(), 14 + 24 + 4u);
    EXPECT_EQ(0, std::memcmp(run.data() + 14, f3, 24));
    EXPECT_EQ(run.substr(38), "] ,\n");

    const double d[2] = {0.5, -1};
    l = listOf(d, 2);
    run = attributeText(0x8004, &l);
    EXPECT_EQ(run.substr(6, 8), "\x01\x02\x03r\x02\x00\x00\x00"s);
    EXPECT_EQ(0, std::memcmp(run.data() + 14, d, 16));

    const int i[1] = {-2};
    l = listOf(i, 1);
    EXPECT_EQ(attributeText(0x8017, &l), "\"a\" [ \x01\x02\x03i\x01\x00\x00\x00\xfe\xff\xff\xff] ,\n"s);
    const float inf = std::numeric_limits<float>::infinity();
    l = listOf(&inf, 1); // no clamping in binary form
    EXPECT_EQ(attributeText(0x8003, &l), "\"a\" [ \x01\x02\x03" "f\x01\x00\x00\x00\x00\x00\x80\x7f] ,\n"s);
    l = listOf(i, 0);
    EXPECT_EQ(attributeText(0x8006, &l), "\"a\" [ \x01\x02\x03i\x00\x00\x00\x00] ,\n"s);
    const double d3[3] = {1, 2, 3};
    l = listOf(d3, 1); // no binary form for this code
    EXPECT_EQ(attributeText(0x8005, &l), "\"a\" [ 1 2 3 ] ,\n");
}

TEST(Writer, ElementByElementLists)
{
    WriterOnMemory text(false);
    text.writer.beginArray("n");
    for (int i = 0; i < 7; ++i) text.writer.arrayValue(6, &i);
    text.writer.endArray();
    const float v[3] = {1, 2, 3};
    text.writer.beginArray("v");
    for (int i = 0; i < 3; ++i) text.writer.arrayValue(1, v);
    text.writer.endArray();
    EXPECT_EQ(text.text(), "\"n\" [\n0, 1, 2, 3, 4, 5,\n6 ],\n\"v\" [\n1 2 3, 1 2 3,\n1 2 3 ],\n");

    WriterOnMemory bin;
    bin.writer.beginArray("v");
    bin.writer.arrayValue(1, v);
    bin.writer.arrayValue(1, v);
    bin.writer.endArray();
    bin.writer.beginArray("e");
    bin.writer.endArray();
    std::string expected = "\"v\" [\n\x01\x02\x03" "c\x06\x00\x00\x00"s;
    expected.append(reinterpret_cast<const char*>(v), 12).append(reinterpret_cast<const char*>(v), 12);
    EXPECT_EQ(bin.text(), expected + " ],\n\"e\" [\n ],\n");
}

TEST(Writer, Records)
{
    WriterOnMemory w;
    orvScene_api_file& s = w.writer;
    s.version(-1);
    s.version(9);
    s.materialShaderId(7, 3);
    s.materialShaderId(3, 4);
    s.beginShaderId("orv_diffuse", 5);
    s.shaderIdAttribute("shader", 5);
    s.endShader();
    s.beginMaterial("M", 0);
    s.endMaterial();
    s.beginGroup("G", 0);
    s.endGroup();
    s.progress("half", 0.5f);
    const unsigned char bytes[3] = {0, 0xff, 0x10};
    s.icon(bytes, 3);
    s.blob("thumb", bytes, 2);
    s.id(4000000000u);
    s.flags(1);
    s.scale(1, 2, 3);
    s.transform(identity);
    s.beginAnimation("fbx_animation", "walk");
    EXPECT_EQ(s.endAnimation(), 0);
    EXPECT_EQ(s.reserved3(), 10);
    EXPECT_EQ(s.reserved4(), 10);
    EXPECT_FALSE(s.connect("localhost", 3141, 0));
    EXPECT_EQ(w.text(), "version 8\n\nversion 9\n\n// assuming surface shader\nsurface 3\nreflection map 4\n"
                        "#define shader 5 orv_diffuse {\n\"shader\" ! 5,\n}\n\n#define material \"M\" {\n}\n"
                        "\n#define group \"G\" {\n}\nprogress \"half\" 0.500\n\nicon bX00ff10\nthumb bX00ff\n"
                        "id 4000000000\nflags 1\nscale 1 2 3\ntransform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n"
                        "animation \"fbx_animation\" \"walk\" {\n}\n");
}

TEST(Writer, SectionsExcludeEachOther)
{
    WriterOnMemory w;
    orvScene_api_file& s = w.writer;
    ASSERT_TRUE(s.beginOptions());
    EXPECT_FALSE(s.beginCamera("c"));
    EXPECT_FALSE(s.modifyCamera("c")); // refused without a dangling "#modify "
    s.endCamera();                     // clears the section, writes nothing
    s.endOptions();                    // so this writes nothing either
    EXPECT_EQ(w.text(), "\noptions {\n");

    s.beginObject("o", 1);
    EXPECT_FALSE(s.beginImage());
    s.endObject();
    EXPECT_TRUE(s.beginCamera(nullptr));
    const int three = 3;
    s.attribute("samples", 6, &three);
    s.endCamera();
    EXPECT_TRUE(s.modifyCamera("c"));
    s.endCamera();
    EXPECT_EQ(w.text(), "\noptions {\nobject \"o\" {\n}\n\ncamera {\nsamples 3\n}\n#modify \ncamera \"c\" {\n}\n");
}

TEST(Writer, InlineShadersAreCopiedWhereUsed)
{
    WriterOnMemory w;
    orvScene_api_file& s = w.writer;
    const int two = 2;
    s.beginShader(nullptr, "outer");
    s.pushShader();
    s.beginShader(nullptr, "inner");
    s.attribute("k", 6, &two);
    s.endShader();
    ShaderHandle inner = s.currentShader();
    s.popShader();
    s.shaderAttribute("tex", inner);
    s.endShader();
    ShaderHandle outer = s.currentShader();
    EXPECT_EQ(w.text(), ""); // nothing reaches the stream while building

    s.beginMaterial("m", 1);
    s.materialShader(1, outer);
    s.materialShader(1, outer);
    s.materialShader(0, nullptr);
    s.endMaterial();
    s.beginGroup("g", 1);
    s.attribute("env", 0x10000, &inner);
    s.endGroup();
    EXPECT_FALSE(s.shaderAttribute("none", nullptr));
    const std::string outerText = "\"outer\" {\n\"tex\" ! \"inner\" {\n\"k\" 2,\n},\n}";
    EXPECT_EQ(w.text(), "material \"m\" {\nshadow " + outerText + "\nshadow " + outerText +
                            "\n}\n\ngroup \"g\" {\nenv \"inner\" {\n\"k\" 2,\n}\n}\n");

    // A shader holding raw bytes (hex name, binary run) is copied by its length.
    WriterOnMemory b;
    b.writer.beginShader(nullptr, "k\xc3\xab");
    const int zero = 0;
    AttributeArray l = listOf(&zero, 1);
    b.writer.attribute("i", 0x8006, &l);
    b.writer.endShader();
    ShaderHandle h = b.writer.currentShader();
    b.writer.materialShader(0, h);
    EXPECT_EQ(b.text(), "surface xX6bc3ab {\n\"i\" [ \x01\x02\x03i\x01\x00\x00\x00\x00\x00\x00\x00] ,\n}\n"s);
}

TEST(Writer, MisuseNeverCrashes)
{
    WriterOnMemory w;
    orvScene_api_file& s = w.writer;
    // Unmatched ends and empty stacks.
    s.endShader();
    s.popShader();
    s.endGroup();
    s.endObject();
    s.endArray();
    s.endOutput();
    // Null names, kinds, values and formats.
    s.beginObject(nullptr, 0);
    s.attribute(nullptr, 6, nullptr);
    s.beginGeometry(nullptr);
    s.beginAnimation(nullptr, nullptr);
    s.beginShaderId(nullptr, 1);
    s.beginShader("n", nullptr);
    s.beginOutput(nullptr, nullptr, nullptr);
    s.fileAttribute(nullptr, nullptr);
    s.blob(nullptr, nullptr, 10);
    s.transform(nullptr);
    s.beginArray(nullptr);
    s.arrayValue(6, nullptr);
    s.endArray();
    const char* noFormat = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    s.print(noFormat);
    s.printRaw(noFormat);
#pragma GCC diagnostic pop
    EXPECT_NE(w.text().find("#define object \"\" {\n \n"), std::string::npos);

    // Without a stream every operation answers as usual and writes nothing.
    orvScene_api_file none(nullptr, true);
    EXPECT_TRUE(none.beginOptions());
    EXPECT_FALSE(none.beginCamera("c"));
    none.endOptions();
    EXPECT_TRUE(none.beginShader(nullptr, "k"));
    none.endShader();
    EXPECT_NE(none.currentShader(), nullptr);
    EXPECT_TRUE(none.render());
    none.print("%s", "x");
    EXPECT_FALSE(none.writeFailed());
}

TEST(Writer, FormatsAndLongRecordsAreWrittenWhole)
{
    WriterOnMemory w;
    w.writer.print("%s", "50% done %n");
    w.writer.error("%d", 7);
    w.writer.printRaw("raw %s\n", "x");
    const std::string longName(3 << 20, 'n');
    w.writer.fileAttribute("k", longName.c_str());
    EXPECT_EQ(w.text(), "#print \"50% done %n\"\n#error \"7\"\nraw x\nattribute \"k\" \"" + longName + "\"\n");
}

TEST(Writer, NumericLocaleIsCOnlyWhileTheWriterLives)
{
    std::setlocale(LC_NUMERIC, "C.UTF-8");
    {
        WriterOnMemory w;
        EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    }
    EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C.UTF-8");
    std::setlocale(LC_NUMERIC, "C");
}

TEST(Writer, IndentationWhenSwitchedOn)
{
    WriterOnMemory w;
    w.writer.setFormatFlags(0); // indentation on, binary lists off
    const int one = 1;
    w.writer.beginGroup("g", 1);
    w.writer.beginObject("o", 1);
    w.writer.attribute("a", 6, &one);
    w.writer.endObject();
    w.writer.endGroup();
    EXPECT_EQ(w.text(), "\ngroup \"g\" {\n object \"o\" {\n  a 1\n }\n}\n");
}

TEST(Writer, FailedWritesStick)
{
    FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    {
        orvScene_api_file s(full, true);
        std::vector<float> many(1 << 16, 1.0f);
        AttributeArray l = listOf(many.data(), static_cast<int32_t>(many.size()));
        s.attribute("big", 0x8003, &l);
        EXPECT_TRUE(s.writeFailed());
        EXPECT_EQ(s.writeErrno(), ENOSPC);
    }
    std::fclose(full);
}

// Matrix lists are formatted without printf; every value must still read exactly as "%g"
// writes it: awkward values, a million random ones over every magnitude (subnormals and the
// largest included) and decimal values whose seventh digit is a 5 (ties and near-ties).
TEST(Writer, MatrixListValuesMatchPrintfG)
{
    std::vector<double> values = {0.0, -0.0, 1.0, -1.0, 0.1, 1e-5, 1e-4, 123456.0, 1234567.0, 1e15,
                                  -2.5e-300, 4.9e-324, DBL_MAX, -DBL_MAX, 1.0 / 3.0, 99999.95,
                                  0.000099999995, 999999.5, 9999995.0, 0.5, 2.5e-5, 1e22, 1e23, 1e-17,
                                  std::numeric_limits<double>::denorm_min(),
                                  -std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::min(),
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN()};
    uint64_t state = 12345;
    auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state;
    };
    for (int i = 0; i < 1000000; ++i) { // reproducible
        const uint64_t r = next();
        double v;
        if (i % 4 == 0) { // any bit pattern that is a number: every exponent, subnormals too
            v = std::bit_cast<double>(r);
            if (!std::isfinite(v))
                v = -0.0;
        } else if (i % 4 == 1) { // seven significant digits ending in 5, at many scales
            v = static_cast<double>((r >> 20) % 900000 * 10 + 1000005) * std::pow(10.0, static_cast<int>(r % 40) - 26);
        } else { // the spread of magnitudes animations write
            const double mantissa = static_cast<double>(r >> 11) / 9007199254740992.0 - 0.5;
            v = std::ldexp(mantissa, static_cast<int>(r % 200) - 100);
        }
        values.push_back(v);
    }
    while (values.size() % 16) values.push_back(0.5);

    std::string expected = "\"a\" [ ";
    for (size_t m = 0; m < values.size() / 16; ++m) {
        for (size_t k = 0; k < 16; ++k) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%g ", values[m * 16 + k]);
            expected += buf;
        }
        expected += m + 1 < values.size() / 16 ? ",\n" : "\n";
    }
    expected += "] ,\n";
    AttributeArray l{values.data(), static_cast<int32_t>(values.size() / 16)};
    const std::string actual = attributeText(0x8009, &l);
    // On a difference, show the line where it starts rather than megabytes of text.
    const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    if (diff.first != actual.end() || diff.second != expected.end()) {
        const size_t at = static_cast<size_t>(diff.first - actual.begin());
        const size_t line = actual.rfind('\n', at) == std::string::npos ? 0 : actual.rfind('\n', at) + 1;
        ADD_FAILURE() << "first difference at byte " << at << "\n  written: "
                      << actual.substr(line, actual.find('\n', at) - line) << "\n  printf:  "
                      << expected.substr(line, expected.find('\n', at) - line);
    }
}
