// What c4dsim, as the host, removes when it is stopped by SIGTERM, SIGINT or SIGHUP: the
// temporary files of its own outputs (the report, the saved document) and the one the
// plug-in's Export writes beside its target. The plug-in installs no handler of its own;
// the host cleans up after it, as it would after any half-written file of its own. The
// signal then takes its default course, so the exit status still tells what stopped it.
#pragma once

#include <string>

namespace c4dsim {

// Installs the handlers. exportTarget is the scene file Export will write (empty: none).
void removeTemporariesOnInterrupt(const std::string& exportTarget);

} // namespace c4dsim
