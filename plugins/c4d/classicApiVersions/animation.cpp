// Animation sampling: host position, rotation and scale tracks become FBXAnimation nodes,
// one per animated vector component, each sample a full 4x4 matrix that says how far
// that component has moved the object since its first key.
#include "animation.h"

#include "TranslationContext.h"
#include "orvSceneapi_oo.h"
#include "plain_zero.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace affine {

host::Matrix identity()
{
    return host::Matrix{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
}

host::Matrix translation(const host::Vec3& v)
{
    host::Matrix m = identity();
    m.off = v;
    return m;
}

host::Matrix scaling(const host::Vec3& v)
{
    return host::Matrix{{0, 0, 0}, {v.x, 0, 0}, {0, v.y, 0}, {0, 0, v.z}};
}

namespace {

// Inlined into the per-sample products (a call per 3x4 product costs as much as the product).
[[gnu::always_inline]] inline host::Vec3 linear(const host::Matrix& m, const host::Vec3& p)
{
    return host::Vec3{m.v1.x * p.x + m.v2.x * p.y + m.v3.x * p.z,
                      m.v1.y * p.x + m.v2.y * p.y + m.v3.y * p.z,
                      m.v1.z * p.x + m.v2.z * p.y + m.v3.z * p.z};
}

host::Vec3 cross(const host::Vec3& a, const host::Vec3& b)
{
    return host::Vec3{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

double dot(const host::Vec3& a, const host::Vec3& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

host::Matrix aboutX(double a)
{
    const double c = std::cos(a), s = std::sin(a);
    return host::Matrix{{0, 0, 0}, {1, 0, 0}, {0, c, -s}, {0, s, c}};
}

host::Matrix aboutY(double a)
{
    const double c = std::cos(a), s = std::sin(a);
    return host::Matrix{{0, 0, 0}, {c, 0, s}, {0, 1, 0}, {-s, 0, c}};
}

host::Matrix aboutZ(double a)
{
    const double c = std::cos(a), s = std::sin(a);
    return host::Matrix{{0, 0, 0}, {c, -s, 0}, {s, c, 0}, {0, 0, 1}};
}

[[gnu::always_inline]] inline host::Matrix product(const host::Matrix& a, const host::Matrix& b)
{
    const host::Vec3 o = linear(a, b.off);
    return host::Matrix{{a.off.x + o.x, a.off.y + o.y, a.off.z + o.z},
                        linear(a, b.v1), linear(a, b.v2), linear(a, b.v3)};
}

host::Matrix product(const host::Matrix& a, const host::Matrix& b, const host::Matrix& c)
{
    return product(product(a, b), c);
}

host::Matrix about(int axis, double a)
{
    return axis == 0 ? aboutX(a) : axis == 1 ? aboutY(a) : aboutZ(a);
}

// The factors of a rotation in product sequence: the angle each takes (0 x, 1 y, 2 z) and
// the axis it turns about.
struct Factor {
    int angle, axis;
};
std::array<Factor, 3> rotationSequence(int order)
{
    if (order == 6) // heading, pitch, bank: x turns about Y, y about X, z about Z
        return {{{0, 1}, {1, 0}, {2, 2}}};
    constexpr Factor e1{0, 0}, e2{1, 1}, e3{2, 2};
    switch (order) {
    case 0: return {e3, e1, e2};
    case 1: return {e1, e3, e2};
    case 2: return {e1, e2, e3};
    case 4: return {e2, e3, e1};
    case 5: return {e3, e2, e1};
    default: return {e2, e1, e3}; // order 3 and anything unknown
    }
}

} // namespace

host::Matrix multiply(const host::Matrix& a, const host::Matrix& b)
{
    return product(a, b);
}

double determinant(const host::Matrix& m)
{
    return dot(m.v1, cross(m.v2, m.v3));
}

host::Matrix inverse(const host::Matrix& m)
{
    // Rows of the inverse axis part are the cross products of the axes over the determinant.
    const host::Vec3 r0 = cross(m.v2, m.v3);
    const host::Vec3 r1 = cross(m.v3, m.v1);
    const host::Vec3 r2 = cross(m.v1, m.v2);
    const double det = dot(m.v1, r0);
    if (det == 0.0)
        return identity();
    const double k = 1.0 / det;
    host::Matrix inv{{0, 0, 0},
                     {r0.x * k, r1.x * k, r2.x * k},
                     {r0.y * k, r1.y * k, r2.y * k},
                     {r0.z * k, r1.z * k, r2.z * k}};
    const host::Vec3 o = linear(inv, m.off);
    inv.off = host::Vec3{-o.x, -o.y, -o.z};
    return inv;
}

host::Matrix rotation(const host::Vec3& v, int order)
{
    const double angles[3] = {v.x, v.y, v.z};
    const auto f = rotationSequence(order);
    return product(about(f[0].axis, angles[f[0].angle]), about(f[1].axis, angles[f[1].angle]),
                   about(f[2].axis, angles[f[2].angle]));
}

OneAngleRotation::OneAngleRotation(int angle, int order)
{
    const auto f = rotationSequence(order);
    for (int i = 0; i < 3; ++i) {
        factors_[i] = about(f[i].axis, 0.0);
        if (f[i].angle == angle) {
            varying_ = i;
            axis_ = f[i].axis;
        }
    }
    firstTwo_ = multiply(factors_[0], factors_[1]);
}

host::Matrix OneAngleRotation::at(double value) const
{
    if (varying_ == 2)
        return multiply(firstTwo_, about(axis_, value));
    host::Matrix f[3] = {factors_[0], factors_[1], factors_[2]};
    f[varying_] = about(axis_, value);
    return product(f[0], f[1], f[2]);
}

host::Vec3 apply(const host::Matrix& m, const host::Vec3& p)
{
    const host::Vec3 o = linear(m, p);
    return host::Vec3{m.off.x + o.x, m.off.y + o.y, m.off.z + o.z};
}

void toRows(const host::Matrix& m, double out[16])
{
    const host::Vec3* rows[4] = {&m.v1, &m.v2, &m.v3, &m.off};
    for (int r = 0; r < 4; ++r) {
        out[r * 4 + 0] = plainZero(rows[r]->x);
        out[r * 4 + 1] = plainZero(rows[r]->y);
        out[r * 4 + 2] = plainZero(rows[r]->z);
        out[r * 4 + 3] = r == 3 ? 1.0 : 0.0;
    }
}

} // namespace affine

namespace {

constexpr int32_t kPosition = host::ids::ID_BASEOBJECT_REL_POSITION;
constexpr int32_t kRotation = host::ids::ID_BASEOBJECT_REL_ROTATION;
constexpr int32_t kScale = host::ids::ID_BASEOBJECT_REL_SCALE;
constexpr int32_t kFramesPerSecond = 30;
// One thirtieth of a second in single precision, added to a single-precision time.
constexpr float kStep = 0.033333335f;
// Far from zero a step rounds to a whole number of single-precision units, never below
// 15/16 of a thirtieth of a second while it still advances the time, so a span holds at
// most 32 samples per second. The bound is twice the nominal count: it stops a runaway
// loop and never cuts off a track whose time still advances.
constexpr double kSampleBoundFactor = 2.0;

// Position of each component (x, y, z) in the sort sequence of rotation orders 0 to 6.
constexpr std::array<std::array<int, 3>, 7> kComponentRank{{
    {1, 2, 0}, // z, x, y
    {0, 2, 1}, // x, z, y
    {0, 1, 2}, // x, y, z
    {1, 0, 2}, // y, x, z
    {2, 0, 1}, // y, z, x
    {2, 1, 0}, // z, y, x
    {0, 1, 2}, // x, y, z
}};

int componentOf(const host::Track& track)
{
    return track.descId(1) - host::ids::VECTOR_X;
}

bool validComponent(int c)
{
    return c >= 0 && c <= 2;
}

double& componentRef(host::Vec3& v, int c)
{
    return c == 0 ? v.x : (c == 1 ? v.y : v.z);
}

double keySeconds(const host::Curve& curve, int32_t index)
{
    host::Time t;
    if (!curve.keyTime(index, t))
        return 0.0;
    return t.seconds();
}

// The z mirror between the host's left-handed world and the renderer's.
const host::Matrix& mirrorZ()
{
    static const host::Matrix f = affine::scaling(host::Vec3{1, 1, -1});
    return f;
}

// The static matrices, computed once per call from the values at the start time.
struct StaticFrames {
    host::Matrix T, S, Rx, Ry, Rz, Rall;
};

// A sample's matrix is pre * D * post, with D the component's change since the first key.
struct Frame {
    host::Matrix pre = affine::identity();
    host::Matrix post = affine::identity();
};

Frame frameFor(const StaticFrames& s, int kind, int c, bool isCamera)
{
    using affine::inverse;
    using affine::multiply;
    const host::Matrix& F = mirrorZ();
    // Per-axis rotations before and after component c, always in the sequence x, y, z.
    host::Matrix before = affine::identity(), after = affine::identity();
    if (c == 0) {
        after = multiply(multiply(s.Rx, s.Ry), s.Rz);
    } else if (c == 1) {
        before = s.Rx;
        after = multiply(s.Ry, s.Rz);
    } else {
        before = multiply(s.Rx, s.Ry);
        after = s.Rz;
    }

    Frame f;
    if (!isCamera) {
        if (kind == kScale)
            return f;
        const host::Matrix X = kind == kPosition ? multiply(s.S, s.Rall) : multiply(s.S, after);
        f.pre = inverse(X);
        f.post = X;
        return f;
    }
    if (kind == kPosition) {
        f.pre = F;
        f.post = F;
        return f;
    }
    const host::Matrix Y = kind == kRotation ? multiply(s.T, before) : multiply(s.T, s.Rall);
    f.pre = multiply(F, Y);
    f.post = multiply(inverse(Y), F);
    return f;
}

host::Matrix valueMatrix(int kind, int c, float value, const affine::OneAngleRotation& turn)
{
    if (kind == kRotation)
        return turn.at(value);
    host::Vec3 v = kind == kScale ? host::Vec3{1, 1, 1} : host::Vec3{0, 0, 0};
    componentRef(v, c) = value;
    return kind == kPosition ? affine::translation(v) : affine::scaling(v);
}

// Half a float step above FLT_MAX: a double from here on becomes infinite as a float.
constexpr double kFloatOverflow = 3.4028235677973366e38;

// The scene holds a sample's matrix as floats: values past their range are clamped to the
// largest float of their sign, and a value that is no number becomes 0. Done here, where a
// sample's rows are made, so that the long lists of samples need no second pass. Answers
// how many values were replaced.
uint64_t finiteRows(double rows[16])
{
    bool bad = false;
    for (int i = 0; i < 16; ++i)
        bad |= !(std::fabs(rows[i]) < kFloatOverflow);
    if (!bad)
        return 0;
    uint64_t replaced = 0;
    const double limit = static_cast<double>(std::nextafter(FLT_MAX, 0.0f));
    for (int i = 0; i < 16; ++i) {
        if (std::fabs(rows[i]) < kFloatOverflow)
            continue;
        ++replaced;
        rows[i] = std::isnan(rows[i]) ? 0.0 : (rows[i] > 0 ? limit : -limit);
    }
    return replaced;
}

// Samples one track into node. The time advances by single-precision steps, as the
// renderer's timestamps expect, up to the last key; the loop also ends when the sum stops
// growing (far from zero a step is lost in rounding), before a timestamp would leave the
// range of an int, and after kMaxTrackSamples samples. Returns true when that bound cut
// the track short; node's duration then ends at its last sample.
//
// A first key so far from zero that not even one step advances the time (past about 1e6
// s) is sampled in steps counted from that key instead, each evaluated at the key's time
// plus the steps: otherwise the track would be one sample standing for its whole span.
bool sampleTrack(orv::FBXAnimation& node, const host::Track& track, const host::Document& doc,
                 int kind, int c, int order, float t0, float t1, const Frame& frame, uint64_t& clamped)
{
    const double span = static_cast<double>(t1) - static_cast<double>(t0);
    const bool counted = !(t0 + kStep > t0);
    const double origin = counted ? static_cast<double>(t0) : 0.0;
    if (counted) {
        t1 = static_cast<float>(span);
        t0 = 0.0f;
    }
    const double nominalSamples = std::ceil(span * kFramesPerSecond) + 1.0;
    const double maxSamples = std::min(nominalSamples * kSampleBoundFactor, static_cast<double>(kMaxTrackSamples));
    node.reserve(static_cast<size_t>(std::min(nominalSamples, maxSamples)));

    const affine::OneAngleRotation turn(c, order);
    host::Matrix qInverse = affine::identity();
    bool firstInvertible = true;
    double rows[16];
    size_t samples = 0;
    // The value the rows were last computed from by the general path: a held value (a
    // constant stretch of the curve) reuses them.
    float rowsValue = 0.0f;
    bool rowsReusable = false;
    float t = t0;
    for (;;) {
        const float ms = (t - t0) * 1000.0f;
        if (!(ms < 2147483648.0f))
            return false;
        const float value = static_cast<float>(
            track.value(doc, host::Time::fromSeconds(origin + static_cast<double>(t)), kFramesPerSecond));
        if (!rowsReusable || std::bit_cast<uint32_t>(value) != std::bit_cast<uint32_t>(rowsValue)) {
            const host::Matrix q = valueMatrix(kind, c, value, turn);
            host::Matrix a;
            if (samples == 0) {
                qInverse = affine::inverse(q);
                firstInvertible = affine::determinant(q) != 0.0;
            }
            if (samples == 0 && firstInvertible) {
                // No change yet: the identity in every frame, free of rounding noise.
                a = affine::identity();
            } else {
                const host::Matrix d = affine::product(q, qInverse);
                a = affine::product(frame.pre, d, frame.post);
                rowsValue = value;
                rowsReusable = true;
            }
            affine::toRows(a, rows);
            clamped += finiteRows(rows);
        }
        node.addSample(static_cast<int>(ms), rows);
        ++samples;

        const float next = t + kStep;
        if (!(next > t) || !(next <= t1) || !((next - t0) * 1000.0f < 2147483648.0f))
            return false;
        if (static_cast<double>(samples) >= maxSamples) {
            if (samples < kMaxTrackSamples)
                return false; // the runaway guard, not the bound
            node.setDuration(t - t0);
            return true;
        }
        t = next;
    }
}

} // namespace

std::vector<std::shared_ptr<orv::FBXAnimation>>
sampleTracks(TranslationContext& context, const std::string& objectName,
             std::vector<host::Track> tracks, const std::string& channelName, int rotationOrder,
             const host::Vec3& staticPosition, const host::Vec3& staticRotation,
             const host::Vec3& staticScale, bool isCamera)
{
    std::vector<std::shared_ptr<orv::FBXAnimation>> result;
    result.reserve(tracks.size());
    sampleTracks(context, objectName, std::move(tracks), channelName, rotationOrder, staticPosition,
                 staticRotation, staticScale, isCamera,
                 [&result](std::shared_ptr<orv::FBXAnimation> node) { result.push_back(std::move(node)); });
    return result;
}

void sampleTracks(TranslationContext& context, const std::string& objectName, std::vector<host::Track> tracks,
                  const std::string& channelName, int rotationOrder, const host::Vec3& staticPosition,
                  const host::Vec3& staticRotation, const host::Vec3& staticScale, bool isCamera,
                  const std::function<void(std::shared_ptr<orv::FBXAnimation>)>& sink)
{
    if (tracks.empty())
        return;

    if (rotationOrder >= 0 && rotationOrder <= 6) {
        const auto& rank = kComponentRank[static_cast<size_t>(rotationOrder)];
        auto rankOf = [&rank](const host::Track& t) {
            const int c = componentOf(t);
            return validComponent(c) ? rank[static_cast<size_t>(c)] : 3;
        };
        std::sort(tracks.begin(), tracks.end(),
                  [&rankOf](const host::Track& a, const host::Track& b) { return rankOf(a) < rankOf(b); });
    }

    StaticFrames s;
    s.T = affine::translation(staticPosition);
    s.S = affine::scaling(staticScale);
    s.Rx = affine::rotation(host::Vec3{staticRotation.x, 0, 0}, rotationOrder);
    s.Ry = affine::rotation(host::Vec3{0, staticRotation.y, 0}, rotationOrder);
    s.Rz = affine::rotation(host::Vec3{0, 0, staticRotation.z}, rotationOrder);
    s.Rall = affine::rotation(staticRotation, rotationOrder);

    const std::string folder = objectName + "/" + channelName;
    for (auto it = tracks.rbegin(); it != tracks.rend(); ++it) {
        const host::Track& track = *it;
        const host::Curve curve = track.curve(1, true);
        if (!curve)
            continue;
        const int32_t n = curve.keyCount();
        if (n < 2)
            continue;
        const double first = keySeconds(curve, 0);
        const double last = keySeconds(curve, n - 1);
        const float t0 = static_cast<float>(first);
        // A last key past the single-precision range only makes the track long: it is
        // sampled from its first key up to the bound.
        const float t1 = std::isfinite(static_cast<float>(last)) ? static_cast<float>(last) : FLT_MAX;
        int32_t enabled = 0;
        if (!track.getInt(kRotation, enabled) || enabled == 0)
            continue;
        if (!(last > first) || !(t1 - t0 > 0.0f))
            continue;
        const int c = componentOf(track);
        const int kind = track.descId(0);
        // A track without an x, y or z component, or of another parameter, has no matrix.
        if (!validComponent(c) || (kind != kPosition && kind != kRotation && kind != kScale))
            continue;
        const std::string& path = context.objectPath.empty() ? objectName : context.objectPath;
        // A first key the scene cannot state as a start time leaves nothing to sample.
        if (!std::isfinite(t0)) {
            char detail[160];
            std::snprintf(detail, sizeof detail, ": its first key at %g s lies beyond the times the scene holds",
                          first);
            context.report.leftOut(report::Reason::TrackNotSampled, path, "track \"" + track.name() + "\"" + detail);
            continue;
        }

        auto node = std::make_shared<orv::FBXAnimation>(track.name(), false, t0, t1 - t0);
        node->setFolder(folder);
        uint64_t clamped = 0;
        const bool shortened = sampleTrack(*node, track, context.document, kind, c, rotationOrder, t0, t1,
                                           frameFor(s, kind, c, isCamera), clamped);
        if (clamped > 0)
            context.report.leftOut(report::Reason::NumberOutOfRange, path,
                                   "track \"" + track.name() +
                                       "\": sample values beyond the range the scene holds, clamped (or 0)",
                                   clamped);
        if (shortened) {
            const double whole = last - first;
            char detail[160];
            std::snprintf(detail, sizeof detail,
                          whole < 1e9 ? ": %zu samples kept, the first %.1f s of %.1f s"
                                      : ": %zu samples kept, the first %.1f s of %g s",
                          static_cast<size_t>(kMaxTrackSamples), static_cast<double>(node->getDuration()), whole);
            context.report.leftOut(report::Reason::TrackShortened, path, "track \"" + track.name() + "\"" + detail);
        }
        sink(std::move(node));
    }
}

void classifyTrack(const host::Track& track, std::vector<host::Track>& scaleTracks,
                   std::vector<host::Track>& rotationTracks,
                   std::vector<host::Track>& positionTracks, TranslationContext* context)
{
    const auto ignored = [&](report::Reason reason) {
        if (context != nullptr)
            context->report.leftOut(reason, context->objectPath, "track \"" + track.name() + "\"");
    };
    // Reading must not change the document: no curve is created for a track without one.
    const host::Curve curve = track.curve(1, false);
    const int32_t keys = curve.keyCount();
    if (keys < 1)
        return;
    host::Time first;
    host::Time last;
    if (!curve.keyTime(0, first) || !curve.keyTime(keys - 1, last))
        return;
    const float t0 = static_cast<float>(first.seconds());
    const float t1 = static_cast<float>(last.seconds());
    // Times past the single-precision range are compared as the host gives them.
    const bool spans = std::isfinite(t0) && std::isfinite(t1) ? t1 - t0 > 0.0f : last.seconds() > first.seconds();
    if (!spans) {
        ignored(keys == 1 ? report::Reason::TrackOneKey : report::Reason::TrackNoTimeSpan);
        return;
    }
    int32_t animated = 0;
    if (!track.getInt(host::ids::ID_BASEOBJECT_REL_ROTATION, animated) || animated == 0) {
        ignored(report::Reason::TrackMuted);
        return;
    }
    switch (track.descId(0)) {
    case host::ids::ID_BASEOBJECT_REL_POSITION:
        positionTracks.push_back(track);
        break;
    case host::ids::ID_BASEOBJECT_REL_ROTATION:
        rotationTracks.push_back(track);
        break;
    case host::ids::ID_BASEOBJECT_REL_SCALE:
        scaleTracks.push_back(track);
        break;
    default:
        break;
    }
}

void emitChannelAnimation(TranslationContext& context, const std::string& objectName,
                          const std::vector<host::Track>& tracks, const std::string& channelName,
                          int rotationOrder, bool isCamera, const host::Vec3& position,
                          const host::Vec3& rotation, const host::Vec3& scale)
{
    if (context.scene == nullptr)
        return;
    // Each track is written as soon as it is sampled, so one track's samples are held at a time.
    sampleTracks(context, objectName, tracks, channelName, rotationOrder, position, rotation, scale, isCamera,
                 [&context](std::shared_ptr<orv::FBXAnimation> record) {
                     if (record && context.scene != nullptr)
                         record->write(*context.scene);
                 });
}
