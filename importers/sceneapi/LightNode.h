// Scene nodes: records built whole and then written through the wrapper. The import
// options module lives here; the camera and animation nodes have files of their own.
#pragma once

#include <string>

namespace orv {

class orvSceneapi_oo;

class LightNode {
public:
    virtual int write(orvSceneapi_oo& api) = 0;
    virtual void reserved() {}
    virtual int reservedResult() { return 0; }
    virtual ~LightNode() {}
};

// A named module of the renderer's importer, written as one load block.
class LightModule : public LightNode {
public:
    explicit LightModule(const std::string& name) : name(name) {}
    int write(orvSceneapi_oo& api) override;
    virtual void writeOptions(orvSceneapi_oo& api) = 0;

protected:
    std::string name;
};

// The import options module "orvrtopt.so".
class DefaultRTModule : public LightModule {
public:
    DefaultRTModule();
    void writeOptions(orvSceneapi_oo& api) override;

    void setImportMode(bool v) { importMode = v; }
    void setMergeGroups(bool v) { mergeGroups = v; }
    void setMergeObjects(bool v) { mergeObjects = v; }
    void setUpVector(int v) { upVector = v; }
    void setMeterScale(float v) { meterScale = v; }
    void setKeepOriginal(bool v) { keepOriginal = v; }
    void setCenterGeometry(bool v) { centerGeometry = v; }
    void setSnapToGround(bool v) { snapToGround = v; }
    void setAdjustCamera(bool v) { adjustCamera = v; }
    void setAdjustEnvironment(bool v) { adjustEnvironment = v; }
    void setUseCamera(const std::string& v) { useCamera = v; }
    void setExt(bool v) { ext = v; }

private:
    bool importMode = true;
    bool mergeGroups = true;
    bool mergeObjects = true;
    int upVector = 0;
    float meterScale = 1.0f;
    bool keepOriginal = false;
    bool centerGeometry = true;
    bool snapToGround = false;
    bool adjustCamera = true;
    bool adjustEnvironment = true;
    std::string useCamera;
    bool ext = true;
};

} // namespace orv
