// The plug-in's view of the host (c4d_host.h) over the simulated host's table: parameters
// and their conversions, null handles, tree and caches, tracks, selections, geometry, hair.
#include "host_test_support.h"

#include <climits>
#include <cstdlib>
#include <vector>

using host::Object;

namespace {

const char* kParams = R"({
  "name": "scene.final.c4d", "path": "/projects/a", "time": {"num": 15, "den": 30},
  "minTime": 0.25,
  "materials": [
    {"name": "Wood", "shaders": [{"type": "bitmap", "name": "Grain", "file": "/tex/wood grain.png"},
                                 {"type": "gradient", "gradient": [[1, 0, 0], [0, 0, 1]]},
                                 {"type": "gradient", "name": "Empty", "gradient": []}],
     "params": {"color_shader": {"link": {"shader": "Grain"}}, "brightness": 2, "color": [1, 0.5, 0]},
     "channels": {"color": true, "specular": false}, "data": {"65": [0.1, 0.2, 0.3]}}
  ],
  "objects": [
    {"type": "polygon", "name": "Cube", "position": [1, 2, 3], "rotation": [0.5, 0, 0],
     "scale": [2, 2, 2], "bits": 512,
     "params": {"use_color": 1, "color": [0.1, 0.2, 0.3], "visibility_render": 1, "1234": 2.7,
                "1235": -2.7, "1236": 1e20, "1237": "", "1238": {"link": "dangling"},
                "1239": {"link": {"material": "Wood"}}, "1240": {"link": null}, "1241": {"link": {"object": "Cube"}}},
     "tags": [{"type": "texture", "name": "", "material": "Wood", "params": {"restriction": "Top"}}]}
  ]
})";

TEST_F(HostFixture, NumericParametersConvertButVectorsAndScalarsDoNot)
{
    host::Document doc = load(kParams);
    Object cube = doc.firstObject();
    ASSERT_TRUE(cube);

    int32_t i = 0;
    double d = 0;
    host::Vec3 v{};
    EXPECT_TRUE(cube.getInt(907, i));
    EXPECT_EQ(i, 1);
    EXPECT_TRUE(cube.getFloat(907, d));
    EXPECT_EQ(d, 1.0);
    EXPECT_TRUE(cube.getInt(1234, i));
    EXPECT_EQ(i, 2) << "float to int truncates toward zero";
    EXPECT_TRUE(cube.getInt(1235, i));
    EXPECT_EQ(i, -2);
    EXPECT_TRUE(cube.getInt(1236, i));
    EXPECT_EQ(i, INT32_MAX) << "out-of-range floats saturate";
    EXPECT_TRUE(cube.getVector(908, v));
    EXPECT_TRUE(near(v, {0.1, 0.2, 0.3}));
    EXPECT_FALSE(cube.getFloat(908, d)) << "a vector is not a scalar";
    EXPECT_FALSE(cube.getVector(1234, v)) << "a scalar is not a vector";
    EXPECT_FALSE(cube.getInt(999999, i));

    // Position, rotation and scale are vectors of the object; ABS_* answer the REL_* values.
    EXPECT_TRUE(cube.getVector(903, v));
    EXPECT_TRUE(near(v, {1, 2, 3}));
    EXPECT_FALSE(cube.getFloat(903, d));
    EXPECT_TRUE(cube.vector(C4D_ABS_ROT, v));
    EXPECT_TRUE(near(v, {0.5, 0, 0}));
    EXPECT_TRUE(cube.vector(C4D_ABS_SCALE, v));
    EXPECT_TRUE(near(v, {2, 2, 2}));
    EXPECT_FALSE(cube.vector(static_cast<c4d_object_vector>(6), v));
    EXPECT_EQ(cube.bits() & host::ids::BIT_CONTROLOBJECT, host::ids::BIT_CONTROLOBJECT);
}

TEST_F(HostFixture, ObjectParametersHaveHostDefaults)
{
    host::Document doc = load(R"({"objects": [{"name": "N"}], "layers": [{"name": "L"}]})");
    Object n = doc.firstObject();
    int32_t i = -1;
    EXPECT_TRUE(n.getInt(901, i));
    EXPECT_EQ(i, 2);
    EXPECT_TRUE(n.getInt(902, i));
    EXPECT_EQ(i, 2);
    EXPECT_TRUE(n.getInt(907, i));
    EXPECT_EQ(i, 0);
    host::Layer layer(sim::handle(model().layers[0].get()));
    EXPECT_TRUE(layer.getInt(1001, i));
    EXPECT_EQ(i, 1);
    EXPECT_TRUE(layer.getInt(1002, i));
    EXPECT_EQ(i, 1);
    host::Vec3 v{};
    EXPECT_FALSE(layer.getVector(1009, v)) << "a layer colour exists only when the document sets it";
}

