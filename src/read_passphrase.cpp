#include "read_passphrase.h"

#include <poll.h>
#include <signal.h>
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
// leave it off while the process is stopped; SIGCONT tells that a SIGSTOP,
// which cannot be caught, is over and the shell may have reset the modes.
constexpr std::array caught_signals{
    SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT};
constexpr auto ending_signals = std::span(caught_signals).first<8>();
constexpr auto stop_signals = std::span(caught_signals).subspan<8, 3>();

// Which signals have arrived and are not yet dealt with. The handler only
// records; the reader acts on them outside it, between two waits for input.
std::array<volatile std::sig_atomic_t, NSIG> arrived{};

void note_signal(int sig)
{
    arrived[static_cast<std::size_t>(sig)] = 1;
}

bool take(int sig)
{
    const bool was = arrived[static_cast<std::size_t>(sig)] != 0;
    arrived[static_cast<std::size_t>(sig)] = 0;
    return was;
}

int take_first(std::span<const int> sigs)
{
    for (const int sig : sigs) {
        if (take(sig)) {
            return sig;
        }
    }
    return 0;
}

// The terminal of standard input and the signal handling around the read.
struct console {
    bool at_terminal;
    termios saved; // as it was before the first read: what every put-back restores
    termios quiet; // the saved state with ECHO alone cleared
    bool saved_in_foreground; // saved and quiet are taken, once in the foreground
    bool echo_off; // quiet is in force
    bool quiet_due; // echo has to go off (again) before the next wait
    bool prompt_due; // the screen moved on meanwhile: show the prompt again
    sigset_t caller_mask;
    sigset_t reading_mask; // the caller's, with every caught signal blocked
    std::array<struct sigaction, caught_signals.size()> caller_actions;
};

struct sigaction &caller_action(console &c, int sig)
{
    return c.caller_actions[static_cast<std::size_t>(
        std::ranges::find(caught_signals, sig) - caught_signals.begin())];
}

void show(const char *prompt)
{
    // A write error stays on the stream and decides the exit status at the end.
    (void)std::fputs(prompt, stdout);
    (void)std::fflush(stdout);
}

