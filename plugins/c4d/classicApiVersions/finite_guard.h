// A scene API back end that keeps every number of the scene finite. It stands between the
// wrapper and the rest of the command's chain and hands every call on; a value the scene
// cannot hold is replaced on the way, and the report says where:
//
// - 32-bit values (float attributes and lists, matrices and transforms, which the scene
//   holds as floats) beyond the float range are clamped to the largest float of their
//   sign, about 3.4e38;
// - 64-bit values that are infinite are clamped to the largest double of their sign;
// - a value that is not a number is written as 0.
//
// Lists of matrices (animation samples) are made finite where they are sampled instead.
//
// Calls whose numbers are all finite are handed on as they came, without a copy, so a
// scene without such values is byte for byte what it would be without the guard. Lists are
// scanned once; only a list holding a bad value is copied (into a buffer kept for reuse).
// A translator that makes a long float list itself watches its values as it makes them
// (FloatWatch) and, when all were finite, vouches for the list: the guard then hands it on
// without scanning it again.
#pragma once

#include "ForwardingApi.h"
#include "report.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Watches floats as they are made: after any number of take() calls, allFinite() says
// whether every one was finite. One OR per value and no branch, so that a translator's
// fill loop pays next to nothing for it.
class FloatWatch {
public:
    // An all-ones exponent carries into the top bit. Bits is a float's bits, or a vector of
    // them (the compilers' vector extension), lane by lane.
    template <typename Bits> static Bits mark(Bits bits) { return (bits & 0x7f800000u) + 0x00800000u; }
    void take(float v) { seen_ |= mark(std::bit_cast<uint32_t>(v)); }
    // All n floats at p (any alignment), four at a time in vector code.
    void takeAll(const void* p, size_t n);
    bool allFinite() const { return (seen_ >> 31) == 0; }

private:
    uint32_t seen_ = 0;
};

class FiniteSceneApi : public ForwardingApi {
public:
    // All three must outlive this object. objectPath is the walk's path of names (empty
    // outside the walk), used for the report.
    FiniteSceneApi(orvScene_api& inner, report::Report& report, const std::string& objectPath)
        : ForwardingApi(inner), report_(report), objectPath_(objectPath) {}

    bool beginCamera(const char* name) override;
    void endCamera() override;
    bool beginLight(const char* name) override;
    void endLight() override;
    bool beginMaterial(const char* name, int immediate) override;
    void endMaterial() override;
    void transform(const double m[16]) override;
    void setTransform(const double m[16]) override;
    void scale(const double& x, const double& y, const double& z) override;
    void rotate(const double& x, const double& y, const double& z) override;
    void translate(const double& x, const double& y, const double& z) override;
    bool attribute(const char* name, int type, const void* value) override;
    void arrayValue(int type, const void* value) override;

    // The list of the very next attribute or list value call, when its data is `data`, is
    // known to be finite (the caller watched every value of it): it is handed on unscanned.
    // Any other next call is checked as always, and the word is forgotten after it.
    void vouchForNext(const void* data) { vouched_ = data; }

    // Values replaced so far.
    uint64_t replaced() const { return replaced_; }

private:
    // What was replaced in one call: values beyond the range, and values that are no number.
    struct Tally {
        uint64_t clamped = 0;
        uint64_t notANumber = 0;
        bool any() const { return clamped + notANumber > 0; }
    };
    // Makes `value` of `type` fit the scene; answers the replacement (pointing into the
    // buffer) or `value` itself when nothing had to change.
    const void* fitted(int type, const void* value, Tally& tally, const void* vouched = nullptr);
    // Reports what one call had replaced: what (and its name, when it has one) and where.
    void note(const char* what, const char* name, const Tally& tally);

    report::Report& report_;
    const std::string& objectPath_;
    // The record open outside the walk, for the report's path: a camera's name alone, or
    // material "NAME".
    std::string record_;
    uint64_t replaced_ = 0;
    std::vector<unsigned char> buffer_;
    AttributeArray list_{nullptr, 0};
    const void* vouched_ = nullptr;
};
