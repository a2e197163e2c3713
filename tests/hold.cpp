// Preloaded into the tool by the tests. PASSHASH_SCAN names, backwards (so that
// the environment holds no copy), a passphrase that must not be left anywhere
// in the process's writable memory once it ends: by exit, or by the signal
// that it raises to end itself. What is found is said on standard error.
//
// PASSHASH_HOLD names one instant to hold the tool at, once: "wait" stops it
// (as kill -STOP would) as its wait for input at the terminal ends with a key
// to read, before it reads; "tcflush" holds its first flush of the terminal
// until a key is typed.

#include <dlfcn.h>
#include <poll.h>
#include <sys/epoll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

// True at the instant that PASSHASH_HOLD names, the first time only.
bool hold_here(const char *call)
{
    static const char *which = std::getenv("PASSHASH_HOLD");
    const bool here = which != nullptr && std::strcmp(which, call) == 0;
    which = here ? nullptr : which;
    return here;
}

template <typename Call> Call next(const char *name)
{
    return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

// At exit, and before an ending signal is raised.
__attribute__((destructor)) void scan()
{
    const char *backwards = std::getenv("PASSHASH_SCAN");
    const std::size_t size = backwards == nullptr ? 0 : std::strlen(backwards);
    // Read in place: the tool is not dumpable, so its /proc/self/mem is
    // root's alone, and a copy could be found in its turn.
    FILE *maps = std::fopen("/proc/self/maps", "re");
    if (size > 0 && maps == nullptr) {
        dprintf(STDERR_FILENO, "passhash-hold: cannot look into memory\n");
    }
    // Searched for back to front, so that the search makes no copy either.
    const std::reverse_iterator word(backwards + size);
    const std::reverse_iterator word_end(backwards);
    char line[4096];
    while (size > 0 && maps != nullptr && std::fgets(line, sizeof line, maps) != nullptr) {
        char *at = line;
        const unsigned long start = std::strtoul(at, &at, 16);
        const unsigned long end = std::strtoul(at + 1, &at, 16);
        // Writable only, and not what a sanitizer reserves for itself (its
        // shadow, its own records): the tool's heap and stack are far smaller.
        // An address that the maps give, so the optimiser has nothing to lose.
        // NOLINTNEXTLINE(performance-no-int-to-ptr)
        const auto *first = reinterpret_cast<const char *>(start);
        const auto *last = at[2] == 'w' && end - start < (1UL << 26) ? first + (end - start) : first;
        if (std::search(first, last, word, word_end) != last) {
            dprintf(STDERR_FILENO, "passhash-hold: a copy in %s", line);
        }
    }
    (void)(maps == nullptr || std::fclose(maps) == 0);
}

} // namespace

extern "C" {

// The tool raises an ending signal to end itself; a stop ends nothing.
int raise(int sig) noexcept
{
    if (sig != SIGSTOP && sig != SIGTSTP && sig != SIGTTIN && sig != SIGTTOU) {
        scan();
    }
    return next<int (*)(int)>("raise")(sig);
}

// Once the wait for input has seen a key, a stop before the read.
int epoll_pwait(int epfd, epoll_event *events, int maxevents, int timeout, const sigset_t *ss)
{
    const int ready = next<int (*)(int, epoll_event *, int, int, const sigset_t *)>("epoll_pwait")(
        epfd, events, maxevents, timeout, ss);
    if (ready > 0 && hold_here("wait")) {
        (void)raise(SIGSTOP);
    }
    return ready;
}

int tcflush(int fd, int queue_selector)
{
    if (hold_here("tcflush")) {
        pollfd key{fd, POLLIN, 0};
        (void)poll(&key, 1, -1);
    }
    return next<int (*)(int, int)>("tcflush")(fd, queue_selector);
}
}
