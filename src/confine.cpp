#include "confine.h"

#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <span>

namespace {

// Allowed whatever their arguments. By name, so that each architecture takes
// those it has and skips the others: arm64 has no poll or getpgrp, and its
// glibc makes them ppoll and getpgid. First the line in, the prompt and the
// result out, the epoll instance and standard output closed, and stdio's
// question of what standard output is.
constexpr std::array any_arguments{"read", "write", "close", "newfstatat", "fstat",
    // The waits for input: from a pipe or a file, and at a terminal.
    "poll", "ppoll", "epoll_create1", "epoll_ctl", "epoll_pwait",
    // The heap and the hash's scratch memory, their locks, and the salt's
    // random bytes (and malloc's own).
    "brk", "munmap", "mlock", "munlock", "mlockall", "munlockall", "getrandom",
    // Signals caught, held and taken at a terminal, and a call interrupted by
    // a stop started again; the foreground check, what raise asks first, and
    // the exit.
    "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "rt_sigpending", "rt_sigtimedwait", "restart_syscall",
    "getpgrp", "getpgid", "getpid", "gettid", "exit_group"};

// What tcgetattr and isatty, tcsetattr (each of its modes), tcflush, tcgetpgrp
// and tcdrain ask of the terminal: nothing else, such as TIOCSTI, which would
// type into it.
constexpr std::array<scmp_datum_t, 7> terminal_requests{
    TCGETS, TCSETS, TCSETSW, TCSETSF, TCFLSH, TIOCGPGRP, TCSBRK};

// A sanitizer's leak check at exit needs a thread, ptrace and /proc: the very
// calls that the filter refuses. Such a build makes the filter, and stays free.
#ifdef PASSHASH_SANITIZE
constexpr bool load = false;
#else
constexpr bool load = true;
#endif

bool allow(scmp_filter_ctx filter, const char *name, std::span<const scmp_arg_cmp> only = {})
{
    const int call = seccomp_syscall_resolve_name(name);
    if (call == __NR_SCMP_ERROR) {
        return true; // not a call of this architecture
    }
    const auto count = static_cast<unsigned int>(only.size());
    return seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call, count, only.data()) == 0;
}

bool build(scmp_filter_ctx filter)
{
    // A call of another architecture (i386's int 0x80, x32) is refused like
    // any other unknown call; libseccomp would kill for it. no_new_privs is
    // already set.
    bool built = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(EPERM)) == 0
        && seccomp_attr_set(filter, SCMP_FLTATR_CTL_NNP, 0) == 0;
    // A tree of the calls rather than a list: the kernel runs the filter
    // through on loading it, for every call, and then on each call made.
    (void)seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2);
    for (const char *name : any_arguments) {
        built = built && allow(filter, name);
    }
    for (const scmp_datum_t request : terminal_requests) {
        const std::array only{scmp_arg_cmp{1, SCMP_CMP_EQ, request, 0}};
        built = built && allow(filter, "ioctl", only);
    }
    // A signal to itself only: raise, and the end by a signal.
    const std::array self{scmp_arg_cmp{0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(getpid()), 0}};
    built = built && allow(filter, "kill", self) && allow(filter, "tgkill", self);
    // Memory to write to, never code to run.
    const std::array no_exec{scmp_arg_cmp{2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0}};
    return built && allow(filter, "mmap", no_exec);
}

} // namespace

void confine()
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return;
    }
    // Level 2 and up: libseccomp loads with the seccomp call, which a launcher
    // either passes on or refuses. Below, it would fall back to prctl, which
    // valgrind passes to the kernel: the filter would then land on valgrind's
    // own calls, and valgrind would abort.
    if (seccomp_api_get() < 2) {
        return;
    }
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (filter == nullptr) {
        return;
    }
    if (build(filter) && load) {
        (void)seccomp_load(filter);
    }
    seccomp_release(filter);
}
