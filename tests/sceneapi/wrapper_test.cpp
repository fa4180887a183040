// The object wrapper: start-up sequence, counters, typed operations.
#include "capture.h"
#include "orvSceneapi_oo.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

using orv::orvSceneapi_oo;

namespace {

// Remembers the last attribute call and counts calls.
struct Recorder : NullApi {
    std::string name;
    int type = 0;
    AttributeArray list{nullptr, -1};
    int calls = 0;
    bool attribute(const char* n, int t, const void* v) override
    {
        ++calls;
        name = n;
        type = t;
        if (t & orvType::ArrayFlag) list = *static_cast<const AttributeArray*>(v);
        return true;
    }
    void print(const char*, ...) override { ++calls; }
    void version(int) override { ++calls; }
};

struct NoApiFactory : orv::LightFactory {
    orvScene_api* getApi() override { return nullptr; }
    void onAttach(orvSceneapi_oo*) override { ADD_FAILURE() << "onAttach without a back end"; }
    void close() override {}
};

// Writes a marker at attach time so the order of the start-up sequence is visible.
struct MarkingFactory : orv::PassThroughFactory {
    using PassThroughFactory::PassThroughFactory;
    int attaches = 0;
    void onAttach(orvSceneapi_oo* wrapper) override
    {
        ++attaches;
        wrapper->api()->printRaw("attach\n");
    }
};

} // namespace

TEST(Wrapper, StartsEveryStreamWithFactoryLinesBannerAndVersion)
{
    WriterOnMemory w;
    MarkingFactory factory(&w.writer);
    orvSceneapi_oo oo(&factory);
    EXPECT_EQ(factory.attaches, 1);
    const std::string banner = orvSceneapi_oo::banner();
    EXPECT_TRUE(std::regex_match(
        banner, std::regex(R"(Tavrin SceneApi oo 10\.1\.0  \(built [A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4}\))")))
        << banner;
    EXPECT_EQ(w.text(), "attach\n#print \"" + banner + "\"\nversion 9\n\n");
    EXPECT_EQ(oo.api(), &w.writer);
}

TEST(Wrapper, WithoutBackEndWritesNothing)
{
    NoApiFactory factory;
    orvSceneapi_oo oo(&factory);
    EXPECT_EQ(oo.api(), nullptr);
    // Calls that should not be made are still harmless.
    EXPECT_FALSE(oo.beginGroup("g"));
    EXPECT_FALSE(oo.setInt("i", 1));
    oo.print("x");
    EXPECT_EQ(oo.newId(), 1);

    orvSceneapi_oo nullWrapper; // over its own NullApi
    ASSERT_NE(nullWrapper.api(), nullptr);
    EXPECT_FALSE(nullWrapper.beginGroup("g"));
    EXPECT_EQ(nullWrapper.beginShader("k"), 1);
}

TEST(Wrapper, CountersAndTheirRecords)
{
    WriterOnMemory w;
    orv::PassThroughFactory factory(&w.writer);
    orvSceneapi_oo oo(&factory);
    const size_t start = w.text().size();
    EXPECT_EQ(oo.beginShader("orv_a"), 1);
    oo.endShader();
    EXPECT_EQ(oo.beginShader("orv_b"), 2);
    oo.endShader();
    EXPECT_EQ(oo.beginShader("orv_c"), 3);
    oo.endShader();
    EXPECT_EQ(oo.newId(), 1);
    EXPECT_EQ(oo.newId(), 2);
    EXPECT_EQ(w.text().substr(start), "#define shader 1 orv_a {\n}\n#define shader 2 orv_b {\n}\n"
                                      "#define shader 3 orv_c {\n}\nid 1\nid 2\n");
    oo.attach(&w.writer);
    EXPECT_EQ(oo.newId(), 1);
    EXPECT_EQ(oo.beginShader("orv_d"), 1);
}

TEST(Wrapper, TypedOperations)
{
    Recorder rec;
    orv::PassThroughFactory factory(&rec);
    orvSceneapi_oo oo(&factory);
    EXPECT_EQ(rec.calls, 2); // banner and version

    const struct {
        bool (orvSceneapi_oo::*set)(const std::string&, int);
        int type;
    } scalars[] = {{&orvSceneapi_oo::setBool, 7}, {&orvSceneapi_oo::setInt, 6}};
    for (const auto& s : scalars) {
        (oo.*s.set)("k", 1);
        EXPECT_EQ(rec.type, s.type);
    }
    oo.setFloat("f", 1);
    EXPECT_EQ(rec.type, 3);
    oo.setDouble("d", 1);
    EXPECT_EQ(rec.type, 4);
    EXPECT_TRUE(oo.setString("s", std::string("v")));
    EXPECT_EQ(rec.type, 10);

    oo.setFloat3Array("v", {});
    EXPECT_EQ(rec.type, 0x8001);
    EXPECT_EQ(rec.list.count, 0);
    std::vector<orv::Matrix16> mats(3);
    oo.setMatrixArray("m", mats);
    EXPECT_EQ(rec.type, 0x8009);
    EXPECT_EQ(rec.list.count, 3);
    EXPECT_EQ(rec.list.data, mats.data());
    oo.setDoubleArray("d", {1, 2});
    EXPECT_EQ(rec.type, 0x8004);
    oo.setFloatArray("f", {1});
    EXPECT_EQ(rec.type, 0x8003);
    oo.setIntArray("i", {1, 2, 3, 4});
    EXPECT_EQ(rec.type, 0x8006);
    EXPECT_EQ(rec.list.count, 4);

    const int before = rec.calls;
    EXPECT_THROW(oo.setString("s", "plain pointer"), std::invalid_argument);
    try {
        oo.setString("s", "plain pointer");
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "const char * are deprecated");
    }
    EXPECT_EQ(rec.calls, before);
}

TEST(Wrapper, TransformsAndMessages)
{
    WriterOnMemory w;
    orv::PassThroughFactory factory(&w.writer);
    orvSceneapi_oo oo(&factory);
    const size_t start = w.text().size();
    const double m[16] = {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 1, 2, 3, 1};
    oo.applyTransform(m);
    oo.applyTransform(m, 1);
    oo.print("100% %s %n");
    oo.error("50%d");
    oo.flags(3);
    oo.progress("Zo\xc3\xab", 1);
    EXPECT_EQ(w.text().substr(start), "transform 2 0 0 0 0 2 0 0 0 0 2 0 1 2 3 1\n"
                                      "set transform 2 0 0 0 0 2 0 0 0 0 2 0 1 2 3 1\n"
                                      "#print \"100% %s %n\"\n#error \"50%d\"\nflags 3\n"
                                      "progress xX5a6fc3ab 1.000\n\n");
}
