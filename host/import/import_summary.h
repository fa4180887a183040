// The import's summary: what a model import left out, changed or did not find, with the
// reason each note carries into the command's report.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace modelimport {

// What an import left out, changed or did not find, one line per kind of thing, in the
// order first met ("not carried over: bones and skins of meshes (3)"). Each note has a reason
// key for the command's report (docs/report.md); notes without one are only printed (texture
// files that are not found are reported by the plug-in itself, which looks for them).
struct ImportNote {
    std::string reason; // report reason, "" for a printed line only
    std::string line;   // "not carried over: bones and skins of meshes"
    size_t count = 0;
};

// The summary's printed line of one note, with its count when above one.
std::string summaryLine(const ImportNote& note);

class Summary {
public:
    void add(const std::string& reason, const std::string& thing, size_t count = 1)
    {
        note(reason, "not carried over", thing, count);
    }
    void changed(const std::string& reason, const std::string& thing, size_t count = 1)
    {
        note(reason, "changed", thing, count);
    }
    void missing(const std::string& reason, const std::string& thing, size_t count = 1)
    {
        note(reason, "not found", thing, count);
    }
    std::vector<std::string> lines() const;
    const std::vector<ImportNote>& notes() const { return things_; }
    bool empty() const { return things_.empty(); }

private:
    void note(const std::string& reason, const char* kind, const std::string& thing, size_t count);
    std::vector<ImportNote> things_;
};

} // namespace modelimport
