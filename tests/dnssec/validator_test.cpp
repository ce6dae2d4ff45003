// RRSIG verification against signatures made by dnssec-signzone (fixtures/generate.sh), DS digests
// against dnssec-dsfromkey and key tags against the tags the key files are named by.
#include "dnssec/validator.h"

#include "dnssec/keytag.h"
#include "signed_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>

namespace recursor::dnssec {
namespace {

    using fixture::loadSignedRRset;
    using fixture::loadZoneKey;
    using fixture::SignedRRset;

    constexpr int supported_algorithms[] = { 8, 10, 13, 14, 15 };

    DnsName name(const char* text)
    {
        return *DnsName::fromText(text);
    }

    std::string zoneOf(int alg)
    {
        return "alg" + std::to_string(alg) + ".test.";
    }

    // Every RRset the zones hold, each type in its own fixture.
    const char* const signed_stems[]
        = { "apex_SOA", "apex_NS", "apex_DNSKEY", "apex_MX", "apex_TXT", "apex_CAA", "apex_NAPTR",
              "apex_HTTPS", "_sip._tcp_SRV", "_443._tcp.www_TLSA", "www_A", "ns1_A", "UPPER.Case_A" };

    TEST(VerifyRRSIG, EverySignedRRsetOfEveryAlgorithmVerifies)
    {
        for (const int alg : supported_algorithms) {
            const auto key = loadZoneKey(alg);
            ASSERT_TRUE(key) << alg;
            for (const char* stem : signed_stems) {
                SCOPED_TRACE(std::to_string(alg) + " " + stem);
                const auto rrset = loadSignedRRset(alg, stem);
                ASSERT_TRUE(rrset);
                const auto result = verifyRRSIG(
                    rrset->rrsig, key->key().public_key, rrset->records, rrset->rrsig.sig_inception);
                ASSERT_TRUE(result) << errorName(result.error());
                EXPECT_TRUE(*result);
            }
        }
    }

    // One signed A RRset of several records, changed by a case before it is checked.
    struct Scenario {
        SignedRRset rrset;
        std::vector<std::uint8_t> key;
        std::int64_t now;
    };

    void upperCase(DnsName& n)
    {
        for (std::size_t i = 0; i < n.len; ++i) {
            if (n.storage[i] >= 'a' && n.storage[i] <= 'z')
                n.storage[i] = static_cast<std::uint8_t>(n.storage[i] - 0x20);
        }
    }

    struct MutationCase {
        const char* label;
        std::function<void(Scenario&)> mutate;
        DnssecResult<bool> expected;
    };

