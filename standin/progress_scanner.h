// Picks the progress records ("progress <name> <fraction>") out of a scene stream while it
// arrives, chunk by chunk, so the renderer can show a progress bar before the whole scene
// is in. Binary list runs are skipped by their tag and count (they may hold any byte) and
// quoted names are read whole, so neither is mistaken for a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace standin {

class ProgressScanner {
public:
    using Report = std::function<void(const std::string& message, float fraction)>;
    explicit ProgressScanner(Report report) : report_(std::move(report)) {}

    void feed(const char* data, size_t size);

private:
    void step(char c);
    void endLine();
    void text(char c);

    enum class State { Text, Quoted, BinaryHead, BinaryBody };
    Report report_;
    State state_ = State::Text;
    std::string line_;          // the current line (text outside binary runs), capped
    bool lineTooLong_ = false;
    char head_[8] = {};         // tag and count of a binary run
    size_t headSize_ = 0;
    uint64_t skip_ = 0;         // bytes of a binary run still to skip
};

// Reads one progress record line (without its line feed). False when the line is not one.
bool parseProgressLine(const std::string& line, std::string& message, float& fraction);

} // namespace standin
