// Matrices for every rotation order, tracks and their evaluation at the document's time,
// file names and the save dialog, commands, icons and messages of the simulated host.
#include "host_test_support.h"

#include <png.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <stdexcept>

using host::Object;

namespace {

// ---- rotation orders ----

// The elementary rotations, written out from their axes (columns).
c4d_matrix about(char axis, double a)
{
    const double c = std::cos(a), s = std::sin(a);
    switch (axis) {
    case 'X': return {{0, 0, 0}, {1, 0, 0}, {0, c, -s}, {0, s, c}};
    case 'Y': return {{0, 0, 0}, {c, 0, s}, {0, 1, 0}, {-s, 0, c}};
    default: return {{0, 0, 0}, {c, -s, 0}, {s, c, 0}, {0, 0, 1}};
    }
}

c4d_vec apply(const c4d_matrix& m, const c4d_vec& v)
{
    return {m.off.x + m.v1.x * v.x + m.v2.x * v.y + m.v3.x * v.z,
            m.off.y + m.v1.y * v.x + m.v2.y * v.y + m.v3.y * v.z,
            m.off.z + m.v1.z * v.x + m.v2.z * v.y + m.v3.z * v.z};
}

struct OrderCase {
    int32_t order;
    // The factors of R from left to right, each an axis and the component it takes.
    const char* axes;
    const char* components;
};

// Read from the rotation order table: order 0 is E3 * E1 * E2 (Z from z, X from x, Y from y).
const OrderCase kOrders[] = {
    {0, "ZXY", "zxy"}, {1, "XZY", "xzy"}, {2, "XYZ", "xyz"}, {3, "YXZ", "yxz"},
    {4, "YZX", "yzx"}, {5, "ZYX", "zyx"}, {6, "YXZ", "xyz"}, {7, "YXZ", "yxz"}, {-1, "YXZ", "yxz"},
};

class RotationOrder : public HostFixture, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(RotationOrder, LocalMatrixComposesTheElementaryRotationsInTableOrder)
{
    const OrderCase& c = GetParam();
    const c4d_vec rot{0.3, -0.7, 1.1};
    sim::Object o;
    o.rot = rot;
    o.rotationOrder = c.order;
    const c4d_matrix ml = sim::localMatrix(o);

    // R v = F1(F2(F3 v)): apply the rightmost factor first.
    const c4d_vec probes[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.2, -3, 5}};
    for (const c4d_vec& p : probes) {
        c4d_vec v = p;
        for (int k = 2; k >= 0; --k) {
            const char comp = c.components[k];
            const double angle = comp == 'x' ? rot.x : comp == 'y' ? rot.y : rot.z;
            v = apply(about(c.axes[k], angle), v);
        }
        EXPECT_TRUE(near(apply(ml, p), v, 1e-12)) << "order " << c.order << " probe " << str(p);
    }

    // One non-zero component gives that component's elementary rotation alone.
    for (int k = 0; k < 3; ++k) {
        sim::Object single;
        single.rotationOrder = c.order;
        const double a = 0.9;
        const char comp = c.components[k];
        (comp == 'x' ? single.rot.x : comp == 'y' ? single.rot.y : single.rot.z) = a;
        EXPECT_TRUE(near(sim::localMatrix(single), about(c.axes[k], a), 1e-12))
            << "order " << c.order << " component " << comp;
    }
}

INSTANTIATE_TEST_SUITE_P(AllOrders, RotationOrder, ::testing::ValuesIn(kOrders));

TEST(Matrices, LocalIsTranslationTimesRotationTimesScale)
{
    sim::Object o;
    o.pos = {1, 2, 3};
    o.rot = {0, 0, std::numbers::pi / 2};
    o.scale = {2, 3, 4};
    const c4d_matrix m = sim::localMatrix(o);
    EXPECT_TRUE(near(m.off, {1, 2, 3}));
    EXPECT_TRUE(near(m.v1, {0, -2, 0}, 1e-12)) << str(m.v1);
    EXPECT_TRUE(near(m.v2, {3, 0, 0}, 1e-12)) << str(m.v2);
    EXPECT_TRUE(near(m.v3, {0, 0, 4}, 1e-12)) << str(m.v3);

    // Heading (v.x) turns about Y in the default order.
    sim::Object h;
    h.rot = {std::numbers::pi / 2, 0, 0};
    EXPECT_EQ(h.rotationOrder, 6);
    EXPECT_TRUE(near(sim::localMatrix(h).v1, {0, 0, 1}, 1e-12));

    // A built document: finalize links parents, so mg follows the chain.
    sim::Document doc;
    auto parent = std::make_unique<sim::Object>();
    parent->rot = {std::numbers::pi / 2, 0, 0};
    auto child = std::make_unique<sim::Object>();
    child->pos = {1, 0, 0};
    sim::Object* c = child.get();
    parent->children.push_back(std::move(child));
    doc.objects.push_back(std::move(parent));
    sim::finalize(doc);
    EXPECT_TRUE(near(sim::globalMatrix(*c).off, {0, 0, 1}, 1e-12)) << str(sim::globalMatrix(*c).off);
}

