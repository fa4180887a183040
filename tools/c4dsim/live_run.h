// c4dsim's live session: turns the plug-in's Live command on, applies each new version of the
// document as one edit of the open document (sim_edit.h), delivers the change message and
// the timer ticks the plug-in asks for, as the host's main loop does, and turns Live off.
#pragma once

#include "sim_host.h"

#include <string>
#include <vector>

namespace c4dsim {

struct LiveRun {
    std::string document;            // the document file (watched when steps is empty)
    std::vector<std::string> steps;  // versions applied in turn
    int paceMs = 0;                  // > 0: a step every paceMs, whether the update went out or not
    std::string reportPath;          // the list of updates as JSON, when given
    // After the steps: the document closes (closeAfter), or the document switchTo opens and
    // takes its place in front; the host tells the plug-in as it would.
    bool closeAfter = false;
    std::string switchTo;
};

// Runs the session on the loaded document with the registered Live command. Returns the exit
// status: 0 when Live ran to the end (or the plug-in ended it on closing or switching), 1 when
// it failed (or the report could not be written), 3 when a step or the document switched to
// cannot be read.
int runLive(const LiveRun& run, sim::Document& document, const sim::RegisteredCommand& live);

} // namespace c4dsim
