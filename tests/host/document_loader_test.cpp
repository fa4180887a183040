// The JSON document loader: rejections name the JSON path, every feature lands in the
// model, odd host data is kept, hostile input never crashes, the examples load.
#include "host_test_support.h"
#include "sim_json_heavy.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

struct Rejection {
    const char* json;
    const char* message;
};

// Each malformed document and the exact message it must give.
const Rejection kRejections[] = {
    {R"([1, 2])", "the document must be a JSON object"},
    {R"({"objects": [{}, {}, {"tags": [{"type": "texture", "material": "Wood"}]}]})",
     "objects[2].tags[0].material: no material named \"Wood\""},
    {R"({"objects": [{"positon": [1, 2, 3]}]})", "objects[0]: unknown key \"positon\""},
    {R"({"objects": [{"position": [1, 2]}]})", "objects[0].position: expected an array of 3 numbers"},
    {R"({"objects": [{"position": [1, "2", 3]}]})", "objects[0].position[1]: expected a number"},
    {R"({"objects": [{"type": "teapot"}]})", "objects[0].type: unknown object type \"teapot\""},
    {R"({"objects": [{"children": [{"polygons": [[0, 1, 2.5]]}]}]})",
     "objects[0].children[0].polygons[0][2]: expected an integer"},
    {R"({"objects": [{"polygons": [[0, 1, 4294967296]]}]})",
     "objects[0].polygons[0][2]: integer out of the 32-bit range"},
    {R"({"objects": [{"polygons": [[0, 1]]}]})", "objects[0].polygons[0]: expected 3 or 4 point indices"},
    {R"({"objects": [{"cache": {"tags": [{"name": "x"}]}}]})", "objects[0].cache.tags[0]: a tag needs a \"type\""},
    {R"({"objects": [{"params": {"visibilty_editor": 1}}]})",
     "objects[0].params.visibilty_editor: unknown parameter \"visibilty_editor\""},
    {R"({"objects": [{"params": {"color": [1, 0, 0], "908": [0, 1, 0]}}]})",
     "objects[0].params.color: parameter 908 is given twice"},
    {R"({"objects": [{"params": {"901": null}}]})",
     "objects[0].params.901: expected a number, true/false, a vector, a text or an object with one of "
     "\"int\", \"float\", \"vector\", \"string\", \"file\", \"link\", \"gradient\", \"time\""},
    {R"({"objects": [{"params": {"1": {"link": {"material": 3}}}}]})",
     "objects[0].params.1.link.material: no material number 3"},
    {R"({"objects": [{"params": {"1": {"link": {"shader": "S"}}}}]})",
     "objects[0].params.1.link.shader: shader links are only possible in material parameters"},
    {R"({"materials": [{"params": {"8000": {"link": {"shader": "Nope"}}}}]})",
     "materials[0].params.8000.link.shader: no shader named \"Nope\""},
    {R"({"objects": [{"layer": "Hidden"}]})", "objects[0].layer: no layer named \"Hidden\""},
    {R"({"objects": [{"tracks": [{"parameter": "position"}]}]})",
     "objects[0].tracks[0]: a track needs \"parameter\" and \"component\" (or \"descId\")"},
    {R"({"objects": [{"tracks": [{"parameter": "position", "component": "w"}]}]})",
     "objects[0].tracks[0].component: unknown component \"w\""},
    {R"({"objects": [{"tracks": [{"descId": [903, 1000], "keys": [[0]]}]}]})",
     "objects[0].tracks[0].keys[0]: expected [time, value]"},
    {R"({"objects": [{"tracks": [{"descId": [903], "keys": [{"time": {"num": 1}, "value": 2}]}]}]})",
     "objects[0].tracks[0].keys[0].time: a time needs \"num\" and \"den\""},
    {R"({"time": "now"})", "time: expected seconds or {\"num\", \"den\"}"},
    {R"({"objects": [{"id": "a"}, {"id": "a"}]})", "objects[1].id: duplicate id \"a\""},
    {R"({"selection": ["A/B"]})", "selection[0]: no object at \"A/B\""},
    {R"({"objects": [{"name": "A"}], "selection": [{"object": "A", "tag": 0}]})",
     "selection[0].tag: no tag number 0"},
    {R"({"materials": [{"shaders": [{"name": "S"}]}]})", "materials[0].shaders[0]: a shader needs a \"type\""},
    {R"({"materials": [{"channels": {"colour": true}}]})", "materials[0].channels.colour: unknown channel \"colour\""},
    {R"({"objects": [{"hair": {"points": [[0, 0]]}}]})", "objects[0].hair.points[0]: expected an array of 3 numbers"},
    {R"({"objects": [{"tags": [{"type": "uvw", "uvw": [[[0, 0], [1, 0]]]}]}]})",
     "objects[0].tags[0].uvw[0]: expected the UVW of 3 or 4 corners"},
    {R"({"objects": [{"tags": [{"type": "polygonselection", "segments": [[1, 2, 3]]}]}]})",
     "objects[0].tags[0].segments[0]: expected [first, last]"},
    {R"({"objects": [{"bits": -1}]})", "objects[0].bits: expected an unsigned 32-bit integer"},
};

