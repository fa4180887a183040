// The camera node.
#include "LightCamera.h"

#include "orvSceneapi_oo.h"

#include <algorithm>

namespace orv {

LightCamera::LightCamera(const std::string& name) : name(name) {}

// Animations are released from the last to the first.
LightCamera::~LightCamera()
{
    while (!animations.empty()) animations.pop_back();
}

void LightCamera::setPosition(float x, float y, float z) { position = {x, y, z}; }
void LightCamera::setDirection(float x, float y, float z) { direction = {x, y, z}; }

void LightCamera::setLookAt(float x, float y, float z)
{
    lookAt = {x, y, z};
    hasLookAt = true;
}

void LightCamera::setUp(float x, float y, float z) { up = {x, y, z}; }

void LightCamera::setFov(float degrees)
{
    fov = degrees;
    fovMode = 0;
}

void LightCamera::setFov4(float a, float b, float c, float d)
{
    fov4 = {a, b, c, d};
    fovMode = 1;
}

void LightCamera::setWindow(float a, float b, float c, float d) { window = {a, b, c, d}; }

void LightCamera::setClipping(float nearValue, float farValue)
{
    nearClip = nearValue;
    farClip = farValue;
}

void LightCamera::setMatrix(const double m[16])
{
    if (!m) return;
    std::copy(m, m + 16, matrix.begin());
    hasMatrix = true;
}

void LightCamera::setProjection(int p) { projection = p; }

void LightCamera::addAnimation(std::shared_ptr<Animation> animation) { animations.push_back(std::move(animation)); }

void LightCamera::setAnimation(std::shared_ptr<Animation> animation)
{
    while (!animations.empty()) animations.pop_back();
    animations.push_back(std::move(animation));
}

// Every camera carries the same reflection map: an "orv_envmap" shader on "startup.hdr".
ShaderHandle LightCamera::writeEnvironment(orvSceneapi_oo& api)
{
    orvScene_api* back = api.api();
    if (!back) return nullptr;
    back->beginShader(nullptr, "orv_envmap");
    api.setString("texture", std::string("startup.hdr"));
    api.setInt("format", 3);
    api.setFloat("radius", 25.0f);
    ShaderHandle shader = back->currentShader();
    api.endShader();
    return shader;
}

int LightCamera::write(orvSceneapi_oo& api)
{
    orvScene_api* back = api.api();
    if (!back) return 0;
    back->beginCamera(name.c_str());
    if (projection == 1) {
        api.setString("projection", std::string("orthographic"));
        back->attribute("window", orvType::Float4, window.data());
    } else {
        api.setString("projection", std::string("perspective"));
        if (fovMode == 1)
            back->attribute("fov4", orvType::Float4, fov4.data());
        else if (fovMode == 0)
            api.setFloat("fov", fov);
    }
    ShaderHandle shader = writeEnvironment(api);
    back->attribute("reflection map", orvType::ShaderRef, &shader);
    api.setDouble3("position", position.data());
    api.setDouble3("direction", direction.data());
    if (hasLookAt) api.setDouble3("look_at", lookAt.data());
    api.setDouble3("up", up.data());
    if (nearClip > 0 && farClip > 0 && nearClip < farClip) {
        const float clipping[2] = {nearClip, farClip};
        back->attribute("clipping", orvType::Float2, clipping);
    }
    for (size_t i = 0; i < animations.size(); ++i) {
        std::shared_ptr<Animation> held = animations[i];
        if (held) api.writeNode(*held);
    }
    if (animations.empty() && hasMatrix) api.applyTransform(matrix.data());
    back->endCamera();
    return 0;
}

} // namespace orv
