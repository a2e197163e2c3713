// The built tool as scripts and people meet it: on pipes, and on a real
// pseudo-terminal under an interactive bash or dash, job control included.

#include <crypt.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>
#include <optional>
#include <ranges>
#include <span>
#include <string>
#include <vector>

namespace {

const std::string prompt = "Enter password (not echoed): ";
const std::string label = "Hashed passphrase is: ";
const std::string secret = "hunter2";
const std::string half = "TypedHalf";
// Starts `argv` in a child that `prepare` sets up, then the tool by sh, with
// the shell words `after` it (arguments, redirections): through what it is to be
// launched by (the emulator of a cross build, or valgrind for a gate), which sh
// splits into words, and as a package installs it if one is to be tested.
pid_t spawn(std::vector<std::string> argv, const auto &prepare, const std::string &after = "")
{
    const char *launcher = std::getenv("PASSHASH_LAUNCHER");
    const char *packaged = std::getenv("PASSHASH_PACKAGED");
    argv.insert(argv.end(),
        {"sh", "-c", std::string("exec ") + (launcher == nullptr ? "" : launcher) + " \"$@\" " + after, "sh",
            packaged == nullptr ? PASSHASH_BINARY : packaged});
    const pid_t pid = fork();
    if (pid == 0) {
        prepare();
        std::vector<char *> words(argv.size() + 1);
        std::ranges::transform(
            argv, words.begin(), [](const std::string &word) { return const_cast<char *>(word.c_str()); });
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

// The state letter of a process, from the field that follows its name in
// /proc (R running, S sleeping, T stopped); none ('\0', past the end of the
// text) when it is gone and the text stays as it starts.
char state_of(pid_t pid)
{
    std::string stat = ") ";
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), stat);
    return stat[stat.rfind(") ") + 2];
}

// Whether `pid` sleeps where `where` names: "poll" in a wait for input (the
// function the kernel sleeps in, which /proc names to root alone for a process
// that is not dumpable, as the tool is: others see only that it sleeps), or
// "held" by the preloaded library, which gives the process that name.
bool sleeps_in(pid_t pid, const std::string &where)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string wchan;
    std::string name;
    std::ifstream(proc + "/wchan") >> wchan;
    std::ifstream(proc + "/comm") >> name;
    return state_of(pid) == 'S'
        && (name == where || wchan.find(where) != std::string::npos || (wchan == "0" && where == "poll"));
}

// Only a guard against a hung run, never a measure of speed.
bool wait_until(const auto &ready)
{
    for (int waited = 0; !ready() && waited < 20000; ++waited) {
        usleep(1000);
    }
    return ready();
}

// How many times `word` stands in `text`: one fewer than the pieces between.
std::size_t count_of(const std::string &text, const std::string &word)
{
    const auto pieces = std::ranges::distance(std::views::split(text, word));
    return pieces > 1 ? static_cast<std::size_t>(pieces) - 1 : 0;
}

// Everything in a file from its start, or the rest of a pipe (which has no
// offset to rewind: lseek fails and changes nothing), in one read.
std::string drain(int fd)
{
    lseek(fd, 0, SEEK_SET);
    std::string text(std::size_t{1} << 20, '\0');
    text.resize(static_cast<std::size_t>(std::max(read(fd, text.data(), text.size()), ssize_t{0})));
    return text;
}

// The words for env that preload the test library into the tool, to search it
// for `passphrase` as it ends (see hold.cpp). None under a launcher: valgrind's
// own memory is not the tool's, and qemu-user runs on another machine's.
std::vector<std::string> scanned_for(std::vector<std::string> argv, const std::string &passphrase)
{
    if (const char *launcher = std::getenv("PASSHASH_LAUNCHER"); launcher == nullptr || *launcher == '\0') {
        argv.insert(argv.end(),
            {"LD_PRELOAD=" PASSHASH_HOLD_LIBRARY, "ASAN_OPTIONS=verify_asan_link_order=0",
                "PASSHASH_SCAN=" + std::string(passphrase.rbegin(), passphrase.rend())});
    }
    return argv;
}

