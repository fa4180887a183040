// An object's tracks sorted by channel, their sampling into matrix animations, and the small
// affine matrix toolkit the translators share (host matrices: offset and three axes,
// acting on column vectors, the rightmost factor applied first).
#pragma once

#include "sceneapi/Animation.h"
#include "c4d_host.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct TranslationContext;

// Samples one track keeps at most: 72 minutes 49 seconds at 30 samples per second, so
// every track of up to an hour keeps all of its samples. A longer track is cut to its
// first kMaxTrackSamples samples (its duration ends at the last one) and reported as
// track_shortened: a corrupt or absurd key time costs a bounded scene and memory.
inline constexpr size_t kMaxTrackSamples = size_t{1} << 17;

// One node per usable track (at least two keys, a time span, parameter 904 non-zero),
// sampled 30 times per second from the first key to the last. Tracks are sorted by
// component in the sequence of the rotation order and processed from the last to the
// first. In object mode each sample is the component's change since the first key in the
// object's local frame; in camera mode in the z-mirrored world frame.
std::vector<std::shared_ptr<orv::FBXAnimation>>
sampleTracks(TranslationContext& context, const std::string& objectName,
             std::vector<host::Track> tracks, const std::string& channelName, int rotationOrder,
             const host::Vec3& staticPosition, const host::Vec3& staticRotation,
             const host::Vec3& staticScale, bool isCamera);
// The same, handing each node to sink as soon as it is sampled: a caller that writes and
// drops it holds the samples of one track at a time.
void sampleTracks(TranslationContext& context, const std::string& objectName, std::vector<host::Track> tracks,
                  const std::string& channelName, int rotationOrder, const host::Vec3& staticPosition,
                  const host::Vec3& staticRotation, const host::Vec3& staticScale, bool isCamera,
                  const std::function<void(std::shared_ptr<orv::FBXAnimation>)>& sink);

// Appends an animated position, rotation or scale track to its list. A track ignored for
// its keys or because it is muted is reported to the context's report when one is given.
void classifyTrack(const host::Track& track, std::vector<host::Track>& scaleTracks,
                   std::vector<host::Track>& rotationTracks,
                   std::vector<host::Track>& positionTracks, TranslationContext* context = nullptr);

// Samples the tracks of one channel (sampleTracks) and writes the animation nodes.
void emitChannelAnimation(TranslationContext& context, const std::string& objectName,
                          const std::vector<host::Track>& tracks, const std::string& channelName,
                          int rotationOrder, bool isCamera, const host::Vec3& position,
                          const host::Vec3& rotation, const host::Vec3& scale);

namespace affine {

host::Matrix identity();
host::Matrix translation(const host::Vec3& v);
host::Matrix scaling(const host::Vec3& v);
// a * b: b is applied first.
host::Matrix multiply(const host::Matrix& a, const host::Matrix& b);
// Determinant of the three axes.
double determinant(const host::Matrix& m);
// The inverse of an affine matrix; the identity when the determinant of the axes is 0.
host::Matrix inverse(const host::Matrix& m);
// Rotation by the three angles (radians) in the sequence of a host rotation order
// (0 to 6; other values use the sequence of order 3).
host::Matrix rotation(const host::Vec3& angles, int rotationOrder);
// rotation() of angles of which only one (0 x, 1 y, 2 z) is not zero, bit for bit: the
// factors of the two zero angles are computed once, and so is their product when both
// come first in the sequence.
class OneAngleRotation {
public:
    OneAngleRotation(int angle, int rotationOrder);
    host::Matrix at(double value) const;

private:
    host::Matrix factors_[3];
    host::Matrix firstTwo_;
    int varying_ = 0;
    int axis_ = 0;
};
// m applied to a point.
host::Vec3 apply(const host::Matrix& m, const host::Vec3& p);
// The 16 values x axis, 0, y axis, 0, z axis, 0, offset, 1.
void toRows(const host::Matrix& m, double out[16]);

} // namespace affine
