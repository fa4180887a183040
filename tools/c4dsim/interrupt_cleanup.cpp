#include "interrupt_cleanup.h"

#include "files/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>

namespace c4dsim {

namespace {

// The folder of the export target, open, and the names the plug-in's temporary file there
// starts with (".NAME.tmp-PID-", for the name as given and with the suffix the save dialog
// adds). Set up before the handlers, read only by them.
int gFolder = -1;
char gPrefixes[2][512];

struct LinuxDirent {
    unsigned long long ino;
    long long off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

void removeExportTemporary()
{
    if (gFolder < 0 || ::lseek(gFolder, 0, SEEK_SET) != 0)
        return;
    alignas(8) static char buffer[32768];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, gFolder, buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (long at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const LinuxDirent*>(buffer + at);
            for (const char* prefix : gPrefixes)
                if (prefix[0] != '\0' && std::strncmp(entry->name, prefix, std::strlen(prefix)) == 0)
                    ::unlinkat(gFolder, entry->name, 0);
            at += entry->reclen;
        }
    }
}

void onInterrupt(int signal)
{
    tavrin::files::removeOutputTemporaries();
    removeExportTemporary();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

void removeTemporariesOnInterrupt(const std::string& exportTarget)
{
    if (!exportTarget.empty() && exportTarget != "-") {
        const std::filesystem::path target(exportTarget);
        const std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
        gFolder = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const std::string pid = std::to_string(::getpid());
        const std::string name = target.filename().string();
        const std::string names[2] = {"." + name + ".tmp-" + pid + "-", "." + name + ".qrf.tmp-" + pid + "-"};
        for (int i = 0; i < 2; ++i)
            if (names[i].size() < sizeof gPrefixes[i])
                std::memcpy(gPrefixes[i], names[i].c_str(), names[i].size() + 1);
    }
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&action.sa_mask, signal);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

} // namespace c4dsim