class LoaderRejects : public ::testing::TestWithParam<Rejection> {};

TEST_P(LoaderRejects, WithAMessageNamingThePath)
{
    std::string error;
    auto doc = sim::parseDocument(GetParam().json, "/docs", error);
    EXPECT_FALSE(doc);
    EXPECT_EQ(error, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Table, LoaderRejects, ::testing::ValuesIn(kRejections));

TEST(Loader, InvalidJsonAndMissingFiles)
{
    std::string error;
    // Syntax errors say where: line and column (characters, from 1) of the offending byte.
    EXPECT_FALSE(sim::parseDocument("{\"objects\": [", "", error, "doc.json"));
    EXPECT_EQ(error.rfind("doc.json:1:14: syntax error while parsing value - unexpected end of input", 0), 0u)
        << error;
    EXPECT_FALSE(sim::parseDocument("{\n  \"name\": \"\u00e4\u00e4\",\n  \"objects\": [\n    {\"n\u00e4me\": x}]}", "",
                                    error, "d.json"));
    EXPECT_EQ(error.rfind("d.json:4:14: syntax error", 0), 0u) << error;
    EXPECT_FALSE(sim::parseDocument(R"({"objects": [{"position": [1e400, 0, 0]}]})", "", error, "doc.json"));
    EXPECT_EQ(error.rfind("doc.json: not valid JSON: number overflow", 0), 0u) << error;
    EXPECT_FALSE(sim::parseDocument(R"({"objects": [{"tags": [{"type": "texture", "material": -1}]}],
                                        "materials": [{}]})", "", error));
    EXPECT_EQ(error, "objects[0].tags[0].material: no material number -1");
    EXPECT_FALSE(sim::loadDocument("/nonexistent/doc.json", error));
    EXPECT_EQ(error, "cannot open document \"/nonexistent/doc.json\": No such file or directory");
    EXPECT_FALSE(sim::loadDocument("/", error));
    EXPECT_EQ(error, "cannot read document \"/\": Is a directory");
}

// Objects nested `levels` deep below the first, each holding a point so that the fast pass
// walks down with the thorough reading.
std::string nestedChildren(int levels)
{
    std::string text = R"({"objects": [)";
    for (int i = 0; i < levels; ++i)
        text += R"({"points": [[0, 0, 0]], "children": [)";
    text += R"({"points": [[0, 0, 0]]})";
    for (int i = 0; i < levels; ++i)
        text += "]}";
    return text + "]}";
}

struct Nesting {
    int levels;         // of children below the first object; -1: 100,000 bare brackets
    const char* prefix; // of the message; null when the document loads
    const char* suffix;
};

// Both readings stop at one limit and say where the document goes too deep; no depth
// crashes either of them.
const Nesting kNesting[] = {
    {256, nullptr, nullptr},
    {257, "objects[0].children[0].children[0]", ": objects nested deeper than 256 levels"},
    {600, "1:", ": JSON nested deeper than 1024 levels"},
    {40000, "1:", ": JSON nested deeper than 1024 levels"},
    {-1, "1:1025: JSON nested deeper than 1024 levels", ""},
};

class LoaderNesting : public ::testing::TestWithParam<Nesting> {};

TEST_P(LoaderNesting, StopsAtOneLimitWithALocatedMessage)
{
    const Nesting& c = GetParam();
    const std::string text =
        c.levels < 0 ? std::string(100000, '[') + std::string(100000, ']') : nestedChildren(c.levels);
    const auto check = [&](const std::unique_ptr<sim::Document>& doc, const std::string& error,
                           const std::string& name) {
        if (!c.prefix) {
            EXPECT_TRUE(doc) << name << ": " << error.substr(0, 200);
            return;
        }
        EXPECT_FALSE(doc) << name;
        EXPECT_EQ(error.rfind(c.prefix, 0), 0u) << name << ": " << error.substr(0, 200);
        const std::string suffix = c.suffix;
        EXPECT_TRUE(error.size() >= suffix.size() && error.compare(error.size() - suffix.size(), suffix.size(), suffix) == 0)
            << name << ": " << error.substr(0, 200);
    };
    std::string error;
    check(sim::parseDocument(text, "", error), error, "fast");
    check(sim::parseDocumentThoroughly(text, "", error), error, "thorough");

    const std::filesystem::path file = testing::TempDir() + "nesting_" + std::to_string(c.levels) + ".json";
    std::ofstream(file) << text;
    const auto loaded = sim::loadDocument(file.string(), error);
    EXPECT_EQ(loaded == nullptr, c.prefix != nullptr);
    // A file's name leads the message: "FILE:LINE:COLUMN: ..." or "FILE: PATH: ...".
    if (c.prefix) {
        EXPECT_EQ(error.rfind(file.string() + (c.levels < 0 || c.levels > 300 ? ":" : ": "), 0), 0u)
            << error.substr(0, 200);
    }
    std::filesystem::remove(file);
}

INSTANTIATE_TEST_SUITE_P(Table, LoaderNesting, ::testing::ValuesIn(kNesting),
                         [](const ::testing::TestParamInfo<Nesting>& info) {
                             const int levels = info.param.levels;
                             return levels < 0 ? std::string("Brackets") : "Levels" + std::to_string(levels);
                         });

TEST(Loader, EveryFeatureLandsInTheModel)
{
    std::string error;
    auto doc = sim::parseDocument(R"({
      "name": "n.c4d", "time": {"num": 1, "den": 2}, "minTime": 0.25,
      "layers": [{"name": "L", "id": "lay", "view": false, "color": [1, 0, 0]}],
      "materials": [{"name": "M", "type": "hair", "channels": {"alpha": true, "13": false},
                     "data": {"65": [1, 2, 3]},
                     "shaders": [{"type": "color", "color": [0, 1, 0]},
                                 {"type": "gradient2", "gradient": [[0, 0, 1]]},
                                 {"type": 1234, "params": {"5": {"time": 2}}}],
                     "params": {"root_radius": 0.5, "hair_color_shader": {"link": {"shader": 0}}}}],
      "objects": [{"type": 5100, "name": "", "rotationOrder": "hpb", "controlObject": true,
                   "layer": "lay", "points": [[0, 0, 0]], "polygons": [[0, 5, 7, 9]],
                   "params": {"use_color": true, "1": {"int": 3}, "2": {"float": 3}, "3": {"vector": [1, 2, 3]},
                              "4": {"string": "s"}, "5": {"file": "a/b.png"}, "6": {"gradient": []},
                              "7": {"link": {"layer": "L"}}, "8": 2147483648},
                   "tags": [{"type": "hairmaterial", "params": {"hair_material": {"link": {"material": "M"}}}}],
                   "hair": {"points": [[0, 0, 0], [0, 1, 0], [1, 0, 0], [1, 1, 0]], "rootUV": [[0, 0], [1, 0]]},
                   "tracks": [{"descId": [905, 1001], "keys": [[0, 1]], "params": {"on": 0}}]}]
    })", "/folder", error);
    ASSERT_TRUE(doc) << error;
    EXPECT_EQ(doc->path, "/folder") << "the path defaults to the given folder";
    EXPECT_EQ(doc->docName, "n.c4d");
    EXPECT_EQ(doc->time.den, 2);
    EXPECT_EQ(doc->minTime.num, 0.25);

    sim::Layer& layer = *doc->layers[0];
    EXPECT_EQ(std::get<int32_t>(layer.params.at(1001)), 0);
    EXPECT_EQ(layer.params.count(1002), 0u);
    EXPECT_TRUE(std::holds_alternative<c4d_vec>(layer.params.at(1009)));

    sim::Material& m = *doc->materials[0];
    EXPECT_EQ(m.type, 1017730);
    EXPECT_TRUE(m.channels.at(7));
    EXPECT_FALSE(m.channels.at(13));
    EXPECT_EQ(m.data.at(65).z, 3);
    EXPECT_TRUE(std::holds_alternative<c4d_vec>(m.shaders[0]->params.at(1000)));
    EXPECT_EQ(std::get<sim::Gradient>(m.shaders[1]->params.at(10001)).knots.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<c4d_time>(m.shaders[2]->params.at(5)));
    EXPECT_EQ(std::get<double>(m.params.at(3009)), 0.5);
    EXPECT_EQ(std::get<sim::Link>(m.params.at(3000)).target, m.shaders[0].get());

    sim::Object& o = *doc->objects[0];
    EXPECT_EQ(o.name, "");
    EXPECT_EQ(o.rotationOrder, 6);
    EXPECT_EQ(o.bits, 1u << 9);
    EXPECT_EQ(o.layer, &layer);
    EXPECT_EQ(o.polygons[0].b, 5) << "indices past the points are kept";
    EXPECT_EQ(std::get<int32_t>(o.params.at(907)), 1);
    EXPECT_EQ(std::get<int32_t>(o.params.at(1)), 3);
    EXPECT_EQ(std::get<double>(o.params.at(2)), 3.0);
    EXPECT_EQ(std::get<std::string>(o.params.at(4)), "s");
    EXPECT_EQ(std::get<sim::FilenameValue>(o.params.at(5)).full, "a/b.png");
    EXPECT_EQ(std::get<sim::Link>(o.params.at(7)).target, &layer);
    EXPECT_EQ(std::get<double>(o.params.at(8)), 2147483648.0) << "integers past 32 bits read as floats";
    EXPECT_EQ(std::get<sim::Link>(o.tags[0]->params.at(1000)).target, &m);
    EXPECT_EQ(o.hair.strandCount, 2) << "strand count from the roots";
    EXPECT_EQ(o.hair.segmentCount, 1) << "segment count from the points per strand";
    ASSERT_EQ(o.tracks[0]->keys.size(), 1u) << "a track with one key is kept";
    EXPECT_EQ(std::get<int32_t>(o.tracks[0]->params.at(904)), 0);
    EXPECT_EQ(o.key != 0 && o.owner == doc.get(), true) << "the loaded document is finalized";
}

