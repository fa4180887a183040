// The camera node: one camera section with projection, field of view, placement
// vectors, an optional transform, clipping, a fixed environment shader and the
// animations that move the camera.
#pragma once

#include "Animation.h"
#include "LightNode.h"
#include "orvScene_api.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace orv {

class LightCamera : public LightNode {
public:
    explicit LightCamera(const std::string& name);
    ~LightCamera() override;

    int write(orvSceneapi_oo& api) override;
    // Writes the inline "orv_envmap" shader used as the reflection map; returns its handle.
    virtual ShaderHandle writeEnvironment(orvSceneapi_oo& api);

    void setPosition(float x, float y, float z);
    void setDirection(float x, float y, float z);
    void setLookAt(float x, float y, float z);
    void setUp(float x, float y, float z);
    void setFov(float degrees);
    void setFov4(float a, float b, float c, float d);
    void setWindow(float a, float b, float c, float d);
    void setClipping(float nearClip, float farClip);
    void setMatrix(const double m[16]);
    void setProjection(int p);
    void addAnimation(std::shared_ptr<Animation> animation);
    void setAnimation(std::shared_ptr<Animation> animation);

    std::array<double, 3> getPosition() const { return position; }
    std::array<double, 3> getDirection() const { return direction; }
    std::array<double, 3> getLookAt() const { return lookAt; }
    std::array<double, 3> getUp() const { return up; }
    float getFov() const { return fov; }
    float getNearClip() const { return nearClip; }
    float getFarClip() const { return farClip; }
    int getProjection() const { return projection; }
    bool getHasMatrix() const { return hasMatrix; }
    size_t animationCount() const { return animations.size(); }

private:
    std::string name;
    std::array<double, 3> position{0, 0, 0};
    std::array<double, 3> direction{0, 0, -1};
    std::array<double, 3> lookAt{0, 0, -1};
    std::array<double, 3> up{0, 1, 0};
    float fov = 60.0f;
    std::array<float, 4> fov4{0, 0, 0, 0};
    std::array<float, 4> window{0, 0, 0, 0};
    float nearClip = -1.0f;
    float farClip = -1.0f;
    std::vector<std::shared_ptr<Animation>> animations;
    bool hasMatrix = false;
    bool hasLookAt = false;
    std::array<double, 16> matrix{};
    int projection = 0;
    int fovMode = 0;
};

} // namespace orv
