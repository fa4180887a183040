// The "Tavrin Live" command (see live_command.h).
#include "live_command.h"

#include "commands.h"

bool TavrinCinema4DLive::Execute(host::Document doc)
{
    try {
        if (!host::hasChangeMessages()) {
            showCommandFailure("Tavrin Live",
                               "this host sends no change messages; use Update after each edit instead");
            return true;
        }
        if (session_.active())
            session_.stop();
        else
            session_.start(doc);
    } catch (...) {
        showCommandFailure("Tavrin Live", "unknown error");
    }
    return true;
}

int32_t TavrinCinema4DLive::GetState(host::Document /*doc*/)
{
    return C4D_CMD_ENABLED | (session_.active() ? C4D_CMD_CHECKED : 0);
}
