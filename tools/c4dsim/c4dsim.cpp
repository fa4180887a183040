// c4dsim: a stand-in for Cinema 4D. It loads a document from JSON or from any 3D model file
// that assimp reads (docs/model-import.md), loads the plug-in module with dlopen, delivers
// the host's life-cycle messages to c4d_main, and runs one of the registered commands on the
// document (or lists the commands).
//
// Exit codes: 0 the command ran (or the list was printed); 1 bad command line; 2 the
// document cannot be loaded; 3 the plug-in cannot be loaded or refused to start; 4 the
// plug-in registered no command with the requested ID.
#include "document_file.h"
#include "sim_host.h"
#include "sim_json_write.h"

#include <CLI/CLI.hpp>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr int kExitUsage = 1;
constexpr int kExitDocument = 2;
constexpr int kExitPlugin = 3;
constexpr int kExitCommand = 4;
constexpr int kExitFailure = 1; // the document could not be saved

constexpr int32_t kRenderId = 1033591;
constexpr int32_t kUpdateId = 1034393;
constexpr int32_t kExportId = 1034420;

using C4dMain = int (*)(int, void*, void*, void*);

// The plug-in module beside this executable's build tree:
// <build>/bin/c4dsim -> <build>/plugins/TavrinCinema4D/TavrinCinema4DPlugin.so
std::string defaultPluginPath()
{
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return "../plugins/TavrinCinema4D/TavrinCinema4DPlugin.so";
    return (self.parent_path() / ".." / "plugins" / "TavrinCinema4D" / "TavrinCinema4DPlugin.so")
        .lexically_normal()
        .string();
}

struct LoadedPlugin {
    void* module = nullptr;
    C4dMain main = nullptr;
};

bool loadPlugin(const std::string& path, LoadedPlugin& plugin, std::string& error)
{
    dlerror();
    // A path without a slash would make dlopen search the library path; always name a file.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    plugin.module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!plugin.module) {
        const char* why = dlerror();
        error = "cannot load plug-in \"" + path + "\": " + (why ? why : "unknown error");
        return false;
    }
    void* symbol = dlsym(plugin.module, "c4d_main");
    if (!symbol) {
        error = "plug-in \"" + path + "\" exports no c4d_main";
        return false;
    }
    plugin.main = reinterpret_cast<C4dMain>(symbol);
    return true;
}

