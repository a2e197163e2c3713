// The built tool as scripts and people meet it: from pipes, and on a real
// pseudo-terminal under an interactive bash or dash, job control included.

#include <crypt.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>
#include <ranges>
#include <string>
#include <vector>

namespace {

const std::string prompt = "Enter password (not echoed): ";
const std::string label = "Hashed passphrase is: ";
const std::string secret = "hunter2";
const std::string half = "TypedHalf";

// Starts, in a child that `prepare` sets up, `argv` (which ends with env's
// words), the words that preload the test library (which searches the tool
// for the secret as it ends, see hold.cpp), `then`, and last the tool by sh
// with the shell words `after` it: through what it is to be launched by (the
// emulator of a cross build, or valgrind for a gate, whose memory is not the
// tool's alone: no search there), which sh splits into words, and as a
// package installs it if one is to be tested.
pid_t spawn(std::vector<std::string> argv, const std::vector<std::string> &then, const auto &prepare,
    const std::string &after = "")
{
    const std::string launcher
        = std::getenv("PASSHASH_LAUNCHER") == nullptr ? "" : std::getenv("PASSHASH_LAUNCHER");
    const char *packaged = std::getenv("PASSHASH_PACKAGED");
    if (launcher.empty()) {
        argv.insert(argv.end(),
            {"LD_PRELOAD=" PASSHASH_HOLD_LIBRARY, "ASAN_OPTIONS=verify_asan_link_order=0",
                "PASSHASH_SCAN=" + std::string(secret.rbegin(), secret.rend())});
    }
    argv.insert(argv.end(), then.begin(), then.end());
    argv.insert(argv.end(),
        {"sh", "-c", "exec " + launcher + " \"$@\" " + after, "sh",
            packaged == nullptr ? PASSHASH_BINARY : packaged});
    const pid_t pid = fork();
    if (pid == 0) {
        prepare();
        std::vector<char *> words(argv.size() + 1);
        std::ranges::transform(
            argv, words.begin(), [](const std::string &w) { return const_cast<char *>(w.c_str()); });
        execvp(words[0], words.data());
        _exit(127);
    }
    return pid;
}

// True when `hash` has the library's default method and cost, and the library,
// given it as the setting, hashes `passphrase` to the very same string.
bool verifies(const std::string &passphrase, const std::string &hash)
{
    const std::string defaults = crypt_gensalt(nullptr, 0, nullptr, 0);
    const char *again = crypt(passphrase.c_str(), hash.c_str());
    return again != nullptr && hash == again && hash.starts_with(defaults.substr(0, defaults.rfind('$')));
}

// How many times `word` stands in `text`: one fewer than the pieces between.
std::size_t count_of(const std::string &text, const std::string &word)
{
    const auto pieces = std::ranges::distance(std::views::split(text, word));
    return pieces > 1 ? static_cast<std::size_t>(pieces) - 1 : 0;
}

// What is left to read at `fd`.
std::string rest_of(int fd)
{
    std::string text(std::size_t{1} << 16, '\0');
    text.resize(static_cast<std::size_t>(std::max(read(fd, text.data(), text.size()), ssize_t{0})));
    return text;
}

struct pipe_case {
    const char *name;
    std::string input;
    std::string passphrase; // none: nothing may be hashed
    const char *after = ""; // shell words after the tool
};

const pipe_case pipe_cases[] = {
    {"no trailing newline, a NUL inside ends it", secret + std::string("\0cd", 3), secret},
    {"empty input", "", ""},
    {"only a newline", "\n", ""},
    {"NUL first", std::string("\0abc\n", 5), ""},
    {"blanks, tabs, a carriage return and any bytes kept", " \tp\xc3\xa4ss\xff phrase \t\r\n",
        " \tp\xc3\xa4ss\xff phrase \t\r"},
    {"511 bytes", std::string(504, 'x') + secret + "\n", std::string(504, 'x') + secret},
    {"512 bytes refused by the library", std::string(512, 'x') + "\n", ""},
    {"overlong, even with an early NUL", std::string("ab\0", 3) + std::string(1500, 'x') + "\nnext\n", ""},
    {"arguments ignored, only the first line read", secret + "\nsecond\n", secret, "--help - '' 'x y'"},
    {"stdout on a full disk", secret + "\n", "", ">/dev/full"},
    {"stdout closed", secret + "\n", "", ">&-"},
    {"stdin closed", "", "", "<&-"},
};

// Each input from a pipe whose writer is gone, the output to a file. Standard
// error shares it, so that a word there shows in the output: the preloaded
// library's, for a copy of the passphrase left in the tool.
TEST(Pipe, EachLineGivesItsOutcomeAndLeavesTheRestUnread)
{
    for (const pipe_case &c : pipe_cases) {
        SCOPED_TRACE(c.name);
        int in[2];
        const int out = memfd_create("out", MFD_CLOEXEC);
        ASSERT_TRUE(pipe2(in, O_CLOEXEC) == 0
            && write(in[1], c.input.data(), c.input.size()) == std::ssize(c.input) && close(in[1]) == 0);
        // Every signal at its default, whatever this test runner was given.
        const pid_t pid = spawn(
            {"env", "--default-signal"}, {}, [&] { dup2(in[0], STDIN_FILENO), dup2(out, STDOUT_FILENO); },
            "2>&1 " + std::string(c.after));
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (c.passphrase.empty() ? 1 : 0)) << status;
        EXPECT_EQ(rest_of(in[0]), c.input.substr(std::min(c.input.find('\n'), c.input.size() - 1) + 1));
        lseek(out, 0, SEEK_SET);
        const std::string shown = rest_of(out);
        const std::string head = prompt + "\n" + (c.passphrase.empty() ? "" : label);
        const std::string hash = shown.substr(std::min(head.size(), shown.size()));
        EXPECT_EQ(shown, c.after[0] == '>' ? "" : head + hash);
        EXPECT_TRUE(
            hash.empty() ? c.passphrase.empty() : verifies(c.passphrase, hash.substr(0, hash.size() - 1)))
            << shown;
        close(in[0]);
        close(out);
    }
}

