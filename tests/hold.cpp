// Preloaded into the tool by the tests. PASSHASH_HOLD names one instant to hold
// it at: "read" stops it (as kill -STOP would) just before its first read of
// standard input, after its wait for input has ended, "fflush" as it writes
// its first prompt, and "crypt_ra" just before it hashes; "tcflush" holds its
// first flush of the terminal until a key is typed, and names the process
// "held" while it waits, for the test to see.
//
// PASSHASH_SCAN names, backwards (so that the environment holds no copy), a
// passphrase that must not be left anywhere in the process's writable memory
// once it ends: by exit (where nothing may stay locked either) or by the
// signal that it raises to end itself; nor in memory that it unlocks. What is
// found is said on standard error.

#include <crypt.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace {

bool hold_here(const char *name)
{
    static bool held = false;
    const char *which = std::getenv("PASSHASH_HOLD");
    if (held || which == nullptr || std::strcmp(which, name) != 0) {
        return false;
    }
    held = true;
    return true;
}

template <typename Call> Call next(const char *name)
{
    return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

// Whether [from, to) holds the passphrase that PASSHASH_SCAN names backwards.
bool holds_copy(const char *from, const char *to)
{
    const char *backwards = std::getenv("PASSHASH_SCAN");
    const std::size_t size = backwards == nullptr ? 0 : std::strlen(backwards);
    return size > 0
        && std::search(from, to, std::reverse_iterator(backwards + size), std::reverse_iterator(backwards))
        != to;
}

void scan(bool at_exit)
{
    if (const char *backwards = std::getenv("PASSHASH_SCAN"); backwards == nullptr || *backwards == '\0') {
        return;
    }
    const int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    FILE *facts = std::fopen("/proc/self/maps", "re");
    if (facts == nullptr || mem < 0) {
        dprintf(STDERR_FILENO, "passhash-hold: cannot look into memory\n");
    }
    char line[4096];
    while (facts != nullptr && mem >= 0 && std::fgets(line, sizeof line, facts) != nullptr) {
        char *at = line;
        const unsigned long start = std::strtoul(at, &at, 16);
        const unsigned long end = std::strtoul(at + 1, &at, 16);
        // What a sanitizer reserves for itself (its shadow, its own records) holds
        // no copy: the tool's heap and stack are far smaller.
        if (at[2] != 'w' || end - start > (1UL << 26)) {
            continue;
        }
        std::string bytes(end - start, '\0');
        const ssize_t got = pread(mem, bytes.data(), bytes.size(), static_cast<off_t>(start));
        bytes.resize(static_cast<std::size_t>(std::max(got, ssize_t{0})));
        if (holds_copy(bytes.data(), bytes.data() + bytes.size())) {
            dprintf(STDERR_FILENO, "passhash-hold: a copy in %s", line);
        }
    }
    facts = at_exit && facts != nullptr ? std::freopen("/proc/self/status", "re", facts) : facts;
    while (at_exit && facts != nullptr && std::fgets(line, sizeof line, facts) != nullptr) {
        if (std::strncmp(line, "VmLck:", 6) == 0 && std::strstr(line, " 0 kB") == nullptr) {
            dprintf(STDERR_FILENO, "passhash-hold: still locked, %s", line);
        }
    }
    (void)(facts == nullptr || std::fclose(facts) == 0);
    (void)(mem < 0 || close(mem) == 0);
}

__attribute__((destructor)) void at_exit()
{
    scan(true);
}

} // namespace

extern "C" {

ssize_t read(int fd, void *buf, size_t nbytes)
{
    if (fd == STDIN_FILENO && hold_here("read")) {
        (void)std::raise(SIGSTOP);
    }
    return next<ssize_t (*)(int, void *, size_t)>("read")(fd, buf, nbytes);
}

char *crypt_ra(const char *phrase, const char *setting, void **data, int *size)
{
    if (hold_here("crypt_ra")) {
        (void)std::raise(SIGSTOP);
    }
    return next<char *(*)(const char *, const char *, void **, int *)>("crypt_ra")(
        phrase, setting, data, size);
}

int fflush(FILE *stream)
{
    if (hold_here("fflush")) {
        (void)std::raise(SIGSTOP);
    }
    return next<int (*)(FILE *)>("fflush")(stream);
}

// What a fortified build calls for read (glibc declares it only then).
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): glibc's name
ssize_t __read_chk(int fd, void *buf, size_t nbytes, size_t room);
ssize_t __read_chk(int fd, void *buf, size_t nbytes, size_t /*room*/)
{
    return read(fd, buf, nbytes);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

int tcflush(int fd, int queue_selector)
{
    if (hold_here("tcflush")) {
        (void)prctl(PR_SET_NAME, "held", 0, 0, 0);
        pollfd key{fd, POLLIN, 0};
        (void)poll(&key, 1, -1);
    }
    return next<int (*)(int, int)>("tcflush")(fd, queue_selector);
}

// Memory is unlocked only once it is erased. Declared here, not taken from
// <sys/mman.h>, which says that munlock reads none of that memory: this does.
int munlock(const void *addr, size_t len) noexcept;
int munlock(const void *addr, size_t len) noexcept
{
    if (holds_copy(static_cast<const char *>(addr), static_cast<const char *>(addr) + len)) {
        dprintf(STDERR_FILENO, "passhash-hold: a copy unlocked\n");
    }
    return next<int (*)(const void *, size_t)>("munlock")(addr, len);
}

// The tool raises an ending signal to end itself; a stop ends nothing.
int raise(int sig) noexcept
{
    if (sig != SIGSTOP && sig != SIGTSTP && sig != SIGTTIN && sig != SIGTTOU) {
        scan(false);
    }
    return next<int (*)(int)>("raise")(sig);
}
}
