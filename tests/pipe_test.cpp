// The built tool with standard input on a pipe or a file, as scripts use it.

#include "checks.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

namespace {

// Runs the tool on the given descriptors (-1: leave that one closed) and
// returns its wait status.
int run_tool(int in, int out, int err, const std::vector<std::string> &args = {})
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int fds[] = {in, out, err};
        for (int target = 0; target < 3; ++target) {
            if (fds[target] < 0) {
                close(target);
            } else if (dup2(fds[target], target) < 0) {
                _exit(127);
            }
        }
        std::vector<char *> argv{const_cast<char *>(PASSHASH_BINARY)};
        for (const std::string &arg : args) {
            argv.push_back(const_cast<char *>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(PASSHASH_BINARY, argv.data());
        _exit(127);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

std::string read_rest(int fd)
{
    std::string text;
    char chunk[4096];
    for (ssize_t got = 0; (got = read(fd, chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return text;
}

std::string contents(int fd)
{
    lseek(fd, 0, SEEK_SET);
    return read_rest(fd);
}

int scratch_file()
{
    return memfd_create("passhash-test", 0);
}

// Standard input for one run: a pipe or a file, holding `input`.
int input_on(const std::string &input, bool from_file)
{
    int fds[2] = {scratch_file(), -1};
    if (!from_file) {
        close(fds[0]);
        EXPECT_EQ(pipe(fds), 0);
    }
    EXPECT_EQ(write(fds[from_file ? 0 : 1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    if (from_file) {
        lseek(fds[0], 0, SEEK_SET);
    } else {
        close(fds[1]);
    }
    return fds[0];
}

struct run_result {
    int status;
    std::string out, err, unread;
};

run_result run_on(const std::string &input, bool from_file, const std::vector<std::string> &args = {})
{
    const int in = input_on(input, from_file);
    const int out = scratch_file();
    const int err = scratch_file();
    const int status = run_tool(in, out, err, args);
    // A file's offset is shared with the tool, so this is what it left unread.
    run_result result{status, contents(out), contents(err), read_rest(in)};
    for (const int fd : {in, out, err}) {
        close(fd);
    }
    return result;
}

struct line_case {
    const char *name;
    std::string input;
    std::optional<std::string> passphrase; // none: nothing may be hashed
    std::vector<std::string> args = {};
};

const line_case line_cases[] = {
    {"plain line", "secret\n", "secret"},
    {"no trailing newline", "secret", "secret"},
    {"empty input", "", std::nullopt},
    {"only a newline", "\n", std::nullopt},
    {"NUL first", std::string("\0abc\n", 5), std::nullopt},
    {"NUL inside ends it", std::string("ab\0cd\n", 6), "ab"},
    {"carriage return kept", "secret\r\n", "secret\r"},
    {"blanks and tabs kept", " \tpass phrase \t\n", " \tpass phrase \t"},
    {"bytes, not characters", "p\xc3\xa4ss\xff\n", "p\xc3\xa4ss\xff"},
    {"511 bytes", std::string(511, 'x') + "\n", std::string(511, 'x')},
    {"512 bytes refused by the library", std::string(512, 'x') + "\n", std::nullopt},
    {"1023 bytes refused by the library", std::string(1023, 'x') + "\n", std::nullopt},
    {"overlong line refused", std::string(1500, 'x') + "\nnext\n", std::nullopt},
    {"overlong line with an early NUL", std::string("ab\0", 3) + std::string(1500, 'x') + "\n", std::nullopt},
    {"only the first line", "first\nsecond\n", "first"},
    {"arguments ignored", "secret\n", "secret", {"--help", "-", "", "x y"}},
};

TEST(Pipe, EachLineGivesTheExpectedOutcomeAndLeavesTheRestUnread)
{
    const std::string parameters = default_parameters();
    for (const line_case &c : line_cases) {
        for (const bool from_file : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (from_file ? " (file)" : " (pipe)"));
            const run_result r = run_on(c.input, from_file, c.args);
            EXPECT_TRUE(WIFEXITED(r.status));
            EXPECT_EQ(WEXITSTATUS(r.status), c.passphrase ? 0 : 1);
            EXPECT_EQ(r.err, "");
            const std::size_t newline = c.input.find('\n');
            EXPECT_EQ(r.unread, newline == std::string::npos ? "" : c.input.substr(newline + 1));

            if (!c.passphrase) {
                EXPECT_EQ(r.out, prompt + "\n");
                continue;
            }
            const std::string hash = result_hash(r.out, prompt + "\n", "\n");
            EXPECT_TRUE(hash.starts_with(parameters)) << r.out;
            EXPECT_TRUE(verifies(*c.passphrase, hash)) << r.out;
        }
    }
}

TEST(Pipe, UndeliveredOrUnreadableIsFailure)
{
    const int out = scratch_file();
    const int err = scratch_file();
    const int full = open("/dev/full", O_WRONLY);
    const struct {
        const char *name;
        bool stdin_closed;
        int out;
    } cases[]
        = {{"stdout on /dev/full", false, full}, {"stdout closed", false, -1}, {"stdin closed", true, out}};
    for (const auto &c : cases) {
        const int in = input_on("secret\n", false);
        const int status = run_tool(c.stdin_closed ? -1 : in, c.out, err);
        close(in);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << c.name << ": " << status;
        EXPECT_EQ(contents(err), "") << c.name;
    }
    EXPECT_EQ(contents(out), prompt + "\n");
    for (const int fd : {out, err, full}) {
        close(fd);
    }
}

} // namespace