// One exchange at the terminal: keys typed, then a signal sent to the job in
// the foreground, then a text awaited on the screen.
struct step {
    std::string keys;
    std::string expect;
    int sig = 0;
    // Before the signal, the job in the foreground sleeps in its wait for
    // input with all that was typed read.
    bool until = false;
    // Until `expect` shows, the passphrase is typed once at each prompt, when
    // the tool sleeps in its wait with nothing typed left unread, and each
    // stop that strace reports is continued, as fg would: for a tool run
    // under strace.
    bool answer = false;
};

struct shell_case {
    std::string name;
    std::string shell;
    std::vector<step> steps;
};

std::vector<shell_case> shell_cases()
{
    const step start{"\"$@\"\n", prompt};
    // Awaited to the shell's prompt after it, so that the next keys, echoed by
    // the shell's terminal, cannot land in the middle of the hash line.
    const std::string done = "\r\n$ ";
    const step fg{"fg\n", prompt};
    // Shows on the screen only if the shell got its echo back.
    const step at_shell{"echo typed-at-shell\n", "echo typed-at-shell"};
    const auto status
        = [](int value) { return step{"echo status=$?\n", "status=" + std::to_string(value) + "\r"}; };

    std::vector<shell_case> cases{
        // The rest of a paste never reaches the shell.
        {"bash_paste_of_two_lines", "bash", {start, {secret + "\ntouch pasted\n", done}, status(0)}},
        // Half a line typed, then SIGTERM: the tool ends by it, and the shell
        // gets none of the line. Then, with SIGINT ignored by the caller (it
        // stays ignored), cores allowed and canonical mode off (the tool reads
        // each key as it comes): started with &, the tool stopped in the
        // background cannot be read by another process of its user (under
        // root, both without capabilities); at fg Ctrl-C changes nothing,
        // and Ctrl-\ after a whole passphrase read ends it by SIGQUIT, with
        // no copy of the passphrase left and no core file. (The modes differ
        // from the other rows', so only the start of the prompt is awaited.)
        {"dash_sigterm_then_ctrl_backslash_with_memory_private", "dash",
            {start, {half, "$ ", SIGTERM, true}, status(128 + SIGTERM),
                {"trap '' INT; ulimit -c unlimited; [ $(id -u) = 0 ] && as='setpriv --bounding-set=-all' || "
                 "as=; "
                 "stty -icanon; $as \"$@\" &\n",
                    "$ "},
                {"wait %1; $as cat /proc/$!/mem\n", "mem: Permission denied"}, {fg.keys, "Enter password"},
                {"\x03", "", 0, true}, {secret, "", 0, true}, {"\x1c", "$ "},
                {"s=$?; stty icanon; echo status=$s\n", "status=" + std::to_string(128 + SIGQUIT) + "\r"}}},
    };
    for (const std::string shell : {"bash", "dash"}) {
        // Started with &, the tool shows nothing and stops as it finds the
        // terminal taken; `wait` returns on the stop. bash then has its line
        // editor's modes on the terminal, which are not the ones to read with
        // or to come back to; and its job has SIGTTOU and SIGCONT blocked by
        // the caller, which must neither keep it from stopping nor hide fg.
        // Then three stops in one read, the shell's echo back at each:
        // SIGSTOP and fg; half a passphrase typed, then SIGTSTP (none of it
        // reaches the shell, or the passphrase typed after fg) and fg; Ctrl-Z,
        // then bg, and fg once the shell has seen the job stop again (wait
        // returns then): a stop seen only in /proc may not have reached bash
        // yet, whose fg then leaves the job stopped. Keys typed with that fg,
        // before the new prompt, are dropped. Last, a SIGCONT alone while the
        // passphrase is typed, as fg sends to a job that never got to stop
        // after bg: what was typed before it still counts. (Asleep again
        // before the rest is typed: a reader that woke for it has shown its
        // new prompt by then.)
        const std::string blocked = shell == "bash" ? "env --block-signal=TTOU,CONT " : "";
        cases.push_back({shell + "_started_in_background_then_every_stop", shell,
            {{blocked + "\"$@\" &\n", "$ "}, {"wait %1; jobs\n", "Stopped"}, fg, {"", "Stopped", SIGSTOP}, fg,
                {half, "Stopped", SIGTSTP, true}, at_shell, fg, {"\x1a", "Stopped"},
                {"bg; wait %1; echo waited-$((6*7))\n", "waited-42"}, at_shell, {fg.keys + "ahead", prompt},
                {secret.substr(0, 4), "", SIGCONT, true}, {"", "", 0, true}, {secret.substr(4) + "\n", done},
                status(0)}});
    }
    return cases;
}

