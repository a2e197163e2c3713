// The built tool on a real pseudo-terminal, as a person at a keyboard meets it.

#include "checks.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>

namespace {

// Only a guard against a hung tool, never a measure of speed.
constexpr int guard_ms = 20000;

struct session {
    pid_t pid;
    int master;
    int slave; // kept open here, so the terminal's state outlives the tool
    int err;
    tcflag_t original;
};

tcflag_t local_flags(int slave)
{
    termios now{};
    tcgetattr(slave, &now);
    return now.c_lflag;
}

// What the terminal shows, read until `done` holds or the guard runs out.
std::string read_until(int master, const std::function<bool(const std::string &)> &done)
{
    std::string shown;
    pollfd ready{master, POLLIN, 0};
    char chunk[512];
    ssize_t got = 0;
    while (!done(shown) && poll(&ready, 1, guard_ms) > 0 && (got = read(master, chunk, sizeof chunk)) > 0) {
        shown.append(chunk, static_cast<std::size_t>(got));
    }
    return shown;
}

// Starts the tool on a new terminal and returns once it waits for the
// passphrase, having checked that it cleared ECHO and nothing else.
session start_waiting(bool caller_ignores_sigint = false)
{
    session s{};
    EXPECT_EQ(openpty(&s.master, &s.slave, nullptr, nullptr, nullptr), 0);
    s.original = local_flags(s.slave);
    int err[2];
    EXPECT_EQ(pipe(err), 0);
    s.pid = fork();
    if (s.pid == 0) {
        if (login_tty(s.slave) != 0 || dup2(err[1], STDERR_FILENO) < 0) {
            _exit(127);
        }
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        if (caller_ignores_sigint) {
            std::signal(SIGINT, SIG_IGN);
        }
        execl(PASSHASH_BINARY, PASSHASH_BINARY, nullptr);
        _exit(127);
    }
    close(err[1]);
    s.err = err[0];
    EXPECT_EQ(read_until(s.master, [](const std::string &shown) { return shown == prompt; }), prompt);
    // The prompt comes before echo goes off: wait for the switch.
    const tcflag_t quiet = s.original & ~tcflag_t{ECHO};
    for (int waited = 0; local_flags(s.slave) != quiet && waited < guard_ms; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(local_flags(s.slave), quiet);
    return s;
}

void type(const session &s, const std::string &keys)
{
    EXPECT_EQ(write(s.master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

// What the terminal shows after the prompt, up to the end of the result line.
std::string rest_of_screen(const session &s)
{
    return read_until(s.master, [](const std::string &shown) {
        return shown.find(result_label) != std::string::npos && shown.ends_with("\r\n");
    });
}

// Waits for the tool, checks the terminal is as it was and stderr untouched.
int finish(const session &s)
{
    int status = -1;
    waitpid(s.pid, &status, 0);
    EXPECT_EQ(local_flags(s.slave), s.original) << "terminal not restored";
    char byte = 0;
    EXPECT_EQ(read(s.err, &byte, 1), 0) << "something was written to stderr";
    close(s.err);
    close(s.slave);
    close(s.master);
    return status;
}

TEST(Terminal, TypedPassphraseIsNotShownAndIsHashed)
{
    const struct {
        const char *name;
        bool caller_ignores_sigint;
    } cases[] = {{"typed", false}, {"SIGINT ignored by the caller stays ignored", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const session s = start_waiting(c.caller_ignores_sigint);
        if (c.caller_ignores_sigint) {
            kill(s.pid, SIGINT);
        }
        type(s, "hunter two\n");
        const std::string shown = rest_of_screen(s);
        // The prompt was read by start_waiting; the terminal turns "\n" into "\r\n".
        EXPECT_TRUE(verifies("hunter two", result_hash(shown, "\r\n", "\r\n"))) << shown;
        const int status = finish(s);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

TEST(Terminal, EndingSignalDuringTheReadRestoresEchoAndEndsByThatSignal)
{
    const struct {
        const char *name;
        int sig;
        char key; // typed at the terminal; 0: sent with kill
    } cases[] = {{"Ctrl-C", SIGINT, '\x03'}, {"Ctrl-\\", SIGQUIT, '\x1c'}, {"kill TERM", SIGTERM, 0},
        {"kill HUP", SIGHUP, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const session s = start_waiting();
        if (c.key != 0) {
            type(s, std::string(1, c.key));
        } else {
            kill(s.pid, c.sig);
        }
        const int status = finish(s);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.sig) << status;
    }
}

TEST(Terminal, OverlongLineIsRefusedAndNotLeftForTheShell)
{
    const session s = start_waiting();
    type(s, std::string(1500, 'x') + "\n");
    siginfo_t ended{};
    waitid(P_PID, static_cast<id_t>(s.pid), &ended, WEXITED | WNOWAIT); // ended, not yet reaped
    int queued = -1;
    ioctl(s.slave, FIONREAD, &queued);
    EXPECT_EQ(queued, 0);
    const int status = finish(s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

} // namespace