    const MutationCase mutation_cases[] = {
        { "as signed", [](Scenario&) {}, true },
        { "records in reverse order", [](Scenario& s) { std::ranges::reverse(s.rrset.records); }, true },
        { "owners upper-cased",
            [](Scenario& s) {
                for (DnsRecord& r : s.rrset.records)
                    upperCase(r.name);
            },
            true },
        { "signer name upper-cased", [](Scenario& s) { upperCase(s.rrset.rrsig.signer_name); }, true },
        { "TTLs decremented by a cache",
            [](Scenario& s) {
                for (DnsRecord& r : s.rrset.records)
                    r.ttl = 17;
            },
            true },
        { "now at inception", [](Scenario& s) { s.now = s.rrset.rrsig.sig_inception; }, true },
        { "now at expiration", [](Scenario& s) { s.now = s.rrset.rrsig.sig_expiration; }, true },
        { "a second before inception", [](Scenario& s) { s.now = s.rrset.rrsig.sig_inception - 1; },
            std::unexpected(DnssecError::SignatureNotYetValid) },
        { "a second after expiration", [](Scenario& s) { s.now = s.rrset.rrsig.sig_expiration + 1; },
            std::unexpected(DnssecError::SignatureExpired) },
        // RFC 4034 §3.1.5: the window is compared in serial number arithmetic (RFC 1982) on 32 bits. A
        // changed window is no longer what was signed, so a window that passes ends in "does not verify".
        { "window across 2^32, now at the wrap",
            [](Scenario& s) {
                s.rrset.rrsig.sig_inception = 0xFFFFFF00u;
                s.rrset.rrsig.sig_expiration = 0x00000100u;
                s.now = std::int64_t { 1 } << 32;
            },
            false },
        { "window across 2^32, now before the wrap",
            [](Scenario& s) {
                s.rrset.rrsig.sig_inception = 0xFFFFFF00u;
                s.rrset.rrsig.sig_expiration = 0x00000100u;
                s.now = 0xFFFFFF80u;
            },
            false },
        { "window across 2^32, now after it",
            [](Scenario& s) {
                s.rrset.rrsig.sig_inception = 0xFFFFFF00u;
                s.rrset.rrsig.sig_expiration = 0x00000100u;
                s.now = (std::int64_t { 1 } << 32) + 0x101;
            },
            std::unexpected(DnssecError::SignatureExpired) },
        { "window across 2^32, now before it",
            [](Scenario& s) {
                s.rrset.rrsig.sig_inception = 0xFFFFFF00u;
                s.rrset.rrsig.sig_expiration = 0x00000100u;
                s.now = 0xFFFFFEFFu;
            },
            std::unexpected(DnssecError::SignatureNotYetValid) },
        { "now 2^32 seconds after inception is the same serial",
            [](Scenario& s) { s.now = s.rrset.rrsig.sig_inception + (std::int64_t { 1 } << 32); }, true },
        { "expiration serially before inception, now between them as plain numbers",
            [](Scenario& s) {
                s.rrset.rrsig.sig_inception = 0;
                s.rrset.rrsig.sig_expiration = 0x80000001u;
                s.now = 0x40000000;
            },
            std::unexpected(DnssecError::SignatureExpired) },
        { "expiration before inception",
            [](Scenario& s) {
                std::swap(s.rrset.rrsig.sig_inception, s.rrset.rrsig.sig_expiration);
                s.now = s.rrset.rrsig.sig_expiration;
            },
            std::unexpected(DnssecError::SignatureExpired) },
        { "expiration 2^31 after inception (no serial order)",
            [](Scenario& s) {
                s.rrset.rrsig.sig_inception = 0x10000000u;
                s.rrset.rrsig.sig_expiration = 0x90000000u;
                s.now = 0x20000000;
            },
            std::unexpected(DnssecError::SignatureExpired) },
        { "a one-second window",
            [](Scenario& s) {
                s.rrset.rrsig.sig_inception = 0x60000000u;
                s.rrset.rrsig.sig_expiration = 0x60000000u;
                s.now = 0x60000000;
            },
            false },
        { "one record dropped", [](Scenario& s) { s.rrset.records.pop_back(); }, false },
        { "original TTL changed", [](Scenario& s) { s.rrset.rrsig.original_ttl += 1; }, false },
        { "a signature byte flipped",
            [](Scenario& s) {
                static thread_local std::vector<std::uint8_t> flipped;
                flipped.assign(s.rrset.rrsig.signature.begin(), s.rrset.rrsig.signature.end());
                flipped[flipped.size() / 2] ^= 0x01;
                s.rrset.rrsig.signature = flipped;
            },
            false },
        { "another key of the same algorithm",
            [](Scenario& s) {
                const auto other = loadZoneKey(s.rrset.rrsig.algorithm, "other_DNSKEY");
                s.key.assign(other->key().public_key.begin(), other->key().public_key.end());
            },
            false },
        { "labels above the owner's label count", [](Scenario& s) { s.rrset.rrsig.labels = 4; },
            std::unexpected(DnssecError::InvalidRRSIG) },
    };

    TEST(VerifyRRSIG, MutatedRRsetsOfEveryAlgorithm)
    {
        for (const int alg : supported_algorithms) {
            const auto key = loadZoneKey(alg);
            ASSERT_TRUE(key);
            for (const MutationCase& c : mutation_cases) {
                SCOPED_TRACE(std::to_string(alg) + ": " + c.label);
                auto rrset = loadSignedRRset(alg, "www_A");
                ASSERT_TRUE(rrset);
                ASSERT_EQ(rrset->records.size(), 4u);
                Scenario s { std::move(*rrset), {}, 0 };
                s.key.assign(key->key().public_key.begin(), key->key().public_key.end());
                s.now = s.rrset.rrsig.sig_inception + 86400;
                c.mutate(s);
                EXPECT_EQ(verifyRRSIG(s.rrset.rrsig, s.key, s.rrset.records, s.now), c.expected);
            }
        }
    }