struct pipe_case {
    const char *name;
    std::string input;
    std::optional<std::string> passphrase; // none: nothing may be hashed
    const char *after = ""; // shell words after the tool
    bool reset = false; // a socket instead, whose next read fails once the input is taken
};

const pipe_case pipe_cases[] = {
    {"no trailing newline", secret, secret},
    {"empty input", "", std::nullopt},
    {"only a newline", "\n", std::nullopt},
    {"NUL first", std::string("\0abc\n", 5), std::nullopt},
    {"NUL inside ends it", secret + std::string("\0cd\n", 4), secret},
    {"blanks, tabs, a carriage return and any bytes kept", " \tp\xc3\xa4ss\xff phrase \t\r\n",
        " \tp\xc3\xa4ss\xff phrase \t\r"},
    {"511 bytes", std::string(504, 'x') + secret + "\n", std::string(504, 'x') + secret},
    {"512 bytes refused by the library", std::string(512, 'x') + "\n", std::nullopt},
    {"overlong line refused, even with an early NUL",
        std::string("ab\0", 3) + std::string(1500, 'x') + "\nnext\n", std::nullopt},
    {"only the first line", secret + "\nsecond\n", secret},
    {"arguments ignored", secret + "\n", secret, "--help - '' 'x y'"},
    {"stdout on a full disk", secret + "\n", std::nullopt, ">/dev/full"},
    {"stdout closed", secret + "\n", std::nullopt, ">&-"},
    {"stdin closed", "", std::nullopt, "<&-"},
    // A prompt lost on a full non-blocking pipe, which has room by the time
    // the result is written: the lost output still counts.
    {"prompt lost, result written", secret + "\n", std::nullopt, ">&3"},
    {"a read error after part of a line", secret, std::nullopt, "", true},
};

// Each input is written only once the tool waits for it, to a pipe handed
// over non-blocking: the hardest case, and the one that shows how much of the
// input the tool took. (Plain pipes are the package's and the manual's.) A
// copy of the passphrase left in the tool as it ends is said on its stderr.
TEST(Pipe, EachLineGivesItsOutcomeAndLeavesTheRestUnread)
{
    for (const pipe_case &c : pipe_cases) {
        SCOPED_TRACE(c.name);
        int in[2];
        int full[2];
        ASSERT_TRUE((c.reset ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, in)
                             : pipe2(in, O_CLOEXEC | O_NONBLOCK))
                == 0
            && pipe2(full, O_CLOEXEC | O_NONBLOCK) == 0);
        // Closed with this left unread, the socket's end resets the tool's.
        (void)write(in[0], "x", c.reset ? 1 : 0);
        const int out = memfd_create("out", MFD_CLOEXEC);
        // One write fills it: a pipe that is not blocking takes what it has room for.
        (void)write(full[1], std::string(1 << 20, '.').data(), 1 << 20);
        // Every signal at its default, whatever this test runner was given.
        const pid_t pid = spawn(
            scanned_for({"env", "--default-signal"}, c.passphrase.value_or("")),
            [&] { dup2(in[0], STDIN_FILENO), dup2(out, STDOUT_FILENO), dup2(full[1], 3); },
            // Standard error shares the file: a word on it shows in the output.
            std::string("2>&1 ") + c.after);
        // Asleep in its wait for input, or ended without one (standard input closed).
        EXPECT_TRUE(wait_until([pid] { return sleeps_in(pid, "poll") || state_of(pid) == 'Z'; }));
        drain(full[0]);
        EXPECT_EQ(write(in[1], c.input.data(), c.input.size()), static_cast<ssize_t>(c.input.size()));
        close(in[1]);
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (c.passphrase ? 0 : 1)) << status;
        EXPECT_EQ(drain(in[0]), c.input.substr(std::min(c.input.find('\n'), c.input.size() - 1) + 1));

        const std::string shown = drain(out);
        const std::string head = prompt + "\n" + (c.passphrase ? label : "");
        const std::string hash = shown.substr(std::min(head.size(), shown.size()));
        EXPECT_EQ(shown, c.after[0] == '>' ? "" : head + hash);
        EXPECT_TRUE(hash.empty() ? !c.passphrase
                                 : verifies(c.passphrase.value_or(""), hash.substr(0, hash.size() - 1)))
            << shown;
        for (const int fd : {in[0], out, full[0], full[1]}) {
            close(fd);
        }
    }
}

