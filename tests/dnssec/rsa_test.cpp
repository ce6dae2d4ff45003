// RFC 3110 key layout edge cases; signatures themselves are checked in validator_test.
#include "dnssec/rsa.h"

#include <gtest/gtest.h>

#include <vector>

namespace recursor::dnssec {
namespace {

    TEST(ParseDNSSECPublicKey, SplitsExponentAndModulusOrRefusesTheKey)
    {
        const struct {
            const char* label;
            std::vector<std::uint8_t> key;
            std::size_t exponent_offset; // 0: InvalidPublicKey
            std::size_t exponent_len;
        } cases[] = {
            { "one-byte exponent length", { 3, 1, 0, 1, 0xC5, 0x77 }, 1, 3 },
            { "zero byte then a 16-bit exponent length", { 0, 0, 3, 1, 0, 1, 0xC5 }, 3, 3 },
            { "two bytes", { 1, 3 }, 0, 0 },
            { "exponent past the end", { 4, 1, 0, 1 }, 0, 0 },
            { "no modulus", { 3, 1, 0, 1 }, 0, 0 },
            { "16-bit exponent length past the end", { 0, 1, 0, 1, 2 }, 0, 0 },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.label);
            const auto parsed = parseDNSSECPublicKey(c.key);
            if (c.exponent_offset == 0) {
                EXPECT_EQ(parsed.error(), DnssecError::InvalidPublicKey);
                continue;
            }
            ASSERT_TRUE(parsed);
            EXPECT_EQ(parsed->exponent.data(), c.key.data() + c.exponent_offset);
            EXPECT_EQ(parsed->exponent.size(), c.exponent_len);
            EXPECT_EQ(parsed->modulus.data(), parsed->exponent.data() + c.exponent_len);
            EXPECT_EQ(parsed->modulus.size(), c.key.size() - c.exponent_offset - c.exponent_len);
        }
    }

} // namespace
} // namespace recursor::dnssec
