#ifndef PASSHASH_TESTS_CHECKS_H
#define PASSHASH_TESTS_CHECKS_H

#include <crypt.h>

#include <cstdlib>
#include <string>

inline const std::string prompt = "Enter password (not echoed): ";
inline const std::string result_label = "Hashed passphrase is: ";

// The hash in `shown` when that is exactly `head`, the result label, a hash
// and `eol`; empty otherwise, which verifies against nothing.
inline std::string result_hash(const std::string &shown, const std::string &head, const std::string &eol)
{
    const std::string start = head + result_label;
    if (shown.size() < start.size() + eol.size() || !shown.starts_with(start) || !shown.ends_with(eol)) {
        return "";
    }
    return shown.substr(start.size(), shown.size() - start.size() - eol.size());
}

// True when the library itself, given `hash` as the setting, hashes
// `passphrase` to the very same string.
inline bool verifies(const std::string &passphrase, const std::string &hash)
{
    void *work = nullptr;
    int size = 0;
    const char *again = crypt_ra(passphrase.c_str(), hash.c_str(), &work, &size);
    const bool same = again != nullptr && hash == again;
    std::free(work);
    return same;
}

// Method and cost of a setting the library makes by default, without the salt
// (the text after the last '$'), e.g. "$y$j9T$".
inline std::string default_parameters()
{
    char *setting = crypt_gensalt_ra(nullptr, 0, nullptr, 0);
    std::string parameters = setting == nullptr ? "no setting" : setting;
    std::free(setting);
    return parameters.substr(0, parameters.rfind('$') + 1);
}

#endif