TEST(Loader, DocumentFilesTakeTheirFolderAsPath)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("c4dsim_loader_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::create_directories(dir);
    std::ofstream(dir / "d.json") << R"({"objects": [{"name": "A"}]})";
    std::ofstream(dir / "p.json") << R"({"path": "/elsewhere"})";
    std::ofstream(dir / "bad.json") << R"({"objects": [{"type": "x"}]})";
    std::string error;
    auto d = sim::loadDocument((dir / "d.json").string(), error);
    ASSERT_TRUE(d) << error;
    EXPECT_EQ(d->path, dir.string());
    auto p = sim::loadDocument((dir / "p.json").string(), error);
    ASSERT_TRUE(p) << error;
    EXPECT_EQ(p->path, "/elsewhere");
    EXPECT_FALSE(sim::loadDocument((dir / "bad.json").string(), error));
    EXPECT_EQ(error, (dir / "bad.json").string() + ": objects[0].type: unknown object type \"x\"");
    fs::remove_all(dir);
}

TEST(Loader, ExamplesLoad)
{
    for (const char* name : {"minimal.json", "hierarchy.json"}) {
        std::string error;
        auto doc = sim::loadDocument(std::string(TAVRIN_EXAMPLES_DIR) + "/" + name, error);
        ASSERT_TRUE(doc) << name << ": " << error;
        EXPECT_FALSE(doc->objects.empty()) << name;
    }
}

