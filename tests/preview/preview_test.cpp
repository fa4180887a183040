// The preview renderer, judged by its pixels: scenes are written in the test (as scene text
// or as host documents exported through the plug-in's translation), drawn small and
// checked where things must appear. No reference images.
#include "Png.h"
#include "Preview.h"
#include "Textures.h"
#include "preview_scenes.h"
#include "scene_fixture.h"
#include "sim_internal.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using preview::Image;

using namespace previewtest;

preview::Result draw(const orv::qrf::Document& doc, int w = kW, int h = kH)
{
    preview::Options options;
    options.width = w;
    options.height = h;
    preview::Result result;
    std::string error;
    EXPECT_TRUE(preview::render(doc, options, result, error)) << error;
    return result;
}

bool isBackground(const uint8_t* p)
{
    return p[0] == preview::kBackground[0] && p[1] == preview::kBackground[1] && p[2] == preview::kBackground[2];
}

bool backgroundOnly(const Image& image)
{
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            if (!isBackground(image.pixel(x, y)))
                return false;
    return image.width > 0;
}

// Where the drawn pixels lie: their centre as fractions of the image (x right, y down).
struct Spot {
    double x = -1, y = -1;
    size_t pixels = 0;
};

Spot drawnSpot(const Image& image)
{
    Spot s;
    double sx = 0, sy = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            if (!isBackground(image.pixel(x, y))) {
                sx += x + 0.5;
                sy += y + 0.5;
                ++s.pixels;
            }
    if (s.pixels) {
        s.x = sx / double(s.pixels) / image.width;
        s.y = sy / double(s.pixels) / image.height;
    }
    return s;
}

std::string rgbText(const uint8_t* p)
{
    return std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]);
}

std::string scratch(const std::string& name)
{
    return (fs::temp_directory_path() / ("preview_" + std::to_string(getpid()) + "_" + name)).string();
}

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Preview, RedQuadAtTheCentreBackgroundAtTheCorners_SameSceneSameBytes)
{
    const auto doc = parsed(camera() + group(quad("Red", -20, -20, 20, 20, 100, diffuse(1, 0, 0))));
    const preview::Result result = draw(doc);
    const Image& image = result.image;
    ASSERT_EQ(image.width, kW);
    ASSERT_EQ(image.height, kH);
    const uint8_t* centre = image.pixel(kW / 2, kH / 2);
    EXPECT_GT(centre[0], 200) << rgbText(centre);
    EXPECT_EQ(centre[1], 0);
    EXPECT_EQ(centre[2], 0);
    for (auto [x, y] : {std::pair{0, 0}, {kW - 1, 0}, {0, kH - 1}, {kW - 1, kH - 1}})
        EXPECT_TRUE(isBackground(image.pixel(x, y))) << x << "," << y << ": " << rgbText(image.pixel(x, y));
    EXPECT_TRUE(result.warnings.empty()) << result.warnings.front();

    // The PNG holds exactly these pixels, and a second drawing gives the same file.
    const std::string first = scratch("a.png"), second = scratch("b.png");
    std::string error;
    ASSERT_TRUE(preview::writePng(first, image, error)) << error;
    ASSERT_TRUE(preview::writePng(second, draw(doc).image, error)) << error;
    Image back;
    ASSERT_TRUE(preview::readPng(first, back, error)) << error;
    EXPECT_EQ(back.rgb, image.rgb);
    EXPECT_EQ(fileBytes(first), fileBytes(second));
    fs::remove(first);
    fs::remove(second);
}

