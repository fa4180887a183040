// The plug-in's entry point. The host calls c4d_main with its life-cycle messages; at
// start the plug-in creates the one translation context that every command shares and
// registers the Render, Update, Export and Live commands. Nothing is torn down at the end: the
// context and the commands live until the process ends.
#include "TranslationContext.h"
#include "c4d_host.h"
#include "commands.h"
#include "live/live_command.h"

#include <cstdint>
#include <iterator>
#include <string>

namespace {

// Oldest host interface the plug-in works with.
constexpr int32_t kMinimumHostVersion = 16000;

// Answers of c4d_main.
constexpr int kAnswerOk = 1;
constexpr int kAnswerRefused = -3;
constexpr int kAnswerUnknown = -1;
constexpr int kAnswerMessage4 = 5;

// Initialisation messages not yet balanced by an end message.
int g_initCount = 0;
// Where the host loaded the plug-in from; empty when not initialised.
std::string g_pluginPath;
// The one translation context, shared by all commands; never freed.
TranslationContext* g_context = nullptr;

struct CommandEntry {
    int32_t id;
    const char* name;
    const char* icon;
    const char* help;
};

constexpr CommandEntry kCommands[] = {
    {command_ids::Render, "Render", "render.png", "Render in Tavrin"},
    {command_ids::Update, "Update", "update.png", "Update Tavrin scene"},
    {command_ids::Export, "Export", "export.png", "Export to .qrf"},
    {command_ids::Live, "Tavrin Live", "live.png", "Keep Tavrin in step with the document"},
};

// The command objects, in table order. The host calls them until the process ends but
// has no way to destroy them (the host table knows no destructor), so they are kept here
// and, like the context, never freed; a second start registers the same objects again.
host::CommandData* g_commands[std::size(kCommands)] = {};

host::CommandData* makeCommand(int32_t id, TranslationContext* context)
{
    switch (id) {
    case command_ids::Render:
        return new TavrinCinema4DRender(context);
    case command_ids::Update:
        return new TavrinCinema4DUpdate(context);
    case command_ids::Live:
        return new TavrinCinema4DLive(context);
    default:
        return new TavrinCinema4DExport(context);
    }
}

// Takes the host's table from the first initialisation message. A table older than the
// plug-in needs, one smaller than the functions the plug-in cannot do without, or a call
// without a plug-in path is refused. The console and status bar entries at the end of the
// table are optional: a table that ends before them is taken.
int initialise(const c4d_host_table* table, const char* path)
{
    if (++g_initCount != 1)
        return kAnswerOk;
    if (table == nullptr || table->version < kMinimumHostVersion ||
        table->size < C4D_HOST_TABLE_BASE_SIZE || path == nullptr || *path == '\0')
        return kAnswerRefused;
    host::bind(table);
    g_pluginPath = path;
    return kAnswerOk;
}

// A Live session still running when the host quits ends here: its renderer link lets go.
void onPluginEnd()
{
    try {
        if (auto* live = static_cast<TavrinCinema4DLive*>(g_commands[std::size(kCommands) - 1]))
            live->session().stop();
    } catch (...) {
        // Nothing leaves the plug-in's end.
    }
}

void end()
{
    if (g_initCount == 0)
        return;
    if (--g_initCount != 0)
        return;
    onPluginEnd();
    host::unbind();
    g_pluginPath.clear();
}

// Creates the shared context and the three commands (once per process) and registers the
// commands. A registration the host refuses is not reported: start-up succeeds all the
// same. Without a host table (initialisation refused) there is nobody to register with.
bool onPluginStart()
{
    if (g_context == nullptr)
        g_context = new TranslationContext();
    if (host::table() == nullptr)
        return true;
    for (size_t i = 0; i < std::size(kCommands); ++i) {
        const CommandEntry& entry = kCommands[i];
        if (g_commands[i] == nullptr)
            g_commands[i] = makeCommand(entry.id, g_context);
        c4d_bitmap* icon = host::autoBitmap(entry.icon, 1.0);
        host::registerCommand(entry.id, entry.name, 0, icon, entry.help, g_commands[i]);
    }
    // Live shows checked while it runs, and its session hears the host's change messages;
    // a host without them gets the command all the same, which then says why it cannot run.
    static_assert(kCommands[std::size(kCommands) - 1].id == command_ids::Live, "Live is the last command");
    auto* live = static_cast<TavrinCinema4DLive*>(g_commands[std::size(kCommands) - 1]);
    host::registerCommandState(command_ids::Live, live);
    if (host::hasChangeMessages())
        host::registerMessageHandler(command_ids::Live, &live->session());
    return true;
}

// Plug-in messages 0 and 1 are acknowledged; the plug-in handles no other.
bool onPluginMessage(int32_t id, void* /*data*/)
{
    return static_cast<uint32_t>(id) < 2u;
}

} // namespace

TranslationContext* sharedTranslationContext() { return g_context; }

extern "C" __attribute__((visibility("default"))) int c4d_main(int action, void* p1, void* p2,
                                                               void* /*p3*/)
{
    try {
        switch (action) {
        case C4DPL_INIT_SYS:
            return initialise(static_cast<const c4d_host_table*>(p1),
                              static_cast<const char*>(p2));
        case C4DPL_START:
            return onPluginStart() ? kAnswerOk : kAnswerUnknown;
        case C4DPL_END:
            end();
            return kAnswerOk;
        case C4DPL_MESSAGE_4:
            return kAnswerMessage4;
        case C4DPL_MESSAGE:
            return onPluginMessage(static_cast<int32_t>(reinterpret_cast<intptr_t>(p1)), p2)
                       ? kAnswerOk
                       : kAnswerUnknown;
        default:
            return kAnswerUnknown;
        }
    } catch (...) {
        // Out of memory while starting, say: the host must never see an exception.
        return kAnswerUnknown;
    }
}