// Damaged copies of the examples (cut short, bytes changed) give a document or an error,
// never a crash; run under the sanitizers this also checks memory safety.
TEST(Loader, DamagedDocumentsNeverCrash)
{
    std::ifstream in(std::string(TAVRIN_EXAMPLES_DIR) + "/hierarchy.json");
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    ASSERT_FALSE(text.empty());
    std::mt19937 rng(1234);
    const char replacements[] = "{}[]\",:0-9. e\"ax";
    int loaded = 0, rejected = 0;
    for (size_t cut = 0; cut < text.size(); cut += 37) {
        std::string error;
        (sim::parseDocument(text.substr(0, cut), "", error) ? loaded : rejected)++;
    }
    for (int i = 0; i < 400; ++i) {
        std::string damaged = text;
        for (int k = 0; k < 3; ++k)
            damaged[rng() % damaged.size()] = replacements[rng() % (sizeof replacements - 1)];
        std::string error;
        auto doc = sim::parseDocument(damaged, "", error);
        (doc ? loaded : rejected)++;
        EXPECT_TRUE(doc || !error.empty());
    }
    EXPECT_GT(rejected, 0);
}

} // namespace

namespace {

// What the reference JSON parser says about a text, as the loader words it: a syntax error
// as LINE:COLUMN: what, any other refusal as "not valid JSON: what".
std::string referenceSyntaxError(const std::string& text)
{
    try {
        const auto parsed = nlohmann::json::parse(text);
        (void)parsed;
    } catch (const nlohmann::json::parse_error& e) {
        const std::string what = e.what();
        size_t line = 0, column = 0;
        const size_t at = what.find("at line ");
        if (at == std::string::npos || std::sscanf(what.c_str() + at, "at line %zu, column %zu", &line, &column) != 2)
            return "unexpected message: " + what;
        return std::to_string(line) + ":" + std::to_string(column) + ": " + what.substr(what.find(": ", at) + 2);
    } catch (const nlohmann::json::exception& e) {
        const std::string what = e.what();
        return "not valid JSON: " + what.substr(what.find("] ") + 2);
    }
    return "";
}

// Syntax errors keep the reference parser's message (line, column, byte and token); values
// the loader reads as the reference parser always did: a repeated key keeps its last value,
// the first unknown key in key order is the one named.
TEST(Loader, SyntaxErrorsAndOddValuesReadAsBefore)
{
    const char* broken[] = {
        "", "   ", "{", R"({"objects": [)", R"({"name": "a",})", R"({"name": tru})", R"({"name": "a"} x)",
        R"({"name": "a\u12"})", "{\"name\": \"a\x01\"}", "{\"name\": \"\xff\xfe\"}", R"({"name": 01})",
        R"({"time": 1e400})", R"({"time": -})", R"({"name" "a"})", R"([1, 2,, 3])", R"({"name": "\ud800"})",
    };
    for (const char* text : broken) {
        std::string error;
        EXPECT_FALSE(sim::parseDocument(text, "", error)) << text;
        EXPECT_EQ(error, referenceSyntaxError(text)) << text;
    }

    std::string error;
    auto doc = sim::parseDocument(R"({"name": "first", "name": "last",
        "objects": [{"params": {"1": 5, "2": -7, "3": 2.5, "4": 4294967296, "5": -0, "6": 1E2,
                                 "7": 100000000000000000000, "8": -9223372036854775809}}]})", "", error);
    ASSERT_TRUE(doc) << error;
    EXPECT_EQ(doc->docName, "last");
    const auto& params = doc->objects[0]->params;
    EXPECT_EQ(std::get<int32_t>(params.at(1)), 5);
    EXPECT_EQ(std::get<int32_t>(params.at(2)), -7);
    EXPECT_EQ(std::get<double>(params.at(3)), 2.5);
    EXPECT_EQ(std::get<double>(params.at(4)), 4294967296.0);
    EXPECT_EQ(std::get<int32_t>(params.at(5)), 0);
    EXPECT_EQ(std::get<double>(params.at(6)), 100.0);
    EXPECT_EQ(std::get<double>(params.at(7)), 1e20);
    EXPECT_EQ(std::get<double>(params.at(8)), -9223372036854775809.0);
    EXPECT_FALSE(sim::parseDocument(R"({"objects": [{"zeta": 1, "alpha": 2}]})", "", error));
    EXPECT_EQ(error, "objects[0]: unknown key \"alpha\"");
}

