// NSEC3 hashes against the example zone of RFC 5155 Appendix A (salt aabbccdd, 12 iterations).
#include "dnssec/nsec3.h"

#include <gtest/gtest.h>

namespace recursor::dnssec {
namespace {

    TEST(Nsec3Hash, MatchesTheRfc5155Examples)
    {
        const std::vector<std::uint8_t> salt = { 0xAA, 0xBB, 0xCC, 0xDD };
        const struct {
            const char* owner;
            const char* hash;
        } cases[] = {
            { "example.", "0p9mhaveqvm6t7vbl5lop2u3t2rp3tom" },
            { "a.example.", "35mthgpgcu1qg68fab165klnsnk3dpvl" },
            { "ai.example.", "gjeqe526plbf1g8mklp59enfd789njgi" },
            { "x.w.EXAMPLE.", "b4um86eghhds6nea196smvmlo4ors995" }, // case does not matter
            { "*.w.example.", "r53bq7cc2uvmubfu5ocmm6pers9tk9en" },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.owner);
            const auto hash = nsec3Hash(*DnsName::fromText(c.owner), salt, 12);
            ASSERT_TRUE(hash);
            EXPECT_EQ(base32hexEncode(*hash), c.hash);
            EXPECT_EQ(base32hexDecode(c.hash), std::vector(hash->begin(), hash->end()));
        }
    }

    TEST(Base32hexDecode, AcceptsEitherCaseAndRefusesWhatNoEncoderWrites)
    {
        const struct {
            const char* text;
            std::optional<std::vector<std::uint8_t>> expected;
        } cases[] = {
            { "", std::vector<std::uint8_t> {} },
            { "CPNMUOJ1", std::vector<std::uint8_t> { 'f', 'o', 'o', 'b', 'a' } }, // RFC 4648 §10
            { "cpnmuoj1e8", std::vector<std::uint8_t> { 'f', 'o', 'o', 'b', 'a', 'r' } },
            { "co", std::vector<std::uint8_t> { 'f' } }, { "cp", std::nullopt }, // non-zero pad bits
            { "c", std::nullopt }, // 5 bits make no byte
            { "cpn", std::nullopt }, { "cpnmuo", std::nullopt },
            { "cw", std::nullopt }, // 'w' is outside the alphabet
            { "co==", std::nullopt }, // no padding in NSEC3 owner labels
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.text);
            EXPECT_EQ(base32hexDecode(c.text), c.expected);
        }
    }

} // namespace
} // namespace recursor::dnssec
