// Scenes written by the text writer and read back. Most checks compare qrfdump's listing of
// what was read, which shows every name, value kind, nesting level, directive and element
// boundary, so a record read wrongly shows up as a difference in one line.
#include "LightFileFactory.h"
#include "QrfText.h"
#include "SceneReader.h"
#include "orvSceneapi_oo.h"
#include "orvScene_api_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>

using namespace orv::qrf;
using orv::orvScene_api_file;
using Scene = void (*)(orvScene_api_file&);

namespace {

std::string written(Scene scene, bool binary = true, int formatFlags = -1) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    {
        orvScene_api_file writer(stream, binary);
        if (formatFlags >= 0) writer.setFormatFlags(formatFlags);
        scene(writer);
    }
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

std::string listing(const std::string& text) {
    Document document;
    ParseError error;
    if (!parse(text, document, error)) return "offset " + std::to_string(error.offset) + ": " + error.message;
    return dumpToString(document);
}

const double kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

void exampleScene(orvScene_api_file& w) {
    int one = 1;
    w.beginOptions();
    w.attribute("import_mode", orvType::Bool, &one);
    w.endOptions();
    w.beginShader(nullptr, "orv_diffuse");
    const float rgb[3] = {0.8f, 0.5f, 0.25f};
    w.attribute("diffuse", orvType::Float3, rgb);
    w.endShader();
    ShaderHandle h = w.currentShader();
    w.beginMaterial("Red", 1);
    w.materialShader(orvChannel::Surface, h);
    w.endMaterial();
    w.beginObject("Cube", 1);
    w.useMaterial("Red");
    w.setTransform(kIdentity);
    w.beginGeometry("triangles");
    const int indices[3] = {0, 1, 2};
    AttributeArray list{indices, 3};
    w.attribute("triangles", orvType::IntArray, &list);
    w.endGeometry();
    w.endObject();
    w.render();
}

void shaderScene(orvScene_api_file& w) {
    w.beginShaderId("orv_diffuse", 3);
    float k = 0.5f;
    w.attribute("k", orvType::Float, &k);
    w.endShader();
    w.beginShader("named", "orv_texture");
    w.endShader();
    // An inline shader holding another inline shader, a shader number and a binary run.
    w.beginShader(nullptr, "orv_mix");
    w.pushShader();
    w.beginShader(nullptr, "orv_texture");
    w.attribute("texture", orvType::String, "wood.png");
    w.endShader();
    ShaderHandle inner = w.currentShader();
    w.popShader();
    w.shaderAttribute("input", inner);
    w.shaderIdAttribute("base", 3);
    const int lut[2] = {125, 10};
    AttributeArray list{lut, 2};
    w.attribute("lut", orvType::IntArray, &list);
    w.endShader();
    ShaderHandle outer = w.currentShader();
    w.beginMaterial("m", 0);
    w.materialShaderId(orvChannel::Surface, 3);
    w.materialShader(orvChannel::Shadow, outer);
    w.materialShader(orvChannel::ReflectionMap, outer);
    w.materialShaderId(7, 3);
    w.endMaterial();
    w.beginCamera("cam");
    w.attribute("reflection map", orvType::ShaderRef, &inner);
    w.endCamera();
}

} // namespace

TEST(ReaderRoundTrip, WriterExampleScene) {
    EXPECT_EQ(listing(written(exampleScene)), "options {\n"
                                              "  import_mode on\n"
                                              "}\n"
                                              "material \"Red\" {\n"
                                              "  surface \"orv_diffuse\" {\n"
                                              "    \"diffuse\" 0.8 0.5 0.25\n"
                                              "  }\n"
                                              "}\n"
                                              "object \"Cube\" {\n"
                                              "  material \"Red\"\n"
                                              "  set transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n"
                                              "  geometry \"triangles\" {\n"
                                              "    \"triangles\" [ /* binary i, 3 scalars */ 0, 1, 2 ]\n"
                                              "  }\n"
                                              "}\n"
                                              "render\n");
}

// Scalars whose bytes look like syntax (newline, braces, quote, ']') and unusual floats (NaN, infinity, -0)
// survive: the reader finds a run's end by its count, not its content.
TEST(ReaderRoundTrip, BinaryRunsComeBackBitExact) {
    static const float floats[5] = {0x1.0p-149f, std::numeric_limits<float>::quiet_NaN(),
                                    std::numeric_limits<float>::infinity(), -0.0f, 1.5f};
    static const double doubles[3] = {0.1, -1e300, std::numeric_limits<double>::max()};
    static const int32_t ints[6] = {10, 0x5d5d5d5d, 0x7d7b2c22, -1, 0, 0x0a0a0a0a};
    const std::string text = written([](orvScene_api_file& w) {
        w.beginGeometry("g");
        AttributeArray a{floats, 5};
        w.attribute("f", orvType::FloatArray, &a);
        a = {doubles, 3};
        w.attribute("r", orvType::DoubleArray, &a);
        a = {ints, 6};
        w.attribute("i", orvType::IntbArray, &a);
        w.beginArray("c");
        for (int i = 0; i < 2; ++i) w.arrayValue(orvType::Float3, floats + i);
        w.endArray();
        w.endGeometry();
    });
    Document d;
    ParseError e;
    ASSERT_TRUE(parse(text, d, e)) << e.offset << ": " << e.message;
    const Statement* g = d.top.find("geometry", "g");
    ASSERT_TRUE(g);
    const Value& f = g->find("f")->args.at(0);
    ASSERT_EQ(f.floats.size(), 5u);
    EXPECT_EQ(std::memcmp(f.floats.data(), floats, sizeof floats), 0);
    EXPECT_EQ(g->find("r")->args.at(0).doubles, std::vector<double>(doubles, doubles + 3));
    EXPECT_EQ(g->find("i")->args.at(0).ints, std::vector<int32_t>(ints, ints + 6));
    const Value& c = g->find("c")->args.at(0);
    EXPECT_EQ(c.binaryKind, 'c');
    ASSERT_EQ(c.floats.size(), 6u);
    EXPECT_EQ(std::memcmp(c.floats.data(), floats, 3 * sizeof(float)), 0);
}

