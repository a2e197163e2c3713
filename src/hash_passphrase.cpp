#include "hash_passphrase.h"

#include <crypt.h>

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

    void *work = nullptr;
    int work_size = 0;
    const char *hashed = crypt_ra(passphrase, setting, &work, &work_size);

    // The result lives in the work area, so it has to be copied before that is
    // released. crypt_ra reports every failure with a null pointer.
    char *result = hashed == nullptr ? nullptr : strdup(hashed);

    std::free(setting);
    // The work area is scratch space of the hashing run; wipe it so that
    // nothing derived from the passphrase goes back to the heap.
    if (work != nullptr && work_size > 0) {
        explicit_bzero(work, static_cast<std::size_t>(work_size));
    }
    std::free(work);
    return result;
}
