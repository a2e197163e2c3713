// passhash: asks for a passphrase with terminal echo off and prints its salted
// one-way hash in the crypt(5) format. Nothing is stored and nothing is said on
// standard error: the exit status tells whether a hash was printed.

#include "hash_passphrase.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

namespace {

// Room for a line of 1023 bytes and the terminating NUL.
constexpr std::size_t line_size = 1024;

// The signals that would otherwise end the process while echo is off.
constexpr std::array<int, 4> ending_signals{SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// Which ending signal arrived during the read. The handler only records it;
// the flow restores the terminal and re-raises it outside the handler.
volatile std::sig_atomic_t caught_signal = 0;

void note_signal(int sig)
{
    caught_signal = sig;
}

// What has to be put back once the line has been read from a terminal.
struct quiet_terminal {
    termios saved;
    sigset_t old_mask;
    std::array<struct sigaction, ending_signals.size()> old_actions;
    std::array<bool, ending_signals.size()> catching; // our handler is installed
};

// Switches echo off on standard input. Returns false, having changed nothing,
// when standard input is not a terminal: there is no state to come back to.
bool silence_terminal(quiet_terminal &quiet)
{
    if (tcgetattr(STDIN_FILENO, &quiet.saved) != 0) {
        return false;
    }

    // The ending signals stay blocked except while the read waits for input,
    // so one that arrives at any other moment is held, not lost or fatal.
    sigset_t ending;
    sigemptyset(&ending);
    for (const int sig : ending_signals) {
        sigaddset(&ending, sig);
    }
    sigprocmask(SIG_BLOCK, &ending, &quiet.old_mask);

    struct sigaction catcher { };
    catcher.sa_handler = note_signal;
    catcher.sa_mask = ending;
    for (std::size_t i = 0; i < ending_signals.size(); ++i) {
        sigaction(ending_signals[i], nullptr, &quiet.old_actions[i]);
        // A signal that our caller chose to ignore stays ignored.
        quiet.catching[i] = quiet.old_actions[i].sa_handler != SIG_IGN;
        if (quiet.catching[i]) {
            sigaction(ending_signals[i], &catcher, nullptr);
        }
    }

    termios silent = quiet.saved;
    silent.c_lflag &= ~tcflag_t{ECHO};
    tcsetattr(STDIN_FILENO, TCSANOW, &silent);
    return true;
}

// Puts the terminal and the signal handling back as they were. A signal held
// back during the read reaches the catcher as the old mask comes back.
void restore_terminal(const quiet_terminal &quiet)
{
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet.saved);
    sigprocmask(SIG_SETMASK, &quiet.old_mask, nullptr);
    for (std::size_t i = 0; i < ending_signals.size(); ++i) {
        if (quiet.catching[i]) {
            sigaction(ending_signals[i], &quiet.old_actions[i], nullptr);
        }
    }
}

// Waits until standard input has something to read, with the ending signals
// let in for the wait alone: ppoll swaps the mask atomically, so there is no
// moment where one could arrive unnoticed. False when the wait failed or an
// ending signal ended it.
bool wait_for_input(const sigset_t *wait_mask)
{
    pollfd input{STDIN_FILENO, POLLIN, 0};
    while (ppoll(&input, 1, nullptr, wait_mask) < 0) {
        if (caught_signal != 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Reads one line from standard input into `line`, NUL-terminated and without
// its newline; true when the line was read whole and fits. Bytes are read one
// at a time so that nothing past the newline is consumed: whatever follows
// stays for the next reader, on a pipe as well. The rest of a line too long
// for `line` is read and dropped so that at a terminal it cannot reach the
// shell as a command. `wait_mask` is given at a terminal (see wait_for_input).
bool read_line(std::span<char> line, const sigset_t *wait_mask)
{
    const std::size_t last = line.size() - 1;
    std::size_t length = 0;
    bool fits = true;
    for (;;) {
        if (wait_mask != nullptr && !wait_for_input(wait_mask)) {
            return false;
        }
        // Past the end of the room, the last slot takes the dropped bytes;
        // the terminating NUL overwrites it.
        char &slot = line[std::min(length, last)];
        const ssize_t got = read(STDIN_FILENO, &slot, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
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

// A result that did not reach its destination is no success: both an error
// left by an earlier write and one from the final flush and close count.
bool close_stdout()
{
    const bool write_failed = std::ferror(stdout) != 0;
    const bool closed = std::fclose(stdout) == 0;
    return closed && !write_failed;
}

} // namespace

int main()
{
    // Write errors here are not lost: they stay on the stream and decide the
    // exit status at the end.
    (void)std::fputs("Enter password (not echoed): ", stdout);
    (void)std::fflush(stdout);

    std::array<char, line_size> line{};
    quiet_terminal quiet{};
    const bool at_terminal = silence_terminal(quiet);
    const bool have_line = read_line(line, at_terminal ? &quiet.old_mask : nullptr);
    if (at_terminal) {
        restore_terminal(quiet);
    }

    if (caught_signal != 0) {
        explicit_bzero(line.data(), line.size());
        // The disposition is the caller's again, so this ends the process by
        // the same signal, as the shell expects to see.
        (void)std::raise(caught_signal);
        return 1;
    }

    // Enter was not echoed: end the prompt's line ourselves.
    (void)std::putchar('\n');
    (void)std::fflush(stdout);

    char *hashed = nullptr;
    if (have_line && line[0] != '\0') {
        hashed = hash_passphrase(line.data());
    }
    explicit_bzero(line.data(), line.size());
    if (hashed == nullptr) {
        return 1;
    }

    std::printf("Hashed passphrase is: %s\n", hashed);
    std::free(hashed);
    return close_stdout() ? 0 : 1;
}
