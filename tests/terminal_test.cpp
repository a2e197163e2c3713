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
    termios original;
};

session start(bool caller_ignores_sigint = false)
{
    session s{};
    EXPECT_EQ(openpty(&s.master, &s.slave, nullptr, nullptr, nullptr), 0);
    tcgetattr(s.slave, &s.original);
    int err[2];
    EXPECT_EQ(pipe(err), 0);
    s.pid = fork();
    if (s.pid == 0) {
        close(s.master);
        close(err[0]);
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
    return s;
}

// Everything the terminal shows, read until `done` holds or the guard runs out.
std::string read_until(int master, const std::function<bool(const std::string &)> &done)
{
    std::string shown;
    pollfd ready{master, POLLIN, 0};
    while (!done(shown) && poll(&ready, 1, guard_ms) > 0) {
        char chunk[512];
        const ssize_t got = read(master, chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        shown.append(chunk, static_cast<std::size_t>(got));
    }
    return shown;
}

std::string read_until(int master, const std::string &text)
{
    return read_until(master, [&](const std::string &shown) { return shown.ends_with(text); });
}

// The tool prints the prompt before it switches echo off: wait for the switch.
tcflag_t local_flags_once(int slave, tcflag_t wanted)
{
    termios now{};
    for (int waited = 0; waited < guard_ms; ++waited) {
        tcgetattr(slave, &now);
        if (now.c_lflag == wanted) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return now.c_lflag;
}

tcflag_t local_flags(int slave)
{
    termios now{};
    tcgetattr(slave, &now);
    return now.c_lflag;
}

// Starts the tool and waits until it waits for the passphrase with only ECHO cleared.
session start_waiting(bool caller_ignores_sigint = false)
{
    session s = start(caller_ignores_sigint);
    EXPECT_EQ(read_until(s.master, prompt), prompt);
    EXPECT_EQ(local_flags_once(s.slave, s.original.c_lflag & ~tcflag_t{ECHO}),
        s.original.c_lflag & ~tcflag_t{ECHO});
    return s;
}

void type(const session &s, const std::string &keys)
{
    EXPECT_EQ(write(s.master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

int finish(const session &s)
{
    int status = -1;
    waitpid(s.pid, &status, 0);
    EXPECT_EQ(local_flags(s.slave), s.original.c_lflag) << "terminal not restored";
    char byte;
    EXPECT_EQ(read(s.err, &byte, 1), 0) << "something was written to stderr";
    close(s.err);
    close(s.slave);
    close(s.master);
    return status;
}

std::string hash_shown(int master)
{
    const std::string shown = read_until(master, [](const std::string &text) {
        return text.find(result_label) != std::string::npos && text.ends_with("\r\n");
    });
    const std::string head = "\r\n" + result_label; // the prompt was read by start_waiting
    EXPECT_TRUE(shown.starts_with(head)) << shown;
    return shown.starts_with(head) ? shown.substr(head.size(), shown.size() - head.size() - 2) : shown;
}

TEST(Terminal, TypedPassphraseIsNotShownAndIsHashed)
{
    const session s = start_waiting();
    type(s, "hunter two\n");
    const std::string hash = hash_shown(s.master);
    EXPECT_TRUE(verifies("hunter two", hash)) << hash;
    const int status = finish(s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
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

TEST(Terminal, InterruptIgnoredByTheCallerStaysIgnored)
{
    const session s = start_waiting(true);
    type(s, "\x03");
    type(s, "still here\n");
    EXPECT_TRUE(verifies("still here", hash_shown(s.master)));
    const int status = finish(s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Terminal, OverlongLineIsRefusedAndNotLeftForTheShell)
{
    const session s = start_waiting();
    type(s, std::string(1500, 'x') + "\n");
    EXPECT_EQ(read_until(s.master, "\r\n"), "\r\n");
    int status = -1;
    waitpid(s.pid, &status, 0);
    int queued = -1;
    ioctl(s.slave, FIONREAD, &queued);
    EXPECT_EQ(queued, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

} // namespace
