// The object wrapper over the flat scene API.
#include "orvSceneapi_oo.h"

#include <stdexcept>

#ifndef ORV_VERSION_STRING
#define ORV_VERSION_STRING "10.1.0"
#endif
#ifndef ORV_BUILD_STAMP
#define ORV_BUILD_STAMP "unknown"
#endif

namespace orv {

// What the default constructor makes and therefore owns.
struct orvSceneapi_oo::NullOwned {
    NullApi api;
    PassThroughFactory factory{&api};
};

orvSceneapi_oo::orvSceneapi_oo(LightFactory* factory) : factory_(factory) { startUp(); }

orvSceneapi_oo::orvSceneapi_oo() : nullOwned_(new NullOwned)
{
    factory_ = &nullOwned_->factory;
    startUp();
}

orvSceneapi_oo::~orvSceneapi_oo() { delete nullOwned_; }

std::string orvSceneapi_oo::banner()
{
    return std::string("Tavrin SceneApi oo ") + ORV_VERSION_STRING + "  (built " + ORV_BUILD_STAMP + ")";
}

void orvSceneapi_oo::startUp()
{
    attach(factory_ ? factory_->getApi() : nullptr);
    if (!api_) return;
    factory_->onAttach(this);
    print(banner());
    api_->version(9);
}

void orvSceneapi_oo::attach(orvScene_api* api)
{
    api_ = api;
    shaderCounter_ = 0;
    idCounter_ = 0;
}

int orvSceneapi_oo::newId()
{
    ++idCounter_;
    if (api_) api_->id(static_cast<unsigned>(idCounter_));
    return idCounter_;
}

void orvSceneapi_oo::progress(const std::string& message, float fraction)
{
    if (api_) api_->progress(message.c_str(), fraction);
}

bool orvSceneapi_oo::beginGroup(const std::string& name) { return api_ && api_->beginGroup(name.c_str(), 1); }

void orvSceneapi_oo::endGroup()
{
    if (api_) api_->endGroup();
}

int orvSceneapi_oo::beginShader(const std::string& kind)
{
    ++shaderCounter_;
    if (api_) api_->beginShaderId(kind.c_str(), static_cast<unsigned>(shaderCounter_));
    return shaderCounter_;
}

void orvSceneapi_oo::endShader()
{
    if (api_) api_->endShader();
}

bool orvSceneapi_oo::setBool(const std::string& name, int value)
{
    return api_ && api_->attribute(name.c_str(), orvType::Bool, &value);
}

bool orvSceneapi_oo::setInt(const std::string& name, int value)
{
    return api_ && api_->attribute(name.c_str(), orvType::Int, &value);
}

bool orvSceneapi_oo::setFloat(const std::string& name, float value)
{
    return api_ && api_->attribute(name.c_str(), orvType::Float, &value);
}

bool orvSceneapi_oo::setDouble(const std::string& name, double value)
{
    return api_ && api_->attribute(name.c_str(), orvType::Double, &value);
}

bool orvSceneapi_oo::setDouble3(const std::string& name, const double* v)
{
    return api_ && api_->attribute(name.c_str(), orvType::Double3, v);
}

bool orvSceneapi_oo::setFloat3(const std::string& name, const float* v)
{
    return api_ && api_->attribute(name.c_str(), orvType::Float3, v);
}

bool orvSceneapi_oo::setString(const std::string& name, const std::string& value)
{
    return api_ && api_->attribute(name.c_str(), orvType::String, value.c_str());
}

void orvSceneapi_oo::setString(const std::string&, const char*)
{
    throw std::invalid_argument("const char * are deprecated");
}

namespace {
template <class T> bool setArray(orvScene_api* api, const std::string& name, int type, const std::vector<T>& v)
{
    if (!api) return false;
    AttributeArray array{v.data(), static_cast<int32_t>(v.size())};
    return api->attribute(name.c_str(), type, &array);
}
} // namespace

bool orvSceneapi_oo::setDoubleArray(const std::string& name, const std::vector<double>& v)
{
    return setArray(api_, name, orvType::DoubleArray, v);
}

bool orvSceneapi_oo::setFloatArray(const std::string& name, const std::vector<float>& v)
{
    return setArray(api_, name, orvType::FloatArray, v);
}

bool orvSceneapi_oo::setIntArray(const std::string& name, const std::vector<int>& v)
{
    return setArray(api_, name, orvType::IntArray, v);
}

bool orvSceneapi_oo::setMatrixArray(const std::string& name, const std::vector<Matrix16>& v)
{
    return setArray(api_, name, orvType::Matrix16Array, v);
}

bool orvSceneapi_oo::setFloat3Array(const std::string& name, const std::vector<Float3>& v)
{
    return setArray(api_, name, orvType::Float3Array, v);
}

void orvSceneapi_oo::applyTransform(const double m[16], int replace)
{
    if (!api_) return;
    if (replace)
        api_->setTransform(m);
    else
        api_->transform(m);
}

void orvSceneapi_oo::applyTransform(const double m[16]) { applyTransform(m, 0); }

void orvSceneapi_oo::flags(unsigned flags)
{
    if (api_) api_->flags(flags);
}

orvScene_api* orvSceneapi_oo::api() { return api_; }

void orvSceneapi_oo::print(const std::string& text)
{
    if (api_) api_->print("%s", text.c_str());
}

void orvSceneapi_oo::error(const std::string& text)
{
    if (api_) api_->error("%s", text.c_str());
}

} // namespace orv
