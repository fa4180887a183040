// qrfdump: the counts of --stats and the tool's exit codes and outputs.
#include "QrfText.h"
#include "SceneReader.h"
#include "orvScene_api_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace orv::qrf;
using orv::orvScene_api_file;

namespace {

std::string written(const std::function<void(orvScene_api_file&)>& calls) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    {
        orvScene_api_file writer(stream, true);
        calls(writer);
    }
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

void ints(orvScene_api_file& w, const char* name, int count) {
    std::vector<int> v(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) v[static_cast<size_t>(i)] = i;
    AttributeArray a{v.data(), count};
    w.attribute(name, orvType::IntArray, &a);
}
void points(orvScene_api_file& w, const char* name, int count) {
    std::vector<float> v(static_cast<size_t>(count) * 3, 0.5f);
    AttributeArray a{v.data(), count};
    w.attribute(name, orvType::Float3Array, &a);
}
void inlineShader(orvScene_api_file& w, int channel, const char* kind) {
    w.beginShader(nullptr, kind);
    w.endShader();
    w.materialShader(channel, w.currentShader());
}

// A scene with one of everything that --stats counts, and some things it must not count.
std::string statsScene() {
    return written([](orvScene_api_file& w) {
        w.version(9);
        w.beginShaderId("orv_mesh_light", 3);
        w.endShader();
        w.beginMaterial("AreaMat", 0);
        w.materialShaderId(orvChannel::Surface, 3);
        w.endMaterial();
        w.beginCamera("cam");
        w.beginShader(nullptr, "orv_envmap");
        w.endShader();
        ShaderHandle env = w.currentShader();
        w.attribute("reflection map", orvType::ShaderRef, &env);
        w.endCamera();
        w.modifyCamera("cam");
        w.endCamera();
        w.beginGroup("doc", 1);
        w.beginGroup("cube group", 1);
        w.beginObject("Cube", 1);
        w.beginGeometry("triangles");
        points(w, "vertices", 8);
        ints(w, "triangles", 36);
        ints(w, "triangles_uv", 36);
        w.endGeometry();
        w.beginMaterial("Cube", 1);
        inlineShader(w, orvChannel::Surface, "orv_diffuse");
        w.endMaterial();
        w.endObject();
        w.endGroup();
        w.beginObject("Lamp", 1);
        w.beginGeometry("triangles");
        points(w, "vertices", 6);
        ints(w, "triangles", 24);
        w.endGeometry();
        w.beginMaterial("Lamp", 1);
        inlineShader(w, orvChannel::Surface, "orv_point_light");
        w.endMaterial();
        w.endObject();
        w.beginObject("Area", 1);
        w.useMaterial("AreaMat");
        w.endObject();
        w.beginObject("Hair", 1);
        w.beginGeometry("orv_bezier_curves");
        points(w, "vertices", 20);
        ints(w, "nvertices", 5);
        ints(w, "triangles", 3); // not "triangles" geometry: not counted
        w.endGeometry();
        w.endObject();
        w.beginAnimation("fbx_animation", "a");
        w.endAnimation();
        w.beginAnimation("fbx_animation", "b");
        w.endAnimation();
        w.endGroup();
    });
}

const char* const kTool = QRFDUMP_PATH;

struct ToolRun {
    int code = -1;
    std::string out, err;
};

// Runs qrfdump with the arguments (already quoted for the shell) and collects its output.
ToolRun tool(const std::string& arguments, const std::string& input = {}) {
    const std::string base = (std::filesystem::temp_directory_path() /
                              ("qrfdump_test_" + std::to_string(::getpid()))).string();
    std::ofstream(base + ".in", std::ios::binary) << input;
    const std::string command = std::string(kTool) + " " + arguments + " <" + base + ".in >" + base +
                                ".out 2>" + base + ".err";
    const int status = std::system(command.c_str());
    ToolRun result;
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const auto slurp = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    result.out = slurp(base + ".out");
    result.err = slurp(base + ".err");
    for (const char* ext : {".in", ".out", ".err"}) std::filesystem::remove(base + ext);
    return result;
}

} // namespace

TEST(QrfStats, CountsWhatTheSceneHolds) {
    const std::string text = statsScene();
    Document d;
    ParseError e;
    ASSERT_TRUE(parse(text, d, e)) << e.offset << ": " << e.message;
    const SceneStats s = computeStats(d, text.size());
    EXPECT_EQ(s.groups, 2u);
    EXPECT_EQ(s.objects, 4u);
    EXPECT_EQ(s.triangles, 12u + 8u);
    EXPECT_EQ(s.vertices, 8u + 6u + 20u);
    EXPECT_EQ(s.materials, 3u);  // AreaMat, Cube, Lamp; the use of AreaMat is no material
    EXPECT_EQ(s.shaders, 4u);    // shader 3, envmap, diffuse, point light
    EXPECT_EQ(s.cameras, 1u);    // the #modify is the same camera
    EXPECT_EQ(s.lights, 2u);     // Lamp (inline point light), Area (by name, by shader number)
    EXPECT_EQ(s.animations, 2u);
    EXPECT_EQ(s.curves, 5u);
    EXPECT_EQ(s.bytes, text.size());
    EXPECT_EQ(formatStats(s).substr(0, 21), "groups: 2\nobjects: 4\n");
}

TEST(QrfDumpTool, ExitCodesAndOutputs) {
    const std::string scene = statsScene();
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("qrfdump_scene_" + std::to_string(::getpid()) + ".qrf")).string();
    std::ofstream(path, std::ios::binary) << scene;

    ToolRun r = tool("--check " + path);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");

    r = tool("--stats -", scene);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("lights: 2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("bytes: " + std::to_string(scene.size()) + "\n"), std::string::npos);

    r = tool(path);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("/* binary i, 36 scalars */"), std::string::npos);

    r = tool("--check -", scene.substr(0, scene.size() - 3));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("offset " + std::to_string(scene.size() - 3)), std::string::npos) << r.err;

    r = tool("-", "render\n}\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("offset 7: '}' without an open block"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");

    // Well formed but no scene: nothing, the header lines alone, records without a version.
    const std::string header = "//---orvane:dal:7---\n//---import:dal:1---\n//---id:1---\n\n";
    for (const std::string& notScene : {std::string(), header, header + "render\n"}) {
        r = tool("--check -", notScene);
        EXPECT_EQ(r.code, 1) << notScene;
        EXPECT_NE(r.err.find("offset " + std::to_string(notScene.size()) + ": no version record"), std::string::npos)
            << r.err;
    }

    EXPECT_EQ(tool("--check /no/such/file.qrf").code, 3);
    EXPECT_EQ(tool("").code, 2);
    EXPECT_EQ(tool("--check --stats " + path).code, 2);
    EXPECT_EQ(tool("--bogus " + path).code, 2);
    r = tool("--help");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("--stats"), std::string::npos);
    std::filesystem::remove(path);
}