// Host documents through the plug-in's translation: the mirrored z of the document group
// and of the camera matrix must cancel, so what is right of and above the camera in the
// host is right and up in the picture, however the camera is turned.
TEST(Preview, WhatIsRightOfTheHostCameraIsRightInThePicture)
{
    struct Case {
        const char* what;
        const char* cameraTransform; // JSON keys of the host camera
        double x, y, z;              // cube centre in the host's world
        double expectX, expectY;     // where it must appear (fractions, -1 = do not care)
    };
    const Case cases[] = {
        {"right", R"("position": [0, 0, 0])", 120, 0, 400, 0.75, 0.5},
        {"left", R"("position": [0, 0, -200])", -120, 0, 200, 0.25, 0.5},
        {"up", R"("position": [0, 0, 0])", 0, 80, 400, 0.5, 0.25},
        // Heading +90 degrees turns the camera to look along the host's -x; its right is +z.
        {"turned", R"("position": [0, 0, 0], "rotation": [1.5707963267948966, 0, 0])", -400, 0, 120, 0.75, 0.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        char cube[1024];
        std::snprintf(cube, sizeof cube,
                      R"({"type": "polygon", "name": "Cube", "position": [%g, %g, %g],
                          "points": [[-30,-30,-30],[30,-30,-30],[30,30,-30],[-30,30,-30],
                                     [-30,-30,30],[30,-30,30],[30,30,30],[-30,30,30]],
                          "polygons": [[0,1,2,3],[5,4,7,6],[3,2,6,7],[4,5,1,0],[1,5,6,2],[4,0,3,7]]})",
                      c.x, c.y, c.z);
        const std::string json = std::string(R"({"name": "dir.c4d", "objects": [
            {"type": "camera", "name": "Cam", "params": {"fov": 1.0471975511965976}, )") +
                                 c.cameraTransform + "}, " + cube + "]}";
        const scenetest::Scene scene = scenetest::exportJson(json);
        const Spot spot = drawnSpot(draw(scene.parsed).image);
        ASSERT_GT(spot.pixels, 50u);
        EXPECT_NEAR(spot.x, c.expectX, 0.08);
        EXPECT_NEAR(spot.y, c.expectY, 0.08);
    }
}

// A two-by-two texture (red, green over blue, yellow) on a quad whose UVs the host gives as
// it does for a front face: the picture shows the image upright and unmirrored.
TEST(Preview, TextureAppearsUprightThroughTheHostUVs)
{
    const std::string png = scratch("quarters.png");
    Image quarters;
    quarters.width = quarters.height = 2;
    quarters.rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0};
    std::string error;
    ASSERT_TRUE(preview::writePng(png, quarters, error)) << error;
    const std::string json = R"({"name": "tex.c4d",
      "materials": [{"name": "Quarters", "type": "standard", "channels": {"color": true},
                     "params": {"color": [1, 1, 1], "brightness": 1.0, "color_shader": {"link": {"shader": "Q"}}},
                     "shaders": [{"type": "bitmap", "name": "Q", "file": ")" + png + R"("}]}],
      "objects": [
        {"type": "camera", "name": "Cam", "params": {"fov": 1.0471975511965976}},
        {"type": "polygon", "name": "Card", "position": [0, 0, 200],
         "points": [[-60, -60, 0], [60, -60, 0], [60, 60, 0], [-60, 60, 0]],
         "polygons": [[0, 3, 2, 1]],
         "tags": [{"type": "uvw", "uvw": [[[0, 1], [0, 0], [1, 0], [1, 1]]]},
                  {"type": "texture", "material": "Quarters"}]}]})";
    const scenetest::Scene scene = scenetest::exportJson(json);
    const Image image = draw(scene.parsed).image;
    fs::remove(png);
    struct Probe {
        int x, y;
        int channel; // the one that must dominate
        const char* what;
    };
    const Probe probes[] = {{kW / 2 - 12, kH / 2 - 12, 0, "top left red"},
                            {kW / 2 + 12, kH / 2 - 12, 1, "top right green"},
                            {kW / 2 - 12, kH / 2 + 12, 2, "bottom left blue"}};
    for (const Probe& p : probes) {
        const uint8_t* px = image.pixel(p.x, p.y);
        for (int c = 0; c < 3; ++c) {
            if (c == p.channel)
                continue;
            EXPECT_GT(int(px[p.channel]), int(px[c]) + 100) << p.what << ": " << rgbText(px);
        }
    }
    const uint8_t* yellow = image.pixel(kW / 2 + 12, kH / 2 + 12);
    EXPECT_GT(int(yellow[0]), int(yellow[2]) + 100) << "bottom right yellow: " << rgbText(yellow);
    EXPECT_GT(int(yellow[1]), int(yellow[2]) + 100) << "bottom right yellow: " << rgbText(yellow);
}