// ---- tracks ----

const char* kAnimated = R"({"time": 0.5, "objects": [{"name": "A", "position": [7, 7, 7],
  "tracks": [
    {"name": "Position . X", "parameter": "position", "component": "x", "keys": [[1, 10], [0, 0]]},
    {"name": "Rotation . Y", "parameter": "rotation", "component": "y", "keys": [[0.5, 3]]},
    {"name": "Scale . Z", "parameter": "scale", "component": "z", "on": false, "keys": [[0, 4], [1, 5]]},
    {"name": "NoCurve", "parameter": "position", "component": "y", "hasCurve": false, "keys": [[0, 1], [1, 2]]},
    {"name": "NoKeys", "parameter": "position", "component": "z"},
    {"name": "Odd", "descId": [903], "keys": [[{"num": 15, "den": 30}, 1], [{"num": 1, "den": 0}, 2]]}
  ]}]})";

TEST_F(HostFixture, TrackDescriptionsCurvesAndValues)
{
    host::Document doc = load(kAnimated);
    host::Track x = doc.firstObject().firstTrack();
    EXPECT_EQ(x.name(), "Position . X");
    EXPECT_EQ(x.descDepth(), 2);
    EXPECT_EQ(x.descId(0), 903);
    EXPECT_EQ(x.descId(1), 1000);
    EXPECT_EQ(x.descId(2), 0);
    int32_t on = -1;
    EXPECT_TRUE(x.getInt(904, on));
    EXPECT_EQ(on, 1) << "tracks are on unless the document says otherwise";

    host::Curve curve = x.curve();
    ASSERT_TRUE(curve);
    EXPECT_EQ(curve.keyCount(), 2);
    host::Time t;
    ASSERT_TRUE(curve.keyTime(0, t));
    EXPECT_EQ(t.seconds(), 0.0) << "keys come in time order";
    EXPECT_FALSE(curve.keyTime(2, t));

    EXPECT_DOUBLE_EQ(x.value(doc, host::Time{0.25, 1}, 30), 2.5);
    EXPECT_DOUBLE_EQ(x.value(doc, host::Time{-1, 1}, 30), 0.0) << "held before the first key";
    EXPECT_DOUBLE_EQ(x.value(doc, host::Time{5, 1}, 30), 10.0) << "held after the last key";
    EXPECT_DOUBLE_EQ(x.value(doc, host::Time{3, 4}, 30), 7.5);

    host::Track rotY = x.next();
    EXPECT_DOUBLE_EQ(rotY.value(doc, host::Time{0, 1}, 30), 3.0) << "one key holds everywhere";

    host::Track scaleZ = rotY.next();
    EXPECT_TRUE(scaleZ.getInt(904, on));
    EXPECT_EQ(on, 0);

    host::Track noCurve = scaleZ.next();
    EXPECT_FALSE(noCurve.curve());
    EXPECT_EQ(noCurve.value(doc, host::Time{1, 1}, 30), 0.0);

    host::Track noKeys = noCurve.next();
    ASSERT_TRUE(noKeys.curve());
    EXPECT_EQ(noKeys.curve().keyCount(), 0);
    EXPECT_EQ(noKeys.value(doc, host::Time{1, 1}, 30), 0.0);

    host::Track odd = noKeys.next();
    EXPECT_EQ(odd.descDepth(), 1);
    EXPECT_EQ(odd.descId(1), 0);
    ASSERT_TRUE(odd.curve().keyTime(0, t));
    EXPECT_EQ(t.den, 0) << "a zero denominator is kept (it reads as 0 s)";
    EXPECT_FALSE(odd.next());
}

