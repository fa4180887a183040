// Material regions: texture tags from the rightmost leftward, then the inherited ones, the
// display colour last; polygon-selection restrictions; each polygon in exactly one region.
#include "mesh_fixture.h"

namespace meshtest {
namespace {

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

// A polygon object holding a one-row grid of n quads.
class RegionTest : public MeshTest {
protected:
    sim::Object& row(int n, sim::Object* parent = nullptr)
    {
        sim::Object& o = polygon("Row", {{0, 0, 0}}, {}, parent);
        o.points.clear();
        grid(o, 1, n);
        return o;
    }
    // "material: x x ..." per scene object.
    Lines regions()
    {
        Lines out;
        for (const Statement* o : exportObjects()) {
            out.push_back(materialName(o) + ":");
            for (double x : firstXs(o))
                out.back() += " " + std::to_string(int(x));
        }
        return out;
    }
};

TEST_F(RegionTest, SelectionRestrictedTagComesFirstAndTheRestGoesToTheLeftTag)
{
    sim::Object& o = row(4);
    texture(o, &material("Left"));
    selection(o, "middle", {{1, 2}});
    texture(o, &material("Right"), "middle");
    // Every polygon is taken by the two tags: no display-colour object.
    EXPECT_EQ(regions(), (Lines{"Right: 1 2", "Left: 0 3"}));
}

TEST_F(RegionTest, RestrictionThatNamesNoSelectionCoversTheWholeObject)
{
    for (const std::string restriction : {"missing", ""}) {
        doc = std::make_unique<sim::Document>();
        sim::Object& o = row(3);
        selection(o, "other", {{0, 0}});
        texture(o, &material("Left"));
        texture(o, &material("Right"), restriction);
        EXPECT_EQ(regions(), (Lines{"Right: 0 1 2"})) << restriction;
    }
}

TEST_F(RegionTest, OwnTagsBeforeInheritedTagsAndDisplayColourForTheRest)
{
    sim::Object& parent = polygon("Parent");
    texture(parent, &material("Inherited"), "half");
    sim::Object& o = row(4, &parent);
    selection(o, "half", {{9, 9}});
    selection(o, "half", {{0, 1}}); // the last selection of a name wins
    selection(o, "last", {{3, 3}});
    texture(o, &material("Own"), "last");
    EXPECT_EQ(regions(), (Lines{"Own: 3", "Inherited: 0 1", "Display color: 2"}));
}

TEST_F(RegionTest, UnusableTagsLeaveTheirPolygonsToEarlierEntries)
{
    sim::Material outside; // not in the document: a dangling link
    outside.type = 5703;
    outside.name = "Gone";
    sim::Object& o = row(2);
    texture(o, &material("Base"));
    texture(o, &material("")); // unnamed material
    texture(o, &outside);
    texture(o, nullptr);
    texture(o, &material("Other type")).material->type = 5704;
    tag(o, 1017729); // hair material tag: not a texture tag here
    selection(o, "empty", {});
    texture(o, &material("No segments"), "empty");
    EXPECT_EQ(regions(), (Lines{"Base: 0 1"}));
}

} // namespace
} // namespace meshtest
