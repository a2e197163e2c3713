#ifndef PASSHASH_HASH_PASSPHRASE_H
#define PASSHASH_HASH_PASSPHRASE_H

// Hashes `passphrase` (a NUL-terminated byte string, borrowed, left unchanged)
// with libxcrypt's default method and cost and a fresh random salt.
// Returns the hashed-passphrase string on the heap, to be released with free(),
// or a null pointer when the library could not make one (for instance for a
// passphrase longer than it accepts, no randomness, or no memory).
// Where the process may lock that much, it leaves every mapping locked in RAM,
// and those to come locked as they are touched: the caller ends that with
// munlockall() once the passphrase is erased.
char *hash_passphrase(const char *passphrase);

#endif
