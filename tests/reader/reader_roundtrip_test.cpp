// Scenes written by the text writer and read back: every record the writer can produce must
// come back with its names, values and nesting intact, binary runs bit for bit.
#include "LightFileFactory.h"
#include "SceneReader.h"
#include "orvSceneapi_oo.h"
#include "orvScene_api_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>

using namespace orv::qrf;
using orv::orvScene_api_file;

namespace {

// Runs calls on a writer over a memory stream and returns the bytes written.
std::string written(bool binary, const std::function<void(orvScene_api_file&)>& calls) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    {
        orvScene_api_file writer(stream, binary);
        calls(writer);
    }
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

Document readBack(const std::string& text) {
    Document document;
    ParseError error;
    EXPECT_TRUE(parse(text, document, error)) << "offset " << error.offset << ": " << error.message;
    return document;
}

std::vector<std::string> words(const Statement& s) {
    std::vector<std::string> out;
    for (const Value& v : s.args) out.push_back(v.text);
    return out;
}

const double kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

} // namespace

TEST(ReaderRoundTrip, WriterExampleScene) {
    const std::string text = written(true, [](orvScene_api_file& w) {
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
    });
    const Document d = readBack(text);
    ASSERT_EQ(d.top.statements.size(), 4u);

    const Statement* options = d.top.find("options");
    ASSERT_TRUE(options && options->block);
    const Statement* mode = options->find("import_mode");
    ASSERT_TRUE(mode);
    EXPECT_FALSE(mode->quotedKey);
    EXPECT_EQ(words(*mode), std::vector<std::string>{"on"});

    const Statement* material = d.top.find("material", "Red");
    ASSERT_TRUE(material && material->block);
    const Statement* surface = material->find("surface");
    ASSERT_TRUE(surface);
    ASSERT_EQ(surface->args.size(), 1u);
    EXPECT_EQ(surface->args[0].kind, Value::Kind::Shader);
    EXPECT_EQ(surface->args[0].text, "orv_diffuse");
    const Statement* diffuse = surface->args[0].block->find("diffuse");
    ASSERT_TRUE(diffuse);
    EXPECT_TRUE(diffuse->quotedKey);
    EXPECT_EQ(words(*diffuse), (std::vector<std::string>{"0.8", "0.5", "0.25"}));

    const Statement* cube = d.top.find("object", "Cube");
    ASSERT_TRUE(cube && cube->block);
    const Statement* use = cube->find("material");
    ASSERT_TRUE(use);
    EXPECT_FALSE(use->block);
    EXPECT_EQ(use->name(), "Red");
    const Statement* placed = cube->find("set transform");
    ASSERT_TRUE(placed);
    ASSERT_EQ(placed->args.size(), 16u);
    EXPECT_EQ(placed->args[15].number(), 1.0);
    const Statement* triangles = cube->block->findDeep("triangles", "");
    ASSERT_TRUE(triangles);
    ASSERT_EQ(triangles->args.size(), 1u);
    const Value& run = triangles->args[0];
    EXPECT_EQ(run.kind, Value::Kind::Binary);
    EXPECT_EQ(run.binaryKind, 'i');
    EXPECT_EQ(run.ints, (std::vector<int32_t>{0, 1, 2}));
    EXPECT_TRUE(d.top.find("render"));
}

