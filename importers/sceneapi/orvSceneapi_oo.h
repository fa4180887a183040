// The object wrapper over the flat scene API that every translator receives. It takes
// its back end from a factory, writes the start of every scene (the factory's own lines,
// a banner print record and "version 9"), offers typed operations on std::string and
// std::vector arguments, and numbers shaders and ids.
#pragma once

#include "LightFactory.h"
#include "orvScene_api.h"

#include <array>
#include <string>
#include <vector>

namespace orv {

class LightNode;

using Matrix16 = std::array<double, 16>;
using Float3 = std::array<float, 3>;

class orvSceneapi_oo {
public:
    // Binds to the factory (which must outlive the wrapper) and runs the start-up sequence.
    explicit orvSceneapi_oo(LightFactory* factory);
    // Binds to a NullApi: every call is accepted and produces nothing.
    orvSceneapi_oo();
    // Touches neither the factory nor the back end.
    virtual ~orvSceneapi_oo();

    virtual void attach(orvScene_api* api);
    virtual int newId();
    virtual int writeNode(LightNode& node);
    virtual void progress(const std::string& message, float fraction);
    virtual bool beginGroup(const std::string& name);
    virtual void endGroup();
    virtual int beginShader(const std::string& kind);
    virtual void endShader();
    virtual bool setBool(const std::string& name, int value);
    virtual bool setInt(const std::string& name, int value);
    virtual bool setFloat(const std::string& name, float value);
    virtual bool setDouble(const std::string& name, double value);
    virtual bool setDouble3(const std::string& name, const double* v);
    virtual bool setFloat3(const std::string& name, const float* v);
    virtual bool setString(const std::string& name, const std::string& value);
    // Always throws std::invalid_argument("const char * are deprecated").
    virtual void setString(const std::string& name, const char* value);
    virtual bool setDoubleArray(const std::string& name, const std::vector<double>& v);
    virtual bool setFloatArray(const std::string& name, const std::vector<float>& v);
    virtual bool setIntArray(const std::string& name, const std::vector<int>& v);
    virtual bool setMatrixArray(const std::string& name, const std::vector<Matrix16>& v);
    virtual bool setFloat3Array(const std::string& name, const std::vector<Float3>& v);
    virtual void applyTransform(const double m[16], int replace);
    virtual void applyTransform(const double m[16]);
    virtual void flags(unsigned flags);
    virtual orvScene_api* api();

    // Messages for the renderer. The text is passed as the argument of "%s", so a text
    // holding "%" is written as it stands.
    void print(const std::string& text);
    void error(const std::string& text);

    // The banner printed at the start of every scene.
    static std::string banner();

private:
    void startUp();

    orvScene_api* api_ = nullptr;
    LightFactory* factory_ = nullptr;
    int shaderCounter_ = 0;
    int idCounter_ = 0;
    // Only set by the default constructor, which owns its NullApi and factory.
    struct NullOwned;
    NullOwned* nullOwned_ = nullptr;
};

} // namespace orv
