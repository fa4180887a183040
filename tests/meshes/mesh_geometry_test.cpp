// Geometry of one region: vertices shared through the vertex map, per-corner UVs and
// normals, the reversed winding, the b-d split of quads, and the layer gate.
#include "mesh_fixture.h"
#include "sim_host.h"

namespace meshtest {
namespace {

double f(double x) { return static_cast<float>(x); }

TEST_F(MeshTest, SingleTriangleWithPhongNormalsAndDisplayColour)
{
    sim::Object& o = polygon("Tri", {{0.1, 2, -3}, {4, 5.5, 6}, {-7, 8, 9e9}}, {{0, 1, 2, 2}});
    o.phongNormals = std::vector<c4d_vec32>{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {9, 9, 9}};
    const auto objects = exportObjects();
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0]->name(), "Tri");
    EXPECT_EQ(geometryNumbers(objects[0], "vertices"), (V{f(0.1), 2, -3, 4, 5.5, 6, -7, 8, f(9e9)}));
    EXPECT_EQ(geometryNumbers(objects[0], "triangles"), (V{0, 2, 1}));
    EXPECT_EQ(geometryNumbers(objects[0], "normals"), (V{1, 0, 0, 0, 1, 0, 0, 0, 1}));
    EXPECT_EQ(geometryNumbers(objects[0], "triangles_norm"), (V{0, 2, 1}));
    EXPECT_EQ(geometry(objects[0], "uv_tex"), nullptr);
    EXPECT_EQ(geometry(objects[0], "triangles_uv"), nullptr);
    EXPECT_EQ(materialName(objects[0]), "Display color");
    EXPECT_EQ(lines(surface(objects[0])), (Lines{"kind orv_diffuse", "diffuse 0.65 0.65 0.65"}));
}

