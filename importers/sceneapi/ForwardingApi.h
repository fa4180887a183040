// The back end that hands every scene API call on, unchanged and in order, to another back
// end. A back end that watches or redirects the calls derives from it and overrides only
// the operations it cares about (the command's counter, the stand-in's live stream).
//
// The printf-style operations (printRaw, print, error) format their text here and hand it
// on as one "%s" argument, since a variable argument list cannot be passed on as it is.
// It adds no virtual operations, so a class derived from it keeps the scene API's layout.
#pragma once

#include "orvScene_api.h"

#include <cstdarg>

class ForwardingApi : public orvScene_api {
public:
    // target must outlive this object, or be replaced with forwardTo before it goes.
    explicit ForwardingApi(orvScene_api& target) : target_(&target) {}

    void reserved1() override;
    bool connect(const char* host, unsigned port, int mode) override;
    int disconnect() override;
    int reserved2() override;
    bool beginGroup(const char* name, int immediate) override;
    void endGroup() override;
    bool beginObject(const char* name, int immediate) override;
    void endObject() override;
    bool beginGeometry(const char* kind) override;
    void endGeometry() override;
    bool beginAnimation(const char* name, const char* kind) override;
    int endAnimation() override;
    bool beginLoad(const char* name) override;
    void endLoad() override;
    bool beginOptions() override;
    void endOptions() override;
    bool beginCamera(const char* name) override;
    void endCamera() override;
    bool beginImage() override;
    void endImage() override;
    bool beginOutput(const char* a, const char* b, const char* c) override;
    void endOutput() override;
    bool beginLight(const char* name) override;
    void endLight() override;
    bool beginAccel(const char* name) override;
    void endAccel() override;
    void transform(const double m[16]) override;
    void setTransform(const double m[16]) override;
    void scale(const double& x, const double& y, const double& z) override;
    void rotate(const double& x, const double& y, const double& z) override;
    void translate(const double& x, const double& y, const double& z) override;
    bool beginMatrix(const char* name) override;
    void endMatrix() override;
    bool beginMaterial(const char* name, int immediate) override;
    bool useMaterial(const char* name) override;
    void endMaterial() override;
    void materialShaderId(int channel, int shaderId) override;
    bool beginShaderId(const char* kind, unsigned id) override;
    void endShader() override;
    void materialShader(int channel, ShaderHandle shader) override;
    bool beginShader(const char* name, const char* kind) override;
    ShaderHandle currentShader() override;
    void pushShader() override;
    void popShader() override;
    bool attribute(const char* name, int type, const void* value) override;
    bool shaderAttribute(const char* name, ShaderHandle shader) override;
    bool shaderIdAttribute(const char* name, unsigned shaderId) override;
    bool beginArray(const char* name) override;
    void endArray() override;
    void arrayValue(int type, const void* value) override;
    int reserved3() override;
    int reserved4() override;
    int reserved5() override;
    void fileAttribute(const char* key, const char* value) override;
    // Nothing is handed on for no format: the writers write nothing for it either.
    ORV_PRINTF(2, 3) void printRaw(const char* format, ...) override;
    void setFormatFlags(int flags) override;
    void version(int version) override;
    void reserved6() override;
    void progress(const char* message, float fraction) override;
    void icon(const unsigned char* data, unsigned length) override;
    void blob(const char* key, const unsigned char* data, unsigned length) override;
    void id(unsigned id) override;
    void flags(unsigned flags) override;
    int reserved7() override;
    bool render() override;
    ORV_PRINTF(2, 3) void print(const char* format, ...) override;
    ORV_PRINTF(2, 3) void error(const char* format, ...) override;

protected:
    // The back end the calls go to from now on.
    void forwardTo(orvScene_api& target) { target_ = &target; }
    orvScene_api& target() const { return *target_; }

private:
    // Hands a printf-style text, formatted here, to one of the target's text operations.
    ORV_PRINTF(3, 0) void forwardText(void (orvScene_api::*operation)(const char*, ...), const char* format,
                                      va_list args);

    orvScene_api* target_;
};
