// The forwarding scene back end (see ForwardingApi.h).
#include "ForwardingApi.h"

#include <cstdio>
#include <string>

namespace {

// A printf-style text formatted in full, so that it can be handed on as one "%s" argument.
ORV_PRINTF(1, 0) std::string formatted(const char* format, va_list args)
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

} // namespace

void ForwardingApi::reserved1() { target_->reserved1(); }
bool ForwardingApi::connect(const char* host, unsigned port, int mode) { return target_->connect(host, port, mode); }
int ForwardingApi::disconnect() { return target_->disconnect(); }
int ForwardingApi::reserved2() { return target_->reserved2(); }
bool ForwardingApi::beginGroup(const char* name, int immediate) { return target_->beginGroup(name, immediate); }
void ForwardingApi::endGroup() { target_->endGroup(); }
bool ForwardingApi::beginObject(const char* name, int immediate) { return target_->beginObject(name, immediate); }
void ForwardingApi::endObject() { target_->endObject(); }
bool ForwardingApi::beginGeometry(const char* kind) { return target_->beginGeometry(kind); }
void ForwardingApi::endGeometry() { target_->endGeometry(); }
bool ForwardingApi::beginAnimation(const char* name, const char* kind) { return target_->beginAnimation(name, kind); }
int ForwardingApi::endAnimation() { return target_->endAnimation(); }
bool ForwardingApi::beginLoad(const char* name) { return target_->beginLoad(name); }
void ForwardingApi::endLoad() { target_->endLoad(); }
bool ForwardingApi::beginOptions() { return target_->beginOptions(); }
void ForwardingApi::endOptions() { target_->endOptions(); }
bool ForwardingApi::beginCamera(const char* name) { return target_->beginCamera(name); }
void ForwardingApi::endCamera() { target_->endCamera(); }
bool ForwardingApi::beginImage() { return target_->beginImage(); }
void ForwardingApi::endImage() { target_->endImage(); }
bool ForwardingApi::beginOutput(const char* a, const char* b, const char* c) { return target_->beginOutput(a, b, c); }
void ForwardingApi::endOutput() { target_->endOutput(); }
bool ForwardingApi::beginLight(const char* name) { return target_->beginLight(name); }
void ForwardingApi::endLight() { target_->endLight(); }
bool ForwardingApi::beginAccel(const char* name) { return target_->beginAccel(name); }
void ForwardingApi::endAccel() { target_->endAccel(); }
void ForwardingApi::transform(const double m[16]) { target_->transform(m); }
void ForwardingApi::setTransform(const double m[16]) { target_->setTransform(m); }
void ForwardingApi::scale(const double& x, const double& y, const double& z) { target_->scale(x, y, z); }
void ForwardingApi::rotate(const double& x, const double& y, const double& z) { target_->rotate(x, y, z); }
void ForwardingApi::translate(const double& x, const double& y, const double& z) { target_->translate(x, y, z); }
bool ForwardingApi::beginMatrix(const char* name) { return target_->beginMatrix(name); }
void ForwardingApi::endMatrix() { target_->endMatrix(); }
bool ForwardingApi::beginMaterial(const char* name, int immediate) { return target_->beginMaterial(name, immediate); }
bool ForwardingApi::useMaterial(const char* name) { return target_->useMaterial(name); }
void ForwardingApi::endMaterial() { target_->endMaterial(); }
void ForwardingApi::materialShaderId(int channel, int shaderId) { target_->materialShaderId(channel, shaderId); }
bool ForwardingApi::beginShaderId(const char* kind, unsigned id) { return target_->beginShaderId(kind, id); }
void ForwardingApi::endShader() { target_->endShader(); }
void ForwardingApi::materialShader(int channel, ShaderHandle shader) { target_->materialShader(channel, shader); }
bool ForwardingApi::beginShader(const char* name, const char* kind) { return target_->beginShader(name, kind); }
ShaderHandle ForwardingApi::currentShader() { return target_->currentShader(); }
void ForwardingApi::pushShader() { target_->pushShader(); }
void ForwardingApi::popShader() { target_->popShader(); }
bool ForwardingApi::attribute(const char* name, int type, const void* value) { return target_->attribute(name, type, value); }
bool ForwardingApi::shaderAttribute(const char* name, ShaderHandle shader) { return target_->shaderAttribute(name, shader); }
bool ForwardingApi::shaderIdAttribute(const char* name, unsigned shaderId) { return target_->shaderIdAttribute(name, shaderId); }
bool ForwardingApi::beginArray(const char* name) { return target_->beginArray(name); }
void ForwardingApi::endArray() { target_->endArray(); }
void ForwardingApi::arrayValue(int type, const void* value) { target_->arrayValue(type, value); }
int ForwardingApi::reserved3() { return target_->reserved3(); }
int ForwardingApi::reserved4() { return target_->reserved4(); }
int ForwardingApi::reserved5() { return target_->reserved5(); }
void ForwardingApi::fileAttribute(const char* key, const char* value) { target_->fileAttribute(key, value); }

void ForwardingApi::printRaw(const char* format, ...)
{
    if (format == nullptr)
        return;
    va_list args;
    va_start(args, format);
    forwardText(&orvScene_api::printRaw, format, args);
    va_end(args);
}

void ForwardingApi::setFormatFlags(int flags) { target_->setFormatFlags(flags); }
void ForwardingApi::version(int version) { target_->version(version); }
void ForwardingApi::reserved6() { target_->reserved6(); }
void ForwardingApi::progress(const char* message, float fraction) { target_->progress(message, fraction); }
void ForwardingApi::icon(const unsigned char* data, unsigned length) { target_->icon(data, length); }
void ForwardingApi::blob(const char* key, const unsigned char* data, unsigned length) { target_->blob(key, data, length); }
void ForwardingApi::id(unsigned id) { target_->id(id); }
void ForwardingApi::flags(unsigned flags) { target_->flags(flags); }
int ForwardingApi::reserved7() { return target_->reserved7(); }
bool ForwardingApi::render() { return target_->render(); }

void ForwardingApi::print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    forwardText(&orvScene_api::print, format, args);
    va_end(args);
}

void ForwardingApi::error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    forwardText(&orvScene_api::error, format, args);
    va_end(args);
}

void ForwardingApi::forwardText(void (orvScene_api::*operation)(const char*, ...), const char* format,
                                va_list args)
{
    const std::string text = format != nullptr ? formatted(format, args) : std::string();
    (target_->*operation)("%s", text.c_str());
}
