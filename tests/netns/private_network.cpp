// Runs a test program in a network namespace of its own, with only the loopback interface,
// brought up: nothing outside the test can answer on the renderer ports it opens, and what
// it sends reaches nobody else. Making a namespace needs root; elsewhere the program runs on
// the machine's network as it would without this launcher, and one line says so.
//
//     private_network PROGRAM [ARGUMENT...]
//
// The program sees TAVRIN_PRIVATE_NETWORK=1 when it got a namespace of its own. The exit
// status is the program's; 127 when it cannot be started.
#include <sched.h>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const kProgram = "private_network";

// Sets the loopback interface of the current namespace up; false with errno set.
bool loopbackUp()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
    }
    const int saved = errno;
    ::close(s);
    errno = saved;
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "%s: usage: %s PROGRAM [ARGUMENT...]\n", kProgram, kProgram);
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "%s: not root: the test runs on the machine's network\n", kProgram);
    } else if (::unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "%s: no network namespace (%s): the test runs on the machine's network\n",
                     kProgram, std::strerror(errno));
    } else if (!loopbackUp()) {
        // A namespace without a working loopback would fail every test that opens a port.
        std::fprintf(stderr, "%s: cannot bring the loopback interface up: %s\n", kProgram, std::strerror(errno));
        return 127;
    } else {
        ::setenv("TAVRIN_PRIVATE_NETWORK", "1", 1);
    }
    ::execvp(argv[1], argv + 1);
    std::fprintf(stderr, "%s: cannot run %s: %s\n", kProgram, argv[1], std::strerror(errno));
    return 127;
}
