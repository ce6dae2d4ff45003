// RFC 3110 key layout edge cases; signatures themselves are checked in validator_test.
#include "dnssec/rsa.h"

#include <algorithm>
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

    // An RFC 3110 key: the exponent's length (one byte up to 255, else a zero byte and 16 bits), the
    // exponent, the modulus. Neither is a real key: only their sizes matter here.
    std::vector<std::uint8_t> rsaKeyBytes(
        const std::vector<std::uint8_t>& exponent, const std::vector<std::uint8_t>& modulus)
    {
        std::vector<std::uint8_t> key;
        if (exponent.size() <= 255) {
            key.push_back(static_cast<std::uint8_t>(exponent.size()));
        } else {
            key.push_back(0);
            key.push_back(static_cast<std::uint8_t>(exponent.size() >> 8));
            key.push_back(static_cast<std::uint8_t>(exponent.size()));
        }
        key.insert(key.end(), exponent.begin(), exponent.end());
        key.insert(key.end(), modulus.begin(), modulus.end());
        return key;
    }

    // `leading_zeros` zero bytes, then a number of exactly `bits` bits (top bit set, odd).
    std::vector<std::uint8_t> numberOfBits(std::size_t bits, std::size_t leading_zeros = 0)
    {
        // Sized once: growing a one-byte vector trips GCC 12's false -Warray-bounds at -O3.
        const std::size_t bytes = (bits + 7) / 8;
        const std::size_t top_bit = (bits - 1) % 8;
        std::vector<std::uint8_t> out(leading_zeros + bytes, 0xA5);
        std::fill_n(out.begin(), leading_zeros, 0);
        out[leading_zeros] = static_cast<std::uint8_t>(1u << top_bit);
        out.back() |= 1;
        return out;
    }

    TEST(VerifyRSA, RefusesKeysTooLargeToCheckCheaply)
    {
        const std::vector<std::uint8_t> f4 = { 0x01, 0x00, 0x01 };
        const std::vector<std::uint8_t> modulus_2048 = numberOfBits(2048);
        const struct {
            const char* label;
            std::vector<std::uint8_t> exponent;
            std::vector<std::uint8_t> modulus;
            bool refused;
        } cases[] = {
            { "2048-bit modulus, exponent 65537", f4, modulus_2048, false },
            { "4096-bit modulus", f4, numberOfBits(4096), false },
            { "4097-bit modulus", f4, numberOfBits(4097), true },
            { "4104-bit modulus", f4, numberOfBits(4104), true },
            { "4096-bit modulus after two zero bytes", f4, numberOfBits(4096, 2), false },
            { "8-byte exponent", numberOfBits(64), modulus_2048, false },
            { "9-byte exponent", numberOfBits(65), modulus_2048, true },
            { "8-byte exponent after three zero bytes", numberOfBits(64, 3), modulus_2048, false },
            { "3070-bit exponent (16-bit length form)", numberOfBits(3070), modulus_2048, true },
            { "8-byte exponent after 300 zero bytes (16-bit length form)", numberOfBits(64, 300),
                modulus_2048, false },
        };
        const std::vector<std::uint8_t> data = { 'd', 'a', 't', 'a' };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.label);
            const std::vector<std::uint8_t> key = rsaKeyBytes(c.exponent, c.modulus);
            const auto parts = parseDNSSECPublicKey(key);
            ASSERT_TRUE(parts);
            const std::vector<std::uint8_t> signature(c.modulus.size(), 0x5A);
            const auto verified = verifyRSA(key, data, signature, RsaHash::sha256);
            if (c.refused) {
                EXPECT_EQ(checkRsaKeySize(*parts), std::unexpected(DnssecError::KeyTooLarge));
                EXPECT_EQ(verified, std::unexpected(DnssecError::KeyTooLarge));
            } else {
                EXPECT_TRUE(checkRsaKeySize(*parts));
                // Handed to libcrypto, which finds the made-up signature wrong (or the key unusable).
                EXPECT_NE(verified, std::unexpected(DnssecError::KeyTooLarge));
                EXPECT_NE(verified, DnssecResult<bool>(true));
            }
        }
        EXPECT_EQ(errorName(DnssecError::KeyTooLarge), "KeyTooLarge");
        EXPECT_EQ(dottedErrorName(DnssecError::KeyTooLarge), "error.KeyTooLarge");
    }

} // namespace
} // namespace recursor::dnssec
