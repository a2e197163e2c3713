// The cost floor for passhash: the same two libxcrypt calls with the same
// arguments and the same result line, and nothing else; as root, with the
// same whole-process lock around the hash, which has a cost of its own.
#include <crypt.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

int main()
{
    char *setting = crypt_gensalt_ra(nullptr, 0, nullptr, 0);
    void *work = nullptr;
    int size = 0;
    const bool locked = geteuid() == 0 && mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) == 0;
    const char *hashed = crypt_ra("correct horse battery staple", setting, &work, &size);
    if (locked) {
        (void)munlockall();
    }
    std::printf("Hashed passphrase is: %s\n", hashed);
    return hashed == nullptr ? 1 : 0;
}
