// The cache file: what a restart keeps (answers, negative answers, bogus marks, delegations, zone keys,
// denial ranges),
// with expiries carried across a monotonic clock that starts again; and files a stranger or a crash could
// leave behind, each refused with its exact kind and without touching the cache.
#include "resolver/cache_file.h"

#include "dnssec/keytag.h"
#include "support/packet_builder.h"
#include "support/scratch_dir.h"
#include "wire/record.h"
#include "wire/writer.h"

#include <openssl/evp.h>

#include <filesystem>
#include <gtest/gtest.h>
#include <set>

namespace recursor {
namespace {

    constexpr std::int64_t saved_wall = 1'800'000'000;

    DnsName name(std::string_view text)
    {
        return *DnsName::fromText(text);
    }

    // A cache and denial ranges on a monotonic clock of our own; `at` is its reading.
    struct ClockedCache {
        explicit ClockedCache(std::int64_t at, CacheLimits limits = {})
            : now(std::make_shared<std::int64_t>(at))
            , cache(std::move(*Cache::init([clock = now] { return *clock; }, limits)))
            , denial([clock = now] { return *clock; }, 1 << 20)
        {
        }
        CacheFileResult<CacheFileCounts> decode(std::span<const std::uint8_t> file, std::int64_t wall_now)
        {
            return decodeCacheFile(file, *cache, wall_now, &denial);
        }
        std::size_t entries() const
        {
            return cache->answerCount() + cache->delegationCount() + cache->zoneSecurityCount()
                + denial.rangeCount();
        }
        std::shared_ptr<std::int64_t> now;
        std::unique_ptr<Cache> cache;
        DenialCache denial;
    };

    // The NSEC chain of `zone`: apex -> `second` -> apex, with the zone's SOA (signatures left out: the
    // cache trusts its caller to have checked them).
    struct Proofs {
        explicit Proofs(const std::string& zone, const std::string& second)
        {
            test::PacketBuilder b;
            b.header(0, 0x8403, 1, 0, 3, 0).question("x." + zone, QType::a, QClass::in);
            test::PacketBuilder soa;
            soa.name("ns.test").name("host.test").u32(1).u32(2).u32(3).u32(4).u32(300);
            b.record(zone, QType::soa, QClass::in, 3600, soa.bytes());
            b.record(zone, QType::nsec, QClass::in, 3600,
                nsec(second + "." + zone, { 0, 6, 0x62, 0, 0, 0, 0, 3 }));
            b.record(second + "." + zone, QType::nsec, QClass::in, 3600,
                nsec(zone, { 0, 6, 0x40, 0, 0, 0, 0, 3 }));
            packet = b.bytes();
            msg = DnsMessage::parse(packet).value();
            for (const DnsRecord& rec : msg.records)
                (rec.rtype == QType::soa ? soa_records : nsec_records).push_back(&rec);
        }
        static std::vector<std::uint8_t> nsec(const std::string& next, std::vector<std::uint8_t> bitmap)
        {
            auto rdata = test::wireName(next);
            rdata.insert(rdata.end(), bitmap.begin(), bitmap.end());
            return rdata;
        }
        std::vector<std::uint8_t> packet;
        DnsMessage msg;
        std::vector<const DnsRecord*> soa_records;
        std::vector<const DnsRecord*> nsec_records;
    };

    std::vector<std::uint8_t> answerWithTtl(std::string_view owner, std::uint32_t ttl)
    {
        auto writer = *PacketWriter::init(name(owner), QType::a, QClass::in);
        EXPECT_TRUE(writer.startRecord(name(owner), QType::a, QClass::in, ttl, Section::answer));
        EXPECT_TRUE(writer.writeIPv4({ 192, 0, 2, 1 }));
        return *writer.finish();
    }

    std::shared_ptr<ZoneKeys> keysOf(std::string_view zone)
    {
        static const std::uint8_t public_key[] = { 3, 1, 0, 1, 0xAB, 0xCD };
        auto keys = std::make_shared<ZoneKeys>();
        keys->zone = name(zone);
        auto owned = rdata::dnssec::DNSKEY { 257, 3, 8, public_key }.copyOwned();
        keys->keytags.push_back(dnssec::computeKeytag(*owned));
        keys->keys.push_back(std::move(*owned));
        return keys;
    }