// One exchange at the terminal: keys typed, then a signal sent to the job in
// the foreground, then a text awaited on the screen.
struct step {
    std::string keys;
    std::string expect;
    int sig = 0;
    // The signal waits until the job in the foreground sleeps there (see
    // sleeps_in): "poll", in its wait for input, with echo off and all that was
    // typed read.
    const char *until = nullptr;
    // Until `expect` shows, the passphrase is typed at each prompt once the tool
    // sleeps in its wait for it, and each stop that strace reports is
    // continued, as fg would: for a tool run under strace.
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
    const step passphrase{secret + "\n", done};
    const step ctrl_z{"\x1a", "Stopped"};
    const step fg{"fg\n", prompt};
    // Shows on the screen only if the shell got its echo back.
    const step at_shell{"echo typed-at-shell\n", "echo typed-at-shell"};
    const auto status
        = [](int value) { return step{"echo status=$?\n", "status=" + std::to_string(value) + "\r\n"}; };

    // The tool held at one instant by the preloaded library.
    const auto held = [](const std::string &where, const std::string &expect, const char *then = "") {
        return step{"PASSHASH_HOLD=" + where + " \"$@\"" + then + "\n", expect};
    };
    // Whether the tool started last with & has more than `kb` locked, as /proc shows it: 1 or 0.
    const auto locked = [](int kb) {
        return step{"while read k v u; do [ $k = VmLck: ] && echo locked=$((v > " + std::to_string(kb)
                + ")); done </proc/$!/status\n",
            "locked=" + std::to_string(PASSHASH_LOCKS) + "\r\n"};
    };
    const step bg_wait{"bg; wait %1; echo waited-$((6*7))\n", "waited-42"};