TEST_F(HostFixture, EvaluationAppliesTracksAtTheDocumentTime)
{
    host::Document doc = load(kAnimated);
    Object a = doc.firstObject();
    host::Vec3 v{};
    // Loaded at 0.5 s.
    ASSERT_TRUE(a.vector(C4D_REL_POS, v));
    EXPECT_TRUE(near(v, {5, 7, 7})) << "x animated; y (no curve) and z (no keys) keep their value: " << str(v);
    ASSERT_TRUE(a.vector(C4D_REL_ROT, v));
    EXPECT_TRUE(near(v, {0, 3, 0}));
    ASSERT_TRUE(a.vector(C4D_REL_SCALE, v));
    EXPECT_TRUE(near(v, {1, 1, 1})) << "a track that is off does not animate";

    ASSERT_TRUE(doc.setTime(host::ids::DOCUMENT_TIME, host::Time{30, 30}));
    ASSERT_TRUE(a.vector(C4D_REL_POS, v));
    EXPECT_EQ(v.x, 5.0) << "setting the time alone evaluates nothing";
    ASSERT_TRUE(doc.executePasses());
    host::Matrix m{};
    ASSERT_TRUE(a.ml(m));
    EXPECT_TRUE(near(m.off, {10, 7, 7})) << str(m.off);
}

// ---- file names and the save dialog ----

TEST_F(HostFixture, FilenamePartsAndSuffix)
{
    host::Filename f;
    EXPECT_FALSE(f.content());
    f.setDirectory("%USERDATA%");
    f.setFile("untitled");
    f.setSuffix("qrf");
    bool ok = false;
    EXPECT_EQ(f.utf8(ok), "%USERDATA%/untitled.qrf");
    EXPECT_TRUE(ok);
    EXPECT_TRUE(f.content());
    f.setSuffix("txt");
    EXPECT_EQ(f.utf8(ok), "%USERDATA%/untitled.txt") << "a new suffix replaces the old one";
    f.setDirectory("/a/b/");
    EXPECT_EQ(f.utf8(ok), "/a/b/untitled.txt");
}

TEST_F(HostFixture, SaveDialogAnswersTheConfiguredPathWithTheForcedSuffix)
{
    struct Case {
        bool cancel;
        std::string configured;
        bool answered;
        std::string chosen;
    };
    const Case cases[] = {
        {false, "/tmp/out", true, "/tmp/out.qrf"},
        {false, "/tmp/out.qrf", true, "/tmp/out.qrf"},
        {false, "/tmp/out.txt", true, "/tmp/out.txt"},
        {false, "/tmp/dir.d/out", true, "/tmp/dir.d/out.qrf"},
        {false, "out.", true, "out..qrf"},
        {false, "", false, ""},
        {true, "/tmp/out.qrf", false, ""},
    };
    for (const Case& c : cases) {
        sim::setSaveDialog({c.cancel, c.configured});
        host::Filename f;
        f.setDirectory("%USERDATA%");
        f.setFile("untitled");
        f.setSuffix("qrf");
        EXPECT_EQ(f.select(0, 1, "Export to .qrf", "qrf"), c.answered) << c.configured;
        bool ok = false;
        const std::string name = f.utf8(ok);
        EXPECT_EQ(name, c.answered ? c.chosen : "%USERDATA%/untitled.qrf") << c.configured;
    }
    const sim::SaveDialogRequest& r = sim::lastSaveDialogRequest();
    EXPECT_EQ(r.calls, 7);
    EXPECT_EQ(r.title, "Export to .qrf");
    EXPECT_EQ(r.forceSuffix, "qrf");
    EXPECT_EQ(r.flags, 1);
    EXPECT_EQ(r.suggested, "%USERDATA%/untitled.qrf");
}

// ---- commands, icons, messages ----

class TestCommand : public host::CommandData {
public:
    enum Mode { Answer, ThrowStd, ThrowOther };
    explicit TestCommand(Mode m) : mode(m) {}
    bool Execute(host::Document doc) override
    {
        seen = doc;
        if (mode == ThrowStd)
            throw std::runtime_error("could not open file: \"/nope/x.qrf\"");
        if (mode == ThrowOther)
            throw 42;
        return false;
    }
    Mode mode;
    host::Document seen;
};