TEST(ReaderRoundTrip, TextListsOfEveryElementType) {
    const std::string text = written(
        [](orvScene_api_file& w) {
            static const float f[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
            static const double db[3] = {0.25, 1, 2};
            static const int in[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
            static double m[32];
            for (int i = 0; i < 32; ++i) m[i] = i;
            static const char* names[2] = {"a", "Zo\xc3\xab"};
            w.beginGeometry("lists");
            AttributeArray a{f, 3};
            w.attribute("f3", orvType::Float3Array, &a);
            a = {f, 2};
            w.attribute("f4", orvType::Float4Array, &a);
            a = {db, 1};
            w.attribute("d3", orvType::Double3Array, &a);
            a = {in, 10};
            w.attribute("i", orvType::IntArray, &a);
            a = {in, 3};
            w.attribute("b", orvType::BoolArray, &a);
            a = {m, 2};
            w.attribute("m", orvType::Matrix16Array, &a);
            a = {names, 2};
            w.attribute("s", orvType::StringArray, &a);
            a = {f, 0};
            w.attribute("e", orvType::FloatArray, &a);
            w.beginShader(nullptr, "orv_texture");
            w.endShader();
            ShaderHandle texture = w.currentShader();
            w.beginArray("layers");
            w.arrayValue(orvType::ShaderRef, &texture);
            w.arrayValue(orvType::StringRef, &names[1]);
            for (int i = 0; i < 2; ++i) w.arrayValue(orvType::Int, in + i);
            w.endArray();
            w.endGeometry();
        },
        false);
    EXPECT_EQ(listing(text),
              "geometry \"lists\" {\n"
              "  \"f3\" [ 1 2 3, 4 5 6, 7 8 9 ]\n"
              "  \"f4\" [ 1 2 3 4, 5 6 7 8 ]\n"
              "  \"d3\" [ 0.25 1 2 ]\n"
              "  \"i\" [ 0, 1, 2, 3, 4, 5, 6, 7,\n"
              "    8, 9 ]\n"
              "  \"b\" [ 0, 1, 1 ]\n"
              "  \"m\" [ 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15, 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31 ]\n"
              "  \"s\" [ \"a\", \"Zo\xc3\xab\" ]\n"
              "  \"e\" [  ]\n"
              "  \"layers\" [ \"orv_texture\" {\n"
              "    }, \"Zo\xc3\xab\", 0, 1 ]\n"
              "}\n");
}

TEST(ReaderRoundTrip, ShadersInlineNestedNumberedAndNamed) {
    EXPECT_EQ(listing(written(shaderScene)), "#define shader 3 orv_diffuse {\n"
                                             "  \"k\" 0.5\n"
                                             "}\n"
                                             "#define shader \"named\" \"orv_texture\" {\n"
                                             "}\n"
                                             "#define material \"m\" {\n"
                                             "  surface 3\n"
                                             "  shadow \"orv_mix\" {\n"
                                             "    \"input\" ! \"orv_texture\" {\n"
                                             "      \"texture\" \"wood.png\"\n"
                                             "    }\n"
                                             "    \"base\" ! 3\n"
                                             "    \"lut\" [ /* binary i, 2 scalars */ 125, 10 ]\n"
                                             "  }\n"
                                             "  reflection map \"orv_mix\" {\n"
                                             "    \"input\" ! \"orv_texture\" {\n"
                                             "      \"texture\" \"wood.png\"\n"
                                             "    }\n"
                                             "    \"base\" ! 3\n"
                                             "    \"lut\" [ /* binary i, 2 scalars */ 125, 10 ]\n"
                                             "  }\n"
                                             "  // assuming surface shader\n"
                                             "  surface 3\n"
                                             "}\n"
                                             "camera \"cam\" {\n"
                                             "  reflection map \"orv_texture\" {\n"
                                             "    \"texture\" \"wood.png\"\n"
                                             "  }\n"
                                             "}\n");
}

// Indentation is never switched on in this system, but a reader must not depend on that.
TEST(ReaderRoundTrip, IndentedOutputReadsTheSame) {
    const std::string indented = written(shaderScene, true, orvScene_api_file::BinaryLists);
    ASSERT_NE(indented, written(shaderScene));
    EXPECT_EQ(listing(indented), listing(written(shaderScene)));
}

TEST(ReaderRoundTrip, EveryOtherRecordAndHexNames) {
    const std::string text = written([](orvScene_api_file& w) {
        static const unsigned char bytes[4] = {0x00, 0x0a, 0x22, 0xff};
        static const char* odd = "a\"b\nc\xff";
        w.print("say \"hi\" there\nsecond line"); // unescaped: a quote is fine unless it ends a line
        w.error("bad %d", 7);
        w.version(-1);
        w.beginCamera(nullptr);
        w.endCamera();
        w.modifyCamera("cam");
        w.endCamera();
        w.beginImage();
        int width = 640;
        w.attribute("width", orvType::Int, &width);
        w.endImage();
        w.beginOutput("a", "b", "c");
        w.endOutput();
        w.beginGroup(odd, 0);
        w.transform(kIdentity);
        w.scale(1, 2, 3);
        w.rotate(0, 90, 0);
        w.translate(-1, 0, 0.5);
        w.id(4000000000u);
        w.flags(1);
        w.icon(bytes, 4);
        w.blob("thumb", bytes, 0);
        w.beginLight("sun");
        w.endLight();
        w.beginObject("Zo\xc3\xab", 0);
        w.useMaterial(odd);
        w.attribute("label", orvType::String, odd);
        w.endObject();
        w.endGroup();
        w.beginAccel("bvh");
        w.endAccel();
        w.beginLoad("orvrtopt.so");
        w.endLoad();
        w.beginMatrix("mx");
        w.endMatrix();
        w.beginAnimation("fbx_animation", "walk");
        w.attribute(odd, orvType::StringRef, &odd);
        w.endAnimation();
        w.fileAttribute("source file", "source file");
        w.progress("half", 0.5f);
        w.render();
    });
    EXPECT_EQ(listing(text), "#print \"say \\\"hi\\\" there\\nsecond line\"\n"
                             "#error \"bad 7\"\n"
                             "version 8\n"
                             "camera {\n"
                             "}\n"
                             "#modify camera \"cam\" {\n"
                             "}\n"
                             "image {\n"
                             "  width 640\n"
                             "}\n"
                             "output \"a\" \"b\" \"c\" {\n"
                             "}\n"
                             "#define group \"a\\\"b\\nc\\xff\" {\n"
                             "  transform 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n"
                             "  scale 1 2 3\n"
                             "  rotate 0 90 0\n"
                             "  translate -1 0 0.5\n"
                             "  id 4000000000\n"
                             "  flags 1\n"
                             "  icon bX000a22ff\n"
                             "  thumb bX\n"
                             "  light \"sun\" {\n"
                             "  }\n"
                             "  #define object \"Zo\xc3\xab\" {\n"
                             "    material \"a\\\"b\\nc\\xff\"\n"
                             "    label \"a\\\"b\\nc\\xff\"\n"
                             "  }\n"
                             "}\n"
                             "accel \"bvh\" {\n"
                             "}\n"
                             "load \"orvrtopt.so\" {\n"
                             "}\n"
                             "#define matrix \"mx\" {\n"
                             "}\n"
                             "animation \"fbx_animation\" \"walk\" {\n"
                             "  \"a\\\"b\\nc\\xff\" \"a\\\"b\\nc\\xff\"\n"
                             "}\n"
                             "attribute \"source file\" \"source file\"\n"
                             "progress \"half\" 0.500\n"
                             "render\n");
}

// A whole export through the file factory and the wrapper: header comments, banner, version.
TEST(ReaderRoundTrip, ExportedFileStartsWithHeaderBannerAndVersion) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("reader_export_" + std::to_string(::getpid()) + ".qrf")).string();
    {
        orv::LightFileFactory factory(path);
        auto* wrapper = new orv::orvSceneapi_oo(&factory);
        wrapper->beginGroup("doc");
        wrapper->setFloat3Array("vertices", {{1, 2, 3}});
        wrapper->endGroup();
        delete wrapper;
    }
    Document d;
    ParseError error;
    ASSERT_TRUE(parseFile(path, d, error)) << error.offset << ": " << error.message;
    std::filesystem::remove(path);
    EXPECT_EQ(d.comments, (std::vector<std::string>{"//---orvane:dal:7---", "//---import:dal:1---",
                                                    "//---id:1---", "// This is a Tavrin scene file"}));
    ASSERT_EQ(d.top.statements.size(), 3u);
    EXPECT_EQ(d.top.statements[0].keyword, "#print");
    EXPECT_EQ(d.top.statements[0].name(), orv::orvSceneapi_oo::banner());
    EXPECT_EQ(d.top.statements[1].keyword, "version");
    EXPECT_EQ(d.top.statements[1].args.at(0).text, "9");
    EXPECT_EQ(d.top.findDeep("vertices")->args.at(0).floats, (std::vector<float>{1, 2, 3}));
}
