// A claim on an empty renderer instance: the one command of this user that will send its
// scene there. Two commands that start at the same moment (two hosts, or a host and a
// script) both see the same empty renderer until one of them has sent a scene; the claim
// lets only one of them take it, and the other launches a renderer of its own.
//
// A claim is an exclusive flock on "renderer-<pid>.claim" in the user's private cache
// folder. The lock goes with the process should it end, and the file is removed by the
// holder when it lets go. Where no private folder can be had, nothing can be claimed and
// every instance counts as free, as it would without claims.
#pragma once

#include <cstdint>
#include <string>

class InstanceClaim {
public:
    enum class Outcome {
        Claimed,         // this object now holds the claim
        HeldByAnother,   // another command holds it
        Unavailable,     // claims cannot be made here (no private folder, no locks)
    };

    InstanceClaim() = default;
    ~InstanceClaim();
    InstanceClaim(InstanceClaim&& other) noexcept;
    InstanceClaim& operator=(InstanceClaim&& other) noexcept;
    InstanceClaim(const InstanceClaim&) = delete;
    InstanceClaim& operator=(const InstanceClaim&) = delete;

    // Tries to claim the renderer with process id `pid`, without waiting.
    static Outcome take(int64_t pid, InstanceClaim& claim);

    bool held() const { return fd_ >= 0; }
    // The claimed renderer's process id; 0 when nothing is held.
    int64_t pid() const { return fd_ >= 0 ? pid_ : 0; }
    // Removes the claim file and lets go of the lock.
    void release();

private:
    int fd_ = -1;
    int64_t pid_ = 0;
    std::string path_;
};