    std::vector<shell_case> cases{
        // A SIGCONT alone, as fg sends to a job that never got to stop after
        // bg, while the tool waits: what was typed before it still counts.
        // (Asleep again before the rest is typed: a reader that woke for it
        // has shown its new prompt by then.)
        {"bash_sigcont_while_typing", "bash",
            {start, {secret.substr(0, 4), "", SIGCONT, "poll"}, {"", "", 0, "poll"},
                {secret.substr(4) + "\n", done}, status(0)}},
        // Stopped by SIGSTOP once the tool has read half a passphrase (without
        // canonical mode; the signal waits until it has read it): after fg,
        // what was typed before the new prompt is not part of the passphrase.
        // (The modes differ from the other rows', so only the prompt is awaited.)
        // Ended by SIGTERM with half a passphrase read: no copy of it is left.
        {"dash_noncanonical_half_typed_sigterm", "dash",
            {{"stty -icanon\n", "$ "}, {start.keys, "Enter password"}, {secret, "$ ", SIGTERM, "poll"},
                {"s=$?; stty icanon; echo status=$s\n", "status=143\r\n"}}},
        {"dash_noncanonical_half_typed_sigstop_fg", "dash",
            {{"stty -icanon\n", "$ "}, {start.keys, "Enter password"}, {half, "Stopped", SIGSTOP, "poll"},
                {fg.keys, "Enter password"}, passphrase, {"stty icanon\n", "$ "}, status(0)}},
        // The rest of a paste never reaches the shell.
        {"bash_paste_of_two_lines", "bash", {start, {secret + "\ntouch pasted\n", done}, status(0)}},
        // Output held with Ctrl-S: the prompt cannot show until Ctrl-Q, so echo
        // has to go off before it is written. A SIGTERM while the tool waits
        // to write it is held for the read and ends the tool once it is out.
        {"dash_output_held", "dash",
            {{"\x13" + start.keys, ""}, {"", "", SIGTERM, "wait_woken"}, {"\x11", "Enter password"},
                {"", "$ "}, status(128 + SIGTERM)}},
        {"dash_ignored_sigint", "dash", {{"trap '' INT\n", ""}, start, {"\x03", ""}, passphrase, status(0)}},
        // Sent SIGTERM while stopped, then continued in the background: the
        // tool ends by it, and leaves the terminal and the line queued for the
        // shell alone.
        {"dash_sigterm_in_background", "dash",
            {start, ctrl_z,
                {"kill %1; bg; wait %1\necho status=$? queued-$((6*7))\n", "status=143 queued-42"},
                status(0)}},
        // exec'd by the shell, the tool leads an orphaned process group, whose
        // stops the kernel discards: it takes the terminal back at once.
        {"dash_exec_orphaned_sigtstp", "dash",
            {{"exec \"$@\"\n", prompt}, {"", prompt, SIGTSTP}, {secret + "\n", label}, {"", "\r\n"}}},
        // A terminal that is not the controlling one: no job control applies.
        {"dash_not_the_controlling_terminal", "dash",
            {{"setsid -w \"$@\"\n", prompt}, passphrase, status(0)}},
        // Stopped by SIGSTOP (the terminal still the tool's) with half a
        // passphrase read (canonical mode off), then continued in the background
        // with SIGTTOU ignored: the tool cannot stop, so it gives up, hashes
        // nothing, and leaves the terminal and the line queued for the shell alone.
        {"bash_noncanonical_sigstop_bg_with_sigttou_ignored", "bash",
            {{"trap '' TTOU; stty -icanon\n", "$ "}, {start.keys, "Enter password"},
                {half, "Stopped", SIGSTOP, "poll"},
                {"bg; wait $!\necho status=$? queued-$((6*7))\n", "status=1 queued-42"}}},
        // fg at once after bg, before the tool has stopped again in the
        // background: fg's SIGCONT finds it running, which changes nothing.
        // (bash may stop such a job again right after fg: its record of the
        // job is stale.)
        {"dash_bg_fg_at_once", "dash", {start, ctrl_z, {"bg\nfg\n", prompt}, passphrase, status(0)}},
        // While the tool waits for its input (stopped in the background), a
        // process of its own user can neither read its memory nor own its
        // files in /proc, and it allows itself no core file. Under root the
        // tool and that process run as nobody, from a copy that nobody can reach.
        {"dash_memory_private", "dash",
            {{"[ $(id -u) = 0 ] && as='setpriv --reuid=65534 --regid=65534 --keep-groups' || as=\n", "$ "},
                {"cp \"$5\" t; chmod 755 . t; PASSHASH_SCAN= $as prlimit --memlock=0 --core=unlimited \"$1\" "
                 "\"$2\" \"$3\" \"$4\" ./t &\n",
                    "$ "},
                {"wait %1; $as cat /proc/$!/mem; stat -c owner=%u /proc/$!/environ; " + locked(0).keys,
                    "mem: Permission denied\r\nowner=0\r\nlocked=0\r\n"},
                {"while read a b c d v r; do [ $b = core ] && echo core=$v; done </proc/$!/limits\n",
                    "core=0\r\n"},
                fg, passphrase, {"s=$?; rm t; echo status=$s\n", "status=0\r\n"}}},
        // Held just before it hashes, the tool has its work area locked too
        // (more than the two pages that the buffer can span), its wait for
        // input closed, and the line after its prompt ended in its output.
        {"dash_held_before_hashing", "dash",
            {held("crypt_ra", "$ ", " >out &"), {"wait %1; jobs\n", "Stopped"}, {fg.keys, "", 0, "poll"},
                {secret + "\n", "Stopped"}, locked(8),
                {"case $(readlink /proc/$!/fd/*) in *eventpoll*) p=open ;; *) p=closed ;; esac; echo poll=$p "
                 "lines=$(wc -l <out)\n",
                    "poll=closed lines=1\r\n"},
                {fg.keys, "$ "}, {"cat out\n", prompt + "\r\n" + label}, {"rm out\n", ""}, status(0)}},
        // Stopped as its prompt is written: after fg the read starts over.
        {"dash_stop_while_prompting", "dash",
            {held("fflush", "Stopped"), {fg.keys, prompt}, {"", prompt}, passphrase, status(0)}},
        {"dash_sigquit_while_hashing_no_core", "dash",
            {{"ulimit -c unlimited\n", ""}, start, {passphrase.keys, "$ ", SIGQUIT}, status(128 + SIGQUIT)}},
    };
    for (const std::string shell : {"bash", "dash"}) {
        // Three stops in one read, the shell's echo back at each: SIGSTOP and
        // fg; half a passphrase typed, then SIGTSTP (none of it reaches the
        // shell, or the passphrase typed after fg) and fg; Ctrl-Z, then bg, and
        // fg once the shell has seen the job stop again (wait returns then): a
        // stop seen only in /proc may not have reached bash yet, whose fg then
        // leaves the job stopped. Keys typed with that fg, before the new
        // prompt, are dropped.
        cases.push_back({shell + "_sigstop_half_sigtstp_ctrl_z_bg_fg", shell,
            {start, {"", "Stopped", SIGSTOP}, fg, {half, "Stopped", SIGTSTP}, at_shell, fg, ctrl_z, bg_wait,
                at_shell, {fg.keys + "ahead", prompt}, passphrase, status(0)}});
        // Stopped between the end of the wait for input and the read (a
        // line typed), then bg: the read fails, the tool stops again in the
        // background and starts over at fg.
        cases.push_back({shell + "_stop_before_the_read_bg_fg", shell,
            {held("read", prompt), {"\n", "Stopped"}, bg_wait, fg, passphrase, status(0)}});
        // A line typed while the tool is held between the flush of the terminal
        // and its restore is neither shown nor run.
        cases.push_back({shell + "_typed_between_flush_and_restore", shell,
            {held("tcflush", prompt), {secret + "\n", "", 0, "held"}, {"touch " + half + "\n", done},
                status(0)}});
        // Started with &, the tool shows nothing and stops as it finds the
        // terminal taken; `wait` returns on the stop. bash then has its line
        // editor's modes on the terminal, which are not the ones to read with
        // or to come back to; and its job has SIGTTOU and SIGCONT blocked by
        // the caller, which must neither keep it from stopping nor hide fg.
        const std::string blocked = shell == "bash" ? "env --block-signal=TTOU,CONT " : "";
        cases.push_back({shell + "_started_in_background", shell,
            {{blocked + "\"$@\" &\n", "$ "}, {"wait %1; jobs\n", "Stopped"}, locked(0), fg, passphrase,
                status(0)}});
    }
    return cases;
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
    const auto local_modes = [master] {
        termios now{};
        tcgetattr(master, &now);
        return now.c_lflag;
    };
    const tcflag_t before = local_modes();
    // No core files unless a case asks for them, every signal at its default,
    // and no start-up files (bash's --norc; dash takes a second -i instead).
    // The tool's command line is the shell's "$@".
    std::vector<std::string> argv
        = scanned_for({"prlimit", "--core=0:", "env", "--default-signal", "-i", "PS1=$ ", "TERM=dumb",
                          "PATH=/usr/local/bin:/usr/bin:/bin"},
            secret);
    argv.insert(argv.end(), {c.shell, c.shell == "bash" ? "--norc" : "-i", "-i", "-s"});
    const pid_t shell = spawn(argv, [&] {
        login_tty(slave);
        (void)chdir(scratch.c_str());
    });