    TEST(VerifyRRSIG, WildcardSignatureCoversExpandedOwnersOnly)
    {
        const struct {
            const char* owner_under_zone;
            DnssecResult<bool> expected;
        } cases[] = {
            { "*.w.", true }, { "a.w.", true }, { "a.b.w.", true }, { "A.B.W.", true },
            { "a.b.x.", false }, // "*.x." was never signed
            { "w.", false }, // as many labels as the signature: no expansion, and "w." was never signed
            { "", std::unexpected(DnssecError::InvalidRRSIG) }, // fewer labels than the signature
        };
        for (const int alg : supported_algorithms) {
            const auto key = loadZoneKey(alg);
            ASSERT_TRUE(key);
            for (const auto& c : cases) {
                SCOPED_TRACE(std::to_string(alg) + " " + c.owner_under_zone);
                auto rrset = loadSignedRRset(alg, "star.w_A");
                ASSERT_TRUE(rrset);
                rrset->records[0].name = name((std::string(c.owner_under_zone) + zoneOf(alg)).c_str());
                EXPECT_EQ(verifyRRSIG(rrset->rrsig, key->key().public_key, rrset->records,
                              rrset->rrsig.sig_inception),
                    c.expected);
            }
        }
    }

    TEST(VerifyRRSIG, RefusesAnUnsupportedAlgorithmBeforeAnyCheck)
    {
        const auto key = loadZoneKey(16);
        const auto rrset = loadSignedRRset(16, "www_A");
        ASSERT_TRUE(key && rrset);
        EXPECT_EQ(verifyRRSIG(rrset->rrsig, key->key().public_key, rrset->records, 0),
            std::unexpected(DnssecError::AlgorithmNotSupported));
    }

    TEST(VerifyRRSIG, MalformedKeysAndSignatures)
    {
        const std::vector<std::uint8_t> zeros(200, 0);
        const struct {
            int alg;
            std::size_t key_len;
            std::size_t sig_len; // 0: the real signature
            DnssecError expected;
        } cases[] = {
            { 15, 31, 0, DnssecError::InvalidPublicKey },
            { 15, 33, 0, DnssecError::InvalidPublicKey },
            { 15, 0, 63, DnssecError::InvalidSignature },
            { 13, 63, 0, DnssecError::InvalidPublicKey },
            { 13, 0, 65, DnssecError::InvalidSignature },
            { 14, 0, 95, DnssecError::InvalidSignature },
            { 13, 64, 0, DnssecError::InvalidPublicKey }, // (0, 0) is not on the curve
            { 8, 2, 0, DnssecError::InvalidPublicKey },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(c.alg) + " key " + std::to_string(c.key_len) + " sig "
                + std::to_string(c.sig_len));
            auto key = loadZoneKey(c.alg);
            auto rrset = loadSignedRRset(c.alg, "ns1_A");
            ASSERT_TRUE(key && rrset);
            std::span<const std::uint8_t> public_key = key->key().public_key;
            if (c.key_len != 0)
                public_key = std::span(zeros).first(c.key_len);
            if (c.sig_len != 0)
                rrset->rrsig.signature = std::span(zeros).first(c.sig_len);
            EXPECT_EQ(verifyRRSIG(rrset->rrsig, public_key, rrset->records, rrset->rrsig.sig_inception),
                std::unexpected(c.expected));
        }
    }

    // "zone algorithm tag" per line, the tag from the key file name.
    TEST(Keytag, EqualsTheTagsOfTheSigningTools)
    {
        const auto text = fixture::readFile(fixture::fixtureDir() + "keys.txt");
        std::istringstream lines(std::string(text.begin(), text.end()));
        std::string zone;
        int alg = 0;
        unsigned tag = 0;
        int seen = 0;
        while (lines >> zone >> alg >> tag) {
            SCOPED_TRACE(zone);
            const auto key = loadZoneKey(alg);
            const auto rrset = loadSignedRRset(alg, "www_A");
            ASSERT_TRUE(key && rrset);
            EXPECT_EQ(computeKeytag(key->key()), tag);
            EXPECT_EQ(rrset->rrsig.keytag, tag);
            EXPECT_EQ(computeKeytag(*key->key().copyOwned()), tag);
            ++seen;
        }
        EXPECT_EQ(seen, 6);
    }

    std::vector<std::uint8_t> fromHex(const std::string& hex)
    {
        std::vector<std::uint8_t> out;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        return out;
    }

