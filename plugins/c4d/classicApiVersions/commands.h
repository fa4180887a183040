// The three menu commands of the plug-in. Each command object holds the one shared
// translation context; the plug-in makes one object of each at start and keeps it for the
// life of the process. Execute runs the command's whole flow on the host's command thread
// and always answers true: a command reports its own failures to the user and never lets
// an exception reach the host.
#pragma once

#include "c4d_host.h"

#include <cstdint>
#include <string>

class CommandRun;
class RepeatLinkFactory;
struct TranslationContext;

namespace command_ids {
constexpr int32_t Render = 1033591;
constexpr int32_t Update = 1034393;
constexpr int32_t Export = 1034420;
constexpr int32_t Live = 1034421;
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

// Shows a failed command's reason to the user and notes it in the context's report.
void failCommand(TranslationContext& context, const std::string& command, const std::string& reason);

// Shows a failed command's reason to the user (the host's message dialog).
void showCommandFailure(const std::string& command, const std::string& reason);

// What Render, Update and the Live session share: writes the run's document through the
// configured factory, releases the connection and notes the renderer in the report.
// Returns the reason when nothing (or not all) could be sent, else "". Never throws.
std::string sendDocument(CommandRun& run, RepeatLinkFactory& factory);

// The Export flow after the dialog: writes the run's document to the scene file at path
// with the export's import options. Failures of the file (open or close) and exceptions
// from the translation are shown with host::messageDialog; a scene cut short by an
// exception is given up, so an existing file at path stays as it was. The context's scene
// is null afterwards in every case. Answers false when the file could not be written
// completely. The run's report names the file and, when it was written, its size.
bool exportDocumentTo(CommandRun& run, const std::string& path);
// The same in a run of its own, reported as an "export".
bool exportDocumentTo(TranslationContext& context, host::Document doc, const std::string& path);
