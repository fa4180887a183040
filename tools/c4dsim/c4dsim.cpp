// c4dsim: a stand-in for Cinema 4D. It loads a document from JSON or from any 3D model file
// that assimp reads (docs/model-import.md), loads the plug-in module with dlopen, delivers
// the host's life-cycle messages to c4d_main, and runs one of the registered commands on the
// document (or lists the commands).
//
// Exit statuses (shared with the other tools, see tool_cli.h): 0 the command did what it was
// asked (or the list was printed); 1 the command reported a failure to the user, or the
// document or the report could not be saved; 2 bad command line; 3 the document or model
// cannot be read; 4 the plug-in cannot be loaded or refused to start; 5 the plug-in
// registered no command with the requested ID; 6 with --strict, the command left something
// out.
#include "document_file.h"
#include "files/output_file.h"
#include "import_report.h"
#include "interrupt_cleanup.h"
#include "live_run.h"
#include "sim_host.h"
#include "sim_json_write.h"
#include "tool_cli.h"

#include <nlohmann/json.hpp>

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr int32_t kRenderId = 1033591;
constexpr int32_t kUpdateId = 1034393;
constexpr int32_t kExportId = 1034420;
constexpr int32_t kLiveId = 1034421;

using C4dMain = int (*)(int, void*, void*, void*);

