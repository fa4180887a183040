// The simulated host's session with the plug-in and the user: memory, command
// registration and icons, the message dialog, the console and the status bar, the command
// report, strings, file names and the save dialog, and the state behind them that
// c4dsim and the tests read and set.
#include "sim_host.h"
#include "sim_internal.h"
#include "text/utf8.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

// ---- host-side state ----

struct SimFilename {
    std::string path;
};

struct SimBitmap {
    std::string file;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> rgba;
};

struct HostState {
    SaveDialog dialog;
    SaveDialogRequest request;
    std::vector<RegisteredCommand> commands;
    // Commands dropped by clearHostState: the host keeps every command it was given for the
    // life of the process, so the plug-in's command objects stay reachable.
    std::vector<RegisteredCommand> retired;
    std::vector<std::string> messages;
    std::vector<std::string> consoleLines;
    std::string report;
    std::vector<std::string> reports; // every report handed over since clearHostState
    bool progressForced = false;
    int stderrTerminal = -1; // whether standard error is a terminal: -1 until first asked
    bool consoleQuiet = false; // console lines are kept but not printed
    int progressDrawn = 0;
    size_t progressWidth = 0; // length of the progress line on screen; 0 when none is shown
    std::string pluginFolder;
    std::string pendingIcon; // the last icon asked for since the last registration
    std::vector<std::unique_ptr<SimBitmap>> bitmaps;
    // Message handlers and command state callbacks, kept for the life of the process.
    std::vector<c4d_message_handler> handlers;
    struct StateHook {
        int32_t id;
        void* self;
        int32_t (*state)(void*, c4d_base*);
    };
    std::vector<StateHook> stateHooks;
    Document* active = nullptr;
};

HostState& state()
{
    static HostState s;
    return s;
}

std::string folderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
bool hasSuffix(const std::string& path)
{
    const std::string leaf = leafOf(path);
    const size_t dot = leaf.find_last_of('.');
    return dot != std::string::npos && dot > 0 && dot + 1 < leaf.size();
}


// ---- memory, registration, user interface ----

void hFreeMem(void* p) { std::free(p); }

c4d_bitmap* hLoadIcon(const char* file, double /*pixelRatio*/)
{
    HostState& s = state();
    s.pendingIcon = file ? file : "";
    if (!file || !*file || s.pluginFolder.empty())
        return nullptr;
    const std::string name(file);
    // Only files inside the resource folder: no absolute paths, no way up.
    if (name.front() == '/' || name == ".." || name.find("../") != std::string::npos ||
        name.find("/..") != std::string::npos)
        return nullptr;
    auto bitmap = std::make_unique<SimBitmap>();
    bitmap->file = name;
    if (!decodePng(s.pluginFolder + "/res/" + name, bitmap->width, bitmap->height, bitmap->rgba))
        return nullptr;
    s.bitmaps.push_back(std::move(bitmap));
    return reinterpret_cast<c4d_bitmap*>(s.bitmaps.back().get());
}

const SimBitmap* findBitmap(const c4d_bitmap* b)
{
    if (!b)
        return nullptr;
    for (auto& p : state().bitmaps)
        if (reinterpret_cast<const c4d_bitmap*>(p.get()) == b)
            return p.get();
    return nullptr;
}

int hRegisterCommand(int32_t id, const char* name, int32_t /*info*/, c4d_bitmap* icon,
                     const char* help, c4d_command command)
{
    HostState& s = state();
    const std::string pending = s.pendingIcon;
    s.pendingIcon.clear();
    if (!command.execute)
        return 0;
    for (auto& c : s.commands)
        if (c.id == id)
            return 0; // IDs are unique in the host
    RegisteredCommand rc;
    rc.id = id;
    rc.name = name ? name : "";
    rc.help = help ? help : "";
    const SimBitmap* bitmap = findBitmap(icon);
    rc.iconFile = bitmap ? bitmap->file : pending;
    rc.iconLoaded = bitmap != nullptr;
    rc.command = command;
    s.commands.push_back(std::move(rc));
    return 1;
}

void eraseProgressLine();

void hMessageDialog(const char* utf8)
{
    const std::string text = utf8 ? utf8 : "";
    eraseProgressLine();
    state().messages.push_back(text);
    std::fprintf(stderr, "%s\n", text.c_str());
}

// ---- console and status bar ----

// Removes the progress line from the screen, so that other text starts on a clean line.
void eraseProgressLine()
{
    HostState& s = state();
    if (s.progressWidth == 0)
        return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(s.progressWidth), "");
    s.progressWidth = 0;
}