// Two white walls side by side, a light high in front of them and a slab, out of the
// camera's view, between the light and the left wall only. The light's own shape stands in
// the scene too and must not shadow anything.
TEST(Preview, AWallBehindALightBlockerIsDarkerThanOneInTheOpen)
{
    // Host frame: the camera looks along +z from z = -10 (its picture's right is +x).
    const std::string cam = "camera \"Camera\" {\n fov 60\n position 0 0 0\n direction 0 0 1\n up 0 1 0\n"
                            " transform 1 0 0 0 0 1 0 0 0 0 -1 0 0 0 10 1\n}\n";
    const std::string slab =
        "object \"Slab\" {\n geometry \"triangles\" {\n"
        "  \"vertices\" [ -5 10 -5,-1 10 -5,-1 10 -12,-5 10 -12 ] ,\n  \"triangles\" [ 0,1,2,0,2,3 ] ,\n }\n"
        " material \"Slab\" {\n  surface " + diffuse(1, 1, 1) + "\n }\n}\n";
    const auto doc = parsed(cam + group(quad("Left", -4, -1, -2, 1, 0, diffuse(1, 1, 1)) +
                                        quad("Right", 2, -1, 4, 1, 0, diffuse(1, 1, 1)) + slab +
                                        pointLight(0, 20, -20)));
    const Image image = draw(doc).image;
    // The walls sit at a quarter and three quarters of the view's half width of 10 * tan 30.
    const int left = int(kW * (0.5 - 3 / (10 * std::tan(M_PI / 6)) / 2)), right = kW - 1 - left;
    const uint8_t* shaded = image.pixel(left, kH / 2);
    const uint8_t* open = image.pixel(right, kH / 2);
    EXPECT_FALSE(isBackground(shaded)) << rgbText(shaded);
    EXPECT_GT(int(open[0]), 180) << rgbText(open);
    EXPECT_LT(int(shaded[0]), 80) << rgbText(shaded);
    EXPECT_GT(int(shaded[0]), 20) << "ambient light reaches shadows: " << rgbText(shaded);
}

// Scenes that cannot be drawn as written still give a picture: the background, or the
// fallback colour, with the trouble named.
TEST(Preview, BadContentNeverFailsTheDrawing)
{
    const std::string red = diffuse(1, 0, 0);
    const std::string notPng = scratch("not.png");
    std::ofstream(notPng) << "GIF89a, not a PNG";
    struct Case {
        const char* what;
        std::string text;
        bool backgroundOnly;
        bool warned;
    };
    const Case cases[] = {
        {"no geometry", camera(), true, false},
        {"nothing at all", "", true, false},
        {"NaN vertices", camera() + group("object \"N\" {\ngeometry \"triangles\" {\n\"vertices\" [ nan 0 100,1 nan 100,"
                                           "0 1 100 ] ,\n\"triangles\" [ 0,1,2 ] ,\n}\n}\n"),
         true, true},
        {"degenerate triangles", camera() + group(quad("D", 0, 0, 0, 0, 100, red)), true, false},
        {"indices past the vertices", camera() + group("object \"I\" {\ngeometry \"triangles\" {\n\"vertices\" "
                                                       "[ 0 0 100,1 0 100,0 1 100 ] ,\n\"triangles\" [ 0,1,7,-1,0,1 ] ,\n}\n}\n"),
         true, true},
        {"zero field of view", camera(0) + group(quad("Red", -20, -20, 20, 20, 100, red)), true, true},
        {"hair counts past the points", camera() + group("object \"H\" {\ngeometry \"orv_bezier_curves\" {\n"
                                                         "\"p\" [ 0 0 100,0 1 100 ] ,\n\"nvertices\" [ 9 ] ,\n}\n}\n"),
         true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const preview::Result result = draw(parsed(c.text));
        EXPECT_EQ(backgroundOnly(result.image), c.backgroundOnly);
        EXPECT_EQ(!result.warnings.empty(), c.warned);
    }

    // A texture that cannot be drawn (missing, not an image, a FIFO that no one writes,
    // which once blocked the drawing for ever): the surface's own colour (red), not the
    // texture node's default (green), and the warning names the file.
    const std::string fifo = scratch("fifo.png");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& file : {std::string("/nonexistent/wood.png"), notPng, fifo}) {
        SCOPED_TRACE(file);
        const std::string textured = "\"orv_advanced\" {\n\"diffuse\" 1 0 0,\n\"diffuse\" ! \"texture2_rgb\" {\n"
                                     "\"texture\" \"" + file + "\",\n\"default_color\" 0 1 0,\n\"wrap\" on,\n}\n}";
        const preview::Result result = draw(parsed(camera() + group(quad("T", -20, -20, 20, 20, 100, textured))));
        const uint8_t* centre = result.image.pixel(kW / 2, kH / 2);
        EXPECT_GT(int(centre[0]), 150) << rgbText(centre);
        EXPECT_EQ(centre[1], 0) << rgbText(centre);
        ASSERT_EQ(result.warnings.size(), 1u);
        EXPECT_NE(result.warnings[0].find(file), std::string::npos) << result.warnings[0];
    }
    fs::remove(fifo);
    fs::remove(notPng);

    preview::Options tooLarge;
    tooLarge.width = preview::kMaxImageSide + 1;
    preview::Result result;
    std::string error;
    EXPECT_FALSE(preview::render(parsed(camera()), tooLarge, result, error));
    EXPECT_NE(error.find("out of range"), std::string::npos) << error;
}

