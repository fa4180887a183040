// The counting scene back end (see scene_counter.h).
#include "scene_counter.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool same(const char* a, const char* b) { return a != nullptr && std::strcmp(a, b) == 0; }

// A printf-style text formatted in full, so that it can be handed on as one "%s" argument.
std::string formatted(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    char small[256];
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return {};
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string text(static_cast<size_t>(n), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

// Size in bytes of one element of a list type; 0 for lists of texts.
size_t elementSize(int type)
{
    switch (type) {
    case orvType::Float3Array: return 12;
    case orvType::Float4Array: return 16;
    case orvType::FloatArray: return 4;
    case orvType::DoubleArray: return 8;
    case orvType::Double3Array: return 24;
    case orvType::IntArray: return 4;
    case orvType::BoolArray: return 4;
    case orvType::Matrix16Array: return 64;
    case orvType::IntbArray: return 1;
    default: return 0;
    }
}

} // namespace

void CountingSceneApi::reserved1() { inner_.reserved1(); }
bool CountingSceneApi::connect(const char* host, unsigned port, int mode) { return inner_.connect(host, port, mode); }
int CountingSceneApi::disconnect() { return inner_.disconnect(); }
int CountingSceneApi::reserved2() { return inner_.reserved2(); }

bool CountingSceneApi::beginGroup(const char* name, int immediate)
{
    ++written_.groups;
    return inner_.beginGroup(name, immediate);
}
void CountingSceneApi::endGroup() { inner_.endGroup(); }

bool CountingSceneApi::beginObject(const char* name, int immediate)
{
    ++written_.objects;
    return inner_.beginObject(name, immediate);
}
void CountingSceneApi::endObject() { inner_.endObject(); }

bool CountingSceneApi::beginGeometry(const char* kind)
{
    geometry_ = same(kind, "triangles")           ? Geometry::Triangles
                : same(kind, "orv_bezier_curves") ? Geometry::Curves
                                                  : Geometry::Other;
    return inner_.beginGeometry(kind);
}
void CountingSceneApi::endGeometry()
{
    geometry_ = Geometry::None;
    inner_.endGeometry();
}

bool CountingSceneApi::beginAnimation(const char* name, const char* kind)
{
    ++written_.animations;
    return inner_.beginAnimation(name, kind);
}
int CountingSceneApi::endAnimation() { return inner_.endAnimation(); }
bool CountingSceneApi::beginLoad(const char* name) { return inner_.beginLoad(name); }
void CountingSceneApi::endLoad() { inner_.endLoad(); }
bool CountingSceneApi::beginOptions() { return inner_.beginOptions(); }
void CountingSceneApi::endOptions() { inner_.endOptions(); }

bool CountingSceneApi::beginCamera(const char* name)
{
    ++written_.cameras;
    return inner_.beginCamera(name);
}
void CountingSceneApi::endCamera() { inner_.endCamera(); }
bool CountingSceneApi::beginImage() { return inner_.beginImage(); }
void CountingSceneApi::endImage() { inner_.endImage(); }
bool CountingSceneApi::beginOutput(const char* a, const char* b, const char* c) { return inner_.beginOutput(a, b, c); }
void CountingSceneApi::endOutput() { inner_.endOutput(); }

bool CountingSceneApi::beginLight(const char* name)
{
    ++written_.lights;
    return inner_.beginLight(name);
}
void CountingSceneApi::endLight() { inner_.endLight(); }
bool CountingSceneApi::beginAccel(const char* name) { return inner_.beginAccel(name); }
void CountingSceneApi::endAccel() { inner_.endAccel(); }
void CountingSceneApi::transform(const double m[16]) { inner_.transform(m); }
void CountingSceneApi::setTransform(const double m[16]) { inner_.setTransform(m); }
void CountingSceneApi::scale(const double& x, const double& y, const double& z) { inner_.scale(x, y, z); }
void CountingSceneApi::rotate(const double& x, const double& y, const double& z) { inner_.rotate(x, y, z); }
void CountingSceneApi::translate(const double& x, const double& y, const double& z) { inner_.translate(x, y, z); }
bool CountingSceneApi::beginMatrix(const char* name) { return inner_.beginMatrix(name); }
void CountingSceneApi::endMatrix() { inner_.endMatrix(); }

bool CountingSceneApi::beginMaterial(const char* name, int immediate)
{
    ++written_.materials;
    return inner_.beginMaterial(name, immediate);
}
bool CountingSceneApi::useMaterial(const char* name) { return inner_.useMaterial(name); }
void CountingSceneApi::endMaterial() { inner_.endMaterial(); }
void CountingSceneApi::materialShaderId(int channel, int shaderId) { inner_.materialShaderId(channel, shaderId); }
bool CountingSceneApi::beginShaderId(const char* kind, unsigned id) { return inner_.beginShaderId(kind, id); }
void CountingSceneApi::endShader() { inner_.endShader(); }
void CountingSceneApi::materialShader(int channel, ShaderHandle shader) { inner_.materialShader(channel, shader); }

bool CountingSceneApi::beginShader(const char* name, const char* kind)
{
    if (same(kind, "texture2_rgb"))
        ++written_.textures;
    else if (same(kind, "orv_point_light") || same(kind, "orv_mesh_light"))
        ++written_.lights;
    return inner_.beginShader(name, kind);
}
ShaderHandle CountingSceneApi::currentShader() { return inner_.currentShader(); }
void CountingSceneApi::pushShader() { inner_.pushShader(); }
void CountingSceneApi::popShader() { inner_.popShader(); }

bool CountingSceneApi::attribute(const char* name, int type, const void* value)
{
    if ((type & orvType::ArrayFlag) != 0 && value != nullptr) {
        const auto* list = static_cast<const AttributeArray*>(value);
        const uint64_t count = list->count > 0 ? static_cast<uint64_t>(list->count) : 0;
        written_.bytes += count * elementSize(type);
        if (geometry_ == Geometry::Triangles && type == orvType::IntArray && same(name, "triangles"))
            written_.triangles += count / 3;
        else if (geometry_ == Geometry::Curves && type == orvType::IntArray && same(name, "nvertices"))
            written_.hairCurves += count;
    }
    return inner_.attribute(name, type, value);
}
bool CountingSceneApi::shaderAttribute(const char* name, ShaderHandle shader) { return inner_.shaderAttribute(name, shader); }
bool CountingSceneApi::shaderIdAttribute(const char* name, unsigned shaderId) { return inner_.shaderIdAttribute(name, shaderId); }
bool CountingSceneApi::beginArray(const char* name) { return inner_.beginArray(name); }
void CountingSceneApi::endArray() { inner_.endArray(); }
void CountingSceneApi::arrayValue(int type, const void* value) { inner_.arrayValue(type, value); }
int CountingSceneApi::reserved3() { return inner_.reserved3(); }
int CountingSceneApi::reserved4() { return inner_.reserved4(); }
int CountingSceneApi::reserved5() { return inner_.reserved5(); }
void CountingSceneApi::fileAttribute(const char* key, const char* value) { inner_.fileAttribute(key, value); }

void CountingSceneApi::printRaw(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    if (format != nullptr) // the writers write nothing for no format
        forward(&orvScene_api::printRaw, format, args);
    va_end(args);
}

void CountingSceneApi::setFormatFlags(int flags) { inner_.setFormatFlags(flags); }
void CountingSceneApi::version(int version) { inner_.version(version); }
void CountingSceneApi::reserved6() { inner_.reserved6(); }
void CountingSceneApi::progress(const char* message, float fraction) { inner_.progress(message, fraction); }
void CountingSceneApi::icon(const unsigned char* data, unsigned length) { inner_.icon(data, length); }
void CountingSceneApi::blob(const char* key, const unsigned char* data, unsigned length) { inner_.blob(key, data, length); }
void CountingSceneApi::id(unsigned id) { inner_.id(id); }
void CountingSceneApi::flags(unsigned flags) { inner_.flags(flags); }
int CountingSceneApi::reserved7() { return inner_.reserved7(); }
bool CountingSceneApi::render() { return inner_.render(); }

void CountingSceneApi::print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    forward(&orvScene_api::print, format, args);
    va_end(args);
}

void CountingSceneApi::error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    forward(&orvScene_api::error, format, args);
    va_end(args);
}

void CountingSceneApi::forward(void (orvScene_api::*operation)(const char*, ...), const char* format,
                               va_list args)
{
    const std::string text = format != nullptr ? formatted(format, args) : std::string();
    (inner_.*operation)("%s", text.c_str());
}
