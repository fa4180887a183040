// Animation nodes: one sampled animation, a list of times and one 4x4 matrix per time,
// written as one animation block of kind "fbx_animation".
#pragma once

#include "LightNode.h"

#include <array>
#include <string>
#include <vector>

namespace orv {

// Base of animation nodes; holders keep them as std::shared_ptr<Animation>.
class Animation : public LightNode {};

class FBXAnimation : public Animation {
public:
    FBXAnimation(const std::string& name, bool interpolate, float startTime, float duration);

    void setFolder(const std::string& folder) { this->folder = folder; }
    // Seconds from startTime to the last sample, for a track cut short after sampling began.
    void setDuration(float seconds) { duration = seconds; }
    // Appends one sample: milliseconds after startTime and a matrix, row by row.
    void addSample(int timestamp, const double m[16]);
    void addTimestamp(int timestamp) { timestamps.push_back(timestamp); }
    void addMatrix(const double m[16]);
    // Room for n samples, so that sampling does not reallocate per sample.
    void reserve(size_t n);

    int write(orvSceneapi_oo& api) override;

    const std::string& getName() const { return name; }
    const std::string& getFolder() const { return folder; }
    float getStartTime() const { return startTime; }
    float getDuration() const { return duration; }
    const std::vector<int>& getTimestamps() const { return timestamps; }
    const std::vector<std::array<double, 16>>& getMatrices() const { return matrices; }

private:
    std::string name;
    std::string folder;
    float startTime;
    float duration;
    std::vector<int> timestamps;
    std::vector<std::array<double, 16>> matrices;
    bool interpolate;
};

} // namespace orv