// The bundled examples draw something, and the default view frames a scene without camera.
TEST(Preview, BundledExamplesAndTheDefaultView)
{
    for (const char* example : {"hierarchy.json", "textured.json", "hair.json", "lights.json"}) {
        SCOPED_TRACE(example);
        const preview::Result result = draw(scenetest::exportExample(example).parsed);
        const Spot spot = drawnSpot(result.image);
        EXPECT_GT(spot.pixels, size_t(kW * kH / 200));
    }
    // No camera: the quad, wherever it is, is framed near the middle.
    const Spot spot = drawnSpot(draw(parsed(group(quad("Far", 1000, 500, 1040, 540, -3000, diffuse(1, 1, 1))))).image);
    EXPECT_NEAR(spot.x, 0.5, 0.1);
    EXPECT_NEAR(spot.y, 0.5, 0.15);
    EXPECT_GT(spot.pixels, size_t(kW * kH / 50));
}

// The image formats that models name, read from packaged models' own textures (and a
// Radiance HDR written here); files that are no image give their reason at once.
TEST(Preview, TexturesOfTheFormatsModelsUse)
{
    const std::string models = "/usr/share/assimp/models/";
    if (!fs::exists(models))
        GTEST_SKIP() << "assimp-testmodels is not installed";
    const std::string hdr = scratch("sky.hdr");
    {
        std::ofstream out(hdr, std::ios::binary);
        out << "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 2\n";
        const unsigned char pixels[] = {128, 64, 32, 129, 128, 128, 128, 128}; // orange-ish, then grey
        out.write(reinterpret_cast<const char*>(pixels), sizeof pixels);
    }
    struct Case {
        std::string path;
        int width, height;
    };
    const Case readable[] = {
        {models + "Collada/duckCM.tga", 512, 512},
        {models + "Collada/duck_sample.jpg", 0, 0},
        {models + "MD2/faerie2.bmp", 0, 0},
        {models + "glTF2/BoxTextured-glTF/CesiumLogoFlat.png", 0, 0},
        {hdr, 2, 1},
    };
    for (const Case& c : readable) {
        SCOPED_TRACE(c.path);
        Image image;
        std::string error;
        ASSERT_TRUE(preview::readImage(c.path, image, error)) << error;
        EXPECT_GT(image.width, 0);
        if (c.width) {
            EXPECT_EQ(image.width, c.width);
            EXPECT_EQ(image.height, c.height);
        }
        uint64_t sum = 0;
        for (uint8_t v : image.rgb)
            sum += v;
        EXPECT_GT(sum / image.rgb.size(), 10u) << "not black";
        // The simulated host reads the same files.
        int32_t width = 0, height = 0;
        std::vector<uint8_t> rgba;
        EXPECT_TRUE(sim::decodePng(c.path, width, height, rgba));
        EXPECT_EQ(width, image.width);
    }
    Image sky;
    std::string error;
    ASSERT_TRUE(preview::readImage(hdr, sky, error));
    EXPECT_GT(int(sky.pixel(0, 0)[0]), int(sky.pixel(0, 0)[2]) + 50) << rgbText(sky.pixel(0, 0));
    fs::remove(hdr);

    const std::string fifo = scratch("pipe.tga"), text = scratch("text.jpg");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(text) << "no image here";
    const std::pair<std::string, std::string> unreadable[] = {
        {fifo, "FIFO"}, {fs::temp_directory_path().string(), "folder"}, {text, "not an image"},
        {"/nonexistent/x.png", "No such file"}};
    for (const auto& [path, reason] : unreadable) {
        SCOPED_TRACE(path);
        Image image;
        std::string why;
        EXPECT_FALSE(preview::readImage(path, image, why));
        EXPECT_NE(why.find(reason), std::string::npos) << why;
        int32_t width = 0, height = 0;
        std::vector<uint8_t> rgba;
        EXPECT_FALSE(sim::decodePng(path, width, height, rgba));
    }
    fs::remove(fifo);
    fs::remove(text);
}

