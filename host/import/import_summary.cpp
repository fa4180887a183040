#include "import_summary.h"

namespace modelimport {

void Summary::note(const std::string& reason, const char* kind, const std::string& thing, size_t count)
{
    const std::string line = std::string(kind) + ": " + thing;
    for (ImportNote& n : things_)
        if (n.line == line && n.reason == reason) {
            n.count += count;
            return;
        }
    things_.push_back({reason, line, count});
}

std::vector<std::string> Summary::lines() const
{
    std::vector<std::string> out;
    out.reserve(things_.size());
    for (const ImportNote& n : things_)
        out.push_back(summaryLine(n));
    return out;
}

std::string summaryLine(const ImportNote& note)
{
    return note.line + (note.count > 1 ? " (" + std::to_string(note.count) + ")" : "");
}

} // namespace modelimport
