// Preloaded into the tool by the tests. PASSHASH_SCAN names, backwards (so that
// the environment holds no copy), a passphrase that must not be left anywhere
// in the process's writable memory once it ends: by exit, or by the signal
// that it raises to end itself. What is found is said on standard error.

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace {

void scan()
{
    const char *backwards = std::getenv("PASSHASH_SCAN");
    const std::size_t size = backwards == nullptr ? 0 : std::strlen(backwards);
    const int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    FILE *maps = std::fopen("/proc/self/maps", "re");
    if (size > 0 && (maps == nullptr || mem < 0)) {
        dprintf(STDERR_FILENO, "passhash-hold: cannot look into memory\n");
    }
    char line[4096];
    while (size > 0 && maps != nullptr && mem >= 0 && std::fgets(line, sizeof line, maps) != nullptr) {
        char *at = line;
        const unsigned long start = std::strtoul(at, &at, 16);
        const unsigned long end = std::strtoul(at + 1, &at, 16);
        // Writable only, and not what a sanitizer reserves for itself (its
        // shadow, its own records): the tool's heap and stack are far smaller.
        std::string bytes(at[2] == 'w' && end - start < (1UL << 26) ? end - start : 0, '\0');
        const ssize_t got = pread(mem, bytes.data(), bytes.size(), static_cast<off_t>(start));
        bytes.resize(static_cast<std::size_t>(std::max(got, ssize_t{0})));
        // Searched for back to front, so that the search makes no copy either.
        if (std::search(bytes.begin(), bytes.end(), std::reverse_iterator(backwards + size),
                std::reverse_iterator(backwards))
            != bytes.end()) {
            dprintf(STDERR_FILENO, "passhash-hold: a copy in %s", line);
        }
    }
    (void)(maps == nullptr || std::fclose(maps) == 0);
    (void)(mem < 0 || close(mem) == 0);
}

__attribute__((destructor)) void at_exit()
{
    scan();
}

} // namespace

// The tool raises an ending signal to end itself; a stop ends nothing.
extern "C" int raise(int sig) noexcept
{
    if (sig != SIGSTOP && sig != SIGTSTP && sig != SIGTTIN && sig != SIGTTOU) {
        scan();
    }
    return reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "raise"))(sig);
}
