// The guard that keeps the scene's numbers finite (see finite_guard.h).
#include "finite_guard.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

// The largest value a 32-bit scene number is clamped to. One step below FLT_MAX: the text
// writer takes FLT_MAX itself for a value past the range.
const float kFloatLimit = std::nextafter(FLT_MAX, 0.0f);

// How the scene holds the scalars of a value type: as floats given as floats, as floats
// given as doubles (matrices), or as doubles.
enum class Scalars { None, Float, NarrowedDouble, Double };

struct Layout {
    Scalars scalars = Scalars::None;
    size_t perElement = 0;
};

Layout layoutOf(int type)
{
    switch (type) {
    case orvType::Float:
    case orvType::FloatArray: return {Scalars::Float, 1};
    case orvType::Float2: return {Scalars::Float, 2};
    case orvType::Float3:
    case orvType::Float3Array: return {Scalars::Float, 3};
    case orvType::Float4:
    case orvType::Float4b:
    case orvType::Float4Array: return {Scalars::Float, 4};
    case orvType::Double:
    case orvType::DoubleArray: return {Scalars::Double, 1};
    case orvType::Double3:
    case orvType::Double3Array: return {Scalars::Double, 3};
    // Lists of matrices are the animation's samples, made finite where they are sampled
    // (animation.cpp): a second pass over them would cost a twentieth of the export.
    case orvType::Matrix16: return {Scalars::NarrowedDouble, 16};
    default: return {};
    }
}

template <typename T> T loadAt(const unsigned char* p, size_t i)
{
    T v;
    std::memcpy(&v, p + i * sizeof(T), sizeof v);
    return v;
}

// Half a float step above FLT_MAX: a double from here on becomes infinite as a float.
constexpr double kFloatOverflow = 3.4028235677973366e38;

bool floatBad(float v) { return !std::isfinite(v); }
bool narrowedBad(double v) { return !std::isfinite(static_cast<float>(v)); }
bool doubleBad(double v) { return !std::isfinite(v); }

// True when any of the n scalars is one the scene cannot hold. Branch-free, so that the
// scan of a long list costs little next to writing it.
bool anyBad(Scalars kind, const unsigned char* p, size_t n)
{
    bool bad = false;
    switch (kind) {
    case Scalars::Float: {
        FloatWatch watch;
        watch.takeAll(p, n);
        bad = !watch.allFinite();
        break;
    }
    case Scalars::NarrowedDouble:
        // Below the first double that rounds to a float infinity; NaN compares false.
        for (size_t i = 0; i < n; ++i) bad |= !(std::fabs(loadAt<double>(p, i)) < kFloatOverflow);
        break;
    case Scalars::Double:
        for (size_t i = 0; i < n; ++i) {
            const uint64_t bits = loadAt<uint64_t>(p, i);
            bad |= (bits & 0x7ff0000000000000ull) == 0x7ff0000000000000ull;
        }
        break;
    case Scalars::None: break;
    }
    return bad;
}

template <typename T> T replacement(T v, T limit)
{
    if (std::isnan(v)) return T(0);
    return v > 0 ? limit : -limit;
}

// Replaces the bad scalars of p (n of them) in place and counts them.
template <typename T, typename Bad> void repair(unsigned char* p, size_t n, T limit, Bad bad, uint64_t& clamped,
                                                uint64_t& notANumber)
{
    for (size_t i = 0; i < n; ++i) {
        T v = loadAt<T>(p, i);
        if (!bad(v)) continue;
        ++(std::isnan(v) ? notANumber : clamped);
        v = replacement(v, limit);
        std::memcpy(p + i * sizeof(T), &v, sizeof v);
    }
}

} // namespace

void FloatWatch::takeAll(const void* p, size_t n)
{
    // Four lanes at a time in four accumulators, in the compilers' vector extension: GCC
    // left the plain loop (with an early exit per block) scalar even at -O3. No early exit
    // now: the scan runs over lists that are almost always all finite.
    using Lanes = uint32_t __attribute__((vector_size(16)));
    const auto* bytes = static_cast<const unsigned char*>(p);
    uint32_t seen = seen_;
    size_t i = 0;
    if (n >= 16) {
        Lanes a{}, b{}, c{}, d{};
        for (; i + 16 <= n; i += 16) {
            Lanes x0, x1, x2, x3;
            std::memcpy(&x0, bytes + i * 4, sizeof x0);
            std::memcpy(&x1, bytes + i * 4 + 16, sizeof x1);
            std::memcpy(&x2, bytes + i * 4 + 32, sizeof x2);
            std::memcpy(&x3, bytes + i * 4 + 48, sizeof x3);
            a |= mark(x0);
            b |= mark(x1);
            c |= mark(x2);
            d |= mark(x3);
        }
        const Lanes all = a | b | c | d;
        seen |= all[0] | all[1] | all[2] | all[3];
    }
    for (; i < n; ++i) seen |= mark(loadAt<uint32_t>(bytes, i));
    seen_ = seen;
}

