// The three menu commands of the plug-in. Each command object holds the one shared
// translation context; the plug-in makes one object of each at start and keeps it for the
// life of the process. Execute runs the command's whole flow on the host's command thread
// and always answers true: a command reports its own failures to the user and never lets
// an exception reach the host.
#pragma once

#include "c4d_host.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class CountingSceneApi;
struct TranslationContext;
namespace orv {
class LightFactory;
class orvSceneapi_oo;
class DefaultRTModule;
} // namespace orv

namespace command_ids {
constexpr int32_t Render = 1033591;
constexpr int32_t Update = 1034393;
constexpr int32_t Export = 1034420;
} // namespace command_ids

// Finds a renderer instance with an empty scene (or starts one) and sends the document.
class TavrinCinema4DRender : public host::CommandData {
public:
    explicit TavrinCinema4DRender(TranslationContext* context) : context(context) {}
    bool Execute(host::Document doc) override;

private:
    TranslationContext* context;
};

// Sends the document again to the renderer instance that already holds its scene.
class TavrinCinema4DUpdate : public host::CommandData {
public:
    explicit TavrinCinema4DUpdate(TranslationContext* context) : context(context) {}
    bool Execute(host::Document doc) override;

private:
    TranslationContext* context;
};

// Writes the document into a scene file chosen in the host's save dialog.
class TavrinCinema4DExport : public host::CommandData {
public:
    explicit TavrinCinema4DExport(TranslationContext* context) : context(context) {}
    bool Execute(host::Document doc) override;

private:
    TranslationContext* context;
};

// The translation context shared by all commands, created when the plug-in starts (null
// before). Defined by the plug-in's entry file.
TranslationContext* sharedTranslationContext();

// The wrapper of one command run. Makes an orvSceneapi_oo on the factory (which writes the
// start of the scene when the factory has a back end) and stores it in context.scene; at
// the end of the scope, also when the flow leaves by an exception, deletes it and sets
// context.scene back to null. The factory must outlive this object. What the translation
// writes after the start passes through a counter into the context's report.
class CommandScene {
public:
    CommandScene(TranslationContext& context, orv::LightFactory& factory);
    ~CommandScene();
    CommandScene(const CommandScene&) = delete;
    CommandScene& operator=(const CommandScene&) = delete;

    orv::orvSceneapi_oo& wrapper() { return *scene; }
    // True when the factory gave a back end, so that the scene may be written.
    bool hasBackEnd() const;

private:
    TranslationContext& context;
    orv::orvSceneapi_oo* scene;
    std::unique_ptr<CountingSceneApi> counter;
};

// Starts the context's report of a command on a document and ends it: the time taken is
// noted and the report published (console, log, host) when the scope ends, whatever way
// the command leaves.
class CommandReport {
public:
    CommandReport(TranslationContext& context, const std::string& command, host::Document doc);
    ~CommandReport();
    CommandReport(const CommandReport&) = delete;
    CommandReport& operator=(const CommandReport&) = delete;

private:
    TranslationContext& context;
    std::chrono::steady_clock::time_point start;
};

// Shows a failed command's reason to the user and notes it in the context's report.
void failCommand(TranslationContext& context, const std::string& command, const std::string& reason);

// The import options every command writes. Camera and environment are adjusted only
// when the receiving side does not hold the scene yet (always, for a file).
void setImportOptions(orv::DefaultRTModule& options, bool adjustCameraAndEnvironment);

// Shows a failed command's reason to the user (the host's message dialog).
void showCommandFailure(const std::string& command, const std::string& reason);

// The Export flow after the dialog: writes the document to the scene file at path with the
// export's import options. Failures of the file (open or close) and exceptions from the
// translation are shown with host::messageDialog; a scene cut short by an exception is
// given up, so an existing file at path stays as it was. The context's scene is null
// afterwards in every case. Answers false when the file could not be written completely.
// The run's report names the file and, when it was written, its size.
bool exportDocumentTo(TranslationContext& context, host::Document doc, const std::string& path);
