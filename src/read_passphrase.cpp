#include "read_passphrase.h"

#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Every signal whose default action ends the process but SIGKILL and the five
// that report a fault of the process itself, which a handler would only hide.
// Those that the C library (or a launcher) keeps for itself sigaction refuses.
bool ends_process(int sig)
{
    constexpr std::array others{SIGKILL, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSTOP, SIGTSTP, SIGTTIN,
        SIGTTOU, SIGCONT, SIGCHLD, SIGURG, SIGWINCH};
    return std::ranges::find(others, sig) == others.end();
}

// Caught so that the terminal is handed back before the process stops.
bool stops_process(int sig)
{
    return sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
}

// Signals arrived and not yet dealt with, which the reader acts on between waits.
std::array<volatile std::sig_atomic_t, NSIG> arrived{};

void note_signal(int sig)
{
    arrived[static_cast<std::size_t>(sig)] = 1;
}

// The first signal that `of` names and that arrived, or 0; taken if `take`.
int first_arrived(bool (*of)(int), bool take)
{
    for (int sig = 1; sig < NSIG; ++sig) {
        if (of(sig) && arrived[static_cast<std::size_t>(sig)] != 0) {
            arrived[static_cast<std::size_t>(sig)] = take ? 0 : 1;
            return sig;
        }
    }
    return 0;
}

// One read of the passphrase, and all it needs to start over at any moment and
// to hand the terminal of standard input back as it found it.
struct console {
    const char *prompt;
    std::span<char> line;
    std::size_t length; // bytes of the line read since the last prompt
    bool at_terminal;
    bool prompted; // the prompt has been shown at least once
    bool saved_taken; // saved is taken, once in the foreground
    bool echo_off; // the terminal has had quiet put on it, and not saved back
    int waiter; // epoll instance that watches standard input at a terminal
    termios saved;
    termios quiet; // the modes the line is read in
    sigset_t caller_mask;
    sigset_t caught; // every ending and stop signal that the caller does not ignore
    sigset_t reading_mask; // the caller's, with every caught signal and SIGCONT blocked
    sigset_t waiting_mask; // the caller's, with SIGCONT blocked
    sigset_t cont; // SIGCONT alone
    std::array<struct sigaction, NSIG> caller_actions;
};

// True when a SIGCONT has come since the last look, which takes it. SIGCONT
// stays blocked throughout the read, so that what continued a stop is left.
bool continued(const console &c)
{
    const timespec now{};
    return sigtimedwait(&c.cont, nullptr, &now) == SIGCONT;
}

// A write error stays on the stream and decides the exit status at the end.
void show(const char *prompt)
{
    (void)std::fputs(prompt, stdout);
    (void)std::fflush(stdout);
}

// The caught signals stay blocked but while the reader waits for input, so one
// that comes at any other moment is held. One the caller ignores stays so.
void catch_signals(console &c)
{
    sigemptyset(&c.caught);
    for (int sig = 1; sig < NSIG; ++sig) {
        (void)((ends_process(sig) || stops_process(sig)) && sigaddset(&c.caught, sig) == 0);
    }
    c.reading_mask = c.caller_mask;
    sigaddset(&c.reading_mask, SIGCONT);
    c.waiting_mask = c.reading_mask;
    sigorset(&c.reading_mask, &c.reading_mask, &c.caught);
    sigprocmask(SIG_SETMASK, &c.reading_mask, nullptr);
    struct sigaction catcher{};
    catcher.sa_handler = note_signal;
    catcher.sa_mask = c.caught;
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction &caller = c.caller_actions[static_cast<std::size_t>(sig)];
        if (sigismember(&c.caught, sig) == 1
            && (sigaction(sig, &catcher, &caller) != 0 || caller.sa_handler == SIG_IGN)) {
            sigaction(sig, &caller, nullptr);
            sigdelset(&c.caught, sig);
        }
    }
}

// Gives the caller's mask and dispositions back, but for the ending signals in
// `held`, blocked for end_if_signalled. A stop held meanwhile comes as the
// mask does, to note_signal.
void release_signals(console &c, sigset_t &held)
{
    for (int sig = 1; sig < NSIG; ++sig) {
        (void)(ends_process(sig) && sigismember(&c.caller_mask, sig) == 0 && sigaddset(&held, sig) == 0);
    }
    sigset_t after = c.caller_mask;
    sigorset(&after, &after, &held);
    sigprocmask(SIG_SETMASK, &after, nullptr);
    for (int sig = 1; c.at_terminal && sig < NSIG; ++sig) {
        if (sigismember(&c.caught, sig) == 1) {
            sigaction(sig, &c.caller_actions[static_cast<std::size_t>(sig)], nullptr);
        }
    }
}

