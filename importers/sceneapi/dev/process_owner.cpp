#include "process_owner.h"

#include <sys/types.h>
#include <unistd.h>

#include <climits>
#include <string>

#ifdef __APPLE__
#include <libproc.h>
#include <sys/proc_info.h>
#else
#include <sys/stat.h>
#endif

ProcessOwner processOwner(int64_t pid) {
    ProcessOwner owner;
    // Only a positive number that fits a process id names a process; 0 and -1 would name
    // groups of processes to some calls.
    if (pid < 1 || pid > INT_MAX) return owner;
#ifdef __APPLE__
    struct proc_bsdshortinfo info {};
    const int size = proc_pidinfo(static_cast<pid_t>(pid), PROC_PIDT_SHORTBSDINFO, 0, &info, sizeof info);
    if (size == static_cast<int>(sizeof info)) {
        owner.known = true;
        owner.uid = info.pbsi_uid;
    }
#else
    struct stat st {};
    const std::string path = "/proc/" + std::to_string(pid);
    if (::stat(path.c_str(), &st) == 0) {
        owner.known = true;
        owner.uid = st.st_uid;
    }
#endif
    return owner;
}

bool ownedByAnotherUser(int64_t pid, uint32_t* uid) {
    const ProcessOwner owner = processOwner(pid);
    if (uid) *uid = owner.uid;
    return owner.known && owner.uid != static_cast<uint32_t>(::geteuid());
}
