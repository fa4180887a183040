// The simulated Cinema 4D host: a c4d_host_table answered from the in-memory document
// model of sim_document.h, the JSON document loader, and the host-side state a test or
// c4dsim needs to drive a plug-in (save dialog answer, messages shown, registered
// commands).
#pragma once

#include "sim_document.h"

#include <memory>
#include <string>
#include <vector>

namespace sim {

// The table handed to the plug-in. Valid for the life of the process.
const c4d_host_table* hostTable();

// Handle conversions: every model element is handed out as its own address.
c4d_base* handle(Element* e);
Element* element(c4d_base* h);

// Prepares a built document for use: sets parent links and unique keys, and evaluates
// it at its current time. Call after building or changing a document by hand.
void finalize(Document& doc);

// Applies the tracks at the document's current time (linear interpolation between keys,
// held before the first and after the last key) to the animated vectors.
void evaluate(Document& doc);

// Local and global matrices of an object as the host derives them from position,
// rotation (with rotation order) and scale.
Matrix localMatrix(const Object& o);
Matrix globalMatrix(const Object& o);

// Reads a document from a JSON file, or from standard input for "-" (format in
// docs/document-format.md). On failure returns null and sets error to one line: the
// system's reason when the file cannot be read, "FILE:LINE:COLUMN: what" for a JSON
// syntax error, "FILE: JSON.PATH: what" when a value is wrong.
std::unique_ptr<Document> loadDocument(const std::string& path, std::string& error);
// The same for a text in memory; `folder` stands for the document file's folder, and
// messages start with `name` as they do with FILE above (no prefix when it is empty).
std::unique_ptr<Document> parseDocument(const std::string& jsonText, const std::string& folder,
                                        std::string& error, const std::string& name = {});

// Host-side state that tests and c4dsim set and inspect.
struct SaveDialog {
    bool cancel = false;
    std::string path; // answered when not cancelled; a name without suffix gets the forced one,
                      // except "-", which stands for standard output
};
void setSaveDialog(const SaveDialog& answer);

// What the plug-in last asked of the save dialog.
struct SaveDialogRequest {
    int calls = 0;           // dialogs shown since clearHostState
    int32_t type = 0;
    int32_t flags = 0;
    std::string title;
    std::string forceSuffix;
    std::string suggested;   // the file name the plug-in set before showing the dialog
};
const SaveDialogRequest& lastSaveDialogRequest();

struct RegisteredCommand {
    int32_t id = 0;
    std::string name;
    std::string help;
    std::string iconFile;   // the file the plug-in asked for, "" when none
    bool iconLoaded = false;
    c4d_command command{};
};
const std::vector<RegisteredCommand>& registeredCommands();
// Folder whose "res" subfolder holds the plug-in's icons (set by c4dsim from the plug-in path).
void setPluginFolder(const std::string& folder);
// Pixel size of a bitmap answered by load_icon; false for null.
bool bitmapSize(const c4d_bitmap* bitmap, int32_t& width, int32_t& height);

// Texts the plug-in showed with message_dialog (also printed on standard error).
const std::vector<std::string>& messages();
// Lines the plug-in wrote to the console (also printed on standard error).
const std::vector<std::string>& consoleLines();
// The report the plug-in handed over for its last command (JSON text); "" when none.
const std::string& commandReport();
// Every report handed over since clearHostState, in order (a live session hands one per update).
const std::vector<std::string>& commandReports();
// The status bar is drawn on standard error as one progress line that is rewritten in
// place: when standard error is a terminal, or always when forced.
void setProgressLineForced(bool forced);
// Console lines are still kept (consoleLines) but not printed.
void setConsoleQuiet(bool quiet);
// Status bar updates drawn since clearHostState.
int progressLinesDrawn();
void clearHostState();

// The active document the host answers (null: none open).
void setActiveDocument(Document* doc);
// Delivers a message (C4D_MSG_*) to every registered handler, as the host's main loop does,
// and answers the shortest timer interval they then ask for (0: none asks).
int32_t deliverMessage(int32_t id, Document* doc);
// The menu state (C4D_CMD_* mask) the command registered under id answers for doc; -1 when
// it registered no state callback.
int32_t commandState(int32_t id, Document* doc);

} // namespace sim
