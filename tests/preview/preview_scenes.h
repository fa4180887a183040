// Small scenes for the preview's tests, written as scene text: the camera and document
// group the plug-in writes for a host camera at the origin, quads, diffuse surfaces and a
// point light.
#pragma once

#include "SceneReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace previewtest {

constexpr int kW = 160, kH = 90;

// A camera as the plug-in writes one for a host camera at the origin looking along the
// host's +z (the renderer's -z), and the document group that mirrors z.
inline std::string camera(double fov = 60)
{
    return "camera \"Camera\" {\n  projection \"perspective\"\n  fov " + std::to_string(fov) +
           "\n  position 0 0 0\n  direction 0 0 1\n  up 0 1 0\n"
           "  transform 1 0 0 0 0 1 0 0 0 0 -1 0 0 0 0 1\n}\n";
}

// A scene group that mirrors z, moved by (dx, dy) in the picture's plane.
inline std::string group(const std::string& body, const std::string& name = "doc", double dx = 0, double dy = 0)
{
    return "group \"" + name + "\" {\n  transform 1 0 0 0 0 1 0 0 0 0 -1 0 " + std::to_string(dx) + " " +
           std::to_string(dy) + " 0 1\n" + body + "}\n";
}

// A quad in the host's frame facing the camera (host -z), from (x0, y0) to (x1, y1) at depth z.
inline std::string quad(const std::string& name, double x0, double y0, double x1, double y1, double z,
                 const std::string& surface, const std::string& extra = "")
{
    char v[256];
    std::snprintf(v, sizeof v, "%g %g %g,%g %g %g,%g %g %g,%g %g %g", x0, y0, z, x1, y0, z, x1, y1, z, x0, y1, z);
    return "object \"" + name + "\" {\n geometry \"triangles\" {\n  \"vertices\" [ " + v +
           " ] ,\n  \"triangles\" [ 0,3,1,2,1,3 ] ,\n" + extra + " }\n material \"" + name +
           "\" {\n  surface " + surface + "\n }\n}\n";
}

inline std::string diffuse(double r, double g, double b)
{
    return "\"orv_diffuse\" {\n\"diffuse\" " + std::to_string(r) + " " + std::to_string(g) + " " +
           std::to_string(b) + ",\n}";
}

// A point light as the plug-in writes one: a unit octahedron at (x, y, z) in the host's frame.
inline std::string pointLight(double x, double y, double z)
{
    return "group \"Lamp\" {\n transform 1 0 0 0 0 1 0 0 0 0 1 0 " + std::to_string(x) + " " + std::to_string(y) + " " +
           std::to_string(z) +
           " 1\n object \"Lamp\" {\n  geometry \"triangles\" {\n"
           "   \"vertices\" [ 0 -1 0,1 0 0,0 0 1,-1 0 0,0 0 -1,0 1 0 ] ,\n"
           "   \"triangles\" [ 2,1,0,1,2,5,3,2,0,2,3,5,4,3,0,3,4,5,1,4,0,4,1,5 ] ,\n  }\n"
           "  material \"Lamp\" {\n   surface \"orv_point_light\" {\n\"power\" 100,\n\"color\" 1 1 1,\n}\n  }\n }\n}\n";
}

inline orv::qrf::Document parsed(const std::string& text)
{
    orv::qrf::Document doc;
    orv::qrf::ParseError error;
    EXPECT_TRUE(orv::qrf::parse("version 9\n" + text, doc, error)) << error.offset << ": " << error.message;
    return doc;
}

} // namespace previewtest
