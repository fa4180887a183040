// The sampled animation node.
#include "Animation.h"

#include "orvSceneapi_oo.h"

#include <algorithm>

namespace orv {

FBXAnimation::FBXAnimation(const std::string& name, bool interpolate, float startTime, float duration)
    : name(name), startTime(startTime), duration(duration), interpolate(interpolate)
{
}

void FBXAnimation::addSample(int timestamp, const double m[16])
{
    timestamps.push_back(timestamp);
    addMatrix(m);
}

void FBXAnimation::addMatrix(const double m[16])
{
    Matrix16 copy{};
    if (m) std::copy(m, m + 16, copy.begin());
    matrices.push_back(copy);
}

void FBXAnimation::reserve(size_t n)
{
    timestamps.reserve(n);
    matrices.reserve(n);
}

// One animation block of kind "fbx_animation". Lists of different lengths are reported
// through the scene API's error record and written anyway, both in full.
int FBXAnimation::write(orvSceneapi_oo& api)
{
    orvScene_api* back = api.api();
    if (!back) return 0;
    back->beginAnimation("fbx_animation", name.c_str());
    api.setFloat("start_time", startTime);
    api.setFloat("duration", duration);
    if (timestamps.size() != matrices.size()) {
        api.error("Number of timestamps(" + std::to_string(timestamps.size()) +
                  ") does not match number of matrices(" + std::to_string(matrices.size()) + ")");
    }
    api.setIntArray("timestamps", timestamps);
    api.setMatrixArray("matrices", matrices);
    api.setBool("interpolate", interpolate);
    api.setString("folder", folder);
    return api.api()->endAnimation();
}

} // namespace orv
