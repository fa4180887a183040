// A scene API back end that counts what the translation writes and forwards every call,
// unchanged and in order, to the real back end (the file writer or the live stream), so
// the scene is byte for byte what it would be without counting. The counts go into the
// command's report: groups, objects, triangles, materials, texture shaders, lights,
// cameras, animation nodes, hair curves and the bytes of list data handed over.
//
// Counting costs a few comparisons per call; calls are made per object and per list, never
// per polygon.
#pragma once

#include "ForwardingApi.h"
#include "report.h"

class CountingSceneApi : public ForwardingApi {
public:
    // Both must outlive this object.
    CountingSceneApi(orvScene_api& inner, report::Written& written) : ForwardingApi(inner), written_(written) {}

    bool beginGroup(const char* name, int immediate) override;
    bool beginObject(const char* name, int immediate) override;
    bool beginGeometry(const char* kind) override;
    void endGeometry() override;
    bool beginAnimation(const char* name, const char* kind) override;
    bool beginCamera(const char* name) override;
    bool beginLight(const char* name) override;
    bool beginMaterial(const char* name, int immediate) override;
    bool beginShader(const char* name, const char* kind) override;
    bool attribute(const char* name, int type, const void* value) override;

private:
    report::Written& written_;
    // The kind of the open geometry: triangle lists and curve counts are counted by it.
    enum class Geometry { None, Triangles, Curves, Other } geometry_ = Geometry::None;
};
