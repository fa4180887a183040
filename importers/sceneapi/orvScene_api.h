// The flat scene API: every call the plug-in makes about a scene goes through this
// interface. Back ends: the text scene file writer (orvScene_api_file), NullApi (does
// nothing) and the live back end handed out by the renderer's live library.
//
// The virtual operations are declared in a fixed order with fixed signatures: the live
// library implements this same class, so its vtable layout is an external contract.
// Do not insert, remove or reorder operations.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#define ORV_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define ORV_PRINTF(fmtIndex, firstArg)
#endif

// Opaque handle of an inline shader built by a back end (see currentShader).
typedef void* ShaderHandle;

// Attribute value type codes for attribute() and arrayValue().
namespace orvType {
enum : int {
    Float3 = 1,
    Float4 = 2,
    Float = 3,
    Double = 4,
    Double3 = 5,
    Int = 6,
    Bool = 7,
    Matrix16 = 9,
    String = 10,
    StringRef = 13,
    Float2 = 14,
    Float4b = 15,
    Int2 = 16,
    Int3 = 17,
    Int4 = 18,
    Intb = 23,
    ShaderRef = 0x10000,
    ArrayFlag = 0x8000,
    Float3Array = 0x8001,
    Float4Array = 0x8002,
    FloatArray = 0x8003,
    DoubleArray = 0x8004,
    Double3Array = 0x8005,
    IntArray = 0x8006,
    BoolArray = 0x8007,
    Matrix16Array = 0x8009,
    StringArray = 0x800A,
    StringRefArray = 0x800D,
    IntbArray = 0x8017,
};
}

// Material channels of materialShaderId() and materialShader().
namespace orvChannel {
enum : int { Surface = 0, Shadow = 1, Volume = 2, ReflectionMap = 3 };
}

// The value of a list attribute (type code with the 0x8000 flag): a pointer to the first
// element and the number of elements (not of scalars).
struct AttributeArray {
    const void* data;
    int32_t count;
};

class orvScene_api {
public:
    virtual ~orvScene_api() {}

    virtual void reserved1() = 0;
    virtual bool connect(const char* host, unsigned port, int mode) = 0;
    virtual int disconnect() = 0;
    virtual int reserved2() = 0;
    virtual bool beginGroup(const char* name, int immediate) = 0;
    virtual void endGroup() = 0;
    virtual bool beginObject(const char* name, int immediate) = 0;
    virtual void endObject() = 0;
    virtual bool beginGeometry(const char* kind) = 0;
    virtual void endGeometry() = 0;
    virtual bool beginAnimation(const char* name, const char* kind) = 0;
    virtual int endAnimation() = 0;
    virtual bool beginLoad(const char* name) = 0;
    virtual void endLoad() = 0;
    virtual bool beginOptions() = 0;
    virtual void endOptions() = 0;
    virtual bool beginCamera(const char* name) = 0;
    virtual void endCamera() = 0;
    virtual bool beginImage() = 0;
    virtual void endImage() = 0;
    virtual bool beginOutput(const char* a, const char* b, const char* c) = 0;
    virtual void endOutput() = 0;
    virtual bool beginLight(const char* name) = 0;
    virtual void endLight() = 0;
    virtual bool beginAccel(const char* name) = 0;
    virtual void endAccel() = 0;
    virtual void transform(const double m[16]) = 0;
    virtual void setTransform(const double m[16]) = 0;
    virtual void scale(const double& x, const double& y, const double& z) = 0;
    virtual void rotate(const double& x, const double& y, const double& z) = 0;
    virtual void translate(const double& x, const double& y, const double& z) = 0;
    virtual bool beginMatrix(const char* name) = 0;
    virtual void endMatrix() = 0;
    virtual bool beginMaterial(const char* name, int immediate) = 0;
    virtual bool useMaterial(const char* name) = 0;
    virtual void endMaterial() = 0;
    virtual void materialShaderId(int channel, int shaderId) = 0;
    virtual bool beginShaderId(const char* kind, unsigned id) = 0;
    virtual void endShader() = 0;
    virtual void materialShader(int channel, ShaderHandle shader) = 0;
    virtual bool beginShader(const char* name, const char* kind) = 0;
    virtual ShaderHandle currentShader() = 0;
    virtual void pushShader() = 0;
    virtual void popShader() = 0;
    virtual bool attribute(const char* name, int type, const void* value) = 0;
    virtual bool shaderAttribute(const char* name, ShaderHandle shader) = 0;
    virtual bool shaderIdAttribute(const char* name, unsigned shaderId) = 0;
    virtual bool beginArray(const char* name) = 0;
    virtual void endArray() = 0;
    virtual void arrayValue(int type, const void* value) = 0;
    virtual int reserved3() = 0;
    virtual int reserved4() = 0;
    virtual int reserved5() = 0;
    virtual void fileAttribute(const char* key, const char* value) = 0;
    virtual void printRaw(const char* format, ...) ORV_PRINTF(2, 3) = 0;
    virtual void setFormatFlags(int flags) = 0;
    virtual void version(int version) = 0;
    virtual void reserved6() = 0;
    virtual void progress(const char* message, float fraction) = 0;
    virtual void icon(const unsigned char* data, unsigned length) = 0;
    virtual void blob(const char* key, const unsigned char* data, unsigned length) = 0;
    virtual void id(unsigned id) = 0;
    virtual void flags(unsigned flags) = 0;
    virtual int reserved7() = 0;
    virtual bool render() = 0;
    virtual void print(const char* format, ...) ORV_PRINTF(2, 3) = 0;
    virtual void error(const char* format, ...) ORV_PRINTF(2, 3) = 0;
};

