// A drawing that keeps its state from one picture to the next, after each edit of a sequence:
// its picture is the one a fresh drawing of the same scene gives, and it built and traced
// only what the edit touched. Each object stands in a scene group of its own; a group that
// an edit leaves alone keeps its parsed blocks (as a merge keeps them), an edited one is
// parsed again, and one step sends everything again unchanged.
#include "Preview.h"
#include "preview_scenes.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace previewtest;

struct Piece {
    std::string name;
    std::string text;
};

// The scene as its pieces: the camera, then one group per object.
using Pieces = std::vector<Piece>;

std::string tile(const std::string& name, double x, double y, double z, const std::string& surface, double size = 8)
{
    return quad(name, x - size, y - size, x + size, y + size, z, surface);
}

Pieces startingScene()
{
    return {{"Camera", camera()},
            {"Wall", group(tile("Wall", 0, 0, 160, diffuse(0.8, 0.8, 0.8), 90), "Wall")},
            {"Red", group(tile("Red", -20, 5, 100, diffuse(1, 0, 0)), "Red")},
            {"Green", group(tile("Green", 0, -5, 90, diffuse(0, 1, 0)), "Green")},
            {"Blue", group(tile("Blue", 22, 0, 110, diffuse(0, 0, 1)), "Blue")},
            {"Lamp", pointLight(10, 30, 40)}};
}

void set(Pieces& pieces, const std::string& name, const std::string& text)
{
    for (Piece& p : pieces)
        if (p.name == name) {
            p.text = text;
            return;
        }
    pieces.push_back({name, text});
}

TEST(LiveDrawing, EveryPictureAfterAnEditIsAFreshPictureAndOnlyTheEditIsTraced)
{
    struct Step {
        const char* what;
        std::function<void(Pieces&)> edit;
        const char* changed; // the drawing's own account
        bool everyRay;       // every pixel traced again
    };
    const std::vector<Step> steps = {
        {"the first picture", [](Pieces&) {}, "the whole scene: 5 objects", true},
        {"a moved object", [](Pieces& p) { set(p, "Red", group(tile("Red", -20, 5, 100, diffuse(1, 0, 0)), "Red", 6, -3)); },
         "1 object moved", false},
        {"an edited mesh", [](Pieces& p) { set(p, "Green", group(tile("Green", 0, -5, 90, diffuse(0, 1, 0), 5), "Green")); },
         "1 mesh changed", false},
        {"a changed material", [](Pieces& p) { set(p, "Blue", group(tile("Blue", 22, 0, 110, diffuse(1, 1, 0)), "Blue")); },
         "1 material changed", false},
        {"a moved camera", [](Pieces& p) { set(p, "Camera", camera(50)); }, "camera moved", true},
        {"an added object", [](Pieces& p) { set(p, "Cyan", group(tile("Cyan", 5, 15, 80, diffuse(0, 1, 1), 4), "Cyan")); },
         "1 object added", false},
        {"a deleted object", [](Pieces& p) { std::erase_if(p, [](const Piece& x) { return x.name == "Red"; }); },
         "1 object removed", false},
        {"a moved light", [](Pieces& p) { set(p, "Lamp", pointLight(-10, 30, 40)); }, "1 object moved", true},
        {"everything sent again unchanged", [](Pieces&) {}, "nothing changed", false},
    };
    preview::Options options;
    options.width = kW;
    options.height = kH;
    preview::Drawing drawing;
    Pieces pieces = startingScene();
    std::map<std::string, std::pair<std::string, orv::qrf::Document>> parsedPieces; // by name: text and parse
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE(step.what);
        step.edit(pieces);
        const bool resend = std::string(step.what).starts_with("everything");
        std::vector<const orv::qrf::Statement*> top;
        for (const Piece& p : pieces) {
            auto& [text, doc] = parsedPieces[p.name];
            if (text != p.text || resend) {
                text = p.text;
                doc = parsed(p.text);
            }
            for (const orv::qrf::Statement& s : doc.top.statements)
                if (s.keyword != "version")
                    top.push_back(&s);
        }
        preview::Result kept, fresh;
        std::string error;
        ASSERT_TRUE(drawing.draw(top, options, kept, error)) << error;
        ASSERT_TRUE(preview::render(top, options, fresh, error)) << error;
        size_t differ = 0;
        for (size_t b = 0; b < kept.image.rgb.size(); b += 3)
            differ += !std::equal(kept.image.rgb.begin() + long(b), kept.image.rgb.begin() + long(b) + 3,
                                  fresh.image.rgb.begin() + long(b));
        EXPECT_LE(differ, size_t(kW * kH) / 200) << "pixels that differ from a fresh picture";
        EXPECT_EQ(drawing.changes().summary(), step.changed);
        // Primary rays and one shadow ray per lit pixel: a picture drawn afresh traces at
        // least one ray per pixel.
        const size_t pixels = size_t(kW) * kH;
        if (step.everyRay)
            EXPECT_GE(drawing.raysTraced(), pixels);
        else
            EXPECT_LT(drawing.raysTraced(), pixels / 2);
        if (i > 0) {
            EXPECT_LE(drawing.work().built, 1u) << "structures built again";
        }
    }
}

} // namespace