TEST_F(HostFixture, DocumentTextsTimesAndNames)
{
    host::Document doc = load(kParams);
    std::string s;
    EXPECT_TRUE(doc.getString(host::ids::DOCUMENT_PATH, s));
    EXPECT_EQ(s, "/projects/a");
    EXPECT_TRUE(doc.getString(host::ids::DOCUMENT_NAME, s));
    EXPECT_EQ(s, "scene.final.c4d");
    host::Time t;
    EXPECT_TRUE(doc.getTime(host::ids::DOCUMENT_TIME, t));
    EXPECT_EQ(t.num, 15);
    EXPECT_EQ(t.den, 30);
    EXPECT_TRUE(doc.getTime(host::ids::DOCUMENT_MINTIME, t));
    EXPECT_DOUBLE_EQ(t.seconds(), 0.25);
    EXPECT_TRUE(doc.setTime(host::ids::DOCUMENT_TIME, host::Time{1, 4}));
    EXPECT_DOUBLE_EQ(model().time.num / model().time.den, 0.25);

    Object cube = doc.firstObject();
    EXPECT_TRUE(cube.getString(1237, s));
    EXPECT_EQ(s, "") << "an empty text reads as success with no text";
    host::Tag tag = cube.firstTag();
    EXPECT_EQ(tag.name(), "");
    EXPECT_TRUE(tag.getString(1006, s));
    EXPECT_EQ(s, "Top");
    EXPECT_TRUE(cube.getString(900, s)) << "parameter 900 is every element's name";
    EXPECT_EQ(s, "Cube");
    EXPECT_FALSE(cube.getString(1234, s)) << "a number is not a text";
}

TEST_F(HostFixture, LinksResolveInTheirDocumentOnly)
{
    host::Document doc = load(kParams);
    Object cube = doc.firstObject();
    host::Element target;

    ASSERT_TRUE(cube.getLink(1239, doc, target));
    EXPECT_EQ(target.name(), "Wood");
    EXPECT_EQ(target.type(), host::ids::Mmaterial);
    EXPECT_TRUE(cube.getLink(1238, doc, target)) << "a dangling link reads as success";
    EXPECT_FALSE(target);
    EXPECT_TRUE(cube.getLink(1240, doc, target));
    EXPECT_FALSE(target);
    EXPECT_TRUE(cube.getLink(1241, doc, target));
    EXPECT_EQ(target, host::Element(cube.handle()));
    EXPECT_FALSE(cube.getLink(1234, doc, target)) << "a number is not a link";
    EXPECT_FALSE(cube.getLink(1239, host::Document(), target)) << "no document, no target";

    // The same link asked for with another document finds nothing there.
    std::string error;
    auto other = sim::parseDocument("{}", "", error);
    ASSERT_TRUE(other);
    EXPECT_TRUE(cube.getLink(1239, host::Document(sim::handle(other.get())), target));
    EXPECT_FALSE(target);

    // The material's own shader link resolves to the shader of its list.
    host::Material wood = cube.firstTag().material();
    ASSERT_TRUE(wood);
    EXPECT_TRUE(wood.getLink(8000, doc, target));
    EXPECT_EQ(target, host::Element(wood.firstShader().handle()));
}

TEST_F(HostFixture, MaterialsShadersFilenamesAndGradients)
{
    host::Document doc = load(kParams);
    host::Material wood = doc.firstObject().firstTag().material();
    EXPECT_TRUE(wood.channelEnabled(0));
    EXPECT_FALSE(wood.channelEnabled(8));
    EXPECT_FALSE(wood.channelEnabled(1)) << "channels the document does not list are off";
    host::Vec3 v{};
    EXPECT_TRUE(wood.dataVector(65, v));
    EXPECT_TRUE(near(v, {0.1, 0.2, 0.3}));
    EXPECT_FALSE(wood.dataVector(66, v));

    host::Shader grain = wood.firstShader();
    EXPECT_EQ(grain.type(), host::ids::Xbitmap);
    std::string full, leaf;
    EXPECT_TRUE(grain.getFilename(1000, full, leaf));
    EXPECT_EQ(full, "/tex/wood grain.png");
    EXPECT_EQ(leaf, "wood grain.png");
    EXPECT_TRUE(grain.getString(1000, full)) << "a file name reads as its full path";
    EXPECT_EQ(full, "/tex/wood grain.png");

    host::Shader gradient = grain.next();
    EXPECT_TRUE(gradient.getGradientKnot0(1007, v));
    EXPECT_TRUE(near(v, {1, 0, 0}));
    EXPECT_FALSE(gradient.getGradientKnot0(1000, v));
    host::Shader empty = gradient.next();
    EXPECT_EQ(empty.name(), "Empty");
    EXPECT_FALSE(empty.getGradientKnot0(1007, v)) << "a gradient without knots has no knot 0";
    EXPECT_FALSE(empty.next());
}