void hConsoleLine(const char* utf8)
{
    const std::string text = utf8 ? utf8 : "";
    eraseProgressLine();
    state().consoleLines.push_back(text);
    if (!state().consoleQuiet)
        std::fprintf(stderr, "%s\n", text.c_str());
}

void hStatusBar(double fraction, const char* utf8)
{
    HostState& s = state();
    // Asked once: the walk reports its progress per object, and this is no place for a
    // system call each time.
    if (s.stderrTerminal < 0)
        s.stderrTerminal = isatty(fileno(stderr)) == 1 ? 1 : 0;
    if (!s.progressForced && (s.consoleQuiet || s.stderrTerminal == 0))
        return;
    if (!(fraction >= 0.0))
        fraction = 0.0;
    if (fraction > 1.0)
        fraction = 1.0;
    // The text is cut to keep the line within a narrow terminal, at a character boundary.
    std::string text = utf8 ? utf8 : "";
    constexpr size_t kMaxText = 60;
    text.resize(tavrin::text::utf8CutLength(text, kMaxText));
    char line[96];
    const int n = std::snprintf(line, sizeof line, "%3d%% %s", static_cast<int>(fraction * 100.0), text.c_str());
    const size_t width = n > 0 ? std::min(static_cast<size_t>(n), sizeof line - 1) : 0;
    // Spaces cover what is left of a longer line drawn before.
    const int pad = s.progressWidth > width ? static_cast<int>(s.progressWidth - width) : 0;
    std::fprintf(stderr, "\r%s%*s", line, pad, "");
    std::fflush(stderr);
    s.progressWidth = width + static_cast<size_t>(pad);
    ++s.progressDrawn;
}

void hStatusClear() { eraseProgressLine(); }

void hCommandReport(const char* json)
{
    state().report = json ? json : "";
    state().reports.push_back(state().report);
}

// ---- change messages and command state ----

int hRegisterMessageHandler(int32_t /*id*/, c4d_message_handler handler)
{
    if (!handler.message)
        return 0;
    state().handlers.push_back(handler);
    return 1;
}

c4d_base* hActiveDocument() { return handle(state().active); }

int hRegisterCommandState(int32_t id, void* self, int32_t (*hook)(void*, c4d_base*))
{
    if (!hook)
        return 0;
    state().stateHooks.push_back({id, self, hook});
    return 1;
}

// ---- strings and file names ----

c4d_string* hStringNew(const char* utf8)
{
    return reinterpret_cast<c4d_string*>(new std::string(utf8 ? utf8 : ""));
}

void hStringFree(c4d_string* s) { delete reinterpret_cast<std::string*>(s); }

char* hStringCopy(const c4d_string* s, int32_t encoding)
{
    if (!s || encoding != C4D_STRINGENCODING_UTF8)
        return nullptr;
    return copyText(*reinterpret_cast<const std::string*>(s));
}

SimFilename* fn(const c4d_filename* f) { return reinterpret_cast<SimFilename*>(const_cast<c4d_filename*>(f)); }

c4d_filename* hFilenameNew() { return reinterpret_cast<c4d_filename*>(new SimFilename); }
void hFilenameFree(c4d_filename* f) { delete fn(f); }

void hFilenameSetDirectory(c4d_filename* f, const char* utf8)
{
    if (!f)
        return;
    std::string dir = utf8 ? utf8 : "";
    const std::string leaf = leafOf(fn(f)->path);
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    fn(f)->path = dir + leaf;
}

void hFilenameSetFile(c4d_filename* f, const char* utf8)
{
    if (!f)
        return;
    const std::string folder = folderOf(fn(f)->path);
    const std::string file = utf8 ? utf8 : "";
    fn(f)->path = folder.empty() && fn(f)->path.find('/') == std::string::npos ? file : folder + "/" + file;
}

void hFilenameSetSuffix(c4d_filename* f, const char* utf8)
{
    if (!f)
        return;
    std::string& path = fn(f)->path;
    const size_t slash = path.find_last_of('/');
    const size_t leafStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.find_last_of('.');
    if (dot != std::string::npos && dot > leafStart)
        path.erase(dot);
    const std::string suffix = utf8 ? utf8 : "";
    if (!suffix.empty())
        path += "." + suffix;
}

int hFilenameContent(const c4d_filename* f) { return f && !fn(f)->path.empty() ? 1 : 0; }

c4d_string* hFilenameGetString(const c4d_filename* f)
{
    return f ? hStringNew(fn(f)->path.c_str()) : nullptr;
}