bool in_background()
{
    // No controlling terminal, or another one: job control does not apply.
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground != -1 && foreground != getpgrp();
}

// Every mode flag and control character, as tcgetattr gives them.
bool same_modes(const termios &a, const termios &b)
{
    return std::memcmp(&a, &b, offsetof(termios, c_cc) + sizeof a.c_cc) == 0;
}

// What is still in the terminal's input queue was typed for the passphrase
// (half of one, or the lines after it in a paste): dropped before the shell can
// show or run it. From the background the terminal and its queue are the
// shell's: the saved modes go back only over the reader's, which a shell may
// leave on for a stopped job, never over the shell's own.
void hand_back(console &c)
{
    termios now{};
    if (c.echo_off && !in_background()) {
        tcflush(STDIN_FILENO, TCIFLUSH);
        tcsetattr(STDIN_FILENO, TCSANOW, &c.saved);
    } else if (c.echo_off && tcgetattr(STDIN_FILENO, &now) == 0 && same_modes(now, c.quiet)) {
        tcsetattr(STDIN_FILENO, TCSANOW, &c.saved);
    }
    c.echo_off = false;
}

// Stops the process the way the caller's disposition for `sig` says, until it
// is continued. False when it plainly did not stop: still in the background,
// with no signal to act on (ignored, or discarded for an orphaned group).
// From the background the process is not stopped by hand, which would race
// with a shell's fg: a read of no bytes (SIGTTIN) or tcdrain (SIGTTOU), which
// consume and change nothing, make the kernel check and stop in one step, and
// after bg again, so that they return only in the foreground or for a signal.
bool stop_by(console &c, int sig, bool from_background)
{
    struct sigaction ours{};
    sigaction(sig, &c.caller_actions[static_cast<std::size_t>(sig)], &ours);
    sigset_t stopping = c.caller_mask;
    sigdelset(&stopping, SIGCONT);
    sigdelset(&stopping, sig);
    sigprocmask(SIG_SETMASK, &stopping, nullptr);
    // An ending signal held until now comes with the new mask: it is to end.
    char none = 0;
    const auto touch = [&] { return sig == SIGTTIN ? read(STDIN_FILENO, &none, 0) : tcdrain(STDIN_FILENO); };
    const bool stopped = first_arrived(ends_process, false) != 0
        || (from_background ? (touch() != 0 && errno == EINTR) || !in_background() : std::raise(sig) == 0);
    sigprocmask(SIG_SETMASK, &c.reading_mask, nullptr);
    sigaction(sig, &ours, nullptr);
    return stopped;
}

// Every start and start over: echo goes off before the prompt shows, so that
// an answer typed the moment it appears is never echoed, and what was typed
// before a new prompt is dropped with the line read so far. Input typed ahead
// of the first prompt is kept: scripts type blind into a terminal. False when
// there is no terminal state to come back to.
bool start(console &c)
{
    // Taken in the foreground only: from the background it would be the modes
    // of the shell's line editor, neither to read with nor to come back to.
    if (!c.saved_taken) {
        if (tcgetattr(STDIN_FILENO, &c.saved) != 0) {
            return false;
        }
        c.saved_taken = true;
        c.quiet = c.saved;
        c.quiet.c_lflag &= ~tcflag_t{ECHO};
        // Each byte is read once a wait sees it; out of canonical mode a wait
        // sees MIN bytes, so a MIN above 1 would keep a line's last waiting.
        if ((c.quiet.c_lflag & ICANON) == 0) {
            c.quiet.c_cc[VMIN] = 1;
            c.quiet.c_cc[VTIME] = 0;
        }
    }
    // A stop before now is answered by this start.
    (void)continued(c);
    tcsetattr(STDIN_FILENO, TCSANOW, &c.quiet);
    c.echo_off = true;
    if (c.prompted) {
        tcflush(STDIN_FILENO, TCIFLUSH);
    }
    c.length = 0;
    show(c.prompt);
    c.prompted = true;
    return true;
}

// Acts on the signals that arrived since the last wait for input: after a stop
// (or when `over` says so) the read starts over, once in the foreground. False
// to give up, also for an ending signal, which the caller then acts on.
bool attend(console &c, bool over)
{
    for (;;) {
        if (first_arrived(ends_process, false) != 0) {
            return false;
        }
        if (const int sig = first_arrived(stops_process, true)) {
            hand_back(c);
            (void)stop_by(c, sig, false);
            over = true; // and what arrived while stopped is acted on first
            continue;
        }
        if (!over) {
            return true;
        }
        if (!in_background()) {
            return start(c);
        }
        // Continued with bg, or started with &: the terminal is not ours, and
        // nothing is shown. Stop as a job that reads there would, until fg, or
        // where the caller ignores SIGTTIN, as one that writes there.
        if (!stop_by(c, c.caller_actions[SIGTTIN].sa_handler == SIG_IGN ? SIGTTOU : SIGTTIN, true)) {
            return false;
        }
    }
}

