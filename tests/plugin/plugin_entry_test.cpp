// The plug-in entry point and the Export command, driven through c4d_main and the
// commands it registers with the simulated host, as the host would drive them.
#include "SceneReader.h"
#include "TranslationContext.h"
#include "commands.h"
#include "orvSceneapi_oo.h"
#include "plugin_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" int c4d_main(int action, void* p1, void* p2, void* p3);

using namespace plugintest;
namespace fs = std::filesystem;

namespace {

int send(int action, const void* p1 = nullptr, const void* p2 = nullptr)
{
    return c4d_main(action, const_cast<void*>(p1), const_cast<void*>(p2), nullptr);
}
int pluginMessage(intptr_t id) { return send(C4DPL_MESSAGE, reinterpret_cast<void*>(id)); }

const char* kPluginPath = "/opt/c4d/plugins/TavrinCinema4D/TavrinCinema4DPlugin.so";

// A started plug-in whose commands are registered with a fresh simulated host.
class PluginRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::clearHostState();
        sim::setPluginFolder(TAVRIN_PLUGIN_SOURCE_DIR);
        ASSERT_EQ(send(C4DPL_INIT_SYS, sim::hostTable(), kPluginPath), 1);
        ASSERT_EQ(send(C4DPL_START), 1);
        ASSERT_EQ(sim::registeredCommands().size(), 4u);
        folder = fs::path(::testing::TempDir()) /
                 ("plugin_entry_" + std::string(::testing::UnitTest::GetInstance()
                                                    ->current_test_info()
                                                    ->name()));
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override
    {
        EXPECT_EQ(send(C4DPL_END), 1);
        fs::remove_all(folder);
    }

    // Runs the Export command with the dialog answering path (or cancelled).
    int exportTo(sim::Document& doc, const std::string& path, bool cancel = false)
    {
        sim::finalize(doc);
        sim::setSaveDialog({cancel, path});
        const c4d_command& command = sim::registeredCommands()[2].command;
        return command.execute(command.self, sim::handle(&doc));
    }
    TranslationContext& context() { return *sharedTranslationContext(); }

    fs::path folder;
};

} // namespace

TEST(PluginEntry, AnswersLifeCycleAndPluginMessages)
{
    EXPECT_EQ(send(C4DPL_MESSAGE_4), 5);
    EXPECT_EQ(send(5), -1);
    EXPECT_EQ(send(99), -1);
    EXPECT_EQ(pluginMessage(0), 1);
    EXPECT_EQ(pluginMessage(1), 1);
    EXPECT_EQ(pluginMessage(2), -1);
    EXPECT_EQ(pluginMessage(-1), -1);
    EXPECT_EQ(pluginMessage(1034420), -1);
}

TEST(PluginEntry, RefusesOldHostsIncompleteTablesAndCallsWithoutPath)
{
    c4d_host_table old = *sim::hostTable();
    old.version = 15999;
    c4d_host_table small = *sim::hostTable();
    small.size = sizeof(c4d_host_table) / 2;
    struct Case {
        const c4d_host_table* table;
        const char* path;
    } cases[] = {{&old, kPluginPath}, {&small, kPluginPath}, {nullptr, kPluginPath},
                 {sim::hostTable(), nullptr}, {sim::hostTable(), ""}};
    for (const Case& c : cases) {
        host::unbind();
        EXPECT_EQ(send(C4DPL_INIT_SYS, c.table, c.path), -3);
        EXPECT_EQ(host::table(), nullptr);
        EXPECT_EQ(send(C4DPL_END), 1);
    }
    old.version = 16000;
    EXPECT_EQ(send(C4DPL_INIT_SYS, &old, kPluginPath), 1);
    EXPECT_EQ(host::table(), &old);
    EXPECT_EQ(send(C4DPL_END), 1);
}