// One file named in many spellings is read once; the pixels held stay under the cap, and
// an image past it is refused with the reason.
TEST(Preview, TexturesAreKnownByFileIdentityAndThePixelsHeldAreCapped)
{
    const std::string folder = scratch("tex");
    fs::create_directories(folder + "/sub");
    Image tile;
    tile.width = tile.height = 64;
    tile.rgb.assign(64 * 64 * 3, 200);
    std::string error;
    ASSERT_TRUE(preview::writePng(folder + "/a.png", tile, error)) << error;
    ASSERT_TRUE(preview::writePng(folder + "/b.png", tile, error)) << error;
    fs::create_symlink(folder + "/a.png", folder + "/link.png");

    preview::TextureCache cache(64 * 64 + 10);
    cache.beginScene();
    const auto first = cache.load(folder + "/a.png", error);
    ASSERT_TRUE(first) << error;
    for (const std::string& spelling : {folder + "/./a.png", folder + "/sub/../a.png", folder + "//a.png",
                                        folder + "/link.png"})
        EXPECT_EQ(cache.load(spelling, error), first) << spelling << ": " << error;
    EXPECT_EQ(cache.images(), 1u);
    EXPECT_EQ(cache.heldPixels(), 64 * 64);
    EXPECT_EQ(cache.load(folder + "/b.png", error), nullptr);
    EXPECT_NE(error.find("exceed"), std::string::npos) << error;
    cache.endScene();
    // The next scene keeps the decoded image it names again, and the cap counts what it uses:
    // without a.png, b.png fits.
    cache.beginScene();
    EXPECT_TRUE(cache.load(folder + "/b.png", error)) << error;
    cache.endScene();
    EXPECT_EQ(cache.images(), 1u) << "a.png is forgotten once no scene uses it";
    // A file written again under its name is decoded again.
    tile.rgb.assign(64 * 64 * 3, 10);
    ASSERT_TRUE(preview::writePng(folder + "/b.png", tile, error)) << error;
    cache.beginScene();
    const auto rewritten = cache.load(folder + "/b.png", error);
    ASSERT_TRUE(rewritten) << error;
    EXPECT_EQ(rewritten->pixel(0, 0)[0], 10);
    fs::remove_all(folder);

    // Large images are reduced for the preview.
    Image wide;
    wide.width = preview::kMaxTextureSide * 2 + 1;
    wide.height = 3;
    wide.rgb.assign(size_t(wide.width) * 3 * 3, 90);
    const std::string png = scratch("wide.png");
    ASSERT_TRUE(preview::writePng(png, wide, error)) << error;
    Image back;
    ASSERT_TRUE(preview::readImage(png, back, error)) << error;
    EXPECT_LE(back.width, preview::kMaxTextureSide);
    EXPECT_EQ(back.height, 1);
    EXPECT_EQ(back.pixel(0, 0)[0], 90);
    fs::remove(png);
}

// Zero-area triangles never reach the ray tracer (two hundred thousand of them stacked on
// one spot once took over a minute), and a drawing past its time limit is abandoned.
TEST(Preview, ZeroAreaTrianglesAreDroppedAndTheTimeIsBounded)
{
    std::string indices;
    for (int i = 0; i < 200000; ++i)
        indices += i % 2 ? "0,1,2," : "0,0,0,";
    const std::string flat = camera() + group("object \"Flat\" {\ngeometry \"triangles\" {\n\"vertices\" [ 0 0 100,1 1 100,"
                                              "2 2 100 ] ,\n\"triangles\" [ " + indices + "] ,\n}\n}\n" +
                                              quad("Red", -20, -20, 20, 20, 100, diffuse(1, 0, 0)));
    const orv::qrf::Document doc = parsed(flat);
    const preview::Scene scene = preview::buildScene(doc, "");
    ASSERT_EQ(scene.shapes.size(), 1u) << "only the quad is drawn";
    EXPECT_EQ(scene.shapes[0].mesh->triangles.size(), 6u);

    preview::Options options;
    options.width = kW;
    options.height = kH;
    options.timeLimitSeconds = 1e-9;
    preview::Result result;
    std::string error;
    EXPECT_FALSE(preview::render(scene, options, result, error));
    EXPECT_NE(error.find("abandoned"), std::string::npos) << error;
}