TEST_F(MeshTest, QuadIsSplitAlongBDWithPerCornerUVs)
{
    sim::Object& o = polygon("Quad", {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {{0, 1, 2, 3}});
    uvw(o, 1);
    const auto objects = exportObjects();
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(geometryNumbers(objects[0], "triangles"), (V{0, 3, 1, 2, 1, 3}));
    EXPECT_EQ(geometryNumbers(objects[0], "triangles_uv"), (V{0, 3, 1, 2, 1, 3}));
    // u and v of corners a, b, c, d; w dropped, v not flipped.
    EXPECT_EQ(geometryNumbers(objects[0], "uv_tex"), (V{0, 0, f(0.1), f(0.01), f(0.2), f(0.02), f(0.3), f(0.03)}));
    EXPECT_EQ(geometry(objects[0], "normals"), nullptr);
    EXPECT_EQ(geometry(objects[0], "triangles_norm"), nullptr);
}

TEST_F(MeshTest, SharedPointsAreWrittenOncePerRegionWhileCornersAreNot)
{
    sim::Object& o = polygon("Strip", {{0, 0, 0}}, {});
    o.points.clear();
    grid(o, 1, 2);                      // points 0 1 2 / 3 4 5; quads (0 1 4 3) and (1 2 5 4)
    o.polygons.push_back({5, 2, 1, 1}); // a triangle after the quads
    uvw(o, 3);
    const auto objects = exportObjects();
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(geometryNumbers(objects[0], "vertices"), (V{0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 2, 0, 0, 2, 1, 0}));
    // point -> vertex: 0->0 1->1 4->2 3->3 2->4 5->5
    EXPECT_EQ(geometryNumbers(objects[0], "triangles"), (V{0, 3, 1, 2, 1, 3, 1, 2, 4, 5, 4, 2, 5, 1, 4}));
    EXPECT_EQ(geometryNumbers(objects[0], "triangles_uv"), (V{0, 3, 1, 2, 1, 3, 4, 7, 5, 6, 5, 7, 8, 10, 9}));
    EXPECT_EQ(geometryNumbers(objects[0], "uv_tex").size(), 22u);
}

// Each region's normals are the host's phong normals of its polygons' corners, whether the
// region is one run of quads (taken from the host's array as they are) or not.
TEST_F(MeshTest, EachRegionHasThePhongNormalsOfItsOwnCorners)
{
    for (bool triangle : {false, true}) {
        doc = std::make_unique<sim::Document>();
        sim::Object& o = polygon("Row", {{0, 0, 0}}, {});
        o.points.clear();
        grid(o, 1, 4); // quads 0 1 2 3
        if (triangle)
            o.polygons[2].d = o.polygons[2].c;
        std::vector<c4d_vec32> normals;
        for (int corner = 0; corner < 16; ++corner)
            normals.push_back({float(corner), 0, 1});
        o.phongNormals = normals;
        texture(o, &material("Left"));
        selection(o, "middle", {{1, 2}});
        texture(o, &material("Right"), "middle");
        const auto objects = exportObjects();
        ASSERT_EQ(objects.size(), 2u);
        auto corners = [](std::initializer_list<int> list) {
            V out;
            for (int c : list)
                out.insert(out.end(), {double(c), 0, 1});
            return out;
        };
        EXPECT_EQ(geometryNumbers(objects[0], "normals"),
                  triangle ? corners({4, 5, 6, 7, 8, 9, 10}) : corners({4, 5, 6, 7, 8, 9, 10, 11}));
        EXPECT_EQ(geometryNumbers(objects[1], "normals"), corners({0, 1, 2, 3, 12, 13, 14, 15}));
    }
}

// A region of quads that follow one another makes its lists one by one; a host that hands
// out its UVW entries one polygon at a time takes the general fill. Both write the same.
TEST_F(MeshTest, RunsOfQuadsWriteWhatTheGeneralFillWrites)
{
    enum Normals { Phong, NormalTag, None };
    for (Normals normals : {Phong, NormalTag, None})
        for (size_t uvEntries : {6u, 4u}) { // every quad's, or two short
            SCOPED_TRACE(std::to_string(normals) + " normals, " + std::to_string(uvEntries) + " UVW entries");
            doc = std::make_unique<sim::Document>();
            sim::Object& o = polygon("Grid", {{0, 0, 0}}, {});
            o.points.clear();
            grid(o, 2, 3);
            uvw(o, uvEntries);
            if (normals == Phong) {
                o.phongNormals.emplace();
                for (int corner = 0; corner < 24; ++corner)
                    o.phongNormals->push_back({float(corner), 1, 0});
            }
            if (normals == NormalTag)
                tag(o, 5711);
            selection(o, "last", {{3, 5}});
            texture(o, &material("Rest"));
            texture(o, &material("Last"), "last");
            auto lists = [&](const c4d_host_table* table) {
                std::vector<V> out;
                for (const Statement* object : exportObjects(table))
                    for (const char* name : {"vertices", "normals", "triangles_norm", "uv_tex", "triangles_uv", "triangles"})
                        out.push_back(geometryNumbers(object, name));
                return out;
            };
            const std::vector<V> runs = lists(nullptr);
            c4d_host_table perPolygon = *sim::hostTable();
            perPolygon.uvw_data = nullptr;
            EXPECT_EQ(runs, lists(&perPolygon));
            ASSERT_EQ(runs.size(), 12u);
            EXPECT_EQ(runs[2].empty(), normals == None);
            EXPECT_EQ(runs[10], (V{0, 3, 1, 2, 1, 3, 4, 7, 5, 6, 5, 7, 8, 11, 9, 10, 9, 11}));
        }
}

TEST_F(MeshTest, NormalTagGivesZeroNormalsPerCornerInsteadOfPhong)
{
    sim::Object& o = polygon("N", {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {{0, 1, 2, 3}, {0, 1, 2, 2}});
    o.phongNormals = std::vector<c4d_vec32>(8, c4d_vec32{1, 1, 1});
    tag(o, 5711);
    polygon("Points only", {{0, 0, 0}, {1, 1, 1}}, {}); // no polygons: nothing written
    const auto objects = exportObjects();
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(geometryNumbers(objects[0], "normals"), V(21, 0.0));
    EXPECT_EQ(geometryNumbers(objects[0], "triangles_norm"), (V{0, 3, 1, 2, 1, 3, 4, 6, 5}));
}

TEST_F(MeshTest, LayerFlagsGateTheObject)
{
    struct Case {
        const char* what;
        bool hasLayer;
        sim::Value editor, render;
        size_t objects;
    };
    const Case cases[] = {
        {"no layer", false, 1, 1, 1},
        {"both on", true, 1, 1, 1},
        {"render off", true, 1, 0, 0},
        {"editor off", true, 0, 1, 0},
        {"unreadable", true, std::string("on"), 1, 0},
    };
    for (const Case& c : cases) {
        doc = std::make_unique<sim::Document>();
        sim::Object& o = triangle("L");
        if (c.hasLayer) {
            sim::Layer& l = layer(o);
            l.params[1001] = c.editor;
            l.params[1002] = c.render;
        }
        EXPECT_EQ(exportObjects().size(), c.objects) << c.what;
    }
}

} // namespace
} // namespace meshtest
