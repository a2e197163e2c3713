#include "hash_passphrase.h"

#include <crypt.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

char *hash_passphrase(const char *passphrase)
{
    // Null prefix, zero count and null random bytes: the library picks its best
    // method at that method's default cost and draws the salt from the kernel.
    char *setting = crypt_gensalt_ra(nullptr, 0, nullptr, 0);
    if (setting == nullptr) {
        return nullptr;
    }

    // The work area is given zeroed and locked, where the limit allows, so that
    // the hash and what leads to it stay out of swap. crypt_ra takes it as it
    // takes one of its own from an earlier call; with none, it allocates one.
    void *work = std::calloc(1, sizeof(crypt_data));
    int work_size = work == nullptr ? 0 : static_cast<int>(sizeof(crypt_data));
    (void)mlock(work, sizeof(crypt_data));
    // The method's own scratch memory (yescrypt's is 16 MiB at its default
    // cost) is mapped and unmapped inside crypt_ra and filled from a fast
    // derivation of the passphrase: a page of it in swap would let guesses
    // skip the memory-hard cost. So every mapping, present and to come, is
    // locked as it is touched, where this process may lock that much; the
    // caller unlocks once it has erased the passphrase. Where the limit lets
    // the present mappings be locked but not the scratch memory, the library
    // fails as it maps it, before it derives anything: the hash is then made
    // once more with only the present mappings locked.
    const bool all_locked = mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) == 0;
    const char *hashed = crypt_ra(passphrase, setting, &work, &work_size);
    if (hashed == nullptr && all_locked) {
        (void)mlockall(MCL_CURRENT | MCL_ONFAULT);
        hashed = crypt_ra(passphrase, setting, &work, &work_size);
    }

    // The result lives in the work area, so it has to be copied before that is
    // released. crypt_ra reports every failure with a null pointer.
    char *result = hashed == nullptr ? nullptr : strdup(hashed);

    std::free(setting);
    // The work area is scratch space of the hashing run; wipe it so that
    // nothing derived from the passphrase goes back to the heap.
    if (work != nullptr && work_size > 0) {
        explicit_bzero(work, static_cast<std::size_t>(work_size));
        (void)munlock(work, static_cast<std::size_t>(work_size));
    }
    std::free(work);
    return result;
}