// The plug-in module c4dsim loads by default: the one of its build tree
// (<build>/bin/c4dsim -> <build>/plugins/TavrinCinema4D/TavrinCinema4DPlugin.so) when it
// exists, else the installed one (<prefix>/bin/c4dsim -> the installed plug-ins folder).
std::string defaultPluginPath()
{
    const fs::path module = fs::path("TavrinCinema4D") / "TavrinCinema4DPlugin.so";
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return (".." / fs::path("plugins") / module).string();
    const fs::path built = (self.parent_path() / ".." / "plugins" / module).lexically_normal();
    const fs::path installed = (self.parent_path() / TAVRIN_INSTALLED_PLUGINS_DIR / module).lexically_normal();
    return (fs::exists(built, ec) || !fs::exists(installed, ec) ? built : installed).string();
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

// A file replaced under one of its names: the others keep what it held.
void noteOtherNames(const std::string& path, unsigned long long others)
{
    if (others > 0)
        std::fprintf(stderr, "c4dsim: %s had %llu other name%s (hard link%s), which keep%s the previous content\n",
                     path.c_str(), others, others == 1 ? "" : "s", others == 1 ? "" : "s", others == 1 ? "s" : "");
}

// The exit status a command's report calls for, and the report written to reportPath
// (unless empty). A command that handed over no report counts as done.
// The model import's notes join the report.
int reportOutcome(const std::string& reportPath, bool strict, const std::vector<modelimport::ImportNote>& notes,
                  const std::string& model)
{
    const std::string& text = sim::commandReport();
    if (text.empty()) {
        if (!reportPath.empty())
            std::fprintf(stderr, "c4dsim: the plug-in gave no report; %s not written\n", reportPath.c_str());
        return 0;
    }
    nlohmann::ordered_json report = nlohmann::ordered_json::parse(text, nullptr, false);
    if (report.is_discarded() || !report.is_object()) {
        std::fprintf(stderr, "c4dsim: the plug-in's report is not valid JSON\n");
        return tool::kExitFailure;
    }
    modelimport::addToReport(report, notes, model);
    if (!reportPath.empty()) {
        // Written as Export writes its scene: complete or not at all, never into a FIFO or
        // a device, keeping the mode and owner of the file it replaces.
        std::string why; // "PATH: reason"
        unsigned long long others = 0;
        if (!tavrin::files::writeOutputFile(reportPath, report.dump(2) + '\n', &why, &others)) {
            std::fprintf(stderr, "c4dsim: cannot write the report to %s\n", why.c_str());
            return tool::kExitFailure;
        }
        noteOtherNames(reportPath, others);
    }
    if (report.value("status", "") == "failed")
        return tool::kExitFailure;
    if (strict && report.value("left_out_total", uint64_t{0}) > 0)
        return tool::kExitIncomplete;
    return 0;
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
    tool::setUp(app, "c4dsim",
                {{tool::kExitFailure, "the command reported a failure (file not opened or closed, no renderer "
                                      "reached, stream lost), or --save-document or --report could not write"},
                 {tool::kExitInput, "the document cannot be read (the system's reason, FILE:LINE:COLUMN "
                                    "for a JSON syntax error, the JSON path of a wrong value, or the "
                                    "model importer's reason)"},
                 {tool::kExitPlugin, "the plug-in cannot be loaded or refused to start"},
                 {tool::kExitNoCommand, "the plug-in registered no command with the requested ID"},
                 {tool::kExitIncomplete, "with --strict: the command left something out"}});
    app.footer(app.get_footer() + "Document format: docs/document-format.md; model files: docs/model-import.md; "
                                  "report format: docs/report.md\n");

    std::string documentPath;
    std::string exportPath;
    std::string pluginPath = defaultPluginPath();
    bool cancel = false;
    bool render = false;
    bool update = false;
    bool list = false;
    std::string reportPath;
    bool strict = false;
    bool progressLine = false;
    bool quiet = false;

    app.add_option("document", documentPath,
                   "The document to run the command on: JSON (.json, or - for standard input) or any 3D "
                   "model file assimp reads");
    std::string saveDocumentPath;
    modelimport::LoadOptions loadOptions;
    auto* saveOpt = app.add_option("--save-document", saveDocumentPath,
                                   "Write the loaded document as JSON to OUT.json (no command needed)")
                        ->type_name("OUT.json");
    app.add_option("--textures", loadOptions.textureCache,
                   "Folder for the textures embedded in a model (default: c4dsim-textures in the user's "
                   "cache folder)")
        ->type_name("DIR");
    app.add_option("--model-root", loadOptions.modelRoot,
                   "Folder below which a model may read the files it names (buffers, material libraries, "
                   "textures); default: the model's own folder")
        ->type_name("DIR");
    auto* exportOpt = app.add_option("--export", exportPath,
                                     "Run Export (ID 1034420); the save dialog answers OUT (a name "
                                     "without suffix gets .qrf; - writes to standard output)")
                          ->expected(0, 1)
                          ->type_name("OUT");
    app.add_flag("--cancel", cancel, "With --export: the save dialog is cancelled");
    auto* renderOpt = app.add_flag("--render", render, "Run Render (ID 1033591)");
    auto* updateOpt = app.add_flag("--update", update, "Run Update (ID 1034393)");
    auto* listOpt = app.add_flag("--list", list, "List the registered commands: ID, name, help, icon");
    bool live = false;
    c4dsim::LiveRun liveRun;
    auto* liveOpt = app.add_flag("--live", live,
                                 "Run Live (ID 1034421): apply each --steps version as one edit, or without "
                                 "--steps watch the document and apply each saved version (Ctrl-C ends); "
                                 "one line per update; --report holds the list of updates");
    auto* stepsOpt = app.add_option("--steps", liveRun.steps, "With --live: the versions of the document to apply in turn")
                         ->type_name("STEP.json ...");
    auto* paceOpt = app.add_option("--pace", liveRun.paceMs,
                                   "With --live --steps: apply a step every MS milliseconds instead of waiting "
                                   "for each update to be taken in")
                        ->type_name("MS")
                        ->check(CLI::Range(1, 600000));
    auto* closeOpt = app.add_flag("--then-close", liveRun.closeAfter,
                                  "With --live --steps: after the steps, close the document");
    auto* switchOpt = app.add_option("--then-switch", liveRun.switchTo,
                                     "With --live --steps: after the steps, open DOC and bring it to the front")
                          ->type_name("DOC");
    app.add_option("--report", reportPath, "Write the command's report (JSON) to FILE")->type_name("FILE");
    app.add_flag("--strict", strict, "Exit 6 when the command left anything out");
    app.add_flag("--progress", progressLine,
                 "Draw the status bar as a progress line even when standard error is no terminal");
    app.add_option("--plugin", pluginPath, "The plug-in module to load")
        ->capture_default_str();
    app.add_flag("-q,--quiet", quiet, "Print no informational lines: the command's report goes only to --report "
                 "(errors and the plug-in's messages stay)");
    exportOpt->excludes(renderOpt)->excludes(updateOpt)->excludes(listOpt);
    renderOpt->excludes(updateOpt)->excludes(listOpt);
    updateOpt->excludes(listOpt);
    liveOpt->excludes(exportOpt)->excludes(renderOpt)->excludes(updateOpt)->excludes(listOpt);
    stepsOpt->needs(liveOpt);
    paceOpt->needs(stepsOpt);
    closeOpt->needs(stepsOpt)->excludes(switchOpt);
    switchOpt->needs(stepsOpt);

    if (const auto status = tool::parse(app, argc, argv))
        return *status;

    const bool doExport = exportOpt->count() > 0;
    const bool saveOnly = saveOpt->count() > 0 && !doExport && !render && !update && !list && !live;
    if (!doExport && !render && !update && !list && !live && !saveOnly) {
        std::fprintf(stderr, "c4dsim: give one of --export, --render, --update, --live or --list (see --help)\n");
        return tool::kExitUsage;
    }
    if (cancel && !doExport) {
        std::fprintf(stderr, "c4dsim: --cancel only goes with --export\n");
        return tool::kExitUsage;
    }
    if (doExport && !cancel && exportPath.empty()) {
        std::fprintf(stderr, "c4dsim: --export needs the output file (or --cancel)\n");
        return tool::kExitUsage;
    }
    if (doExport && !cancel && exportPath != "-") {
        // A folder would otherwise become "DIR.qrf" beside it, and a report written over
        // the scene would replace it: both are mistakes of the command line.
        std::error_code ec;
        if (fs::is_directory(exportPath, ec)) {
            std::fprintf(stderr, "c4dsim: --export names the folder \"%s\"; give a file name\n", exportPath.c_str());
            return tool::kExitUsage;
        }
        if (!reportPath.empty() && (tool::samePath(reportPath, exportPath) ||
                                    tool::samePath(reportPath, exportPath + ".qrf"))) {
            std::fprintf(stderr, "c4dsim: --report names the scene file \"%s\"; give another file\n",
                         reportPath.c_str());
            return tool::kExitUsage;
        }
    }
    // No output may replace an input or another output of the same run.
    {
        struct Output {
            const char* option;
            std::string path;
        };
        std::vector<Output> outputs;
        if (doExport && !cancel && exportPath != "-") {
            outputs.push_back({"--export", exportPath});
            outputs.push_back({"--export", exportPath + ".qrf"});
        }
        if (!saveDocumentPath.empty())
            outputs.push_back({"--save-document", saveDocumentPath});
        if (!reportPath.empty())
            outputs.push_back({"--report", reportPath});
        for (size_t i = 0; i < outputs.size(); ++i) {
            if (!documentPath.empty() && documentPath != "-" && tool::samePath(outputs[i].path, documentPath)) {
                std::fprintf(stderr, "c4dsim: %s names the input document \"%s\"; give another file\n",
                             outputs[i].option, documentPath.c_str());
                return tool::kExitUsage;
            }
            for (size_t j = i + 1; j < outputs.size(); ++j) {
                if (std::strcmp(outputs[i].option, outputs[j].option) != 0 &&
                    tool::samePath(outputs[i].path, outputs[j].path)) {
                    std::fprintf(stderr, "c4dsim: %s and %s name one file \"%s\"; give two files\n",
                                 outputs[i].option, outputs[j].option, outputs[j].path.c_str());
                    return tool::kExitUsage;
                }
            }
        }
    }
    if ((!list || saveOpt->count() > 0) && documentPath.empty()) {
        std::fprintf(stderr, "c4dsim: a document is needed to run a command\n");
        return tool::kExitUsage;
    }

    std::unique_ptr<sim::Document> document;
    std::vector<modelimport::ImportNote> importNotes;
    if (!documentPath.empty()) {
        modelimport::LoadedDocument loaded = modelimport::loadDocumentFile(documentPath, loadOptions);
        if (!loaded.document) {
            std::fprintf(stderr, "c4dsim: %s\n", loaded.error.c_str());
            return tool::kExitInput;
        }
        for (const std::string& line : loaded.summary)
            if (!quiet)
                std::fprintf(stderr, "c4dsim: %s: %s\n", documentPath.c_str(), line.c_str());
        document = std::move(loaded.document);
        importNotes = std::move(loaded.notes);
        // From here on an interrupt leaves no temporary file behind (the model import's
        // child, if any, has ended).
        c4dsim::removeTemporariesOnInterrupt(doExport && !cancel ? exportPath : std::string());
        std::string error;
        if (saveOpt->count() > 0 && !sim::saveDocument(*document, saveDocumentPath, error)) {
            std::fprintf(stderr, "c4dsim: %s\n", error.c_str());
            return tool::kExitFailure;
        }
        if (saveOnly)
            return 0;
    }

    LoadedPlugin plugin;
    std::string error;
    if (!loadPlugin(pluginPath, plugin, error)) {
        std::fprintf(stderr, "c4dsim: %s\n", error.c_str());
        return tool::kExitPlugin;
    }

    sim::clearHostState();
    sim::setPluginFolder(fs::path(pluginPath).parent_path().string());
    sim::SaveDialog dialog;
    dialog.cancel = cancel;
    dialog.path = exportPath;
    sim::setSaveDialog(dialog);
    sim::setProgressLineForced(progressLine);
    sim::setConsoleQuiet(quiet);

    const c4d_host_table* table = sim::hostTable();
    const int init = plugin.main(1, const_cast<c4d_host_table*>(table),
                                 const_cast<char*>(pluginPath.c_str()), nullptr);
    if (init != 1) {
        std::fprintf(stderr, "c4dsim: the plug-in refused to initialise (answer %d)\n", init);
        return tool::kExitPlugin;
    }
    plugin.main(2, nullptr, nullptr, nullptr);

    int status = 0;
    if (live) {
        const sim::RegisteredCommand* command = findCommand(kLiveId);
        if (!command) {
            std::fprintf(stderr, "c4dsim: the plug-in registered no command %d\n", kLiveId);
            status = tool::kExitNoCommand;
        } else {
            liveRun.document = documentPath;
            liveRun.reportPath = reportPath;
            status = c4dsim::runLive(liveRun, *document, *command);
        }
    } else if (list) {
        for (const auto& c : sim::registeredCommands())
            std::printf("%d\t%s\t%s\ticon %s: %s\n", c.id, c.name.c_str(), c.help.c_str(),
                        c.iconFile.empty() ? "(none)" : c.iconFile.c_str(),
                        c.iconLoaded ? "loaded" : "missing");
    } else {
        const int32_t id = doExport ? kExportId : render ? kRenderId : kUpdateId;
        const sim::RegisteredCommand* command = findCommand(id);
        if (!command) {
            std::fprintf(stderr, "c4dsim: the plug-in registered no command %d\n", id);
            status = tool::kExitNoCommand;
        } else {
            const int answer = command->command.execute(command->command.self, sim::handle(document.get()));
            if (!quiet)
                std::fprintf(stderr, "c4dsim: %s ran (answer %d)\n", command->name.c_str(), answer);
            status = reportOutcome(reportPath, strict, importNotes, fs::path(documentPath).filename().string());
        }
    }

    plugin.main(3, nullptr, nullptr, nullptr);
    // The module stays loaded: the host keeps the plug-in's commands until the process ends.
    return status;
}