TEST_F(HostFixture, CommandsAlwaysAnswerTrueAndReportExceptions)
{
    host::Document doc = load("{}");
    TestCommand answer(TestCommand::Answer), throwsStd(TestCommand::ThrowStd), throwsOther(TestCommand::ThrowOther);
    ASSERT_TRUE(host::registerCommand(1, "Answer", 0, nullptr, "help", &answer));
    ASSERT_TRUE(host::registerCommand(2, "Std", 0, nullptr, "", &throwsStd));
    ASSERT_TRUE(host::registerCommand(3, "Other", 0, nullptr, "", &throwsOther));
    EXPECT_FALSE(host::registerCommand(3, "Again", 0, nullptr, "", &answer)) << "IDs are unique";
    EXPECT_FALSE(host::registerCommand(4, "Null", 0, nullptr, "", nullptr));

    const auto& commands = sim::registeredCommands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].name, "Answer");
    EXPECT_EQ(commands[0].help, "help");
    for (const auto& c : commands)
        EXPECT_EQ(c.command.execute(c.command.self, doc.handle()), 1) << c.name;
    EXPECT_EQ(answer.seen, doc);
    ASSERT_EQ(sim::messages().size(), 2u);
    EXPECT_EQ(sim::messages()[0], "could not open file: \"/nope/x.qrf\"");
    EXPECT_FALSE(sim::messages()[1].empty());
}

// Writes a small RGBA PNG.
bool writePng(const std::string& path, int w, int h)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(w);
    image.height = static_cast<png_uint_32>(h);
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(static_cast<size_t>(w * h * 4), 200);
    return png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr) != 0;
}

TEST_F(HostFixture, IconsAreDecodedFromTheResourceFolder)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("c4dsim_icons_" + std::to_string(getpid()));
    fs::create_directories(dir / "res");
    ASSERT_TRUE(writePng((dir / "res" / "ok.png").string(), 2, 3));
    ASSERT_TRUE(writePng((dir / "outside.png").string(), 1, 1));
    std::ofstream(dir / "res" / "bad.png") << "not a png";
    {
        std::string full;
        std::ifstream in(dir / "res" / "ok.png", std::ios::binary);
        full.assign(std::istreambuf_iterator<char>(in), {});
        std::ofstream(dir / "res" / "cut.png", std::ios::binary) << full.substr(0, full.size() / 2);
    }
    sim::setPluginFolder(dir.string());

    c4d_bitmap* ok = host::autoBitmap("ok.png");
    ASSERT_NE(ok, nullptr);
    int32_t w = 0, h = 0;
    EXPECT_TRUE(sim::bitmapSize(ok, w, h));
    EXPECT_EQ(w, 2);
    EXPECT_EQ(h, 3);
    EXPECT_EQ(host::autoBitmap("bad.png"), nullptr);
    EXPECT_EQ(host::autoBitmap("cut.png"), nullptr) << "a truncated file is not an icon";
    EXPECT_EQ(host::autoBitmap("../outside.png"), nullptr) << "only files inside res/";
    EXPECT_EQ(host::autoBitmap((dir / "outside.png").string()), nullptr);
    EXPECT_EQ(host::autoBitmap(""), nullptr);

    TestCommand a(TestCommand::Answer), b(TestCommand::Answer);
    EXPECT_TRUE(host::registerCommand(10, "With", 0, host::autoBitmap("ok.png"), "", &a));
    EXPECT_TRUE(host::registerCommand(11, "Without", 0, host::autoBitmap("missing.png"), "", &b));
    const auto& commands = sim::registeredCommands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_TRUE(commands[0].iconLoaded);
    EXPECT_EQ(commands[0].iconFile, "ok.png");
    EXPECT_FALSE(commands[1].iconLoaded) << "a command without its icon is registered all the same";
    EXPECT_EQ(commands[1].iconFile, "missing.png");
    fs::remove_all(dir);
}

TEST_F(HostFixture, MessagesAreRecorded)
{
    host::messageDialog("first");
    host::messageDialog("");
    ASSERT_EQ(sim::messages().size(), 2u);
    EXPECT_EQ(sim::messages()[0], "first");
    sim::clearHostState();
    EXPECT_TRUE(sim::messages().empty());
}

} // namespace