// Scalars whose bytes look like syntax (newline, braces, quote, ']') and special floats
// must survive: the reader takes the count, not the content, to find the run's end.
TEST(ReaderRoundTrip, BinaryRunsOfEveryKindComeBackBitExact) {
    const std::vector<float> floats = {0x1.0p-149f, std::numeric_limits<float>::quiet_NaN(),
                                       std::numeric_limits<float>::infinity(), -0.0f, 1.5f};
    const float triples[6] = {1, 2, 3, 4, 5, 6};
    const std::vector<double> doubles = {0.1, -1e300, std::numeric_limits<double>::max()};
    const std::vector<int32_t> ints = {10, 0x5d5d5d5d, 0x7d7b2c22, -1, 0, 0x0a0a0a0a};
    const std::string text = written(true, [&](orvScene_api_file& w) {
        w.beginGeometry("triangles");
        AttributeArray f{floats.data(), static_cast<int32_t>(floats.size())};
        AttributeArray c{triples, 2};
        AttributeArray r{doubles.data(), static_cast<int32_t>(doubles.size())};
        AttributeArray i{ints.data(), static_cast<int32_t>(ints.size())};
        AttributeArray empty{ints.data(), 0};
        w.attribute("uv_tex", orvType::FloatArray, &f);
        w.attribute("vertices", orvType::Float3Array, &c);
        w.attribute("weights", orvType::DoubleArray, &r);
        w.attribute("triangles", orvType::IntArray, &i);
        w.attribute("ids", orvType::IntbArray, &i);
        w.attribute("none", orvType::IntArray, &empty);
        w.endGeometry();
    });
    const Document d = readBack(text);
    const Statement* geometry = d.top.find("geometry", "triangles");
    ASSERT_TRUE(geometry && geometry->block);
    const auto run = [&](const char* key) -> const Value& {
        const Statement* s = geometry->find(key);
        EXPECT_TRUE(s) << key;
        static const Value missing;
        if (!s || s->args.size() != 1) return missing;
        return s->args[0];
    };
    const Value& f = run("uv_tex");
    EXPECT_EQ(f.binaryKind, 'f');
    ASSERT_EQ(f.floats.size(), floats.size());
    EXPECT_EQ(std::memcmp(f.floats.data(), floats.data(), floats.size() * 4), 0);
    EXPECT_EQ(run("vertices").binaryKind, 'c');
    EXPECT_EQ(run("vertices").floats, std::vector<float>(triples, triples + 6));
    EXPECT_EQ(run("weights").binaryKind, 'r');
    EXPECT_EQ(run("weights").doubles, doubles);
    EXPECT_EQ(run("triangles").ints, ints);
    EXPECT_EQ(run("ids").ints, ints);
    EXPECT_EQ(run("none").kind, Value::Kind::Binary);
    EXPECT_EQ(run("none").binaryCount(), 0u);
}

TEST(ReaderRoundTrip, ElementByElementListsInBothForms) {
    const auto calls = [](orvScene_api_file& w) {
        w.beginGeometry("g");
        w.beginArray("points");
        for (int i = 0; i < 7; ++i) {
            const float p[3] = {float(i), float(i) + 0.5f, -float(i)};
            w.arrayValue(orvType::Float3, p);
        }
        w.endArray();
        w.beginArray("indices");
        for (int i = 0; i < 13; ++i) w.arrayValue(orvType::Int, &i);
        w.endArray();
        w.beginArray("empty");
        w.endArray();
        w.endGeometry();
    };
    for (const bool binary : {true, false}) {
        SCOPED_TRACE(binary ? "binary" : "text");
        const Document d = readBack(written(binary, calls));
        const Statement* g = d.top.find("geometry", "g");
        ASSERT_TRUE(g && g->block);
        const Statement* points = g->find("points");
        const Statement* indices = g->find("indices");
        const Statement* empty = g->find("empty");
        ASSERT_TRUE(points && indices && empty);
        ASSERT_EQ(points->args.size(), 1u);
        ASSERT_EQ(indices->args.size(), 1u);
        const Value& p = points->args[0];
        const Value& n = indices->args[0];
        if (binary) {
            EXPECT_EQ(p.binaryKind, 'c');
            ASSERT_EQ(p.floats.size(), 21u);
            EXPECT_EQ(p.floats[19], 6.5f);
            EXPECT_EQ(n.binaryKind, 'i');
            ASSERT_EQ(n.ints.size(), 13u);
            EXPECT_EQ(n.ints[12], 12);
        } else {
            EXPECT_EQ(p.kind, Value::Kind::List);
            EXPECT_EQ(p.listElements, 7u);
            ASSERT_EQ(p.items.size(), 21u);
            EXPECT_EQ(p.items[19], "6.5");
            EXPECT_EQ(n.listElements, 13u);
            ASSERT_EQ(n.items.size(), 13u);
            EXPECT_EQ(n.items[12], "12");
        }
        ASSERT_EQ(empty->args.size(), 1u);
        EXPECT_EQ(empty->args[0].kind, Value::Kind::List);
        EXPECT_EQ(empty->args[0].listElements, 0u);
    }
}

