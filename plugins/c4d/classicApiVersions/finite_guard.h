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
#pragma once

#include "ForwardingApi.h"
#include "report.h"

#include <string>
#include <vector>

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
    const void* fitted(int type, const void* value, Tally& tally);
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
};