// Links into lists long enough to be looked up by index rather than scanned resolve as a
// scan would: an id first (only an element of the list named), else the first element of
// that name; object paths take the first child of each name.
TEST(Loader, LinksIntoLongListsFindWhatAScanFinds)
{
    std::string materials, children;
    for (int i = 0; i < 12; ++i) {
        materials += std::string(i ? "," : "") + R"({"name": "M)" + std::to_string(i % 6) + '"' +
                     (i == 9 ? R"(, "id": "nine")" : "") + "}";
        children += std::string(i ? "," : "") + R"({"name": "C)" + std::to_string(i % 6) + "\"}";
    }
    const std::string text = R"({"materials": [)" + materials + R"(], "layers": [{"name": "L", "id": "lay"}],
        "objects": [{"name": "P", "children": [)" + children + R"(]}, {"name": "T", "tags": [
          {"type": "texture", "material": "M4"}, {"type": "texture", "material": "nine"},
          {"type": "texture", "material": 11}],
          "params": {"1": {"link": {"object": "P/C5"}}}}],
        "selection": ["P/C3"]})";
    std::string error;
    auto doc = sim::parseDocument(text, "", error);
    ASSERT_TRUE(doc) << error;
    const auto& tags = doc->objects[1]->tags;
    EXPECT_EQ(tags[0]->material, doc->materials[4].get());
    EXPECT_EQ(tags[1]->material, doc->materials[9].get());
    EXPECT_EQ(tags[2]->material, doc->materials[11].get());
    const auto& params = doc->objects[1]->params;
    EXPECT_EQ(std::get<sim::Link>(params.at(1)).target, doc->objects[0]->children[5].get());
    ASSERT_EQ(doc->selection.size(), 1u);
    EXPECT_EQ(doc->selection[0], doc->objects[0]->children[3].get());
    // An id of another list is no material, nor a name of one.
    EXPECT_FALSE(sim::parseDocument(
        R"({"materials": [)" + materials + R"(], "layers": [{"id": "lay"}], "objects": [{"tags": [{"type": "texture", "material": "lay"}]}]})",
        "", error));
    EXPECT_EQ(error, "objects[0].tags[0].material: no material named \"lay\"");
}

} // namespace

