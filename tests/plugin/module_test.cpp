// The built plug-in module as the host sees it: loaded with dlopen, only c4d_main visible,
// driven through the life-cycle messages with the simulated host table, exporting a scene.
#include "SceneReader.h"
#include "sim_host.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>

namespace fs = std::filesystem;

TEST(PluginModule, LoadsExportsOnlyItsEntryPointAndExportsAScene)
{
    void* module = dlopen(TAVRIN_PLUGIN_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    using Main = int (*)(int, void*, void*, void*);
    auto c4d_main = reinterpret_cast<Main>(dlsym(module, "c4d_main"));
    ASSERT_NE(c4d_main, nullptr);
    for (const char* hidden : {"_Z17translateDocumentR18TranslationContextN4host8DocumentE",
                               "_ZN4host4bindEPK14c4d_host_table", "onPluginStart"})
        EXPECT_EQ(dlsym(module, hidden), nullptr) << hidden;

    const fs::path modulePath(TAVRIN_PLUGIN_MODULE);
    sim::clearHostState();
    sim::setPluginFolder(modulePath.parent_path().string());
    const std::string path = modulePath.string();
    EXPECT_EQ(c4d_main(1, const_cast<c4d_host_table*>(sim::hostTable()),
                       const_cast<char*>(path.c_str()), nullptr),
              1);
    EXPECT_EQ(c4d_main(2, nullptr, nullptr, nullptr), 1);
    const auto& commands = sim::registeredCommands();
    ASSERT_EQ(commands.size(), 4u);
    for (const sim::RegisteredCommand& c : commands)
        EXPECT_TRUE(c.iconLoaded) << c.iconFile;

    sim::Document doc;
    doc.docName = "module.c4d";
    doc.objects.push_back(std::make_unique<sim::Object>());
    doc.objects.back()->type = 5140;
    doc.objects.back()->name = "Null";
    sim::finalize(doc);
    const fs::path out = fs::path(::testing::TempDir()) / "plugin_module_test.qrf";
    fs::remove(out);
    sim::setSaveDialog({false, out.string()});
    EXPECT_EQ(commands[2].command.execute(commands[2].command.self, sim::handle(&doc)), 1);

    orv::qrf::Document scene;
    orv::qrf::ParseError error;
    ASSERT_TRUE(orv::qrf::parseFile(out.string(), scene, error)) << error.message;
    const orv::qrf::Statement* group = scene.top.find("group", "module");
    ASSERT_NE(group, nullptr);
    EXPECT_NE(group->block->find("group", "Null"), nullptr);
    EXPECT_EQ(c4d_main(3, nullptr, nullptr, nullptr), 1);
    fs::remove(out);
    // The module stays loaded: the host owns its commands until the process ends.
}
