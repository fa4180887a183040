// Damaged host data: nothing is read outside an array, what cannot be read is skipped or
// zeroed, and the scene stays valid.
#include "mesh_fixture.h"
#include "sim_host.h"

#include <cmath>

namespace meshtest {
namespace {

TEST_F(MeshTest, PolygonsNamingMissingPointsAreDropped)
{
    sim::Object& o = polygon("Bad", {{0, 0, 0}}, {});
    o.points.clear();
    grid(o, 1, 2); // 6 points
    o.polygons.insert(o.polygons.begin(), {0, 1, 6, 6}); // c past the points
    o.polygons.push_back({-1, 0, 1, 2});                 // negative a
    o.polygons.push_back({0, 1, 2, 2147483647});         // d past the points
    uvw(o, o.polygons.size());
    polygon("All bad", {{0, 0, 0}}, {{0, 1, 2, 3}, {5, 5, 5, 5}});
    const auto objects = exportObjects();
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(geometryNumbers(objects[0], "triangles").size(), 12u);
    EXPECT_EQ(geometryNumbers(objects[0], "vertices").size(), 18u);
    const V uv = geometryNumbers(objects[0], "uv_tex"); // of polygons 1 and 2, in order
    ASSERT_EQ(uv.size(), 16u);
    EXPECT_EQ(uv[0], 1.0);
    EXPECT_EQ(uv[8], 2.0);
}

TEST_F(MeshTest, ShortUVWAndNormalDataGiveZerosForTheMissingEntries)
{
    sim::Object& o = polygon("Short", {{0, 0, 0}}, {});
    o.points.clear();
    grid(o, 1, 2);
    uvw(o, 1);                                                      // one entry for two polygons
    o.phongNormals = std::vector<c4d_vec32>(6, c4d_vec32{1, 2, 3}); // 6 of 8 corners
    // A host without bulk UVW access is asked per polygon, and one that keeps no normals
    // at hand copies them, with the same result.
    c4d_host_table perPolygon = *sim::hostTable();
    perPolygon.uvw_data = nullptr;
    perPolygon.object_phong_normals_data = nullptr;
    const auto copied = exportObjects(&perPolygon);
    const V viaCalls = geometryNumbers(copied[0], "uv_tex");
    const V copiedNormals = geometryNumbers(copied[0], "normals");
    const auto objects = exportObjects();
    ASSERT_EQ(objects.size(), 1u);
    const V uv = geometryNumbers(objects[0], "uv_tex");
    ASSERT_EQ(uv.size(), 16u);
    EXPECT_EQ(V(uv.begin() + 8, uv.end()), V(8, 0.0));
    EXPECT_EQ(uv, viaCalls);
    const V n = geometryNumbers(objects[0], "normals");
    ASSERT_EQ(n.size(), 24u);
    EXPECT_EQ(V(n.begin() + 15, n.begin() + 18), (V{1, 2, 3}));
    EXPECT_EQ(V(n.begin() + 18, n.end()), V(6, 0.0));
    EXPECT_EQ(n, copiedNormals);
}

TEST_F(MeshTest, SelectionRangesAreClippedMergedAndVisitedInOrder)
{
    sim::Object& o = polygon("Row", {{0, 0, 0}}, {});
    o.points.clear();
    grid(o, 1, 6);
    // Past the end, negative, overlapping and unordered; polygon 4 is left out.
    selection(o, "odd", {{5, 1000}, {-20, 0}, {2, 3}, {1, 2}, {3, 3}});
    texture(o, &material("Sel"), "odd");
    const auto objects = exportObjects();
    ASSERT_EQ(objects.size(), 2u);
    const V v = geometryNumbers(objects[0], "vertices");
    const V t = geometryNumbers(objects[0], "triangles");
    ASSERT_EQ(t.size(), 30u);
    V xs;
    for (size_t i = 0; i < t.size(); i += 6)
        xs.push_back(v[size_t(t[i]) * 3]);
    EXPECT_EQ(xs, (V{0, 1, 2, 3, 5}));
    EXPECT_EQ(geometryNumbers(objects[1], "triangles").size(), 6u);
}

TEST_F(MeshTest, DanglingShaderLinkAndNotANumberColours)
{
    sim::Shader stray;
    stray.type = 5832;
    stray.params[1000] = sim::Vec3{0, 0, 1};
    sim::Material& linked = material("Linked", {1, 0, 0});
    linked.params[8000] = sim::Link{&stray};
    texture(triangle("D"), &linked);
    // NaN colours still give a strict order: equal NaN records share a variant.
    for (double red : {std::nan(""), 0.5, std::nan("")})
        texture(triangle("N"), &material("Odd", {red, 0, 0}));
    const auto objects = exportObjects();
    ASSERT_EQ(objects.size(), 4u);
    EXPECT_EQ(lines(surface(objects[0])), (Lines{"kind orv_diffuse", "diffuse 1 0 0"}));
    EXPECT_EQ(exportMaterials(), (Lines{"Linked", "Odd", "Odd #1", "Odd"}));
}

TEST_F(MeshTest, LongMaterialNamesAreCutOnCharacterBoundariesKeepingVariantsApart)
{
    std::string name = "x";
    while (name.size() < 5000)
        name += "\xc3\xa9"; // two-byte character, so byte 1023 falls inside one
    sim::Material& m = material(name);
    for (double shift : {0.0, 0.5, 0.75})
        texture(triangle("Long"), &m).params[1000] = shift;
    EXPECT_EQ(exportMaterials(), (Lines{name.substr(0, 1023), name.substr(0, 1019) + " #1",
                                        name.substr(0, 1019) + " #2"}));
}

TEST_F(MeshTest, MaterialNameOf1023BytesIsKeptAndOneOf1024IsCutAndReported)
{
    texture(triangle("Kept"), &material(std::string(1023, 'k')));
    texture(triangle("Cut"), &material(std::string(1024, 'c')));
    EXPECT_EQ(exportMaterials(), (Lines{std::string(1023, 'k'), std::string(1023, 'c')}));
    const auto& items = context.report.entry(report::Reason::NameCut).items;
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].detail, "material name of 1024 bytes cut to 1023");
}

} // namespace
} // namespace meshtest
