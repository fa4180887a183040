// Material regions: texture tags from the rightmost leftward, then the inherited ones, the
// display colour last; polygon-selection restrictions; each polygon in exactly one region.
#include "mesh_fixture.h"

namespace meshtest {
namespace {

using V = std::vector<double>;

// x of the first corner of each quad in an object's vertices (quads of a one-row grid).
V firstXs(const Statement* object)
{
    const V v = geometryNumbers(object, "vertices");
    const V t = geometryNumbers(object, "triangles");
    V out;
    for (size_t i = 0; i < t.size(); i += 6)
        out.push_back(v[size_t(t[i]) * 3]);
    return out;
}

TEST_F(MeshTest, SelectionRestrictedTagComesFirstAndTheRestGoesToTheLeftTag)
{
    sim::Object& o = polygon("Row", {}, {});
    grid(o, 1, 4);
    texture(o, &material("Left"));
    selection(o, "middle", {{1, 2}});
    texture(o, &material("Right"), "middle");
    const auto objects = exportObjects();
    ASSERT_EQ(objects.size(), 2u); // every polygon is taken: no display-colour object
    EXPECT_EQ(materialName(objects[0]), "Right");
    EXPECT_EQ(firstXs(objects[0]), (V{1, 2}));
    EXPECT_EQ(materialName(objects[1]), "Left");
    EXPECT_EQ(firstXs(objects[1]), (V{0, 3}));
    EXPECT_EQ(objects[1]->name(), "Row");
}

TEST_F(MeshTest, RestrictionThatNamesNoSelectionCoversTheWholeObject)
{
    for (const std::string restriction : {"missing", ""}) {
        doc = std::make_unique<sim::Document>();
        sim::Object& o = polygon("Row", {}, {});
        grid(o, 1, 3);
        selection(o, "other", {{0, 0}});
        texture(o, &material("Left"));
        texture(o, &material("Right"), restriction);
        const auto objects = exportObjects();
        ASSERT_EQ(objects.size(), 1u) << restriction;
        EXPECT_EQ(materialName(objects[0]), "Right");
        EXPECT_EQ(firstXs(objects[0]), (V{0, 1, 2}));
    }
}

TEST_F(MeshTest, OwnTagsBeforeInheritedTagsAndDisplayColourForTheRest)
{
    sim::Object& parent = null("Parent");
    texture(parent, &material("Inherited"), "half");
    sim::Object& o = polygon("Child", {}, {}, &parent);
    grid(o, 1, 4);
    selection(o, "half", {{0, 1}});
    selection(o, "last", {{3, 3}});
    texture(o, &material("Own"), "last");
    const auto objects = exportObjects();
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(materialName(objects[0]), "Own");
    EXPECT_EQ(firstXs(objects[0]), (V{3}));
    EXPECT_EQ(materialName(objects[1]), "Inherited"); // the child's selection of that name
    EXPECT_EQ(firstXs(objects[1]), (V{0, 1}));
    EXPECT_EQ(materialName(objects[2]), "Display color");
    EXPECT_EQ(firstXs(objects[2]), (V{2}));
}

TEST_F(MeshTest, UnusableTagsLeaveTheirPolygonsToEarlierEntries)
{
    sim::Material outside; // not in the document: a dangling link
    outside.type = 5703;
    outside.name = "Gone";
    sim::Object& o = polygon("Row", {}, {});
    grid(o, 1, 2);
    texture(o, &material("Base"));
    texture(o, &material("")); // unnamed material
    texture(o, &outside);
    texture(o, nullptr);
    texture(o, &material("Other type")).material->type = 5704;
    tag(o, 1017729); // hair material tag: not a texture tag here
    selection(o, "empty", {});
    texture(o, &material("No segments"), "empty");
    const auto objects = exportObjects();
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(materialName(objects[0]), "Base");
    EXPECT_EQ(firstXs(objects[0]), (V{0, 1}));
}

TEST_F(MeshTest, RepeatedTagAddsNothingAndLastSelectionOfANameWins)
{
    sim::Object& o = polygon("Row", {}, {});
    grid(o, 1, 3);
    selection(o, "s", {{0, 0}});
    selection(o, "s", {{2, 2}});
    texture(o, &material("Sel"), "s");
    const auto objects = exportObjects();
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(firstXs(objects[0]), (V{2}));
    EXPECT_EQ(materialName(objects[1]), "Display color");
    EXPECT_EQ(firstXs(objects[1]), (V{0, 1}));
}

} // namespace
} // namespace meshtest