TEST_F(HostFixture, NullHandlesAndAMissingTableAnswerFailure)
{
    Object none;
    int32_t i = 7, count = 7;
    host::Vec3 v{};
    host::Matrix m{};
    std::string s = "x";
    EXPECT_EQ(none.name(), "");
    EXPECT_EQ(none.type(), 0);
    EXPECT_FALSE(none.getInt(901, i));
    EXPECT_FALSE(none.ml(m));
    EXPECT_FALSE(none.next());
    EXPECT_FALSE(none.cache());
    EXPECT_EQ(none.points(count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(none.phongNormals());
    EXPECT_FALSE(host::Tag().selection());
    EXPECT_EQ(host::Selection().segments(), 0);
    EXPECT_EQ(host::Curve().keyCount(), 0);
    EXPECT_EQ(host::Track().value(host::Document(), host::Time{}, 30), 0.0);
    EXPECT_FALSE(host::HairLock(none, host::Document()).generate());
    bool ok = true;
    EXPECT_TRUE(host::Document().selection(ok).empty());
    EXPECT_FALSE(ok);

    // Handles of the wrong kind answer failure too.
    host::Document doc = load(kParams);
    Object asObject(doc.handle());
    EXPECT_FALSE(asObject.ml(m));
    host::UVWStruct r{};
    EXPECT_FALSE(host::Tag(doc.firstObject().handle()).uvw(0, r));
    EXPECT_FALSE(host::Material(doc.firstObject().handle()).firstShader());

    host::unbind();
    Object cube(sim::handle(model().objects[0].get()));
    EXPECT_EQ(cube.name(), "");
    EXPECT_FALSE(cube.getVector(903, v));
    host::Filename f;
    f.setFile("x");
    EXPECT_FALSE(f.content());
    EXPECT_FALSE(f.select(0, 1, "t", "qrf"));
    EXPECT_EQ(f.utf8(ok), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(host::autoBitmap("render.png"), nullptr);
    host::messageDialog("nobody sees this");
    host::bind(sim::hostTable());
    EXPECT_TRUE(sim::messages().empty());
}

// A host table that lacks functions (an older or partial host) is never called through a
// null pointer.
TEST_F(HostFixture, AnEmptyTableAnswersFailure)
{
    host::Document doc = load(kParams);
    c4d_host_table empty{};
    empty.version = C4D_HOST_API_VERSION;
    host::bind(&empty);
    Object cube(sim::handle(model().objects[0].get()));
    int32_t i = 0, count = 0;
    host::Matrix m{};
    std::string s;
    EXPECT_EQ(cube.name(), "");
    EXPECT_FALSE(cube.getInt(907, i));
    EXPECT_FALSE(cube.mg(m));
    EXPECT_FALSE(cube.firstTag());
    EXPECT_EQ(cube.points(count), nullptr);
    EXPECT_FALSE(cube.phongNormals());
    EXPECT_FALSE(doc.getString(host::ids::DOCUMENT_NAME, s));
    EXPECT_FALSE(doc.executePasses());
    bool ok = true;
    EXPECT_TRUE(doc.selection(ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_FALSE(host::HairLock(cube, doc).generate());
    host::Filename f;
    f.setFile("x");
    EXPECT_FALSE(f.select(0, 1, "t", "qrf"));
    EXPECT_EQ(f.utf8(ok), "");
    EXPECT_EQ(host::autoBitmap("render.png"), nullptr);
    host::messageDialog("nobody sees this");
    EXPECT_TRUE(sim::messages().empty());
}

TEST_F(HostFixture, TreeTagsAndCaches)
{
    host::Document doc = load(R"({"objects": [
      {"name": "A", "position": [10, 0, 0], "scale": [2, 2, 2],
       "children": [{"name": "A1", "position": [1, 0, 0]}, {"name": "A2"}],
       "cache": {"type": "polygon", "name": "Gen", "position": [0, 1, 0],
                 "children": [{"name": "GenChild", "position": [0, 0, 1]}]},
       "deformCache": {"type": "polygon", "name": "Deformed"},
       "tags": [{"type": "uvw", "name": "T1"}, {"type": "normal", "name": "T2"}]},
      {"name": "B"}]})");
    Object a = doc.firstObject();
    EXPECT_EQ(a.name(), "A");
    EXPECT_EQ(a.next().name(), "B");
    EXPECT_FALSE(a.next().next());
    EXPECT_EQ(a.down().name(), "A1");
    EXPECT_EQ(a.down().next().name(), "A2");
    EXPECT_EQ(a.firstTag().name(), "T1");
    EXPECT_EQ(a.firstTag().next().type(), host::ids::Tnormal);
    EXPECT_FALSE(a.firstTag().next().next());

    Object gen = a.cache();
    ASSERT_TRUE(gen);
    EXPECT_EQ(gen.name(), "Gen");
    EXPECT_FALSE(gen.next()) << "a cache root has no siblings";
    EXPECT_EQ(a.deformCache().name(), "Deformed");
    EXPECT_FALSE(a.next().cache());

    // Global matrices chain through parents, and a cache's chain goes through its owner.
    host::Matrix m{};
    ASSERT_TRUE(a.down().mg(m));
    EXPECT_TRUE(near(m.off, {12, 0, 0})) << str(m.off);
    ASSERT_TRUE(gen.down().mg(m));
    EXPECT_TRUE(near(m.off, {10, 2, 2})) << str(m.off);
    EXPECT_TRUE(near(m.v1, {2, 0, 0}));
    ASSERT_TRUE(gen.down().ml(m));
    EXPECT_TRUE(near(m.off, {0, 0, 1}));

    // Keys are unique across the document.
    std::vector<uint64_t> keys = {doc.key(), a.key(), a.down().key(), a.down().next().key(), gen.key(),
                                  gen.down().key(), a.deformCache().key(), a.firstTag().key(),
                                  a.next().key()};
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_NE(keys[i], 0u);
        for (size_t j = i + 1; j < keys.size(); ++j)
            EXPECT_NE(keys[i], keys[j]) << i << " " << j;
    }
}

TEST_F(HostFixture, SelectionListsObjectsAndTagsWithWalkKeys)
{
    host::Document doc = load(R"({"objects": [
      {"name": "P", "children": [{"name": "C", "id": "child", "tags": [{"type": "texture", "name": "Tex"}]}]}],
      "selection": ["P/C", {"object": "child", "tag": "Tex"}, {"object": "P"}]})");
    bool ok = false;
    auto sel = doc.selection(ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(sel.size(), 3u);
    Object c = doc.firstObject().down();
    EXPECT_EQ(sel[0].key(), c.key());
    EXPECT_EQ(sel[1].type(), host::ids::Ttexture);
    EXPECT_EQ(sel[1].key(), c.firstTag().key());
    EXPECT_EQ(sel[2].key(), doc.firstObject().key());

    host::Document none = load(R"({"selection": null})");
    EXPECT_TRUE(none.selection(ok).empty());
    EXPECT_FALSE(ok) << "a document without a selection list gives none";
    host::Document empty = load(R"({})");
    EXPECT_TRUE(empty.selection(ok).empty());
    EXPECT_TRUE(ok);
}

TEST_F(HostFixture, PolygonGeometryUvwAndSelectionRanges)
{
    host::Document doc = load(R"({"objects": [
      {"type": "polygon", "name": "M", "points": [[0, 0, 0], [1, 0, 0], [0, 1, 0]],
       "polygons": [[0, 1, 2], [0, 1, 9, 3]],
       "phongNormals": [[0, 0, 1], [0, 0, 1], [0, 0, 1], [0, 0, 1], [1, 0, 0]],
       "tags": [{"type": "uvw", "uvw": [[[0, 0], [1, 0], [0, 1, 0.5]]]},
                {"type": "polygonselection", "name": "S", "segments": [[0, 0], [1, 5], [7, 3], [-2, 1]]}]},
      {"type": "polygon", "name": "Bare"}]})");
    Object m = doc.firstObject();
    int32_t count = 0;
    const host::Vec3* points = m.points(count);
    ASSERT_EQ(count, 3);
    EXPECT_TRUE(near(points[1], {1, 0, 0}));
    const host::CPolygon* polys = m.polygons(count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(polys[0].d, 2) << "a triangle repeats its third index";
    EXPECT_EQ(polys[1].c, 9) << "indices past the points are kept";

    host::PhongNormals normals = m.phongNormals();
    ASSERT_TRUE(normals);
    EXPECT_EQ(normals.count(), 5) << "the stored array, short or not";
    EXPECT_EQ(normals.data()[4].x, 1.0f);
    EXPECT_FALSE(m.next().phongNormals());
    EXPECT_EQ(m.next().points(count), nullptr);
    EXPECT_EQ(count, 0);

    host::Tag uvw = m.firstTag();
    EXPECT_EQ(uvw.uvwCount(), 1);
    host::UVWStruct r{};
    ASSERT_TRUE(uvw.uvw(0, r));
    EXPECT_TRUE(near(r.c, {0, 1, 0.5}));
    EXPECT_TRUE(near(r.d, r.c)) << "three corners repeat the third";
    EXPECT_FALSE(uvw.uvw(1, r)) << "no UVW past the tag's data";
    EXPECT_FALSE(uvw.uvw(-1, r));
    EXPECT_FALSE(uvw.selection()) << "only selection tags have a selection";

    host::Selection s = uvw.next().selection();
    ASSERT_TRUE(s);
    EXPECT_EQ(s.segments(), 4);
    int32_t first = -1, last = -1;
    ASSERT_TRUE(s.range(0, INT32_MAX, first, last));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, 0);
    ASSERT_TRUE(s.range(1, INT32_MAX, first, last));
    EXPECT_EQ(last, 5) << "ranges past the polygon count are kept";
    ASSERT_TRUE(s.range(1, 3, first, last));
    EXPECT_EQ(last, 2) << "clipped to the maximum element count";
    EXPECT_FALSE(s.range(2, INT32_MAX, first, last)) << "a reversed range is empty";
    ASSERT_TRUE(s.range(3, INT32_MAX, first, last));
    EXPECT_EQ(first, -2);
    EXPECT_FALSE(s.range(4, INT32_MAX, first, last));
    EXPECT_FALSE(s.range(-1, INT32_MAX, first, last));
    EXPECT_FALSE(s.range(0, 0, first, last));
}

