// The preview renderer: draws a scene file, or the scene a renderer holds, into an image
// with Embree. One primary ray per pixel, Lambert shading from the scene's point and area
// lights with one shadow ray each, a constant ambient term, no global illumination. The
// same scene always gives the same image: Embree runs on one thread and the pixels are
// traced in order.
#pragma once

#include "PreviewScene.h"
#include "SceneReader.h"

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

// Parses "WIDTHxHEIGHT" (each 1..kMaxImageSide).
bool parseSize(const std::string& text, int& width, int& height);
// Parses "auto" or "file".
bool parseCameraChoice(const std::string& text, CameraChoice& out);

} // namespace preview
