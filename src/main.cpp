// passhash: asks for a passphrase with terminal echo off and prints its salted
// one-way hash in the crypt(5) format. Nothing is stored and nothing is said on
// standard error: the exit status tells whether a hash was printed.

#include "confine.h"
#include "hash_passphrase.h"
#include "read_passphrase.h"

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Room for a line of 1023 bytes and the terminating NUL.
constexpr std::size_t line_size = 1024;

// The passphrase is in this process's memory from the read to the exit: no
// signal may write it to a core file, and no other process of the same user
// may attach to read it. The core limit covers core handlers that the kernel
// still feeds for processes that are not dumpable.
void keep_memory_private()
{
    (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    rlimit core{};
    if (getrlimit(RLIMIT_CORE, &core) == 0) {
        core.rlim_cur = 0;
        (void)setrlimit(RLIMIT_CORE, &core);
    }
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
    keep_memory_private();
    confine();

    std::array<char, line_size> line{};
    // Kept out of swap while it holds the passphrase, where the limit allows
    // (root's always does); a refusal changes nothing else.
    (void)mlock(line.data(), line.size());
    sigset_t held;
    const bool have_passphrase = read_passphrase("Enter password (not echoed): ", line, held);
    char *hashed = have_passphrase ? hash_passphrase(line.data()) : nullptr;
    explicit_bzero(line.data(), line.size());
    // The line is erased and the hash's memory released: nothing locked for
    // them, here or in hash_passphrase, needs to stay so.
    (void)munlockall();
    // A signal that came while the passphrase was read or hashed ends the
    // process now that it is erased, and no hash of it is printed.
    end_if_signalled(held);
    if (hashed == nullptr) {
        return 1;
    }

    std::printf("Hashed passphrase is: %s\n", hashed);
    std::free(hashed);
    return close_stdout() ? 0 : 1;
}