TEST_F(HostFixture, TextureTagMaterialAndPlacement)
{
    host::Document doc = load(R"({"materials": [{"name": "Wood"}], "objects": [{"tags": [
      {"type": "texture", "material": "Wood", "placement": {"offset": [1, 2, 3], "x": [2, 0, 0]}},
      {"type": "texture", "material": null},
      {"type": "uvw"}]}]})");
    host::Tag t = doc.firstObject().firstTag();
    EXPECT_EQ(t.material().name(), "Wood");
    host::Matrix m{};
    ASSERT_TRUE(t.placement(m));
    EXPECT_TRUE(near(m.off, {1, 2, 3}));
    EXPECT_TRUE(near(m.v1, {2, 0, 0}));
    EXPECT_TRUE(near(m.v2, {0, 1, 0}));
    EXPECT_FALSE(t.next().material());
    EXPECT_FALSE(t.next().next().placement(m));
}

TEST_F(HostFixture, HairGuidesAsStoredWhileLocked)
{
    host::Document doc = load(R"({"objects": [
      {"type": "hair", "name": "H", "hair": {"strandCount": 2, "segmentCount": 3,
        "points": [[0, 0, 0], [0, 1, 0], [0, 2, 0], [0, 3, 0], [1, 0, 0]], "rootUV": [[0.5, 0.25]]}},
      {"type": "hair", "name": "None", "hair": {"generates": false, "points": [[0, 0, 0]]}}]})");
    Object h = doc.firstObject();
    {
        host::HairLock lock(h, doc);
        host::HairGuides g = lock.generate();
        ASSERT_TRUE(g);
        EXPECT_EQ(g.strandCount(), 2);
        EXPECT_EQ(g.segmentCount(), 3);
        int32_t count = 0;
        const host::Vec3* p = g.points(count);
        EXPECT_EQ(count, 5) << "the real array length, not strands * (segments + 1)";
        EXPECT_TRUE(near(p[4], {1, 0, 0}));
        host::Vec3 uv{};
        EXPECT_TRUE(g.rootUV(0, uv));
        EXPECT_TRUE(near(uv, {0.5, 0.25, 0}));
        EXPECT_FALSE(g.rootUV(1, uv)) << "no root past the stored ones";
    }
    // Without a lock the host generates nothing.
    const c4d_host_table* t = sim::hostTable();
    EXPECT_EQ(t->hair_generate(h.handle(), doc.handle(), -1, -1, 0), nullptr);
    host::HairLock lock(h.next(), doc);
    EXPECT_FALSE(lock.generate());
}

} // namespace