    // One entry of every kind the file keeps, stored at monotonic second 5000.
    std::vector<std::uint8_t> savedFile()
    {
        ClockedCache old(5000);
        Cache& c = *old.cache;
        EXPECT_TRUE(c.putAnswer(name("www.test"), QType::a, answerWithTtl("www.test", 3600), 1,
            RCode::no_error, true, true, 3600));
        EXPECT_TRUE(c.putAnswer(name("gone.test"), QType::a, answerWithTtl("gone.test", 3600), 0,
            RCode::nx_domain, false, false, 3600));
        EXPECT_TRUE(c.putAnswer(name("short.test"), QType::a, answerWithTtl("short.test", 30), 1,
            RCode::no_error, false, false, 30));
        EXPECT_TRUE(c.putBogus(name("bad.test"), QType::txt, 600, ResolveError::SignatureExpired));
        Delegation delegation { .zone = name("test") };
        delegation.nameservers.append(*SocketAddress::fromIpLiteral("192.0.2.53", 53));
        delegation.nameservers.append(*SocketAddress::fromIpLiteral("2001:db8::53", 5353));
        delegation.unresolved.append(name("ns.elsewhere"));
        delegation.fallback.append(*SocketAddress::fromIpLiteral("198.51.100.7", 53));
        EXPECT_TRUE(c.putDelegation(delegation, 7200));
        EXPECT_TRUE(c.putZoneSecurity(name("test"), ZoneSecurity { keysOf("test") }, 7200));
        EXPECT_TRUE(c.putZoneSecurity(name("plain.test"), ZoneSecurity {}, 7200));
        Proofs proofs("signed.test", "m");
        EXPECT_TRUE(old.denial.put(name("signed.test"), proofs.soa_records, proofs.nsec_records, 900));
        // A zone known only by a wildcard expansion and its proof: no SOA kept.
        Proofs wild("wild.test", "*");
        test::PacketBuilder b;
        b.header(0, 0x8400, 1, 1, 0, 0).question("x.wild.test", QType::a, QClass::in);
        b.record("x.wild.test", QType::a, QClass::in, 600, std::vector<std::uint8_t> { 192, 0, 2, 7 });
        const auto expanded_packet = b.bytes();
        const auto expanded = DnsMessage::parse(expanded_packet).value();
        const std::vector<const DnsRecord*> rrset { &expanded.records[0] };
        EXPECT_TRUE(old.denial.putWildcard(name("wild.test"), 2, rrset, wild.nsec_records, 900));
        auto file = encodeCacheFile(c, saved_wall, &old.denial);
        EXPECT_TRUE(file);
        EXPECT_EQ(file->entries, 9u);
        return file->bytes;
    }

    TEST(CacheFile, RestartKeepsEveryKindWithItsStateAndRemainingTime)
    {
        const auto file = savedFile();
        // Restarted 100 s later on a machine whose monotonic clock began anew.
        ClockedCache fresh(20);
        const auto counts = fresh.decode(file, saved_wall + 100);
        ASSERT_TRUE(counts) << errorName(counts.error());
        EXPECT_EQ(counts->loaded, 8u);
        EXPECT_EQ(counts->expired, 1u) << "short.test had 30 s left";
        Cache& c = *fresh.cache;

        auto www = c.getAnswerCopy(name("www.test"), QType::a)->value();
        EXPECT_TRUE(www.meta.validated);
        EXPECT_TRUE(www.meta.has_dnssec_records);
        EXPECT_EQ(www.meta.expires_at, 20 + 3500);
        EXPECT_EQ(DnsMessage::parse(www.packet)->records[0].ttl, 3500u) << "TTLs age across the restart";
        EXPECT_EQ(c.getAnswerCopy(name("gone.test"), QType::a)->value().meta.rcode, RCode::nx_domain);
        EXPECT_FALSE(c.getAnswerCopy(name("short.test"), QType::a)->has_value());
        auto bad = c.getAnswerCopy(name("bad.test"), QType::txt)->value();
        EXPECT_TRUE(bad.meta.bogus);
        EXPECT_EQ(bad.meta.bogus_reason, ResolveError::SignatureExpired);

        auto delegation = c.findDelegation(name("www.test"));
        ASSERT_TRUE(delegation);
        EXPECT_EQ(delegation->nameservers.slice()[1].toString(), "[2001:db8::53]:5353");
        EXPECT_EQ(delegation->unresolved.span()[0], name("ns.elsewhere"));
        EXPECT_EQ(delegation->fallback.slice()[0].toString(), "198.51.100.7:53");

        auto keys = c.findZoneSecurity(name("test"));
        ASSERT_TRUE(keys && keys->secure());
        EXPECT_EQ(keys->keys->keytags, keysOf("test")->keytags);
        EXPECT_EQ(keys->keys->keys[0].view().public_key.size(), 6u);
        EXPECT_FALSE(c.findZoneSecurity(name("plain.test"))->secure());
        EXPECT_EQ(fresh.denial.rangeCount(), 5u);
        auto made = fresh.denial.answer(name("b.wild.test"), QType::a);
        ASSERT_TRUE(made && *made) << "a kept wildcard still answers the names its ranges prove absent";
        EXPECT_EQ(DnsMessage::parse((*made)->packet)->records.at(0).name, name("b.wild.test"));
        auto denied = fresh.denial.answer(name("b.signed.test"), QType::a);
        ASSERT_TRUE(denied && *denied) << "the ranges still prove names absent";
        EXPECT_EQ((*denied)->rcode, RCode::nx_domain);
        *fresh.now += 799;
        EXPECT_TRUE(fresh.denial.answer(name("b.signed.test"), QType::a)->has_value());
        *fresh.now += 2;
        EXPECT_FALSE(fresh.denial.answer(name("b.signed.test"), QType::a)->has_value())
            << "ranges keep only their remaining time";
        *fresh.now += 7100 - 801; // the restart's second 7100
        EXPECT_TRUE(c.findDelegation(name("www.test")));
        *fresh.now += 1;
        EXPECT_FALSE(c.findDelegation(name("www.test"))) << "a delegation keeps only its remaining time";
    }