TEST(ReaderRoundTrip, TextListsOfEveryElementType) {
    const float f3[30] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                          16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30};
    const float f4[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const float fl[2] = {std::numeric_limits<float>::infinity(), 0.25f};
    const double db[2] = {0.1, 1e300};
    const double d3[3] = {1, 2, 3};
    const int in[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    double matrices[32];
    for (int i = 0; i < 32; ++i) matrices[i] = i * 0.5;
    const char* strings[3] = {"plain", "quo\"te", "Zo\xc3\xab"};
    const std::string text = written(false, [&](orvScene_api_file& w) {
        w.beginGeometry("lists");
        AttributeArray a{f3, 10};
        w.attribute("f3", orvType::Float3Array, &a);
        a = {f4, 2};
        w.attribute("f4", orvType::Float4Array, &a);
        a = {fl, 2};
        w.attribute("f", orvType::FloatArray, &a);
        a = {db, 2};
        w.attribute("d", orvType::DoubleArray, &a);
        a = {d3, 1};
        w.attribute("d3", orvType::Double3Array, &a);
        a = {in, 10};
        w.attribute("i", orvType::IntArray, &a);
        a = {in, 3};
        w.attribute("b", orvType::BoolArray, &a);
        a = {matrices, 2};
        w.attribute("m", orvType::Matrix16Array, &a);
        a = {strings, 3};
        w.attribute("s", orvType::StringArray, &a);
        w.attribute("sr", orvType::StringRefArray, &a);
        w.endGeometry();
    });
    const Document d = readBack(text);
    const Statement* g = d.top.find("geometry", "lists");
    ASSERT_TRUE(g && g->block);
    const auto list = [&](const char* key) -> const Value& {
        const Statement* s = g->find(key);
        static const Value missing;
        EXPECT_TRUE(s && s->args.size() == 1) << key;
        return s && s->args.size() == 1 ? s->args[0] : missing;
    };
    EXPECT_EQ(list("f3").listElements, 10u);
    EXPECT_EQ(list("f3").items.size(), 30u);
    EXPECT_EQ(list("f3").items[29], "30");
    EXPECT_EQ(list("f4").listElements, 2u);
    EXPECT_EQ(list("f4").items.size(), 8u);
    EXPECT_EQ(list("f").items, (std::vector<std::string>{"-1", "0.25"}));
    ASSERT_EQ(list("d").items.size(), 2u);
    EXPECT_EQ(list("d").items[0], "0.1000000000000000");
    EXPECT_EQ(std::stod(list("d").items[1]), -1.0); // out of float range
    EXPECT_EQ(list("d3").items.size(), 3u);
    EXPECT_EQ(list("i").listElements, 10u);
    EXPECT_EQ(list("i").items[9], "9");
    EXPECT_EQ(list("b").items, (std::vector<std::string>{"0", "1", "1"}));
    EXPECT_EQ(list("m").listElements, 2u);
    ASSERT_EQ(list("m").items.size(), 32u);
    EXPECT_EQ(list("m").items[31], "15.5");
    for (const char* key : {"s", "sr"}) {
        SCOPED_TRACE(key);
        const Value& s = list(key);
        EXPECT_EQ(s.listElements, 3u);
        EXPECT_EQ(s.items, (std::vector<std::string>{"plain", "quo\"te", "Zo\xc3\xab"}));
        EXPECT_EQ(s.itemKinds, std::vector<Value::Kind>(3, Value::Kind::String));
    }
}

// Names the writer must hex-encode come back as the original bytes wherever they stand.
TEST(ReaderRoundTrip, HexEncodedNamesEverywhere) {
    const std::string odd = std::string("a\"b\nc\r\xff", 7);
    const char* oddName = odd.c_str();
    const std::string text = written(true, [&](orvScene_api_file& w) {
        w.beginGroup(oddName, 1);
        w.beginObject("Zo\xc3\xab", 0);
        w.useMaterial(oddName);
        w.attribute("label", orvType::String, oddName);
        w.endObject();
        w.endGroup();
        w.beginGeometry("");
        w.attribute(oddName, orvType::StringRef, &oddName);
        w.endGeometry();
        w.progress(oddName, 0.5f);
    });
    const Document d = readBack(text);
    const Statement* group = d.top.find("group", odd);
    ASSERT_TRUE(group && group->block);
    const Statement* object = group->find("object", "Zo\xc3\xab");
    ASSERT_TRUE(object);
    EXPECT_TRUE(object->define);
    EXPECT_EQ(object->find("material")->name(), odd);
    EXPECT_EQ(object->find("label")->name(), odd);
    const Statement* geometry = d.top.find("geometry", "");
    ASSERT_TRUE(geometry && geometry->block);
    const Statement* attribute = geometry->find(odd);
    ASSERT_TRUE(attribute);
    EXPECT_TRUE(attribute->quotedKey);
    EXPECT_EQ(attribute->name(), odd);
    const Statement* progress = d.top.find("progress");
    ASSERT_TRUE(progress);
    EXPECT_EQ(progress->name(), odd);
    EXPECT_EQ(progress->args.back().text, "0.500");
}

TEST(ReaderRoundTrip, ShadersInlineNestedNumberedAndNamed) {
    const std::string text = written(true, [](orvScene_api_file& w) {
        w.beginShaderId("orv_diffuse", 3);
        float k = 0.5f;
        w.attribute("k", orvType::Float, &k);
        w.endShader();
        w.beginShader("named", "orv_texture");
        w.endShader();
        // An inline shader that holds another inline shader and a binary run.
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
        w.materialShader(orvChannel::Volume, outer);
        w.materialShader(orvChannel::ReflectionMap, outer);
        w.materialShaderId(7, 3);
        w.endMaterial();
        w.beginCamera("cam");
        w.attribute("reflection map", 0x10000, &inner);
        w.endCamera();
    });
    const Document d = readBack(text);

    const Statement* numbered = d.top.find("shader");
    ASSERT_TRUE(numbered && numbered->block);
    EXPECT_TRUE(numbered->define);
    EXPECT_EQ(words(*numbered), (std::vector<std::string>{"3", "orv_diffuse"}));
    EXPECT_TRUE(numbered->find("k"));
    const auto shaders = d.top.all("shader");
    ASSERT_EQ(shaders.size(), 2u);
    EXPECT_EQ(words(*shaders[1]), (std::vector<std::string>{"named", "orv_texture"}));

    const Statement* material = d.top.find("material", "m");
    ASSERT_TRUE(material && material->block);
    EXPECT_TRUE(material->define);
    const auto& body = material->block->statements;
    ASSERT_EQ(body.size(), 6u);
    EXPECT_EQ(body[0].keyword, "surface");
    EXPECT_EQ(words(body[0]), std::vector<std::string>{"3"});
    EXPECT_EQ(body[1].keyword, "shadow");
    EXPECT_EQ(body[2].keyword, "volume");
    EXPECT_EQ(body[3].keyword, "reflection map");
    EXPECT_EQ(body[4].keyword, "//");
    EXPECT_EQ(body[4].args[0].text, "// assuming surface shader");
    EXPECT_EQ(body[5].keyword, "surface");
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(body[i].args.size(), 1u);
        const Value& mix = body[i].args[0];
        ASSERT_EQ(mix.kind, Value::Kind::Shader);
        EXPECT_EQ(mix.text, "orv_mix");
        const Statement* input = mix.block->find("input");
        ASSERT_TRUE(input && input->args.size() == 1);
        EXPECT_EQ(input->args[0].kind, Value::Kind::ShaderRef);
        EXPECT_EQ(input->args[0].text, "orv_texture");
        ASSERT_TRUE(input->args[0].block);
        EXPECT_EQ(input->args[0].block->find("texture")->name(), "wood.png");
        const Statement* base = mix.block->find("base");
        ASSERT_TRUE(base && base->args.size() == 1);
        EXPECT_EQ(base->args[0].kind, Value::Kind::ShaderRef);
        EXPECT_EQ(base->args[0].text, "3");
        EXPECT_FALSE(base->args[0].block);
        EXPECT_EQ(mix.block->find("lut")->args[0].ints, (std::vector<int32_t>{125, 10}));
    }
    const Statement* camera = d.top.find("camera", "cam");
    ASSERT_TRUE(camera && camera->block);
    const Statement* reflection = camera->find("reflection map");
    ASSERT_TRUE(reflection && reflection->args.size() == 1);
    EXPECT_EQ(reflection->args[0].kind, Value::Kind::Shader);
    EXPECT_EQ(reflection->args[0].text, "orv_texture");
}

