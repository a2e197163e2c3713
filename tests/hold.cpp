// Preloaded into the tool by the tests. PASSHASH_SCAN names, backwards (so that
// the environment holds no copy), a passphrase that must not be left anywhere
// in the process's writable memory once it ends: by exit, or by the signal
// that it raises to end itself. What is found is said on standard error.
//
// PASSHASH_HOLD names one instant to hold the tool at, once: "wait" stops it
// (as kill -STOP would) as its wait for input at the terminal ends with a key
// to read, before it reads; "tcflush" holds its first flush of the terminal
// until a key is typed.
//
// As the tool first waits for input, at a terminal or not, it tries what its
// filter must refuse with EPERM: to open a file, make a socket, run a program
// and signal its parent. What is not refused is said on standard error.

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

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

// Said on standard error with write alone: dprintf first asks where the
// descriptor stands, which the filter refuses, and then writes nothing.
void say(const char *what, const char *rest)
{
    char text[4200];
    const int size = std::snprintf(text, sizeof text, "passhash-hold: %s%s", what, rest);
    (void)write(STDERR_FILENO, text, static_cast<std::size_t>(std::clamp(size, 0, int{sizeof text} - 1)));
}

// Opened before the tool runs, and so before its filter; never as one of the
// standard descriptors, which the tool may be given closed.
FILE *maps = nullptr;
pid_t parent = 0;

__attribute__((constructor)) void open_maps()
{
    const int opened = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    const int kept = fcntl(opened, F_DUPFD_CLOEXEC, 3);
    (void)close(opened);
    maps = kept == -1 ? nullptr : fdopen(kept, "r");
    parent = getppid();
}

// A sanitizer build loads no filter: nothing would be refused there.
void try_what_is_refused()
{
#ifndef PASSHASH_SANITIZE
    static bool tried = false;
    const auto refused = [](const char *what, int result) {
        (void)((result == -1 && errno == EPERM) || (say(what, " not refused\n"), true));
    };
    char *const none[] = {nullptr};
    if (!std::exchange(tried, true)) {
        refused("open", open("/nonexistent", O_RDONLY | O_CLOEXEC));
        refused("socket", socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        refused("execve", execve("/nonexistent", none, none));
        refused("kill of the parent", kill(parent, 0));
    }
#endif
}

// At exit, and before an ending signal is raised.
__attribute__((destructor)) void scan()
{
    const char *backwards = std::getenv("PASSHASH_SCAN");
    const std::size_t size = backwards == nullptr ? 0 : std::strlen(backwards);
    // Read in place: the tool is not dumpable, so its /proc/self/mem is
    // root's alone, and a copy could be found in its turn. The maps are read
    // once, as the tool ends: the filter refuses the seek back to their start.
    if (size > 0 && maps == nullptr) {
        say("cannot look into memory\n", "");
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
            say("a copy in ", line);
        }
    }
    (void)(maps == nullptr || std::fclose(maps) == 0);
    maps = nullptr;
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

int poll(pollfd *fds, nfds_t nfds, int timeout)
{
    try_what_is_refused();
    return next<int (*)(pollfd *, nfds_t, int)>("poll")(fds, nfds, timeout);
}

// Once the wait for input has seen a key, a stop before the read.
int epoll_pwait(int epfd, epoll_event *events, int maxevents, int timeout, const sigset_t *ss)
{
    try_what_is_refused();
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