// The back end that accepts every call and produces nothing; results are 0.
class NullApi : public orvScene_api {
public:
    void reserved1() override {}
    bool connect(const char*, unsigned, int) override { return false; }
    int disconnect() override { return 0; }
    int reserved2() override { return 0; }
    bool beginGroup(const char*, int) override { return false; }
    void endGroup() override {}
    bool beginObject(const char*, int) override { return false; }
    void endObject() override {}
    bool beginGeometry(const char*) override { return false; }
    void endGeometry() override {}
    bool beginAnimation(const char*, const char*) override { return false; }
    int endAnimation() override { return 0; }
    bool beginLoad(const char*) override { return false; }
    void endLoad() override {}
    bool beginOptions() override { return false; }
    void endOptions() override {}
    bool beginCamera(const char*) override { return false; }
    void endCamera() override {}
    bool beginImage() override { return false; }
    void endImage() override {}
    bool beginOutput(const char*, const char*, const char*) override { return false; }
    void endOutput() override {}
    bool beginLight(const char*) override { return false; }
    void endLight() override {}
    bool beginAccel(const char*) override { return false; }
    void endAccel() override {}
    void transform(const double*) override {}
    void setTransform(const double*) override {}
    void scale(const double&, const double&, const double&) override {}
    void rotate(const double&, const double&, const double&) override {}
    void translate(const double&, const double&, const double&) override {}
    bool beginMatrix(const char*) override { return false; }
    void endMatrix() override {}
    bool beginMaterial(const char*, int) override { return false; }
    bool useMaterial(const char*) override { return false; }
    void endMaterial() override {}
    void materialShaderId(int, int) override {}
    bool beginShaderId(const char*, unsigned) override { return false; }
    void endShader() override {}
    void materialShader(int, ShaderHandle) override {}
    bool beginShader(const char*, const char*) override { return false; }
    ShaderHandle currentShader() override { return nullptr; }
    void pushShader() override {}
    void popShader() override {}
    bool attribute(const char*, int, const void*) override { return false; }
    bool shaderAttribute(const char*, ShaderHandle) override { return false; }
    bool shaderIdAttribute(const char*, unsigned) override { return false; }
    bool beginArray(const char*) override { return false; }
    void endArray() override {}
    void arrayValue(int, const void*) override {}
    int reserved3() override { return 0; }
    int reserved4() override { return 0; }
    int reserved5() override { return 0; }
    void fileAttribute(const char*, const char*) override {}
    ORV_PRINTF(2, 3) void printRaw(const char*, ...) override {}
    void setFormatFlags(int) override {}
    void version(int) override {}
    void reserved6() override {}
    void progress(const char*, float) override {}
    void icon(const unsigned char*, unsigned) override {}
    void blob(const char*, const unsigned char*, unsigned) override {}
    void id(unsigned) override {}
    void flags(unsigned) override {}
    int reserved7() override { return 0; }
    bool render() override { return false; }
    ORV_PRINTF(2, 3) void print(const char*, ...) override {}
    ORV_PRINTF(2, 3) void error(const char*, ...) override {}
};
