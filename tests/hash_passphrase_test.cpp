#include "checks.h"
#include "hash_passphrase.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

using owned_string = std::unique_ptr<char, decltype(&std::free)>;

owned_string hash_of(const std::string &passphrase)
{
    return {hash_passphrase(passphrase.c_str()), &std::free};
}

TEST(HashPassphrase, FreshSaltEachCallAndBothVerifyWithDefaultMethodAndCost)
{
    const std::string passphrase = "correct horse battery staple";
    const owned_string first = hash_of(passphrase);
    const owned_string second = hash_of(passphrase);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    EXPECT_STRNE(first.get(), second.get());
    for (const char *hash : {first.get(), second.get()}) {
        EXPECT_TRUE(verifies(passphrase, hash)) << hash;
        EXPECT_FALSE(verifies(passphrase + "x", hash)) << hash;
        EXPECT_TRUE(std::string(hash).starts_with(default_parameters())) << hash;
    }
}

TEST(HashPassphrase, NullPastTheLibraryLimit)
{
    EXPECT_NE(hash_of(std::string(511, 'x')), nullptr);
    EXPECT_EQ(hash_of(std::string(512, 'x')), nullptr);
}

} // namespace
