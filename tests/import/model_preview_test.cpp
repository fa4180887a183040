// The README's gallery as a test: packaged models of eight formats go the whole way a user's
// model goes (imported, exported through the plug-in's command run, drawn by the preview with
// the automatic view) and the small pictures are judged by their pixels: the model covers a
// fair part of the frame and is lit, textures are drawn with their colours, and standing
// figures stand in the picture.
#include "Preview.h"
#include "SceneReader.h"
#include "document_file.h"
#include "import_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Drawn {
    size_t pixels = 0, covered = 0, lit = 0;
    int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
    std::set<int> hues; // coarse chromaticities of the covered pixels that are clearly coloured
};

Drawn judge(const preview::Image& image)
{
    Drawn d;
    std::map<int, size_t> hueCount;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            ++d.pixels;
            const uint8_t* p = image.pixel(x, y);
            if (std::equal(p, p + 3, preview::kBackground))
                continue;
            ++d.covered;
            d.left = std::min(d.left, x);
            d.right = std::max(d.right, x);
            d.top = std::min(d.top, y);
            d.bottom = std::max(d.bottom, y);
            const int most = std::max({p[0], p[1], p[2]}), least = std::min({p[0], p[1], p[2]});
            d.lit += most >= 24;
            // Shading changes brightness, not the balance of the channels: each channel's
            // share of the sum, in fifths, tells colours apart; greys are left out.
            if (most >= 32 && most - least >= 24) {
                const int sum = p[0] + p[1] + p[2];
                ++hueCount[p[0] * 5 / sum * 25 + p[1] * 5 / sum * 5 + p[2] * 5 / sum];
            }
        }
    // A colour counts when it holds at least 2% of the covered pixels (not an edge's blend).
    for (const auto& [hue, count] : hueCount)
        if (count * 50 >= d.covered)
            d.hues.insert(hue);
    return d;
}

TEST(ModelPreview, GalleryModelsAreDrawnLitTexturedAndUpright)
{
    const struct {
        const char* file;
        bool texturesDrawn; // every texture the model names is read and drawn
        size_t colours;     // at least this many distinct colours (textured: more than one)
        bool standing;      // a standing figure: taller than wide in the picture
    } models[] = {
        {"Collada/duck.dae", true, 2, false},                      // TGA
        {"OBJ/spider.obj", true, 2, false},                        // JPEG
        {"MS3D/jeep1.ms3d", true, 2, false},                       // JPEG
        {"LWO/LWO2/box_2vc_1unused.lwo", true, 0, false},          // BMP (one white texel)
        {"glTF/CesiumMilkTruck/CesiumMilkTruck.gltf", true, 2, false}, // PNG
        {"COB/dwarf.cob", false, 0, true},                         // Z up; its JPEGs are not packaged
        {"BLEND/HUMAN.blend", true, 0, true},                      // Blender, Z up, no texture
        {"MD2/sydney.md2", true, 0, true},                         // names no skin: no texture looked for
    };
    const fs::path corpus = TAVRIN_MODEL_CORPUS;
    if (!fs::is_directory(corpus))
        GTEST_SKIP() << "no packaged models in " << corpus;
    const std::string cache = (fs::temp_directory_path() / ("model_preview_" + std::to_string(getpid()))).string();
    // Every model is read before the first is drawn, as c4dsim reads its model before anything
    // starts a thread: the import forks, and the preview's ray caster keeps worker threads.
    std::vector<modelimport::LoadedDocument> documents;
    for (const auto& m : models)
        documents.push_back(modelimport::loadDocumentFile((corpus / m.file).string(), {cache, {}}));
    for (size_t i = 0; i < std::size(models); ++i) {
        const auto& m = models[i];
        const modelimport::LoadedDocument& loaded = documents[i];
        SCOPED_TRACE(m.file);
        ASSERT_TRUE(loaded.document) << loaded.error;
        std::string error;
        const std::string text = importtest::exportText(*loaded.document, error);
        ASSERT_FALSE(text.empty()) << error;
        orv::qrf::Document scene;
        orv::qrf::ParseError parseError;
        ASSERT_TRUE(orv::qrf::parse(text, scene, parseError)) << parseError.offset << ": " << parseError.message;
        preview::Options options;
        options.width = 96;
        options.height = 72;
        options.camera = preview::CameraChoice::Auto;
        options.timeLimitSeconds = 0;
        preview::Result result;
        ASSERT_TRUE(preview::render(scene, options, result, error)) << error;
        if (m.texturesDrawn) {
            for (const std::string& warning : result.warnings)
                ADD_FAILURE() << warning;
        }

        const Drawn d = judge(result.image);
        // A fair part of the frame: slender figures and long legs cover little area, but the
        // model spans about half the picture or more.
        const int width = d.right - d.left + 1, height = d.bottom - d.top + 1;
        EXPECT_GE(d.covered * 20, d.pixels) << "the model covers " << d.covered << " of " << d.pixels << " pixels";
        EXPECT_GE(std::max(double(width) / options.width, double(height) / options.height), 0.45)
            << "the model spans " << width << " x " << height << " pixels";
        EXPECT_GE(d.lit * 2, d.covered) << "only " << d.lit << " of " << d.covered << " covered pixels are lit";
        EXPECT_GE(d.hues.size(), m.colours);
        if (m.standing) {
            EXPECT_GT(height, width) << "the figure lies: " << width << " wide, " << height << " high";
        }
        // The automatic view frames the whole model: nothing is cut at the picture's edges.
        EXPECT_TRUE(d.left > 0 && d.top > 0 && d.right < options.width - 1 && d.bottom < options.height - 1)
            << "cut at the edge: x " << d.left << ".." << d.right << ", y " << d.top << ".." << d.bottom;
    }
    fs::remove_all(cache);
}

} // namespace
