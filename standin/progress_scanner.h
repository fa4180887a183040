// Reads a scene stream while it arrives, chunk by chunk, for what the renderer wants to know
// before the whole scene is in: the progress records ("progress <name> <fraction>"), for a
// progress bar; the names of its top-level scene groups, and how many of its bytes are
// binary runs, to judge before taking it in what it would bring. Binary list runs are
// skipped by their tag and count (they may hold any byte) and quoted names are read whole,
// so neither is mistaken for a record; braces count the nesting outside names and comments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace standin {

class ProgressScanner {
public:
    using Report = std::function<void(const std::string& message, float fraction)>;
    explicit ProgressScanner(Report report) : report_(std::move(report)) {}

    void feed(const char* data, size_t size);

    uint64_t bytes() const { return bytes_; }
    uint64_t binaryBytes() const { return binaryBytes_; }
    uint64_t quotedBytes() const { return quotedBytes_; } // inside quotes: names and strings
    // The names of the top-level scene groups (definitions left out) in the order they
    // came, each as far as its line was kept (see kMaxLine), at most kMaxGroups of them;
    // groupsPassed() tells that there were more.
    static constexpr size_t kMaxGroups = 4096;
    const std::vector<std::string>& topGroups() const { return groups_; }
    bool groupsPassed() const { return groupsPassed_; }

private:
    void step(char c);
    void endLine();
    void text(char c);
    void opened();

    enum class State { Text, Quoted, BinaryHead, BinaryBody };
    Report report_;
    State state_ = State::Text;
    std::string line_;          // the current line (text outside binary runs), capped
    bool lineTooLong_ = false;
    char head_[8] = {};         // tag and count of a binary run
    size_t headSize_ = 0;
    uint64_t skip_ = 0;         // bytes of a binary run still to skip
    uint64_t bytes_ = 0, binaryBytes_ = 0, quotedBytes_ = 0;
    size_t depth_ = 0;          // blocks open
    std::vector<std::string> groups_;
    bool groupsPassed_ = false;
};

// Reads one progress record line (without its line feed). False when the line is not one.
bool parseProgressLine(const std::string& line, std::string& message, float& fraction);

} // namespace standin