// The caught signals stay blocked except while the reader waits for input, so
// one that arrives at any other moment is held, not lost or fatal. A signal
// that the caller chose to ignore stays ignored.
void catch_signals(console &c)
{
    sigset_t caught;
    sigemptyset(&caught);
    for (const int sig : caught_signals) {
        sigaddset(&caught, sig);
    }
    sigprocmask(SIG_BLOCK, &caught, &c.caller_mask);
    sigprocmask(SIG_BLOCK, nullptr, &c.reading_mask);

    struct sigaction catcher { };
    catcher.sa_handler = note_signal;
    catcher.sa_mask = caught;
    for (const int sig : caught_signals) {
        struct sigaction &before = caller_action(c, sig);
        sigaction(sig, nullptr, &before);
        // An ignored SIGCONT still continues the process: catching it is harmless.
        if (before.sa_handler != SIG_IGN || sig == SIGCONT) {
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

void put_back(console &c)
{
    if (c.echo_off) {
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

// Stops the process the way the caller's disposition for `sig` says, with the
// terminal as it was. True when the process was stopped and has been continued;
// false when the stop did not happen (the caller ignores `sig`, or the kernel
// discards it for an orphaned process group).
//
// From the background, the process is not stopped by hand: checking the
// foreground and then raising the signal would race with a shell's fg and
// could stop a process that is already back in the foreground. tcdrain, which
// changes nothing, makes the kernel check and stop in one step instead: it
// sends SIGTTOU to a background job that touches its terminal.
bool stop_by(console &c, int sig, bool from_background = false)
{
    put_back(c);
    struct sigaction ours { };
    sigaction(sig, &caller_action(c, sig), &ours);
    // SIGCONT is let in so that its note is taken before the stop returns.
    sigset_t stopping = c.caller_mask;
    sigdelset(&stopping, sig);
    sigdelset(&stopping, SIGCONT);
    arrived[SIGCONT] = 0;
    sigprocmask(SIG_SETMASK, &stopping, nullptr);
    if (from_background) {
        (void)tcdrain(STDIN_FILENO);
    } else {
        (void)std::raise(sig);
    }
    sigprocmask(SIG_SETMASK, &c.reading_mask, nullptr);
    sigaction(sig, &ours, nullptr);
    return take(SIGCONT);
}

// Ends the process by `sig`, the caller's disposition again, as the shell
// expects to see; the terminal and the signal handling are put back first, and
// the line is erased.
void end_by(console &c, int sig, std::span<char> line)
{
    put_back(c);
    explicit_bzero(line.data(), line.size());
    release_signals(c);
    (void)std::raise(sig);
}

enum class resume { read_on, start_over, give_up };

// Runs before each wait at a terminal: acts on the signals that arrived and
// switches echo off (again) once the process is in the foreground.
resume attend(console &c, const char *prompt, std::span<char> line)
{
    resume next = resume::read_on;
    for (;;) {
        if (const int sig = take_first(ending_signals)) {
            end_by(c, sig, line);
            return resume::give_up;
        }
        if (const int sig = take_first(stop_signals)) {
            (void)stop_by(c, sig);
            // Ctrl-Z made the terminal discard what had been typed.
            next = resume::start_over;
            c.quiet_due = c.prompt_due = true;
            continue;
        }
        if (take(SIGCONT)) {
            c.quiet_due = c.prompt_due = true;
        }
        if (!c.quiet_due) {
            return next;
        }
        if (in_background()) {
            // Continued with bg: the terminal is not ours to change or read
            // from. Stop as a job that touches it from there would, until fg.
            if (!stop_by(c, SIGTTOU, true)) {
                return resume::give_up;
            }
            c.prompt_due = true;
            continue;
        }
        // Started in the background, the process saw the modes of the
        // shell's line editor; the state to come back to is the one that the
        // shell hands over with the foreground.
        if (!c.saved_in_foreground) {
            // Without a state to come back to, the terminal is not touched.
            if (tcgetattr(STDIN_FILENO, &c.saved) != 0) {
                return resume::give_up;
            }
            c.quiet = c.saved;
            c.quiet.c_lflag &= ~tcflag_t{ECHO};
            c.saved_in_foreground = true;
        }
        tcsetattr(STDIN_FILENO, TCSANOW, &c.quiet);
        c.echo_off = true;
        c.quiet_due = false;
        if (c.prompt_due) {
            show(prompt);
            c.prompt_due = false;
        }
    }
}

// Whether a wait or a read that failed with errno is worth another try.
bool try_again(console &c, bool &must_wait)
{
    switch (errno) {
    case EINTR:
        return true;
    case EAGAIN:
        // Input that is not there yet is waited for, also when standard input
        // was handed over non-blocking (EWOULDBLOCK is EAGAIN on Linux).
        must_wait = true;
        return true;
    case EIO:
        // Moved to the background between the wait and the read.
        if (c.at_terminal && in_background()) {
            c.quiet_due = true;
            return true;
        }
        return false;
    default:
        return false;
    }
}

// Waits until standard input has something to read. At a terminal, the
// caught signals are let in for the wait alone: ppoll swaps the mask
// atomically, so none can slip in unnoticed, and they are acted on in between.
resume await_input(console &c, const char *prompt, std::span<char> line)
{
    resume next = resume::read_on;
    for (;;) {
        if (c.at_terminal) {
            const resume now = attend(c, prompt, line);
            if (now == resume::give_up) {
                return now;
            }
            if (now == resume::start_over) {
                next = now;
            }
        }
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (ppoll(&input, 1, nullptr, c.at_terminal ? &c.caller_mask : nullptr) >= 0) {
            return next;
        }
        if (errno != EINTR) {
            return resume::give_up;
        }
    }
}

// Reads one line into `line`, NUL-terminated and without its newline; true
// when it was read whole and fits. Bytes are read one at a time so that
// nothing past the newline is consumed: whatever follows stays for the next
// reader, on a pipe as well. The rest of a line too long for `line` is read and
// dropped so that at a terminal it cannot reach the shell as a command.
bool read_line(console &c, const char *prompt, std::span<char> line)
{
    const std::size_t last = line.size() - 1;
    std::size_t length = 0;
    bool fits = true;
    bool must_wait = c.at_terminal;
    for (;;) {
        if (must_wait) {
            const resume next = await_input(c, prompt, line);
            if (next == resume::give_up) {
                return false;
            }
            if (next == resume::start_over) {
                length = 0;
                fits = true;
            }
            must_wait = c.at_terminal;
        }
        // Past the end of the room, the last slot takes the dropped bytes;
        // the terminating NUL overwrites it.
        char &slot = line[std::min(length, last)];
        const ssize_t got = read(STDIN_FILENO, &slot, 1);
        if (got < 0) {
            if (!try_again(c, must_wait)) {
                return false;
            }
            continue;
        }
        if (got == 0 || slot == '\n') {
            break;
        }
        if (length < last) {
            ++length;
        } else {
            fits = false;
        }
    }
    line[length] = '\0';
    return fits;
}

} // namespace

bool read_passphrase(const char *prompt, std::span<char> line)
{
    show(prompt);
    console c{};
    c.at_terminal = isatty(STDIN_FILENO) != 0;
    if (c.at_terminal) {
        c.quiet_due = true;
        catch_signals(c);
    }

    const bool whole = read_line(c, prompt, line);

    if (c.at_terminal) {
        put_back(c);
        release_signals(c);
        if (const int sig = take_first(ending_signals)) {
            end_by(c, sig, line);
            return false;
        }
        // A stop asked for as the line came in is honoured, now that the
        // terminal is back.
        if (const int sig = take_first(stop_signals)) {
            (void)std::raise(sig);
        }
    }
    // Enter was not echoed: end the prompt's line.
    (void)std::putchar('\n');
    (void)std::fflush(stdout);
    return whole && line[0] != '\0';
}