int hFilenameSelect(c4d_filename* f, int32_t type, int32_t flags, const char* title,
                    const char* forceSuffix)
{
    if (!f)
        return 0;
    HostState& s = state();
    s.request.calls++;
    s.request.type = type;
    s.request.flags = flags;
    s.request.title = title ? title : "";
    s.request.forceSuffix = forceSuffix ? forceSuffix : "";
    s.request.suggested = fn(f)->path;
    if (s.dialog.cancel || s.dialog.path.empty())
        return 0;
    std::string chosen = s.dialog.path;
    // "-" (standard output) is a stream, not a file name to complete; nor is a name that
    // exists as a link or as something else than a regular file (/dev/stdout, a device, a
    // FIFO): completing it would make a new file beside it instead of the one named.
    struct stat existing {};
    const bool special = ::lstat(chosen.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode);
    if (!s.request.forceSuffix.empty() && !hasSuffix(chosen) && chosen != "-" && !special)
        chosen += "." + s.request.forceSuffix;
    fn(f)->path = chosen;
    return 1;
}

} // namespace

// A host-allocated copy of a text; null for an empty one.
char* copyText(const std::string& s)
{
    if (s.empty())
        return nullptr;
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p)
        std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

std::string leafOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
void fillSessionFunctions(c4d_host_table& t)
{
    t.free_mem = hFreeMem;
    t.load_icon = hLoadIcon;
    t.register_command = hRegisterCommand;
    t.message_dialog = hMessageDialog;
    t.string_new = hStringNew;
    t.string_free = hStringFree;
    t.string_copy_cstring = hStringCopy;
    t.filename_new = hFilenameNew;
    t.filename_free = hFilenameFree;
    t.filename_set_directory = hFilenameSetDirectory;
    t.filename_set_file = hFilenameSetFile;
    t.filename_set_suffix = hFilenameSetSuffix;
    t.filename_content = hFilenameContent;
    t.filename_get_string = hFilenameGetString;
    t.filename_select = hFilenameSelect;
    t.console_line = hConsoleLine;
    t.status_bar = hStatusBar;
    t.status_clear = hStatusClear;
    t.command_report = hCommandReport;
    t.register_message_handler = hRegisterMessageHandler;
    t.active_document = hActiveDocument;
    t.register_command_state = hRegisterCommandState;
}

void setActiveDocument(Document* doc) { state().active = doc; }

int32_t deliverMessage(int32_t id, Document* doc)
{
    int32_t interval = 0;
    // By index: a handler may register another while it runs.
    for (size_t i = 0; i < state().handlers.size(); ++i) {
        const c4d_message_handler h = state().handlers[i];
        h.message(h.self, id, handle(doc));
        const int32_t asked = h.timer_interval ? h.timer_interval(h.self) : 0;
        if (asked > 0 && (interval == 0 || asked < interval))
            interval = asked;
    }
    return interval;
}

int32_t commandState(int32_t id, Document* doc)
{
    for (const auto& hook : state().stateHooks)
        if (hook.id == id)
            return hook.state(hook.self, handle(doc));
    return -1;
}

void setSaveDialog(const SaveDialog& answer) { state().dialog = answer; }
const SaveDialogRequest& lastSaveDialogRequest() { return state().request; }
const std::vector<RegisteredCommand>& registeredCommands() { return state().commands; }
void setPluginFolder(const std::string& folder) { state().pluginFolder = folder; }

bool bitmapSize(const c4d_bitmap* bitmap, int32_t& width, int32_t& height)
{
    const SimBitmap* b = findBitmap(bitmap);
    if (!b)
        return false;
    width = b->width;
    height = b->height;
    return true;
}

const std::vector<std::string>& messages() { return state().messages; }
const std::vector<std::string>& consoleLines() { return state().consoleLines; }
const std::string& commandReport() { return state().report; }
const std::vector<std::string>& commandReports() { return state().reports; }
void setProgressLineForced(bool forced) { state().progressForced = forced; }
void setConsoleQuiet(bool quiet) { state().consoleQuiet = quiet; }
int progressLinesDrawn() { return state().progressDrawn; }

void clearHostState()
{
    HostState& s = state();
    s.dialog = SaveDialog{};
    s.request = SaveDialogRequest{};
    s.retired.insert(s.retired.end(), s.commands.begin(), s.commands.end());
    s.commands.clear();
    s.messages.clear();
    s.consoleLines.clear();
    s.report.clear();
    s.reports.clear();
    s.progressForced = false;
    s.stderrTerminal = -1;
    s.consoleQuiet = false;
    s.progressDrawn = 0;
    s.progressWidth = 0;
    s.pluginFolder.clear();
    s.pendingIcon.clear();
    // The plug-in's handlers are never freed, so forgetting them is safe; a new start
    // registers them again.
    s.handlers.clear();
    s.stateHooks.clear();
    s.active = nullptr;
    clearHairLocks();
    // Bitmaps stay: the host owns icons for the life of the process.
}

} // namespace sim