    std::size_t seen = 0;
    std::size_t answered = 0;
    const auto expect = [&](const std::string &text, bool answer = false) {
        pollfd ready{master, POLLIN, 0};
        char chunk[512];
        for (std::size_t stops = 0; shown.find(text, seen) == std::string::npos;) {
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
            if (owed && sleeps_in(tool, "poll")) {
                ++answered;
                (void)write(master, (secret + "\n").data(), secret.size() + 1);
            }
            if (answer && count_of(shown.substr(seen), "--- stopped by") > stops) {
                ++stops;
                kill(-tcgetpgrp(master), SIGCONT);
            }
        }
        seen = shown.find(text, seen) + text.size();
        return true;
    };
    ASSERT_TRUE(expect("$ "));
    for (const step &s : c.steps) {
        ASSERT_EQ(write(master, s.keys.data(), s.keys.size()), static_cast<ssize_t>(s.keys.size()));
        // Typed keys reach the terminal's queue by way of a kernel worker; a
        // poll on the terminal waits for them, so the signal comes after them.
        pollfd landed{slave, POLLIN, 0};
        poll(&landed, 1, 0);
        int unread = -1;
        EXPECT_TRUE(s.until == nullptr || wait_until([&] {
            return tcgetpgrp(master) != shell && ioctl(slave, FIONREAD, &unread) == 0 && unread == 0
                && sleeps_in(tcgetpgrp(master), s.until);
        })) << s.until;
        if (s.sig != 0) {
            kill(-tcgetpgrp(master), s.sig);
        }
        ASSERT_TRUE(s.expect.empty() || expect(s.expect, s.answer)) << "no '" << s.expect << "' in:\n"
                                                                    << shown;
        // Answered at once, as scripts do: echo must already be off.
        EXPECT_TRUE(s.expect != prompt || local_modes() == (before & ~tcflag_t{ECHO}))
            << "not ECHO alone cleared";
    }
    EXPECT_EQ(count_of(shown, secret) + count_of(shown, half) + count_of(shown, "core dumped")
            + count_of(shown, "passhash-hold"),
        0U)
        << shown;
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
    const int sig = GetParam();
    const std::string name = sigabbrev_np(sig);
    const auto traced = [](const std::string &options) {
        std::string shown;
        // LeakSanitizer cannot work under ptrace, and a search of the tool's memory
        // as it ends adds system calls: the other rows do both.
        const std::string command
            = "ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD= strace -q " + options + " \"$@\"\n";
        run_shell({"", "dash", {{command, "$ ", 0, nullptr, true}}}, shown);
        return shown;
    };
    const std::string trace = testing::TempDir() + "passhash-trace-" + name;
    traced("-o " + trace);
    std::vector<std::pair<std::string, int>> calls; // as strace counts them: the 3rd read
    std::map<std::string, int> seen;
    std::ifstream lines(trace);
    for (std::string call; std::getline(lines >> std::ws, call, '(') && lines.ignore(1 << 16, '\n');) {
        calls.resize(call == "execve" ? 0 : calls.size());
        calls.emplace_back(call, ++seen[call]);
    }
    std::remove(trace.c_str());
    ASSERT_GT(calls.size(), 50U);
    std::size_t delivered = 0;
    for (const auto &[call, nth] : std::span(calls).subspan(1)) {
        const std::string point = call + ":signal=SIG" + name + ":when=" + std::to_string(nth);
        SCOPED_TRACE(point);
        const std::string shown = traced("-e status=none -e inject=" + point);
        const auto has = [&shown](const std::string &text) { return shown.find(text) != std::string::npos; };
        const bool exited = has("+++ exited with 0 +++");
        delivered += has("si_code=SI_KERNEL") ? 1U : 0U;
        if (sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU) {
            EXPECT_TRUE(exited && count_of(shown, "--- stopped by") == (has("si_code=SI_KERNEL") ? 1U : 0U))
                << shown;
        } else {
            EXPECT_TRUE(exited || has("+++ killed by SIG" + name + " +++")) << shown;
        }
    }
    // Some calls may not come again in a later run (on exit_group nothing is
    // delivered), but nearly all must have had the signal.
    EXPECT_GE(delivered * 10, calls.size() * 9);
}

INSTANTIATE_TEST_SUITE_P(Signal, Sweep,
    testing::Values(SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE, SIGTSTP, SIGTTIN,
        SIGTTOU, SIGCONT),
    [](const testing::TestParamInfo<int> &row) { return std::string(sigabbrev_np(row.param)); });

} // namespace
