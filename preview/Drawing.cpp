// Drawing a gathered scene: the camera's view, the ray tracer brought up to the scene, and
// every pixel traced in order under the time limit.
#include "Preview.h"

#include "Frame.h"
#include "Tracer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace preview {

namespace {

// The camera's frame; false when it cannot see anything (no direction, unusable angle).
bool makeView(const Camera& camera, View& view, std::vector<std::string>& warnings)
{
    const double fov = camera.fovDegrees;
    if (!(fov > 0.01 && fov < 179.9)) {
        warnings.push_back("camera \"" + camera.name + "\" has an unusable field of view (" +
                           std::to_string(fov) + " degrees); nothing is seen");
        return false;
    }
    view.forward = normalized(camera.forward);
    if (length(view.forward) == 0 || !finite(camera.eye)) {
        warnings.push_back("camera \"" + camera.name + "\" has no usable position or direction; nothing is seen");
        return false;
    }
    view.eye = camera.eye;
    view.right = normalized(cross(view.forward, camera.up));
    if (length(view.right) == 0)
        view.right = normalized(cross(view.forward, std::fabs(view.forward.y) < 0.9 ? Vec3{0, 1, 0} : Vec3{0, 0, -1}));
    view.up = cross(view.right, view.forward);
    view.tanHalf = std::tan(fov * M_PI / 360);
    return true;
}

Deadline deadlineOf(const Options& options)
{
    Deadline deadline;
    if (options.timeLimitSeconds > 0)
        deadline.at = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(options.timeLimitSeconds));
    return deadline;
}

bool sizeUsable(const Options& options, std::string& error)
{
    const int w = options.width, h = options.height;
    if (w >= 1 && h >= 1 && w <= kMaxImageSide && h <= kMaxImageSide)
        return true;
    error = "image size " + std::to_string(w) + "x" + std::to_string(h) + " is out of range (1.." +
            std::to_string(kMaxImageSide) + ")";
    return false;
}

bool abandoned(const Options& options, std::string& error)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", options.timeLimitSeconds);
    error = std::string("preview abandoned: drawing took longer than its limit of ") + seconds + " s";
    return false;
}

// Brings the tracer up to the scene and draws it: every pixel, or with a frame of the
// picture before, only those the changes reach. The tracer must follow the scene before any
// pixel is traced, even when the camera sees nothing: the next picture builds on it.
bool drawWith(Tracer& tracer, Frame& frame, const Scene* before, const Scene& scene, const Options& options,
              const Deadline& deadline, Result& out, std::string& error, const Drawing::QuickPicture& quick = {})
{
    const int w = options.width, h = options.height;
    out.warnings.insert(out.warnings.end(), scene.warnings.begin(), scene.warnings.end());
    if (!tracer.follow(scene, deadline, error)) {
        frame.forget();
        return deadline.passed() ? abandoned(options, error) : false;
    }
    const double aspect = double(h) / double(w);
    const Camera camera = options.camera == CameraChoice::Auto || !scene.camera.present
                              ? autoCamera(scene.surfaceBounds.empty() ? scene.bounds : scene.surfaceBounds, aspect)
                              : scene.camera;
    View view;
    const bool sees = makeView(camera, view, out.warnings);
    const bool kept = sees && before && frame.held() && out.image.width == w && out.image.height == h;
    if (kept && frame.drawChanged(tracer, *before, scene, view, out.image, deadline))
        return frame.held() || abandoned(options, error);
    out.image.width = w;
    out.image.height = h;
    out.image.rgb.resize(size_t(w) * size_t(h) * 3);
    for (size_t i = 0; i < out.image.rgb.size(); i += 3)
        std::copy(kBackground, kBackground + 3, out.image.rgb.begin() + long(i));
    if (!sees) {
        frame.forget();
        return true;
    }
    if (quick && w >= 96 && h >= 96) {
        Image first;
        first.width = w / 3;
        first.height = h / 3;
        first.rgb.resize(size_t(first.width) * size_t(first.height) * 3);
        Frame rough;
        if (!rough.drawAll(tracer, scene, view, first, deadline))
            return abandoned(options, error);
        quick(first);
    }
    return frame.drawAll(tracer, scene, view, out.image, deadline) || abandoned(options, error);
}

} // namespace

bool parseSize(const std::string& text, int& width, int& height)
{
    // from_chars refuses a number past int's range instead of wrapping it round (a
    // 4294967297 must not become 1), and takes neither signs nor spaces.
    const char* begin = text.data();
    const char* end = begin + text.size();
    int w = 0, h = 0;
    auto [afterW, errW] = std::from_chars(begin, end, w);
    if (errW != std::errc() || afterW == begin || afterW == end || (*afterW != 'x' && *afterW != 'X'))
        return false;
    auto [afterH, errH] = std::from_chars(afterW + 1, end, h);
    if (errH != std::errc() || afterH == afterW + 1 || afterH != end)
        return false;
    if (w < 1 || h < 1 || w > kMaxImageSide || h > kMaxImageSide)
        return false;
    width = w;
    height = h;
    return true;
}

bool parseCameraChoice(const std::string& text, CameraChoice& out)
{
    if (text == "auto")
        out = CameraChoice::Auto;
    else if (text == "file")
        out = CameraChoice::File;
    else
        return false;
    return true;
}

bool render(const Scene& scene, const Options& options, Result& out, std::string& error)
{
    if (!sizeUsable(options, error))
        return false;
    Tracer tracer;
    Frame frame;
    return drawWith(tracer, frame, nullptr, scene, options, deadlineOf(options), out, error);
}

bool render(std::span<const orv::qrf::Statement* const> top, const Options& options, Result& out,
            std::string& error)
{
    Drawing drawing;
    return drawing.draw(top, options, out, error);
}

bool render(const orv::qrf::Document& document, const Options& options, Result& out, std::string& error)
{
    return render(topLevel(document), options, out, error);
}

Drawing::Drawing() : tracer_(std::make_unique<Tracer>()), frame_(std::make_unique<Frame>()) {}
Drawing::~Drawing() = default;

const TracerWork& Drawing::work() const
{
    return tracer_->work();
}

size_t Drawing::raysTraced() const
{
    return frame_->raysTraced();
}

bool Drawing::draw(std::span<const orv::qrf::Statement* const> top, const Options& options, Result& out,
                   std::string& error, const QuickPicture& quick)
{
    if (!sizeUsable(options, error))
        return false;
    const Deadline deadline = deadlineOf(options);
    // The tracer keeps what it built from the scene before by its data, not by the scene.
    Scene next = buildScene(top, options.textureFolder, textures_, gathered_ ? &scene_ : nullptr);
    out.image = picture_;
    const bool ok =
        drawWith(*tracer_, *frame_, gathered_ ? &scene_ : nullptr, next, options, deadline, out, error, quick);
    scene_ = std::move(next);
    gathered_ = true;
    if (ok && frame_->held())
        picture_ = out.image;
    else
        frame_->forget();
    return ok;
}

} // namespace preview