TEST(PluginEntry, OnlyTheFirstInitialisationActsAndTheLastEndReleasesTheHost)
{
    c4d_host_table other = *sim::hostTable();
    EXPECT_EQ(send(C4DPL_INIT_SYS, sim::hostTable(), kPluginPath), 1);
    EXPECT_EQ(send(C4DPL_INIT_SYS, &other, kPluginPath), 1);
    EXPECT_EQ(host::table(), sim::hostTable());
    EXPECT_EQ(send(C4DPL_END), 1);
    EXPECT_EQ(host::table(), sim::hostTable());
    EXPECT_EQ(send(C4DPL_END), 1);
    EXPECT_EQ(host::table(), nullptr);
    EXPECT_EQ(send(C4DPL_END), 1); // unbalanced end: nothing to release
    EXPECT_EQ(send(C4DPL_INIT_SYS, sim::hostTable(), kPluginPath), 1);
    EXPECT_EQ(host::table(), sim::hostTable());
    EXPECT_EQ(send(C4DPL_END), 1);
}

TEST_F(PluginRun, StartRegistersRenderUpdateExportWithIcons)
{
    struct Expected {
        int32_t id;
        const char* name;
        const char* help;
        const char* icon;
    } expected[] = {{1033591, "Render", "Render in Tavrin", "render.png"},
                    {1034393, "Update", "Update Tavrin scene", "update.png"},
                    {1034420, "Export", "Export to .qrf", "export.png"},
                    {1034421, "Tavrin Live", "Keep Tavrin in step with the document", "live.png"}};
    const auto& registered = sim::registeredCommands();
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(registered[i].id, expected[i].id);
        EXPECT_EQ(registered[i].name, expected[i].name);
        EXPECT_EQ(registered[i].help, expected[i].help);
        EXPECT_EQ(registered[i].iconFile, expected[i].icon);
        EXPECT_TRUE(registered[i].iconLoaded) << expected[i].icon;
    }
    // Live answers its menu state: enabled, and not checked before it runs.
    EXPECT_EQ(sim::commandState(1034421, nullptr), C4D_CMD_ENABLED);
}

TEST_F(PluginRun, CancelledDialogWritesNothingAndKeepsTheContext)
{
    sim::Document doc;
    context().updateMode = true;
    EXPECT_EQ(exportTo(doc, (folder / "never.qrf").string(), true), 1);
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_TRUE(context().updateMode);
    EXPECT_TRUE(sim::messages().empty());
}

TEST_F(PluginRun, UnopenableFileIsShownToTheUserAndTheCommandStillAnswersTrue)
{
    sim::Document doc;
    object(doc, 5140, "A");
    EXPECT_EQ(exportTo(doc, "/no/such/dir/x.qrf"), 1);
    ASSERT_EQ(sim::messages().size(), 1u);
    EXPECT_NE(sim::messages()[0].find("could not open file: \"/no/such/dir/x.qrf\""),
              std::string::npos)
        << sim::messages()[0];
    EXPECT_EQ(context().scene, nullptr);
    EXPECT_FALSE(context().updateMode);
}

