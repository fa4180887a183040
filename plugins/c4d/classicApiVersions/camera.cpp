// Camera objects into camera nodes: the field of view in degrees, the world matrix mirrored
// in z, and the camera's own animation sampled in camera mode. Cameras are written before
// the document's scene group, so they carry the z mirror themselves.
#include "camera.h"

#include "LightCamera.h"
#include "TranslationContext.h"
#include "animation.h"
#include "orvSceneapi_oo.h"
#include "plain_zero.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int32_t kFieldOfView = 1008;
constexpr double kDegreesPerRadian = 57.29577951308232;
// Used when the host gives no usable angle: the camera node's own default.
constexpr float kDefaultFovDegrees = 60.0f;

// The camera record read from the host before anything is written.
struct CameraRecord {
    std::string name;
    float fovDegrees = kDefaultFovDegrees;
    bool fovRead = false; // false: the default angle stands in for an unreadable one
    double fovGiven = 0;  // the angle read, when it was no usable one (0 or below)
    bool fovNotPositive = false;
    host::Vec3 position{0, 0, 0};
    host::Vec3 rotation{0, 0, 0};
    host::Vec3 scale{1, 1, 1};
    int rotationOrder = 0;
    double matrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
};

CameraRecord readCamera(const host::Object& b_camera)
{
    CameraRecord r;
    double radians = 0;
    if (b_camera.getFloat(kFieldOfView, radians) && std::isfinite(radians)) {
        const double narrowed = static_cast<float>(radians);
        if (narrowed > 0) {
            r.fovDegrees = static_cast<float>(narrowed * kDegreesPerRadian);
            r.fovRead = true;
        } else {
            // A camera that sees no angle (or a negative one) shows nothing: the default
            // stands in, as for an unreadable angle.
            r.fovNotPositive = true;
            r.fovGiven = radians;
        }
    }

    host::Vec3 v;
    if (b_camera.vector(C4D_ABS_POS, v))
        r.position = v;
    if (b_camera.vector(C4D_ABS_ROT, v))
        r.rotation = v;
    if (b_camera.vector(C4D_ABS_SCALE, v))
        r.scale = v;
    r.rotationOrder = b_camera.rotationOrder();

    host::Matrix mg = affine::identity();
    if (!b_camera.mg(mg))
        mg = affine::identity();
    // Only the z components change sign: the world is mirrored after the camera's transform.
    const host::Vec3* rows[4] = {&mg.v1, &mg.v2, &mg.v3, &mg.off};
    for (int i = 0; i < 4; ++i) {
        r.matrix[i * 4 + 0] = plainZero(rows[i]->x);
        r.matrix[i * 4 + 1] = plainZero(rows[i]->y);
        r.matrix[i * 4 + 2] = plainZero(-rows[i]->z);
        r.matrix[i * 4 + 3] = i == 3 ? 1.0 : 0.0;
    }

    r.name = b_camera.name();
    if (r.name.empty())
        r.name = "Camera";
    return r;
}

} // namespace

void translateCamera(TranslationContext& context, const host::Object& b_camera)
{
    if (!context.scene || !context.scene->api() || !b_camera)
        return;
    const CameraRecord r = readCamera(b_camera);
    if (r.fovNotPositive) {
        char given[48];
        std::snprintf(given, sizeof given, "%g", r.fovGiven);
        context.report.leftOut(report::Reason::ParameterDefault, r.name,
                               "field of view (parameter " + std::to_string(kFieldOfView) + ") of " + given +
                                   " radians, not above 0: 60 degrees used");
    } else if (!r.fovRead) {
        context.report.leftOut(report::Reason::ParameterDefault, r.name,
                               "field of view (parameter " + std::to_string(kFieldOfView) + "): 60 degrees used");
    }

    orv::LightCamera camera(r.name);
    camera.setPosition(0, 0, 0);
    camera.setDirection(0, 0, 1);
    camera.setUp(0, 1, 0);
    camera.setFov(r.fovDegrees);
    camera.setMatrix(r.matrix);
    camera.setProjection(0);

    std::vector<host::Track> scaleTracks, rotationTracks, positionTracks;
    for (host::Track track = b_camera.firstTrack(); track; track = track.next())
        classifyTrack(track, scaleTracks, rotationTracks, positionTracks);

    const struct {
        const std::vector<host::Track>* tracks;
        const char* label;
    } channels[] = {{&scaleTracks, "Camera Scale"},
                    {&rotationTracks, "Camera Rotation"},
                    {&positionTracks, "Camera Position"}};
    for (const auto& channel : channels) {
        for (auto& node : sampleTracks(context, r.name, *channel.tracks, channel.label, r.rotationOrder,
                                       r.position, r.rotation, r.scale, true))
            camera.addAnimation(std::move(node));
    }

    context.scene->writeNode(camera);
}
