// The cost floor for passhash: the same two libxcrypt calls with the same
// arguments and the same result line, and nothing else.
#include <crypt.h>

#include <cstdio>

int main()
{
    char *setting = crypt_gensalt_ra(nullptr, 0, nullptr, 0);
    void *work = nullptr;
    int size = 0;
    const char *hashed = crypt_ra("correct horse battery staple", setting, &work, &size);
    std::printf("Hashed passphrase is: %s\n", hashed);
    return hashed == nullptr ? 1 : 0;
}
