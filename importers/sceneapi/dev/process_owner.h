// The user a running process belongs to, so that the renderer link never hands a document
// to a renderer that another user started on a shared machine.
#pragma once

#include <cstdint>

struct ProcessOwner {
    bool known = false; // false: no such process here, or its owner cannot be learnt
    uint32_t uid = 0;
};

// The owner (user id) of process `pid` on this machine. Linux: the owner of /proc/<pid>;
// macOS: the process's effective user from the kernel's process table.
ProcessOwner processOwner(int64_t pid);

// True when process `pid` is known to run here under another user than this process's
// effective one (root included).
bool ownedByAnotherUser(int64_t pid, uint32_t* owner = nullptr);
