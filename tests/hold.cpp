// Preloaded into the tool by the rows that hold it at one instant, which
// PASSHASH_HOLD names: "read" stops it (as kill -STOP would) just before its
// first read of standard input, after its wait for input has ended, and
// "crypt_ra" just before it hashes; "tcflush"
// holds its first flush of the terminal until a key is typed, and names the
// process "held" while it waits, for the test to see.

#include <crypt.h>
#include <dlfcn.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

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
}
