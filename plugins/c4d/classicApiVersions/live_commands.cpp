// The Render and Update commands, which send the document to a running renderer. Until
// the connection flows are in place both commands do nothing and answer true, as every
// command does.
#include "commands.h"

bool TavrinCinema4DRender::Execute(host::Document)
{
    return true;
}

bool TavrinCinema4DUpdate::Execute(host::Document)
{
    return true;
}