// Whether `pid` sleeps in a wait for input: the function the kernel sleeps in,
// which /proc names to root alone for a process that is not dumpable, as the
// tool is (others see "0": only that it sleeps).
bool waits_for_input(pid_t pid)
{
    std::string stat;
    std::string wchan;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), stat);
    std::ifstream("/proc/" + std::to_string(pid) + "/wchan") >> wchan;
    return stat.find(") S ") != std::string::npos
        && (wchan.find("poll") != std::string::npos || wchan == "0");
}

// Runs a case in an interactive shell on a fresh pseudo-terminal, and checks
// what every case must hold; `shown` is what the terminal showed.
void run_shell(const shell_case &c, std::string &shown)
{
    std::string scratch = testing::TempDir() + "passhash-XXXXXX";
    int master = -1;
    int slave = -1;
    ASSERT_TRUE(
        mkdtemp(scratch.data()) != nullptr && openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    termios modes{};
    const auto local_modes = [&] { return tcgetattr(master, &modes) == 0 ? modes.c_lflag : 0; };
    const tcflag_t before = local_modes();
    // Typed keys reach the terminal's queue by way of a kernel worker, which a
    // poll on the terminal waits for. Then nothing typed is left unread when
    // the queue holds no whole line (in canonical mode) or no byte at all.
    int unread = -1;
    const auto all_read = [&] {
        pollfd landed{slave, POLLIN, 0};
        return poll(&landed, 1, 0) >= 0 && ioctl(slave, FIONREAD, &unread) == 0 && unread == 0;
    };
    // The job in the foreground, asleep in its wait with all typed read.
    const auto waiting = [&](pid_t job) { return all_read() && waits_for_input(job); };
    // Every signal at its default and no start-up files (bash's --norc; dash
    // takes a second -i instead). The tool's command line is the shell's "$@".
    const pid_t shell = spawn({"env", "--default-signal", "-i", "PS1=$ ", "TERM=dumb", "PATH=/usr/bin:/bin"},
        {c.shell, c.shell == "bash" ? "--norc" : "-i", "-i", "-s"},
        [&] { login_tty(slave), (void)chdir(scratch.c_str()); });

    std::size_t seen = 0;
    const auto expect = [&](const std::string &text, bool answer) {
        pollfd ready{master, POLLIN, 0};
        char chunk[512];
        for (std::size_t answered = 0, stops = 0; shown.find(text, seen) == std::string::npos;) {
            const bool owed = answer && count_of(shown.substr(seen), prompt) > answered;
            // Only a guard against a hung run, never a measure of speed.
            const int events = poll(&ready, 1, owed ? 1 : 20000);
            const ssize_t got = events > 0 ? read(master, chunk, sizeof chunk) : 0;
            if (got < 0 || (events == 0 && !owed)) {
                return false;
            }
            shown.append(chunk, static_cast<std::size_t>(got));
            const std::string job = std::to_string(tcgetpgrp(master));
            pid_t tool = 0; // strace's child
            std::ifstream("/proc/" + job + "/task/" + job + "/children") >> tool;
            // Not while the last answer may still be on its way to the queue.
            if (owed && waiting(tool)) {
                ++answered;
                (void)write(master, (secret + "\n").data(), secret.size() + 1);
                (void)all_read();
            }
            if (answer && count_of(shown.substr(seen), "--- stopped by") > stops) {
                ++stops;
                kill(-tcgetpgrp(master), SIGCONT);
            }
        }
        seen = shown.find(text, seen) + text.size();
        return true;
    };
    ASSERT_TRUE(expect("$ ", false));
    for (const step &s : c.steps) {
        ASSERT_EQ(write(master, s.keys.data(), s.keys.size()), std::ssize(s.keys));
        // Only a guard against a hung run, never a measure of speed.
        for (int waited = 0; s.until && !(tcgetpgrp(master) != shell && waiting(tcgetpgrp(master)));
            ++waited) {
            ASSERT_LT(waited, 20000) << "never asleep in its wait with all typed read:\n" << shown;
            usleep(1000);
        }
        if (s.sig != 0) {
            kill(-tcgetpgrp(master), s.sig);
        }
        ASSERT_TRUE(s.expect.empty() || expect(s.expect, s.answer)) << "no '" << s.expect << "' in:\n"
                                                                    << shown;
        // Answered at once, as scripts do: echo must already be off.
        EXPECT_TRUE(s.expect != prompt || local_modes() == (before & ~tcflag_t{ECHO}))
            << "not ECHO alone cleared";
    }
    for (const std::string &word : {secret, half, std::string("core dumped"), std::string("passhash-hold")}) {
        EXPECT_EQ(count_of(shown, word), 0U) << shown;
    }
    // Every hash shown verifies against what was typed.
    for (std::size_t at = shown.find(label); at != std::string::npos; at = shown.find(label, at + 1)) {
        const std::size_t hash = at + label.size();
        EXPECT_TRUE(verifies(secret, shown.substr(hash, shown.find('\r', hash) - hash))) << shown;
    }
    // As many prompts as the steps awaited, and no more (under strace, the
    // tool's own course decides).
    const auto awaited = std::ranges::count_if(
        c.steps, [](const step &s) { return s.expect.starts_with("Enter password"); });
    EXPECT_TRUE(c.steps[0].answer || std::cmp_equal(count_of(shown, "Enter password"), awaited)) << shown;
    // Unlike bash, dash leaves the terminal as the last job left it.
    EXPECT_TRUE(c.shell == "bash" || local_modes() == before) << "terminal not put back";
    kill(shell, SIGKILL);
    waitpid(shell, nullptr, 0);
    close(master);
    close(slave);
    EXPECT_EQ(rmdir(scratch.c_str()), 0)
        << "a core file, or a pasted command's file, was left in " << scratch;
}

using Terminal = testing::TestWithParam<shell_case>;

TEST_P(Terminal, PassphraseIsNeverShownAndTheShellGetsItsTerminalBack)
{
    std::string shown;
    run_shell(GetParam(), shown);
}

INSTANTIATE_TEST_SUITE_P(Shell, Terminal, testing::ValuesIn(shell_cases()),
    [](const testing::TestParamInfo<shell_case> &row) { return row.param.name; });

using Sweep = testing::TestWithParam<int>;

// The signal delivered on entry to each system call of a clean run (those
// after the tool's execve, on whose entry strace delivers nothing), one run
// each. Whatever the moment, nothing typed shows and the terminal is back as
// it was; a hash printed verifies against what was typed at the last prompt.
// An ending signal ends the tool by it, unless it comes too late to matter; a
// stop that strace delivered stops it, and fg then brings a hash; SIGCONT
// ends nothing (under ptrace it starts the read over: the tracer makes it seen).
TEST_P(Sweep, SignalOnEntryToEverySystemCall)
{
    const std::string name = sigabbrev_np(GetParam());
    const auto traced = [](const std::string &options) {
        std::string shown;
        // LeakSanitizer cannot work under ptrace, and a search of the tool's
        // memory as it ends adds system calls: the other rows do both.
        run_shell({"", "dash",
                      {{"ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD= strace -q " + options + " \"$@\"\n", "$ ", 0,
                          false, true}}},
            shown);
        return shown;
    };
    const std::string trace = testing::TempDir() + "passhash-trace-" + name;
    traced("-o " + trace);
    std::vector<std::string> points; // as strace counts the calls: the 3rd read
    std::map<std::string, int> seen;
    std::ifstream lines(trace);
    for (std::string call; std::getline(lines >> std::ws, call, '(') && lines.ignore(1 << 16, '\n');) {
        points.resize(call == "execve" ? 0 : points.size());
        points.push_back(call + ":signal=SIG" + name + ":when=" + std::to_string(++seen[call]));
    }
    std::remove(trace.c_str());
    ASSERT_GT(points.size(), 50U);
    const bool stop = name == "TSTP" || name == "TTIN" || name == "TTOU";
    std::size_t delivered = 0;
    for (const std::string &point : points | std::views::drop(1)) {
        const std::string shown = traced("-e status=none -e inject=" + point);
        const auto has = [&shown](const std::string &text) { return shown.find(text) != std::string::npos; };
        delivered += has("si_code=SI_KERNEL") ? 1U : 0U;
        EXPECT_TRUE(stop ? has("+++ exited with 0 +++")
                    && count_of(shown, "--- stopped by") == (has("SI_KERNEL") ? 1U : 0U)
                         : has("+++ exited with 0 +++") || has("+++ killed by SIG" + name + " +++"))
            << point << ":\n"
            << shown;
    }
    // Some calls may not come again in a later run (on exit_group nothing is
    // delivered), but nearly all must have had the signal.
    EXPECT_GE(delivered * 10, points.size() * 9);
}

INSTANTIATE_TEST_SUITE_P(Signal, Sweep,
    testing::Values(SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGTSTP, SIGTTIN,
        SIGTTOU, SIGCONT),
    [](const testing::TestParamInfo<int> &row) { return std::string(sigabbrev_np(row.param)); });

} // namespace