// Waits until standard input has something to read, also handed over
// non-blocking. At a terminal the caught signals are let in for the wait alone.
bool await_input(const console &c)
{
    if (!c.at_terminal) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        return poll(&input, 1, -1) >= 0;
    }
    epoll_event ready{};
    return epoll_pwait(c.waiter, &ready, 1, -1, &c.waiting_mask) >= 0;
}

// A stop between two waits (as the prompt is shown, held by Ctrl-S, or a byte
// read) is seen by the SIGCONT it leaves. While input waits (a line sent at
// once) a SIGCONT is left for the wait to take for one alone; the terminal
// taken then tells a stop and bg.
bool stopped_between(const console &c)
{
    epoll_event ready{};
    return epoll_pwait(c.waiter, &ready, 1, 0, &c.reading_mask) == 0 ? continued(c) : in_background();
}

// Reads one line into c.line, NUL-terminated and without its newline; true
// when it was read whole and fits. A byte at a time, so that nothing past the
// newline is consumed from a pipe or a file; the rest of a line too long is
// read and dropped. At a terminal, what came during a wait is acted on first.
bool read_line(console &c)
{
    const std::size_t last = c.line.size() - 1;
    bool over = c.at_terminal;
    for (;;) {
        if (c.at_terminal && !attend(c, over)) {
            return false;
        }
        over = c.at_terminal && stopped_between(c);
        if (over) {
            continue;
        }
        if (!await_input(c)) {
            if (errno == EINTR) {
                // A signal caught, a stop, or nothing at all (the freezer, a
                // tracer's attach): only a stop starts the read over.
                over = c.at_terminal && continued(c);
                continue;
            }
            return false;
        }
        // A SIGCONT that came during the wait without ending it found nothing
        // stopped (fg after bg, before the job stopped again).
        (void)(c.at_terminal && continued(c));
        // Past the end of the room, the last slot takes the dropped bytes;
        // the terminating NUL overwrites it.
        char &slot = c.line[std::min(c.length, last)];
        const ssize_t got = read(STDIN_FILENO, &slot, 1);
        if (got < 0) {
            const int error = errno; // EIO: moved to the background since the wait
            over = error == EIO && c.at_terminal && in_background();
            if (over || error == EAGAIN) {
                continue;
            }
            return false;
        }
        if (got == 0 || slot == '\n') {
            break;
        }
        ++c.length;
    }
    c.line[std::min(c.length, last)] = '\0';
    return c.length <= last;
}

} // namespace

bool read_passphrase(const char *prompt, std::span<char> line, sigset_t &held)
{
    console c{};
    c.prompt = prompt;
    c.line = line;
    c.at_terminal = isatty(STDIN_FILENO) != 0;
    sigemptyset(&held);
    sigprocmask(SIG_BLOCK, nullptr, &c.caller_mask);
    sigemptyset(&c.cont);
    sigaddset(&c.cont, SIGCONT);
    if (c.at_terminal) {
        c.waiter = epoll_create1(EPOLL_CLOEXEC);
        epoll_event input{EPOLLIN, {}};
        // Without its wait the reader could not let any signal in: nothing is read.
        if (epoll_ctl(c.waiter, EPOLL_CTL_ADD, STDIN_FILENO, &input) != 0) {
            (void)close(c.waiter);
            return false;
        }
        catch_signals(c);
    } else {
        show(prompt);
        c.prompted = true;
    }
    const bool whole = read_line(c);
    if (c.at_terminal) {
        hand_back(c);
        (void)close(c.waiter);
    }
    release_signals(c, held);
    // A stop asked for as the line came in is honoured, the terminal back.
    const bool signalled = first_arrived(ends_process, false) != 0;
    if (const int sig = first_arrived(stops_process, true); sig != 0 && !signalled) {
        (void)std::raise(sig);
    }
    // Enter was not echoed: end the prompt's line, unless nothing more is shown.
    if (c.prompted && !signalled && !in_background()) {
        show("\n");
    }
    return whole && line[0] != '\0';
}

void end_if_signalled(const sigset_t &held)
{
    const timespec now{};
    int sig = first_arrived(ends_process, true);
    sig = sig != 0 ? sig : sigtimedwait(&held, nullptr, &now);
    sigprocmask(SIG_UNBLOCK, &held, nullptr);
    if (sig > 0) {
        (void)std::raise(sig);
    }
}
