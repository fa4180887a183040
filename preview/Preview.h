// The preview renderer: draws a scene file, or the scene a renderer holds, into an image
// with Embree. One primary ray per pixel, Lambert shading from the scene's point and area
// lights with one shadow ray each, a constant ambient term, no global illumination. The
// same scene always gives the same image: Embree runs on one thread and the pixels are
// traced in order. A Drawing draws one scene after another and keeps what the ray tracer
// built between them; its pictures are those a fresh drawing of each scene gives.
#pragma once

#include "PreviewScene.h"
#include "SceneReader.h"
#include "Textures.h"

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace preview {

inline constexpr double kDefaultTimeLimitSeconds = 15;

enum class CameraChoice {
    File, // the scene's first camera; the automatic view when it holds none
    Auto, // the automatic view of the whole scene (see autoCamera), whatever cameras it holds
};

struct Options {
    int width = 640;
    int height = 360;
    std::string textureFolder; // where relative texture paths are also looked for
    CameraChoice camera = CameraChoice::File;
    // Past this many seconds of building and tracing the preview is abandoned; 0: no bound.
    double timeLimitSeconds = kDefaultTimeLimitSeconds;
};

inline constexpr int kMaxImageSide = 8192;
// The colour where no surface is hit.
inline constexpr uint8_t kBackground[3] = {46, 50, 58};
// Light that reaches every surface, lit or not, as a fraction of its colour.
inline constexpr double kAmbient = 0.2;

struct Result {
    Image image;
    std::vector<std::string> warnings; // parts of the scene drawn differently than written
};

// Draws prepared scene data. False with a message when the image size is unusable, the ray
// tracing library fails or the time limit passes (the message then says the preview was
// abandoned); bad scene content never fails, it is left out.
bool render(const Scene& scene, const Options& options, Result& out, std::string& error);

// Builds and draws top-level statements (camera sections and scene groups).
bool render(std::span<const orv::qrf::Statement* const> top, const Options& options, Result& out,
            std::string& error);
bool render(const orv::qrf::Document& document, const Options& options, Result& out, std::string& error);

class Frame;
class Tracer;

// What the ray tracer built for one picture.
struct TracerWork {
    size_t built = 0;      // shape data given a structure of its own
    size_t released = 0;   // structures no scene uses any longer
    bool topLevel = false; // the instances were placed again
};

// Draws the scene a renderer holds, again and again as it changes. Each draw gathers the
// statements after the scene drawn before (unchanged geometry is shared, decoded textures
// are kept) and brings the ray tracer's structures up to it, then traces every pixel.
class Drawing {
public:
    // Shown a first, quick picture at a third of the size in each direction (a ninth of the
    // rays) when every pixel has to be traced again (another view, a scene changed all
    // over): the full one follows.
    using QuickPicture = std::function<void(const Image&)>;

    Drawing();
    ~Drawing();
    Drawing(const Drawing&) = delete;
    Drawing& operator=(const Drawing&) = delete;

    // False with a message as render gives; after a failure of the ray tracer the next
    // draw builds its structures afresh.
    bool draw(std::span<const orv::qrf::Statement* const> top, const Options& options, Result& out,
              std::string& error, const QuickPicture& quick = {});

    // What the last draw found changed, what the ray tracer built for it and how many rays
    // it traced.
    const SceneChanges& changes() const { return scene_.changes; }
    const TracerWork& work() const;
    size_t raysTraced() const;
    const Scene& scene() const { return scene_; }

private:
    TextureCache textures_;
    Scene scene_;
    bool gathered_ = false; // scene_ holds the scene drawn before
    std::unique_ptr<Tracer> tracer_;
    std::unique_ptr<Frame> frame_; // the last picture's rays
    Image picture_;                // and its pixels
};

// Parses "WIDTHxHEIGHT" (each 1..kMaxImageSide).
bool parseSize(const std::string& text, int& width, int& height);
// Parses "auto" or "file".
bool parseCameraChoice(const std::string& text, CameraChoice& out);

} // namespace preview