const void* FiniteSceneApi::fitted(int type, const void* value, Tally& tally, const void* vouched)
{
    if (value == nullptr) return value;
    const bool isList = (type & orvType::ArrayFlag) != 0 && type != orvType::ShaderRef;
    const Layout layout = layoutOf(type);
    if (layout.scalars == Scalars::None) return value;
    const unsigned char* data = static_cast<const unsigned char*>(value);
    size_t scalars = layout.perElement;
    AttributeArray list{nullptr, 0};
    if (isList) {
        std::memcpy(&list, value, sizeof list);
        if (list.data == nullptr || list.count <= 0 || list.data == vouched) return value;
        data = static_cast<const unsigned char*>(list.data);
        scalars *= static_cast<size_t>(list.count);
    }
    if (!anyBad(layout.scalars, data, scalars)) return value;

    const size_t size = scalars * (layout.scalars == Scalars::Float ? sizeof(float) : sizeof(double));
    buffer_.assign(data, data + size);
    unsigned char* copy = buffer_.data();
    switch (layout.scalars) {
    case Scalars::Float: repair<float>(copy, scalars, kFloatLimit, floatBad, tally.clamped, tally.notANumber); break;
    case Scalars::NarrowedDouble:
        repair<double>(copy, scalars, double(kFloatLimit), narrowedBad, tally.clamped, tally.notANumber);
        break;
    case Scalars::Double: repair<double>(copy, scalars, DBL_MAX, doubleBad, tally.clamped, tally.notANumber); break;
    case Scalars::None: break;
    }
    if (!isList) return copy;
    list_ = AttributeArray{copy, list.count};
    return &list_;
}

void FiniteSceneApi::note(const char* what, const char* name, const Tally& tally)
{
    if (!tally.any()) return;
    replaced_ += tally.clamped + tally.notANumber;
    const std::string& path = objectPath_.empty() ? record_ : objectPath_;
    std::string subject = what;
    if (name != nullptr) subject += std::string(" \"") + name + "\"";
    if (tally.clamped > 0)
        report_.leftOut(report::Reason::NumberOutOfRange, path,
                        subject + ": beyond the range the scene holds, clamped to the largest value of its sign",
                        tally.clamped);
    if (tally.notANumber > 0)
        report_.leftOut(report::Reason::NumberOutOfRange, path, subject + ": not a number, written as 0",
                        tally.notANumber);
}

bool FiniteSceneApi::beginCamera(const char* name)
{
    record_ = name ? name : "";
    return ForwardingApi::beginCamera(name);
}

void FiniteSceneApi::endCamera()
{
    record_.clear();
    ForwardingApi::endCamera();
}

bool FiniteSceneApi::beginLight(const char* name)
{
    record_ = name ? name : "";
    return ForwardingApi::beginLight(name);
}

void FiniteSceneApi::endLight()
{
    record_.clear();
    ForwardingApi::endLight();
}

bool FiniteSceneApi::beginMaterial(const char* name, int immediate)
{
    record_ = std::string("material \"") + (name ? name : "") + "\"";
    return ForwardingApi::beginMaterial(name, immediate);
}

void FiniteSceneApi::endMaterial()
{
    record_.clear();
    ForwardingApi::endMaterial();
}

void FiniteSceneApi::transform(const double m[16])
{
    Tally tally;
    const void* value = fitted(orvType::Matrix16, m, tally);
    note("transform", nullptr, tally);
    ForwardingApi::transform(static_cast<const double*>(value));
}

void FiniteSceneApi::setTransform(const double m[16])
{
    Tally tally;
    const void* value = fitted(orvType::Matrix16, m, tally);
    note("transform", nullptr, tally);
    ForwardingApi::setTransform(static_cast<const double*>(value));
}

namespace {

// The three scalars of scale, rotate and translate, made finite.
struct Three {
    double v[3];
};

} // namespace

void FiniteSceneApi::scale(const double& x, const double& y, const double& z)
{
    Tally tally;
    const Three in{{x, y, z}};
    const auto* out = static_cast<const Three*>(fitted(orvType::Double3, &in, tally));
    note("scale", nullptr, tally);
    ForwardingApi::scale(out->v[0], out->v[1], out->v[2]);
}

void FiniteSceneApi::rotate(const double& x, const double& y, const double& z)
{
    Tally tally;
    const Three in{{x, y, z}};
    const auto* out = static_cast<const Three*>(fitted(orvType::Double3, &in, tally));
    note("rotation", nullptr, tally);
    ForwardingApi::rotate(out->v[0], out->v[1], out->v[2]);
}

void FiniteSceneApi::translate(const double& x, const double& y, const double& z)
{
    Tally tally;
    const Three in{{x, y, z}};
    const auto* out = static_cast<const Three*>(fitted(orvType::Double3, &in, tally));
    note("translation", nullptr, tally);
    ForwardingApi::translate(out->v[0], out->v[1], out->v[2]);
}

bool FiniteSceneApi::attribute(const char* name, int type, const void* value)
{
    Tally tally;
    const void* made = fitted(type, value, tally, std::exchange(vouched_, nullptr));
    note("attribute", name ? name : "", tally);
    return ForwardingApi::attribute(name, type, made);
}

void FiniteSceneApi::arrayValue(int type, const void* value)
{
    Tally tally;
    const void* made = fitted(type, value, tally, std::exchange(vouched_, nullptr));
    note("list value", nullptr, tally);
    ForwardingApi::arrayValue(type, made);
}