    // algN.ds holds "zone IN DS tag alg digest_type HEX" for digest types 1, 2 and 4.
    TEST(DsDigest, EqualsDnssecDsfromkeyForEveryDigestType)
    {
        for (const int alg : supported_algorithms) {
            const auto key = loadZoneKey(alg);
            ASSERT_TRUE(key);
            const auto text = fixture::readFile(fixture::fixtureDir() + "alg" + std::to_string(alg) + ".ds");
            std::istringstream lines(std::string(text.begin(), text.end()));
            std::string zone, in, ds, hex;
            unsigned tag = 0, ds_alg = 0, type = 0;
            int seen = 0;
            while (lines >> zone >> in >> ds >> tag >> ds_alg >> type >> hex) {
                SCOPED_TRACE(std::to_string(alg) + " digest type " + std::to_string(type));
                const auto expected = fromHex(hex);
                const rdata::dnssec::DNSKEY& k = key->key();
                const auto owner = name(zoneOf(alg).c_str());
                EXPECT_EQ(computeDNSKEYDigest(k.flags, k.protocol, k.algorithm, k.public_key, owner,
                              static_cast<std::uint8_t>(type)),
                    expected);
                rdata::dnssec::DS record { static_cast<std::uint16_t>(tag), static_cast<std::uint8_t>(ds_alg),
                    static_cast<std::uint8_t>(type), expected };
                EXPECT_TRUE(validateDS(record, k, owner));
                auto upper_owner = owner;
                upperCase(upper_owner);
                EXPECT_TRUE(validateDS(record, k, upper_owner));
                EXPECT_FALSE(validateDS(record, k, name("other.test.")));
                EXPECT_FALSE(validateDS(record, loadZoneKey(alg, "other_DNSKEY")->key(), owner));
                record.digest = record.digest.first(record.digest.size() - 1);
                EXPECT_FALSE(validateDS(record, k, owner));
                ++seen;
            }
            EXPECT_EQ(seen, 3);
        }
    }

    TEST(DsDigest, NothingForGostUnknownTypesAndOverlongKeys)
    {
        const std::vector<std::uint8_t> key(1021, 7);
        const auto owner = name("example.");
        EXPECT_FALSE(computeDNSKEYDigest(257, 3, 8, key, owner, 2));
        EXPECT_TRUE(computeDNSKEYDigest(257, 3, 8, std::span(key).first(1020), owner, 2));
        EXPECT_FALSE(computeDNSKEYDigest(257, 3, 8, std::span(key).first(64), owner, 3));
        EXPECT_FALSE(computeDNSKEYDigest(257, 3, 8, std::span(key).first(64), owner, 5));
    }

    // A SHA-1 DS used to count beside a SHA-256 one for the same key, so forging SHA-1 was enough.
    TEST(UsableDsRecords, DropsWhatCannotBeCheckedAndSha1BesideAStrongerDigest)
    {
        using rdata::dnssec::DS;
        const std::vector<DS> ds_set = {
            { 1, 8, 1, {} }, { 1, 8, 2, {} }, // key 1: SHA-1 and SHA-256
            { 2, 13, 1, {} }, // key 2: SHA-1 alone stays
            { 3, 13, 1, {} }, { 3, 14, 4, {} }, // same tag, another algorithm: SHA-1 stays
            { 4, 8, 3, {} }, { 5, 16, 2, {} }, { 6, 8, 9, {} }, // GOST, Ed448, unknown digest
        };
        std::vector<std::pair<int, int>> kept;
        for (const DS& ds : usableDsRecords(ds_set))
            kept.emplace_back(ds.keytag, ds.digest_type);
        EXPECT_EQ(kept, (std::vector<std::pair<int, int>> { { 1, 2 }, { 2, 1 }, { 3, 1 }, { 3, 4 } }));
    }

    TEST(IsUsableZoneKey, ZoneKeyFlagSetRevokeClearProtocolThree)
    {
        const std::vector<std::uint8_t> key_bytes(32, 7);
        const struct {
            std::uint16_t flags;
            std::uint8_t protocol;
            bool usable;
        } cases[] = {
            { 256, 3, true }, // ZSK
            { 257, 3, true }, // KSK (SEP)
            { 256 | 0x8000 | 0x0002, 3, true }, // flags RFC 4034 leaves unassigned do not matter
            { 0, 3, false }, // not a zone key
            { 1, 3, false }, // SEP alone
            { 256 | 0x0080, 3, false }, // revoked (RFC 5011 §2.1)
            { 257 | 0x0080, 3, false }, // revoked KSK
            { 256, 2, false },
            { 257, 0, false },
            { 256, 255, false },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "flags " << c.flags << " protocol " << int(c.protocol));
            const rdata::dnssec::DNSKEY key { c.flags, c.protocol, 15, key_bytes };
            EXPECT_EQ(isUsableZoneKey(key), c.usable);
        }
    }

} // namespace
} // namespace recursor::dnssec