TEST(ReaderRoundTrip, EveryOtherRecord) {
    const unsigned char bytes[4] = {0x00, 0x0a, 0x22, 0xff};
    const std::string text = written(true, [&](orvScene_api_file& w) {
        // Print text is not escaped: a quote is fine unless it ends a line.
        w.print("say \"hi\" there\nsecond line");
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
        w.beginGroup("g", 0);
        w.transform(kIdentity);
        w.scale(1, 2, 3);
        w.rotate(0, 90, 0);
        w.translate(-1, 0, 0.5);
        w.id(4000000000u);
        w.flags(1);
        w.icon(bytes, 4);
        w.blob("thumb", bytes, 4);
        w.blob("nothing", bytes, 0);
        w.beginLight("sun");
        w.endLight();
        w.endGroup();
        w.beginAccel("bvh");
        w.endAccel();
        w.beginLoad("orvrtopt.so");
        w.endLoad();
        w.beginMatrix("mx");
        w.endMatrix();
        w.beginAnimation("fbx_animation", "walk");
        w.endAnimation();
        w.fileAttribute("source file", "source file");
        w.render();
    });
    const Document d = readBack(text);
    const auto& s = d.top.statements;
    std::vector<std::string> keywords;
    for (const Statement& statement : s) keywords.push_back(statement.keyword);
    EXPECT_EQ(keywords, (std::vector<std::string>{"#print", "#error", "version", "camera", "camera", "image",
                                                  "output", "group", "accel", "load", "matrix", "animation",
                                                  "attribute", "render"}));
    EXPECT_EQ(s[0].name(), "say \"hi\" there\nsecond line");
    EXPECT_EQ(s[1].name(), "bad 7");
    EXPECT_EQ(words(s[2]), std::vector<std::string>{"8"});
    EXPECT_TRUE(s[3].args.empty());
    EXPECT_TRUE(s[4].modify);
    EXPECT_EQ(s[4].name(), "cam");
    EXPECT_EQ(words(*s[5].find("width")), std::vector<std::string>{"640"});
    EXPECT_EQ(words(s[6]), (std::vector<std::string>{"a", "b", "c"}));
    const Statement& group = s[7];
    EXPECT_TRUE(group.define);
    ASSERT_TRUE(group.block);
    EXPECT_EQ(group.find("transform")->args.size(), 16u);
    EXPECT_EQ(words(*group.find("scale")), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(words(*group.find("translate")), (std::vector<std::string>{"-1", "0", "0.5"}));
    EXPECT_EQ(words(*group.find("id")), std::vector<std::string>{"4000000000"});
    const Statement* icon = group.find("icon");
    ASSERT_TRUE(icon && icon->args.size() == 1);
    EXPECT_EQ(icon->args[0].kind, Value::Kind::Hex);
    EXPECT_EQ(icon->args[0].text, std::string(reinterpret_cast<const char*>(bytes), 4));
    EXPECT_EQ(group.find("thumb")->args[0].text, icon->args[0].text);
    EXPECT_EQ(group.find("nothing")->args[0].kind, Value::Kind::Hex);
    EXPECT_EQ(group.find("nothing")->args[0].text, "");
    EXPECT_TRUE(group.find("light", "sun"));
    EXPECT_TRUE(s[10].define);
    EXPECT_EQ(words(s[11]), (std::vector<std::string>{"fbx_animation", "walk"}));
    EXPECT_EQ(words(s[12]), (std::vector<std::string>{"source file", "source file"}));
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
    ASSERT_GE(d.top.statements.size(), 3u);
    EXPECT_EQ(d.top.statements[0].keyword, "#print");
    EXPECT_EQ(d.top.statements[0].name(), orv::orvSceneapi_oo::banner());
    EXPECT_EQ(d.top.statements[1].keyword, "version");
    EXPECT_EQ(words(d.top.statements[1]), std::vector<std::string>{"9"});
    const Statement* vertices = d.top.findDeep("vertices");
    ASSERT_TRUE(vertices);
    EXPECT_EQ(vertices->args[0].floats, (std::vector<float>{1, 2, 3}));
}