// --camera auto, and the file's camera when it moves: a camera whose placement only its
// scene group carries (as an animated host camera is written) is drawn at its start.
TEST(Preview, AutomaticViewAndAnimatedCameras)
{
    // The file's camera looks away from the quad; the automatic view finds it, centred.
    const auto doc = parsed(camera() + group(quad("Red", 300, 200, 340, 240, -900, diffuse(1, 0, 0))));
    EXPECT_TRUE(backgroundOnly(draw(doc).image));
    preview::Options options;
    options.width = kW;
    options.height = kH;
    options.camera = preview::CameraChoice::Auto;
    preview::Result result;
    std::string error;
    ASSERT_TRUE(preview::render(doc, options, result, error)) << error;
    const Spot spot = drawnSpot(result.image);
    EXPECT_NEAR(spot.x, 0.5, 0.1);
    EXPECT_NEAR(spot.y, 0.5, 0.1);
    EXPECT_GT(spot.pixels, size_t(kW * kH / 8)) << "the bounding sphere fills the narrower field of view";

    // The documented viewpoint: along (1, 1, 2) from the centre, the sphere just inside.
    preview::Bounds bounds;
    bounds.add({-1, -1, -1});
    bounds.add({1, 1, 1});
    for (double aspect : {0.5, 1.0, 2.0}) {
        const preview::Camera c = preview::autoCamera(bounds, aspect);
        const double distance = preview::length(c.eye);
        EXPECT_NEAR(c.eye.x * 2, c.eye.z, 1e-9);
        EXPECT_NEAR(c.eye.y * 2, c.eye.z, 1e-9);
        const double tanHalf = std::tan(c.fovDegrees * M_PI / 360) * std::min(1.0, aspect);
        EXPECT_NEAR(std::sqrt(3.0) / distance, std::sin(std::atan(tanHalf)), 1e-9) << aspect;
    }

    // The bundled animated camera starts 500 units in front of the cube, looking at it:
    // once it was drawn from inside the cube, as one flat grey frame.
    const preview::Result moving = draw(scenetest::exportExample("animated_camera.json").parsed);
    const Spot cube = drawnSpot(moving.image);
    EXPECT_GT(cube.pixels, size_t(kW * kH / 20));
    EXPECT_LT(cube.pixels, size_t(kW * kH / 2));
    EXPECT_NEAR(cube.x, 0.5, 0.1);
}

// qrfdump --render draws a scene file with the same code.
TEST(Preview, QrfdumpRendersAFile)
{
    const std::string scene = scratch("quad.qrf"), png = scratch("quad.png");
    const std::string text = "version 9\n" + camera() + group(quad("Red", -20, -20, 20, 20, 100, diffuse(1, 0, 0)));
    std::ofstream(scene, std::ios::binary) << text;
    auto run = [](const std::string& arguments) {
        const int status = std::system((std::string(QRFDUMP_PATH) + " " + arguments + " 2>/dev/null").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    ASSERT_EQ(run("--render " + png + " --size 64x36 " + scene), 0);
    Image image;
    std::string error;
    ASSERT_TRUE(preview::readPng(png, image, error)) << error;
    EXPECT_EQ(image.rgb, draw(parsed(camera() + group(quad("Red", -20, -20, 20, 20, 100, diffuse(1, 0, 0)))), 64, 36)
                             .image.rgb);
    EXPECT_EQ(run("--render " + png + " --size 64 " + scene), 2);
    EXPECT_EQ(run("--render /no/such/folder/x.png " + scene), 1);
    EXPECT_EQ(run("--render " + png + " --stats " + scene), 2);
    EXPECT_EQ(run("--render " + png + " --camera sideways " + scene), 2);
    EXPECT_EQ(run("--render " + png + " --camera auto --size 64x36 " + scene), 0);
    // The picture is written through a private temporary file: a link planted at the old
    // temporary name is not written through.
    const std::string victim = scratch("victim");
    std::ofstream(victim) << "precious";
    fs::create_symlink(victim, png + ".part");
    EXPECT_EQ(run("--render " + png + " --size 64x36 " + scene), 0);
    EXPECT_EQ(fileBytes(victim), "precious");
    fs::remove(png + ".part");
    fs::remove(victim);
    fs::remove(scene);
    fs::remove(png);
}

} // namespace
