// The stand-in's files in its output folder, kept to a bound: the last `keep` streams keep
// their files (the received stream, its picture, its quick picture and the held scene
// written after it); those of older streams are removed as newer ones arrive. Only this
// renderer's own files are touched (received-<pid>-<n>.*, held-<pid>-<n>.qrf).
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace standin::limits {

inline constexpr int kDefaultKeepReceived = 20;

class ReceivedFiles {
public:
    ReceivedFiles(std::string folder, int64_t pid, int keep) : folder_(std::move(folder)), pid_(pid), keep_(keep) {}

    // Stream `number` has files now; removes those of the streams that fall out.
    void add(int number);
    // Whether stream `number`'s files are still kept (a picture finished late for a stream
    // that fell out is removed at once).
    bool kept(int number) const;
    void remove(int number) const;

    std::string received(int number) const; // received-<pid>-<n>.qrf
    std::string picture(int number) const;  // received-<pid>-<n>.png

private:
    std::string folder_;
    int64_t pid_;
    int keep_;
    std::deque<int> numbers_; // oldest first
};

} // namespace standin::limits