TEST_F(PluginRun, ExportWritesHeaderOptionsAndMirroredSceneGroup)
{
    sim::Document doc;
    doc.docName = "scene.final.c4d";
    sim::Object& cube = object(doc, 5140, "Cube");
    cube.pos = {1, 2, 3};
    context().updateMode = true;
    EXPECT_EQ(exportTo(doc, (folder / "out").string()), 1); // the dialog adds "qrf"
    EXPECT_TRUE(sim::messages().empty());
    EXPECT_EQ(context().scene, nullptr);
    EXPECT_FALSE(context().updateMode);

    const std::string text = readFile((folder / "out.qrf").string());
    const sim::Matrix m = sim::localMatrix(cube);
    char cubeTransform[256];
    std::snprintf(cubeTransform, sizeof cubeTransform,
                  "transform %g %g %g 0 %g %g %g 0 %g %g %g 0 %g %g %g 1\n", float(m.v1.x),
                  float(m.v1.y), float(m.v1.z), float(m.v2.x), float(m.v2.y), float(m.v2.z),
                  float(m.v3.x), float(m.v3.y), float(m.v3.z), float(m.off.x), float(m.off.y),
                  float(m.off.z));
    const std::string expected = "//---orvane:dal:7---\n"
                                 "//---import:dal:1---\n"
                                 "//---id:1---\n"
                                 "// This is a Tavrin scene file\n\n"
                                 "#print \"" + orv::orvSceneapi_oo::banner() + "\"\n"
                                 "version 9\n\n"
                                 "load \"orvrtopt.so\" {\n"
                                 "\"import_mode\" on,\n"
                                 "\"import_merge_groups\" off,\n"
                                 "\"import_merge_objects\" off,\n"
                                 "\"import_up_vector\" 1,\n"
                                 "\"meter_scale\" 100,\n"
                                 "\"import_keep_original\" on,\n"
                                 "\"import_center_geometry\" off,\n"
                                 "\"import_snap_to_ground\" off,\n"
                                 "\"import_adjust_camera\" on,\n"
                                 "\"import_adjust_environment\" on,\n"
                                 "\"ext\" off,\n"
                                 "}\n"
                                 "\ngroup \"scene.final\" {\n"
                                 "transform 1 0 0 0 0 1 0 0 0 0 -1 0 0 0 0 1\n"
                                 "attribute \"source file\" \"source file\"\n"
                                 "progress \"Cube\" 0.000\n\n"
                                 "\ngroup \"Cube\" {\n"
                                 "flags 1\n" +
                                 std::string(cubeTransform) +
                                 "}\n"
                                 "progress \"Cube\" 1.000\n\n"
                                 "}\n";
    EXPECT_EQ(text, expected);

    orv::qrf::Document parsed;
    orv::qrf::ParseError error;
    EXPECT_TRUE(orv::qrf::parse(text, parsed, error)) << error.offset << ": " << error.message;
}

TEST_F(PluginRun, FailedCloseIsShownToTheUser)
{
    sim::Document doc;
    sim::finalize(doc);
    // The file size limit makes the buffered scene fail when it is flushed at close, as a
    // full disk would.
    const fs::path out = folder / "full.qrf";
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, 16};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const bool exported = exportDocumentTo(context(), host::Document(sim::handle(&doc)), out.string());
        const bool told = sim::messages().size() == 1 &&
                          sim::messages()[0].find("could not close file") != std::string::npos;
        ::_exit(!exported && told && context().scene == nullptr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(fs::exists(out));

    // A device is no file to export into: refused before anything is written.
    EXPECT_FALSE(exportDocumentTo(context(), host::Document(sim::handle(&doc)), "/dev/full"));
    ASSERT_EQ(sim::messages().size(), 1u);
    EXPECT_NE(sim::messages()[0].find("\"/dev/full\": a character device, not a regular file"), std::string::npos)
        << sim::messages()[0];
    EXPECT_EQ(context().scene, nullptr);
}

TEST_F(PluginRun, SceneCutShortByAnExceptionKeepsThePreviousFile)
{
    const fs::path out = folder / "keep.qrf";
    if (FILE* f = std::fopen(out.c_str(), "wb")) {
        std::fputs("previous", f);
        std::fclose(f);
    }
    sim::Document doc;
    doc.time = {3, 1};
    object(doc, 5140, "A");
    sim::finalize(doc);
    c4d_host_table failing = *sim::hostTable();
    failing.base_name = [](const c4d_base*) -> char* { throw std::runtime_error("host failed"); };
    host::bind(&failing);
    const double before = doc.time.num;
    EXPECT_FALSE(exportDocumentTo(context(), host::Document(sim::handle(&doc)), out.string()));
    host::bind(sim::hostTable());
    ASSERT_EQ(sim::messages().size(), 1u);
    EXPECT_NE(sim::messages()[0].find("host failed"), std::string::npos);
    EXPECT_EQ(readFile(out.string()), "previous");
    EXPECT_EQ(context().scene, nullptr);
    EXPECT_EQ(doc.time.num, before); // the time is restored
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}
