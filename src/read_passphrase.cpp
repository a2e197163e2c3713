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
#include <cstdio>
#include <cstring>

namespace {

// Every signal caught while the line is read from a terminal. The first eight
// would end the process with echo still off; the three job-control stops would
// leave it off while the process is stopped.
//
// SIGSTOP cannot be caught, and SIGCONT cannot tell whether the process was
// stopped: fg sends it also to a job that never got to stop after bg. So
// SIGCONT keeps its default action, which the kernel discards for a process
// that is running, and a stop is seen another way. In a wait for input,
// epoll_pwait (unlike poll) fails with EINTR after a stop, even with no handler
// run. Outside the waits, from just before the prompt shows, SIGCONT is
// blocked, so that the one that ends a stop there is held and ends the next
// wait as it begins. Either way the read starts over.
constexpr std::array caught_signals{
    SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU};
constexpr auto ending_signals = std::span(caught_signals).first<8>();
constexpr auto stop_signals = std::span(caught_signals).last<3>();

// Which signals have arrived and are not yet dealt with. The handler only
// records; the reader acts on them outside it, between two waits for input.
std::array<volatile std::sig_atomic_t, NSIG> arrived{};

void note_signal(int sig)
{
    arrived[static_cast<std::size_t>(sig)] = 1;
}

int take_first(std::span<const int> sigs)
{
    for (const int sig : sigs) {
        if (arrived[static_cast<std::size_t>(sig)] != 0) {
            arrived[static_cast<std::size_t>(sig)] = 0;
            return sig;
        }
    }
    return 0;
}

// One read of the passphrase, and all that it needs to start over at any
// moment and to hand the terminal of standard input back as it found it.
struct console {
    const char *prompt;
    std::span<char> line;
    std::size_t length; // bytes of the line read since the last prompt
    bool at_terminal;
    bool prompted; // the prompt has been shown at least once
    bool saved_taken; // saved is taken, once in the foreground
    bool echo_off; // the terminal is ours, with echo off
    int waiter; // epoll instance that watches standard input at a terminal
    termios saved;
    sigset_t caller_mask;
    sigset_t reading_mask; // the caller's, with every caught signal and SIGCONT blocked
    std::array<struct sigaction, caught_signals.size()> caller_actions;
};

struct sigaction &caller_action(console &c, int sig)
{
    return c.caller_actions[static_cast<std::size_t>(
        std::ranges::find(caught_signals, sig) - caught_signals.begin())];
}

// `mask` with SIGCONT, and `sig` if given, let in.
sigset_t letting_in(sigset_t mask, int sig = SIGCONT)
{
    sigdelset(&mask, SIGCONT);
    sigdelset(&mask, sig);
    return mask;
}

void show(const char *prompt)
{
    // A write error stays on the stream and decides the exit status at the end.
    (void)std::fputs(prompt, stdout);
    (void)std::fflush(stdout);
}

// The caught signals stay blocked except while the reader waits for input, so
// one that arrives at any other moment is held, not lost or fatal. A signal
// that the caller chose to ignore stays ignored, and is not blocked either:
// held, it would still end the wait as it came in.
void catch_signals(console &c)
{
    sigset_t caught;
    sigemptyset(&caught);
    for (const int sig : caught_signals) {
        sigaction(sig, nullptr, &caller_action(c, sig));
        if (caller_action(c, sig).sa_handler != SIG_IGN) {
            sigaddset(&caught, sig);
        }
    }
    sigset_t held = caught;
    sigaddset(&held, SIGCONT);
    sigprocmask(SIG_BLOCK, &held, &c.caller_mask);
    sigprocmask(SIG_BLOCK, nullptr, &c.reading_mask);

    struct sigaction catcher{};
    catcher.sa_handler = note_signal;
    catcher.sa_mask = caught;
    for (const int sig : caught_signals) {
        if (sigismember(&caught, sig) != 0) {
            sigaction(sig, &catcher, nullptr);
        }
    }
}

// Gives the caller's mask and dispositions back. A signal held back meanwhile
// reaches note_signal as the mask comes back, so it is not lost.
void release_signals(console &c)
{
    sigprocmask(SIG_SETMASK, &c.caller_mask, nullptr);
    for (const int sig : caught_signals) {
        sigaction(sig, &caller_action(c, sig), nullptr);
    }
}

// Whatever is still in the terminal's input queue was typed for the
// passphrase (the half of one, or the lines after it in a paste): dropped
// before the shell, or whoever reads next, can show or run it.
void hand_back(console &c)
{
    if (c.echo_off) {
        tcflush(STDIN_FILENO, TCIFLUSH);
        tcsetattr(STDIN_FILENO, TCSANOW, &c.saved);
        c.echo_off = false;
    }
}

bool in_background()
{
    // No controlling terminal, or another one: job control does not apply.
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground != -1 && foreground != getpgrp();
}

// Stops the process the way the caller's disposition for `sig` says, until it
// is continued. False when it plainly did not stop: still in the background,
// with no signal to act on (the caller ignores `sig`, or the kernel discards it
// for an orphaned process group).
//
// From the background the process is not stopped by hand: checking the
// foreground and then raising the signal would race with a shell's fg and
// could stop a process that is already back in the foreground. tcdrain, which
// changes nothing, makes the kernel check and stop in one step instead: it
// sends SIGTTOU to a background job that touches its terminal, and after bg it
// does so again, so that it returns only in the foreground or for a signal.
bool stop_by(console &c, int sig, bool from_background)
{
    struct sigaction ours{};
    sigaction(sig, &caller_action(c, sig), &ours);
    const sigset_t stopping = letting_in(c.caller_mask, sig);
    sigprocmask(SIG_SETMASK, &stopping, nullptr);
    const bool stopped = from_background ? (tcdrain(STDIN_FILENO) != 0 && errno == EINTR) || !in_background()
                                         : std::raise(sig) == 0;
    sigprocmask(SIG_SETMASK, &c.reading_mask, nullptr);
    sigaction(sig, &ours, nullptr);
    return stopped;
}

// Every start and every start over: echo goes off before the prompt shows, so
// that an answer typed the moment it appears is never echoed, and what was
// typed before a new prompt is dropped along with the line read so far, so
// that only what follows it counts. Input typed ahead of the first prompt is
// kept: scripts type blind into a terminal. False when there is no terminal
// state to come back to.
bool start(console &c)
{
    // Taken in the foreground only: a process started with & would see the
    // modes of the shell's line editor, which are neither the ones to read
    // with nor the ones to come back to.
    if (!c.saved_taken) {
        if (tcgetattr(STDIN_FILENO, &c.saved) != 0) {
            return false;
        }
        c.saved_taken = true;
    }
    // A SIGCONT held from before is part of what this start answers.
    const sigset_t showing = letting_in(c.reading_mask);
    sigprocmask(SIG_SETMASK, &showing, nullptr);
    termios quiet = c.saved;
    quiet.c_lflag &= ~tcflag_t{ECHO};
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    c.echo_off = true;
    if (c.prompted) {
        tcflush(STDIN_FILENO, TCIFLUSH);
    }
    c.length = 0;
    // Held from before the prompt is visible: a stop from then on must show.
    sigprocmask(SIG_SETMASK, &c.reading_mask, nullptr);
    show(c.prompt);
    c.prompted = true;
    return true;
}

// Acts on the signals that arrived since the last wait for input: after a
// stop (or when `over` says that the process was stopped or moved to the
// background) the read starts over, once the process is in the foreground.
// False to give up, also for an ending signal, which the caller then acts on.
bool attend(console &c, bool over)
{
    for (;;) {
        if (std::ranges::any_of(
                ending_signals, [](int sig) { return arrived[static_cast<std::size_t>(sig)] != 0; })) {
            return false;
        }
        if (const int sig = take_first(stop_signals)) {
            hand_back(c);
            (void)stop_by(c, sig, false);
            over = true;
            // What arrived while stopped is acted on first.
            continue;
        }
        if (!over) {
            return true;
        }
        if (!in_background()) {
            return start(c);
        }
        // Continued with bg, or started with &: the terminal is not ours to
        // change or read from, and nothing is shown. Stop as a job that
        // touches it from there would, until fg.
        c.echo_off = false;
        if (!stop_by(c, SIGTTOU, true)) {
            return false;
        }
    }
}

// Waits until standard input has something to read (standard input handed
// over non-blocking is waited for like any other). At a terminal the caught
// signals and SIGCONT are let in only for the wait, the mask swapped atomically.
bool await_input(const console &c)
{
    if (!c.at_terminal) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        return poll(&input, 1, -1) >= 0;
    }
    epoll_event ready{};
    const sigset_t waiting = letting_in(c.caller_mask);
    return epoll_pwait(c.waiter, &ready, 1, -1, &waiting) >= 0;
}

