// Drawing a gathered scene: the camera's view, the ray tracer brought up to the scene, and
// every pixel traced in order under the time limit.
#include "Preview.h"

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

// Brings the tracer up to the scene and draws it. The tracer must follow the scene before
// any pixel is traced, even when the camera sees nothing: the next picture builds on it.
bool drawWith(Tracer& tracer, const Scene& scene, const Options& options, const Deadline& deadline, Result& out,
              std::string& error)
{
    const int w = options.width, h = options.height;
    out.warnings.insert(out.warnings.end(), scene.warnings.begin(), scene.warnings.end());
    out.image.width = w;
    out.image.height = h;
    out.image.rgb.resize(size_t(w) * size_t(h) * 3);
    for (size_t i = 0; i < out.image.rgb.size(); i += 3)
        std::copy(kBackground, kBackground + 3, out.image.rgb.begin() + long(i));

    if (!tracer.follow(scene, deadline, error))
        return deadline.passed() ? abandoned(options, error) : false;
    const double aspect = double(h) / double(w);
    const Camera camera = options.camera == CameraChoice::Auto || !scene.camera.present
                              ? autoCamera(scene.surfaceBounds.empty() ? scene.bounds : scene.surfaceBounds, aspect)
                              : scene.camera;
    View view;
    if (!makeView(camera, view, out.warnings))
        return true;
    for (int y = 0; y < h; y += 4)
        for (int x = 0; x < w; x += 4) {
            // A pixel can cost much when many triangles overlap: look at the clock often.
            if (deadline.passed())
                return abandoned(options, error);
            tracer.tile(view, x, y, out.image);
        }
    return true;
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
    return drawWith(tracer, scene, options, deadlineOf(options), out, error);
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

Drawing::Drawing() : tracer_(std::make_unique<Tracer>()) {}
Drawing::~Drawing() = default;

const TracerWork& Drawing::work() const
{
    return tracer_->work();
}

bool Drawing::draw(std::span<const orv::qrf::Statement* const> top, const Options& options, Result& out,
                   std::string& error)
{
    if (!sizeUsable(options, error))
        return false;
    const Deadline deadline = deadlineOf(options);
    // The tracer keeps what it built from the scene before by its data, not by the scene.
    Scene next = buildScene(top, options.textureFolder, textures_, gathered_ ? &scene_ : nullptr);
    scene_ = std::move(next);
    gathered_ = true;
    return drawWith(*tracer_, scene_, options, deadline, out, error);
}

} // namespace preview