namespace {

// The long arrays are read by a fast forward pass; whatever it meets, the result is what the
// thorough reading gives: the same arrays bit for bit, or the same message.
TEST(Loader, FastPassReadsAsTheThoroughReading)
{
    const char* documents[] = {
        R"({"objects": [{"points": [[0, 1.5, 1E2], [4294967296, 1e20, -9223372036854775809], [1e-320, 3, 4]],
                         "polygons": [[0, 1, 2], [0, 1, 2, 3], [-1, 2147483647, -2147483648]],
                         "phongNormals": [[0, 0, 1], [0.1, 0.2, 0.3]],
                         "tags": [{"type": "uvw", "uvw": [[[0, 0], [1, 0, 0.5], [1, 1]], [[0, 0], [1, 0], [1, 1], [0, 1]]]},
                                  {"type": "polygonselection", "segments": [[0, 3], [5, 5]]}],
                         "hair": {"points": [[0, 0, 0], [0, 1, 0]], "rootUV": [[0.5, 0.5]]},
                         "cache": {"points": [[7, 8, 9]], "deformCache": {"polygons": [[3, 2, 1]]}},
                         "children": [{"points": [], "polygons": []}, {"po\u0069nts": [[1, 2, 3]]}]}]})",
        R"({"objects": [{"points": [[1, 2, 3]], "points": [[4, 5, 6]], "name": "last points win"}]})",
        R"({"objects": [{"points": [[0, -0, 1]], "phongNormals": [[-0.0, 0, 1]]}]})",
        R"({"objects": [{"points": [[100000000000000000000, 18446744073709551615, 9007199254740993]]}]})",
        R"({"objects": [{"points": "\u0000H0", "polygons": [[0, 1, 2]]}]})",
        R"({"objects": [{"polygons": [[0, 1, 2]], "tags": [{"type": "uvw", "uvw": "\u0000H0"}]}]})",
        R"({"objects": [{"points": [[0, 0]]}]})",
        R"({"objects": [{"polygons": [[0, 1, 2.5]]}]})",
        R"({"objects": [{"polygons": [[0, 1, 4294967296]]}]})",
        R"({"objects": [{"polygons": [[0, 1, 2, 3, 4]]}]})",
        R"({"objects": [{"points": [[0, 0, 0]], "typo": 1}]})",
        R"({"objects": [{"points": [[0, 0, 0] [1, 1, 1]]}]})",
        R"({"objects": [{"hair": {"rootUV": [[0]]}, "points": [[0, 0, 0]]}]})",
        "{\"objects\": [{\"points\": [\n[0, 0, 0],\n[1, 1, 1]]}],\n \"name\": }",
        R"({"name": tru, "objects": [{"points": [[0, 0, 0]]}]})",
        R"({"objects": [{"points": [[0, 0, 0]]}]} x)",
    };
    for (const char* text : documents) {
        std::string fastError, thoroughError;
        const auto fast = sim::parseDocument(text, "/d", fastError);
        const auto thorough = sim::parseDocumentThoroughly(text, "/d", thoroughError);
        EXPECT_EQ(fastError, thoroughError) << text;
        ASSERT_EQ(!fast, !thorough) << text;
        if (fast) {
            EXPECT_TRUE(sim::sameHeavyArrays(*fast, *thorough)) << text;
        }
    }
    // The well-formed documents do take the fast pass (the text is followed by the
    // parser's padding, more than it needs).
    for (int i : {0, 1, 3}) {
        const std::string text = documents[i];
        const std::string padded = text + std::string(256, '\0');
        sim::HeavyArrays heavy;
        EXPECT_TRUE(sim::readHeavyArrays(padded.data(), text.size(), heavy)) << text;
        EXPECT_EQ(heavy.entries.size(), i == 0 ? 12u : i == 1 ? 2u : 1u) << text;
    }
    std::string error;
    auto doc = sim::parseDocument(documents[1], "", error);
    ASSERT_TRUE(doc) << error;
    EXPECT_EQ(doc->objects[0]->points[0].x, 4.0);
}

} // namespace