// Reads one line into c.line, NUL-terminated and without its newline; true
// when it was read whole and fits. Bytes are read one at a time so that
// nothing past the newline is consumed: whatever follows stays for the next
// reader of a pipe or a file. The rest of a line too long for c.line is read
// and dropped. At a terminal, the signals that came during a wait are acted on
// before the next.
bool read_line(console &c)
{
    const std::size_t last = c.line.size() - 1;
    bool over = c.at_terminal;
    for (;;) {
        if (c.at_terminal && !attend(c, over)) {
            return false;
        }
        over = false;
        if (!await_input(c)) {
            if (errno == EINTR) {
                // Caught, or stopped and continued: at a terminal, start over.
                over = c.at_terminal;
                continue;
            }
            return false;
        }
        // Past the end of the room, the last slot takes the dropped bytes;
        // the terminating NUL overwrites it.
        char &slot = c.line[std::min(c.length, last)];
        const ssize_t got = read(STDIN_FILENO, &slot, 1);
        if (got < 0) {
            const int error = errno;
            // EIO: moved to the background between the wait and the read.
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

bool read_passphrase(const char *prompt, std::span<char> line)
{
    console c{};
    c.prompt = prompt;
    c.line = line;
    c.at_terminal = isatty(STDIN_FILENO) != 0;
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
        release_signals(c);
        (void)close(c.waiter);
        // An ending signal ends the process by that signal, as the shell
        // expects to see, the line erased first.
        if (const int sig = take_first(ending_signals)) {
            explicit_bzero(line.data(), line.size());
            (void)std::raise(sig);
            return false;
        }
        // A stop asked for as the line came in is honoured, now that the
        // terminal is back.
        if (const int sig = take_first(stop_signals)) {
            (void)std::raise(sig);
        }
    }
    // Enter was not echoed: end the prompt's line. A process that never got
    // the terminal has shown nothing, and leaves nothing.
    if (c.prompted) {
        (void)std::putchar('\n');
        (void)std::fflush(stdout);
    }
    return whole && line[0] != '\0';
}