    TEST(CacheFile, EverythingExpiredLoadsNothing)
    {
        ClockedCache fresh(20);
        const auto counts = fresh.decode(savedFile(), saved_wall + 100'000);
        ASSERT_TRUE(counts);
        EXPECT_EQ(counts->loaded, 0u);
        EXPECT_EQ(counts->expired, 9u);
        EXPECT_EQ(fresh.entries(), 0u);
    }

    // Builds a file around `body` with a correct header and checksum, so that only the entries are wrong.
    std::vector<std::uint8_t> sealed(std::vector<std::uint8_t> file)
    {
        const std::size_t body = file.size() - cache_file_header_size;
        for (int i = 0; i < 8; ++i)
            file[16 + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(body) >> (8 * (7 - i)));
        unsigned int len = 0;
        EVP_Digest(file.data() + cache_file_header_size, body, file.data() + 32, &len, EVP_sha256(), nullptr);
        return file;
    }

    // The first entry's payload starts after the header, its kind (1) and its length (4).
    constexpr std::size_t first_payload = cache_file_header_size + 5;

    TEST(CacheFile, RefusesDamagedForeignAndHostileFilesWholeAndLeavesTheCacheAlone)
    {
        const auto good = savedFile();
        const auto changed = [&](auto edit) {
            auto file = good;
            edit(file);
            return file;
        };
        struct Case {
            const char* what;
            std::vector<std::uint8_t> file;
            CacheFileError error;
        };
        const Case cases[] = {
            { "empty", {}, CacheFileError::NotCacheFile },
            { "a configuration file", { '[', 's', 'e', 'r', 'v', 'e', 'r', ']', '\n' },
                CacheFileError::NotCacheFile },
            { "header cut short", std::vector(good.begin(), good.begin() + 40), CacheFileError::Truncated },
            { "last byte lost", std::vector(good.begin(), good.end() - 1), CacheFileError::Truncated },
            { "older version", changed([](auto& f) { f[11] = 0; }), CacheFileError::UnsupportedVersion },
            { "newer version", changed([](auto& f) { f[11] = 2; }), CacheFileError::UnsupportedVersion },
            // Saved under other trust anchors (or validation off): its secure and bogus marks do not hold.
            { "other validation context", changed([](auto& f) { f[15] = 1; }), CacheFileError::OtherAnchors },
            { "one bit flipped", changed([](auto& f) { f[f.size() / 2] ^= 0x10; }),
                CacheFileError::ChecksumMismatch },
            { "bytes appended", changed([](auto& f) { f.push_back(0); }), CacheFileError::BadEntry },
            { "unknown entry kind", sealed(changed([](auto& f) { f[cache_file_header_size] = 9; })),
                CacheFileError::BadEntry },
            { "entry longer than the file",
                sealed(changed([](auto& f) { f[cache_file_header_size + 1] = 0x7F; })),
                CacheFileError::BadEntry },
            { "name length past its entry", sealed(changed([](auto& f) { f[first_payload] = 0xFF; })),
                CacheFileError::BadEntry },
            { "entry with a trailing byte", sealed(changed([](auto& f) {
                 f.insert(f.begin() + first_payload + f[cache_file_header_size + 4], 0);
                 ++f[cache_file_header_size + 4];
             })),
                CacheFileError::BadEntry },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            ClockedCache fresh(20);
            const auto counts = fresh.decode(c.file, saved_wall);
            ASSERT_FALSE(counts);
            EXPECT_EQ(counts.error(), c.error) << errorName(counts.error());
            EXPECT_EQ(fresh.entries(), 0u);
        }
    }

    // Where each entry of a body ends.
    std::set<std::size_t> entryEnds(std::span<const std::uint8_t> file)
    {
        std::set<std::size_t> ends;
        for (std::size_t at = cache_file_header_size; at + 5 <= file.size();) {
            at += 5
                + (std::size_t { file[at + 1] } << 24 | std::size_t { file[at + 2] } << 16
                    | std::size_t { file[at + 3] } << 8 | file[at + 4]);
            ends.insert(at);
        }
        return ends;
    }

    // Every field of every entry is bounded by its payload: a body cut anywhere and sealed again (as a
    // writer killed mid-entry with a checksum of what it wrote would leave it) is refused, unless it was
    // cut between entries.
    TEST(CacheFile, EveryCutBodyResealedIsRefusedOrHoldsWholeEntries)
    {
        const auto good = savedFile();
        const auto ends = entryEnds(good);
        ASSERT_EQ(ends.size(), 9u);
        for (std::size_t len = cache_file_header_size + 1; len < good.size(); ++len) {
            SCOPED_TRACE(len);
            ClockedCache fresh(20);
            const auto counts
                = fresh.decode(sealed(std::vector(good.begin(), good.begin() + len)), saved_wall);
            if (ends.contains(len)) {
                ASSERT_TRUE(counts);
                EXPECT_EQ(counts->loaded,
                    static_cast<std::size_t>(std::distance(ends.begin(), ends.find(len))) + 1);
            } else {
                ASSERT_FALSE(counts);
                EXPECT_EQ(counts.error(), CacheFileError::BadEntry);
            }
        }
    }

    TEST(CacheFile, AFileLargerThanTheBudgetLoadsWhatFits)
    {
        ClockedCache big(100, CacheLimits { 64u * 1024 * 1024 });
        for (int i = 0; i < 20'000; ++i) {
            const auto owner = "n" + std::to_string(i) + ".test";
            ASSERT_TRUE(big.cache->putAnswer(
                name(owner), QType::a, answerWithTtl(owner, 600), 1, RCode::no_error, false, false, 600));
        }
        const auto file = encodeCacheFile(*big.cache, saved_wall);
        ASSERT_TRUE(file);
        const std::size_t budget = 1024 * 1024;
        ClockedCache small(100, CacheLimits { budget });
        ASSERT_TRUE(decodeCacheFile(file->bytes, *small.cache, saved_wall));
        EXPECT_LE(small.cache->answerBytes(), budget);
        EXPECT_GT(small.cache->answerCount(), 1000u);
        EXPECT_LT(small.cache->answerCount(), 20'000u);
    }

    TEST(CacheFile, WritesThroughATemporaryAndReadsBack)
    {
        test::ScratchDir dir;
        const std::string path = dir.path() + "/cache.bin";
        ClockedCache old(5000);
        ASSERT_TRUE(old.cache->putAnswer(
            name("www.test"), QType::a, answerWithTtl("www.test", 60), 1, RCode::no_error, false, false, 60));
        EXPECT_EQ(writeCacheFile(path, *old.cache, saved_wall), 1u);
        EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
        ClockedCache fresh(1);
        EXPECT_EQ(readCacheFile(path, *fresh.cache, saved_wall + 1, 1 << 20)->loaded, 1u);
        EXPECT_EQ(readCacheFile(path, *fresh.cache, saved_wall, 10).error(), CacheFileError::StreamTooLong);
        EXPECT_EQ(readCacheFile(dir.path() + "/none", *fresh.cache, saved_wall, 1 << 20).error(),
            CacheFileError::FileNotFound);
        EXPECT_EQ(writeCacheFile(dir.path() + "/no/such/dir", *old.cache, saved_wall).error(),
            CacheFileError::WriteFailed);
    }

} // namespace
} // namespace recursor
