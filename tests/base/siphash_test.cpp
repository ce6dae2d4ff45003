// SipHash-2-4 (src/base/siphash.h) against the reference vector of the SipHash paper and against
// libcrypto's SIPHASH MAC for every message length that crosses a block boundary; the process key.
#include "base/siphash.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <vector>

namespace recursor {
namespace {

    // The key of the paper's test vectors: the bytes 00 01 .. 0f.
    SipHashKey referenceKey()
    {
        SipHashKey key {};
        for (std::size_t i = 0; i < key.size(); ++i)
            key[i] = static_cast<std::uint8_t>(i);
        return key;
    }

    // The bytes 00 01 .. n-1, the messages of the paper's test vectors.
    std::vector<std::uint8_t> countingBytes(std::size_t n)
    {
        std::vector<std::uint8_t> out(n);
        for (std::size_t i = 0; i < n; ++i)
            out[i] = static_cast<std::uint8_t>(i);
        return out;
    }

    // libcrypto's SipHash-2-4 with an 8-byte output, read as the little-endian 64-bit value.
    std::uint64_t libcryptoSipHash(const SipHashKey& key, std::span<const std::uint8_t> data)
    {
        EVP_MAC* mac = EVP_MAC_fetch(nullptr, "SIPHASH", nullptr);
        EXPECT_NE(mac, nullptr);
        EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
        std::size_t size = 8;
        const OSSL_PARAM params[] = {
            OSSL_PARAM_construct_size_t(OSSL_MAC_PARAM_SIZE, &size),
            OSSL_PARAM_construct_end(),
        };
        std::array<std::uint8_t, 8> out {};
        std::size_t out_len = 0;
        EXPECT_EQ(EVP_MAC_init(ctx, key.data(), key.size(), params), 1);
        EXPECT_EQ(EVP_MAC_update(ctx, data.data(), data.size()), 1);
        EXPECT_EQ(EVP_MAC_final(ctx, out.data(), &out_len, out.size()), 1);
        EXPECT_EQ(out_len, 8u);
        EVP_MAC_CTX_free(ctx);
        EVP_MAC_free(mac);
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < 8; ++i)
            v |= static_cast<std::uint64_t>(out[i]) << (8 * i);
        return v;
    }

    TEST(SipHash24, MatchesThePapersTestVector)
    {
        // SipHash paper, Appendix A: key 00..0f, message 00..0e, output a129ca6149be45e5.
        EXPECT_EQ(sipHash24(referenceKey(), countingBytes(15)), 0xa129ca6149be45e5ull);
        // The first two of the reference implementation's vectors: the empty message and one zero byte.
        EXPECT_EQ(sipHash24(referenceKey(), countingBytes(0)), 0x726fdb47dd0e0e31ull);
        EXPECT_EQ(sipHash24(referenceKey(), countingBytes(1)), 0x74f839c593dc67fdull);
    }

    TEST(SipHash24, AgreesWithLibcryptoForEveryLengthUpToAFullName)
    {
        SipHashKey other {};
        for (std::size_t i = 0; i < other.size(); ++i)
            other[i] = static_cast<std::uint8_t>(0xF0 ^ (i * 37));
        for (const SipHashKey& key : { referenceKey(), other }) {
            for (std::size_t n = 0; n <= 255; ++n) {
                SCOPED_TRACE(n);
                const std::vector<std::uint8_t> message = countingBytes(n);
                EXPECT_EQ(sipHash24(key, message), libcryptoSipHash(key, message));
            }
        }
    }

    TEST(SipHash24, TheProcessKeyIsDrawnOnceAndIsNotZero)
    {
        const SipHashKey& first = processSipHashKey();
        const SipHashKey& second = processSipHashKey();
        EXPECT_EQ(&first, &second);
        EXPECT_NE(first, SipHashKey {}) << "16 zero bytes from the kernel's random source";
    }

} // namespace
} // namespace recursor