const sim::RegisteredCommand* findCommand(int32_t id)
{
    for (const auto& c : sim::registeredCommands())
        if (c.id == id)
            return &c;
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Runs a Cinema 4D plug-in's command on a JSON document in the simulated host."};
    app.footer("Exit codes: 0 the command ran, 1 bad command line, 2 the document cannot be loaded,\n"
               "3 the plug-in cannot be loaded or refused to start, 4 the command is not registered.\n"
               "Document format: docs/document-format.md; model files: docs/model-import.md\n");

    std::string documentPath;
    std::string exportPath;
    std::string pluginPath = defaultPluginPath();
    bool cancel = false;
    bool render = false;
    bool update = false;
    bool list = false;

    app.add_option("document", documentPath,
                   "The document to run the command on: JSON (.json or -) or any 3D model file assimp reads");
    std::string saveDocumentPath;
    modelimport::LoadOptions loadOptions;
    auto* saveOpt = app.add_option("--save-document", saveDocumentPath,
                                   "Write the loaded document as JSON to OUT.json (no command needed)")
                        ->type_name("OUT.json");
    app.add_option("--textures", loadOptions.textureCache,
                   "Folder for the textures embedded in a model (default: a c4dsim-textures folder in the "
                   "system's temporary folder)")
        ->type_name("DIR");
    auto* exportOpt = app.add_option("--export", exportPath,
                                     "Run Export (ID 1034420); the save dialog answers OUT (a name "
                                     "without suffix gets .qrf)")
                          ->expected(0, 1)
                          ->type_name("OUT");
    app.add_flag("--cancel", cancel, "With --export: the save dialog is cancelled");
    auto* renderOpt = app.add_flag("--render", render, "Run Render (ID 1033591)");
    auto* updateOpt = app.add_flag("--update", update, "Run Update (ID 1034393)");
    auto* listOpt = app.add_flag("--list", list, "List the registered commands: ID, name, help, icon");
    app.add_option("--plugin", pluginPath, "The plug-in module to load")
        ->capture_default_str();
    exportOpt->excludes(renderOpt)->excludes(updateOpt)->excludes(listOpt);
    renderOpt->excludes(updateOpt)->excludes(listOpt);
    updateOpt->excludes(listOpt);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    const bool doExport = exportOpt->count() > 0;
    const bool saveOnly = saveOpt->count() > 0 && !doExport && !render && !update && !list;
    if (!doExport && !render && !update && !list && !saveOnly) {
        std::fprintf(stderr, "c4dsim: give one of --export, --render, --update or --list (see --help)\n");
        return kExitUsage;
    }
    if (cancel && !doExport) {
        std::fprintf(stderr, "c4dsim: --cancel only goes with --export\n");
        return kExitUsage;
    }
    if (doExport && !cancel && exportPath.empty()) {
        std::fprintf(stderr, "c4dsim: --export needs the output file (or --cancel)\n");
        return kExitUsage;
    }
    if ((!list || saveOpt->count() > 0) && documentPath.empty()) {
        std::fprintf(stderr, "c4dsim: a document is needed to run a command\n");
        return kExitUsage;
    }

    std::unique_ptr<sim::Document> document;
    if (!documentPath.empty()) {
        modelimport::LoadedDocument loaded = modelimport::loadDocumentFile(documentPath, loadOptions);
        if (!loaded.document) {
            std::fprintf(stderr, "c4dsim: %s\n", loaded.error.c_str());
            return kExitDocument;
        }
        for (const std::string& line : loaded.summary)
            std::fprintf(stderr, "c4dsim: %s: %s\n", documentPath.c_str(), line.c_str());
        document = std::move(loaded.document);
        std::string error;
        if (saveOpt->count() > 0 && !sim::saveDocument(*document, saveDocumentPath, error)) {
            std::fprintf(stderr, "c4dsim: %s\n", error.c_str());
            return kExitFailure;
        }
        if (saveOnly)
            return 0;
    }

    LoadedPlugin plugin;
    std::string error;
    if (!loadPlugin(pluginPath, plugin, error)) {
        std::fprintf(stderr, "c4dsim: %s\n", error.c_str());
        return kExitPlugin;
    }

    sim::clearHostState();
    sim::setPluginFolder(fs::path(pluginPath).parent_path().string());
    sim::SaveDialog dialog;
    dialog.cancel = cancel;
    dialog.path = exportPath;
    sim::setSaveDialog(dialog);

    const c4d_host_table* table = sim::hostTable();
    const int init = plugin.main(1, const_cast<c4d_host_table*>(table),
                                 const_cast<char*>(pluginPath.c_str()), nullptr);
    if (init != 1) {
        std::fprintf(stderr, "c4dsim: the plug-in refused to initialise (answer %d)\n", init);
        return kExitPlugin;
    }
    plugin.main(2, nullptr, nullptr, nullptr);

    int status = 0;
    if (list) {
        for (const auto& c : sim::registeredCommands())
            std::printf("%d\t%s\t%s\ticon %s: %s\n", c.id, c.name.c_str(), c.help.c_str(),
                        c.iconFile.empty() ? "(none)" : c.iconFile.c_str(),
                        c.iconLoaded ? "loaded" : "missing");
    } else {
        const int32_t id = doExport ? kExportId : render ? kRenderId : kUpdateId;
        const sim::RegisteredCommand* command = findCommand(id);
        if (!command) {
            std::fprintf(stderr, "c4dsim: the plug-in registered no command %d\n", id);
            status = kExitCommand;
        } else {
            const int answer = command->command.execute(command->command.self, sim::handle(document.get()));
            std::fprintf(stderr, "c4dsim: %s ran (answer %d)\n", command->name.c_str(), answer);
        }
    }

    plugin.main(3, nullptr, nullptr, nullptr);
    // The module stays loaded: the host keeps the plug-in's commands until the process ends.
    return status;
}
