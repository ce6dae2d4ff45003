#include "resolver/cache_file.h"

#include "base/unique_fd.h"
#include "dnssec/keytag.h"
#include "wire/record.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <netinet/in.h>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace recursor {

namespace {

    constexpr std::array<std::uint8_t, 8> magic { 'R', 'C', 'R', 'C', 'A', 'C', 'H', 'E' };
    using Digest = std::array<std::uint8_t, 32>;

    enum class EntryKind : std::uint8_t { answer = 1, delegation = 2, zone_security = 3, denial_zone = 4 };

    // Answer flags: the validation state the cache holds.
    constexpr std::uint8_t flag_validated = 1;
    constexpr std::uint8_t flag_dnssec_records = 2;
    constexpr std::uint8_t flag_bogus = 4;

    constexpr std::size_t max_packet = 0xFFFF;
    constexpr std::size_t max_zone_keys = 256; // far above any real DNSKEY RRset

    std::optional<Digest> sha256(std::span<const std::uint8_t> data)
    {
        Digest out {};
        unsigned int len = 0;
        if (EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr) != 1)
            return std::nullopt;
        return out;
    }

    // Appends big-endian fields; the payload length of the open entry is patched in at its end.
    class Out {
    public:
        explicit Out(std::vector<std::uint8_t>& bytes)
            : bytes_(bytes)
        {
        }
        void u8(std::uint8_t v) { bytes_.push_back(v); }
        void u16(std::uint16_t v) { be(v, 2); }
        void u32(std::uint32_t v) { be(v, 4); }
        void i64(std::int64_t v) { be(static_cast<std::uint64_t>(v), 8); }
        void raw(std::span<const std::uint8_t> data)
        {
            bytes_.insert(bytes_.end(), data.begin(), data.end());
        }
        void name(const DnsName& name)
        {
            u8(static_cast<std::uint8_t>(name.wireBytes().size()));
            raw(name.wireBytes());
        }
        void beginEntry(EntryKind kind)
        {
            u8(static_cast<std::uint8_t>(kind));
            entry_at_ = bytes_.size();
            u32(0);
        }
        void endEntry()
        {
            const std::uint64_t len = bytes_.size() - entry_at_ - 4;
            for (int i = 0; i < 4; ++i)
                bytes_[entry_at_ + i] = static_cast<std::uint8_t>(len >> (8 * (3 - i)));
        }
        void patchU64(std::size_t at, std::uint64_t v)
        {
            for (int i = 0; i < 8; ++i)
                bytes_[at + i] = static_cast<std::uint8_t>(v >> (8 * (7 - i)));
        }

    private:
        void be(std::uint64_t v, int width)
        {
            for (int i = width - 1; i >= 0; --i)
                bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
        std::vector<std::uint8_t>& bytes_;
        std::size_t entry_at_ { 0 };
    };

    // A bounds-checked cursor whose failure sticks: a run of fields is read, then checked once. A failed
    // read yields zeros and empty spans, never bytes past the end.
    class Cursor {
    public:
        explicit Cursor(std::span<const std::uint8_t> data)
            : data_(data)
        {
        }
        std::span<const std::uint8_t> bytes(std::size_t n)
        {
            if (failed_ || n > data_.size() - pos_) {
                failed_ = true;
                return {};
            }
            auto out = data_.subspan(pos_, n);
            pos_ += n;
            return out;
        }
        std::uint64_t be(std::size_t width)
        {
            std::uint64_t v = 0;
            for (std::uint8_t b : bytes(width))
                v = (v << 8) | b;
            return v;
        }
        std::uint8_t u8() { return static_cast<std::uint8_t>(be(1)); }
        std::uint16_t u16() { return static_cast<std::uint16_t>(be(2)); }
        std::uint32_t u32() { return static_cast<std::uint32_t>(be(4)); }
        std::int64_t i64() { return static_cast<std::int64_t>(be(8)); }
        std::optional<DnsName> name()
        {
            const std::size_t len = u8();
            auto wire = bytes(len);
            if (failed_)
                return std::nullopt;
            auto parsed = DnsName::fromWire(wire);
            if (!parsed)
                failed_ = true;
            return parsed ? std::optional<DnsName>(*parsed) : std::nullopt;
        }
        std::optional<SocketAddress> address()
        {
            const std::uint8_t family = u8();
            if (family == 4) {
                sockaddr_in sa {};
                sa.sin_family = AF_INET;
                copyInto(&sa.sin_addr, 4);
                sa.sin_port = htons(u16());
                return checked(reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
            }
            if (family == 6) {
                sockaddr_in6 sa {};
                sa.sin6_family = AF_INET6;
                copyInto(&sa.sin6_addr, 16);
                sa.sin6_port = htons(u16());
                return checked(reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
            }
            failed_ = true;
            return std::nullopt;
        }
        void fail() { failed_ = true; }
        bool failed() const { return failed_; }
        bool atEnd() const { return pos_ == data_.size(); }

    private:
        std::optional<SocketAddress> checked(const sockaddr* sa, socklen_t len)
        {
            auto addr = failed_ ? std::nullopt : SocketAddress::fromSockaddr(sa, len);
            if (!addr)
                failed_ = true;
            return addr;
        }
        void copyInto(void* to, std::size_t n)
        {
            if (auto from = bytes(n); from.size() == n)
                std::memcpy(to, from.data(), n);
        }
        std::span<const std::uint8_t> data_;
        std::size_t pos_ { 0 };
        bool failed_ { false };
    };

    void writeAddress(Out& out, const SocketAddress& addr)
    {
        if (addr.isIPv6()) {
            const auto* sa = reinterpret_cast<const sockaddr_in6*>(addr.sockaddrPtr());
            out.u8(6);
            out.raw({ reinterpret_cast<const std::uint8_t*>(&sa->sin6_addr), 16 });
        } else {
            const auto* sa = reinterpret_cast<const sockaddr_in*>(addr.sockaddrPtr());
            out.u8(4);
            out.raw({ reinterpret_cast<const std::uint8_t*>(&sa->sin_addr), 4 });
        }
        out.u16(addr.port());
    }

    void writeAddresses(Out& out, const NameserverSet& set)
    {
        out.u8(static_cast<std::uint8_t>(set.count));
        for (const SocketAddress& addr : set.slice())
            writeAddress(out, addr);
    }

    std::optional<NameserverSet> readAddresses(Cursor& in)
    {
        const std::size_t count = in.u8();
        if (count > NameserverSet::capacity) {
            in.fail();
            return std::nullopt;
        }
        NameserverSet set;
        for (std::size_t i = 0; i < count; ++i) {
            auto addr = in.address();
            if (!addr)
                return std::nullopt;
            set.append(*addr);
        }
        return set;
    }

    // The cache's monotonic clock and the wall clock at one moment: times cross between them.
    struct Clocks {
        std::int64_t cache_now;
        std::int64_t wall_now;
        std::int64_t toWall(std::int64_t at) const { return at - cache_now + wall_now; }
        std::int64_t toCache(std::int64_t wall) const { return wall - wall_now + cache_now; }
        // Seconds left until `wall`, for the put functions that take a TTL.
        std::uint32_t ttlUntil(std::int64_t wall) const
        {
            return static_cast<std::uint32_t>(
                std::clamp<std::int64_t>(wall - wall_now, 0, std::numeric_limits<std::uint32_t>::max()));
        }
    };

    void writeAnswer(Out& out, const Clocks& clocks, const CacheKey& key, const CacheEntry& meta,
        std::span<const std::uint8_t> packet)
    {
        out.beginEntry(EntryKind::answer);
        out.name(key.name);
        out.u16(key.qtype);
        out.i64(clocks.toWall(meta.expires_at));
        out.i64(clocks.toWall(meta.stored_at));
        out.u16(meta.answer_count);
        out.u8(static_cast<std::uint8_t>(meta.rcode));
        out.u8((meta.validated ? flag_validated : 0) | (meta.has_dnssec_records ? flag_dnssec_records : 0)
            | (meta.bogus ? flag_bogus : 0));
        out.u8(static_cast<std::uint8_t>(meta.bogus_reason));
        out.u32(static_cast<std::uint32_t>(packet.size()));
        out.raw(packet);
        out.endEntry();
    }

    void writeDelegation(Out& out, const Clocks& clocks, const DnsName& zone, const DelegationEntry& entry)
    {
        out.beginEntry(EntryKind::delegation);
        out.name(zone);
        out.i64(clocks.toWall(entry.expires_at));
        writeAddresses(out, entry.nameservers);
        out.u8(static_cast<std::uint8_t>(entry.unresolved.count));
        for (const DnsName& name : entry.unresolved.span())
            out.name(name);
        writeAddresses(out, entry.fallback);
        out.endEntry();
    }

    void writeZoneSecurity(
        Out& out, const Clocks& clocks, const DnsName& name, const ZoneSecurityEntry& entry)
    {
        out.beginEntry(EntryKind::zone_security);
        out.name(name);
        out.i64(clocks.toWall(entry.expires_at));
        const ZoneKeys* keys = entry.security.keys.get();
        out.u8(keys != nullptr ? 1 : 0);
        if (keys != nullptr) {
            out.name(keys->zone);
            out.u16(static_cast<std::uint16_t>(keys->keys.size()));
            for (const auto& owned : keys->keys) {
                const auto key = owned.view();
                out.u16(key.flags);
                out.u8(key.protocol);
                out.u8(key.algorithm);
                out.u16(static_cast<std::uint16_t>(key.public_key.size()));
                out.raw(key.public_key);
            }
        }
        out.endEntry();
    }

    void writeDenialZone(Out& out, std::int64_t wall_now, const DnsName& zone,
        const DenialCache::SavedRange& soa, std::span<const DenialCache::SavedRange> ranges)
    {
        out.beginEntry(EntryKind::denial_zone);
        out.name(zone);
        out.i64(wall_now + soa.seconds_left);
        out.u32(static_cast<std::uint32_t>(soa.packet.size()));
        out.raw(soa.packet);
        out.u32(static_cast<std::uint32_t>(ranges.size()));
        for (const DenialCache::SavedRange& range : ranges) {
            out.u8(range.wildcard ? 1 : 0);
            out.i64(wall_now + range.seconds_left);
            out.u32(static_cast<std::uint32_t>(range.packet.size()));
            out.raw(range.packet);
        }
        out.endEntry();
    }

    constexpr bool knownResolveError(std::uint8_t value)
    {
        return errorName(static_cast<ResolveError>(value)) != "Unknown";
    }

    // Each reader parses one entry's payload and, when `cache` is set and the entry is live, stores it.
    // Called twice per file: first with no cache, to check every entry, then to merge.
    enum class Outcome : std::uint8_t { merged, expired, skipped };
    using Merge = CacheFileResult<Outcome>;

    Merge readAnswer(Cursor& in, const Clocks& clocks, Cache* cache)
    {
        auto name = in.name();
        const std::uint16_t qtype = in.u16();
        const std::int64_t expires = in.i64();
        const std::int64_t stored = in.i64();
        CacheEntry meta;
        meta.answer_count = in.u16();
        const std::uint8_t rcode = in.u8();
        const std::uint8_t flags = in.u8();
        const std::uint8_t reason = in.u8();
        const std::size_t packet_len = in.u32();
        const auto packet = in.bytes(std::min(packet_len, max_packet + 1));
        const bool bogus = (flags & flag_bogus) != 0;
        if (in.failed() || !name || packet_len > max_packet || rcode > 15 || flags > 7 || stored > expires
            || !knownResolveError(reason) || (!bogus && packet.size() < 12))
            return std::unexpected(CacheFileError::BadEntry);
        if (expires < clocks.wall_now)
            return Outcome::expired;
        if (cache == nullptr)
            return Outcome::merged;
        // No TTL spans more than 2^32 s: wider times are a hostile file's, kept from overflowing.
        constexpr std::int64_t widest = std::numeric_limits<std::uint32_t>::max();
        meta.expires_at = clocks.toCache(std::min(expires, clocks.wall_now + widest));
        meta.stored_at = clocks.toCache(std::clamp(stored, clocks.wall_now - widest, clocks.wall_now));
        meta.rcode = static_cast<RCode>(rcode);
        meta.validated = (flags & flag_validated) != 0;
        meta.has_dnssec_records = (flags & flag_dnssec_records) != 0;
        meta.bogus = bogus;
        meta.bogus_reason = static_cast<ResolveError>(reason);
        if (!cache->restoreAnswer(*name, static_cast<QType>(qtype), meta, packet))
            return std::unexpected(CacheFileError::OutOfMemory);
        return Outcome::merged;
    }

    Merge readDelegation(Cursor& in, const Clocks& clocks, Cache* cache)
    {
        Delegation delegation;
        auto zone = in.name();
        const std::int64_t expires = in.i64();
        auto nameservers = readAddresses(in);
        const std::size_t unresolved = in.u8();
        if (unresolved > NameserverNames::capacity)
            in.fail();
        for (std::size_t i = 0; i < unresolved && !in.failed(); ++i) {
            if (auto name = in.name())
                delegation.unresolved.append(*name);
        }
        auto fallback = readAddresses(in);
        if (in.failed() || !zone || !nameservers || !fallback)
            return std::unexpected(CacheFileError::BadEntry);
        if (expires < clocks.wall_now)
            return Outcome::expired;
        if (cache == nullptr)
            return Outcome::merged;
        delegation.zone = *zone;
        delegation.nameservers = *nameservers;
        delegation.fallback = *fallback;
        if (!cache->putDelegation(delegation, clocks.ttlUntil(expires)))
            return std::unexpected(CacheFileError::OutOfMemory);
        return Outcome::merged;
    }

    Merge readZoneSecurity(Cursor& in, const Clocks& clocks, Cache* cache)
    {
        auto name = in.name();
        const std::int64_t expires = in.i64();
        const std::uint8_t secure = in.u8();
        auto keys = std::make_shared<ZoneKeys>();
        if (secure == 1) {
            auto zone = in.name();
            const std::size_t count = in.u16();
            if (count > max_zone_keys || !zone)
                in.fail();
            for (std::size_t i = 0; i < count && !in.failed(); ++i) {
                rdata::dnssec::DNSKEY key;
                key.flags = in.u16();
                key.protocol = in.u8();
                key.algorithm = in.u8();
                key.public_key = in.bytes(in.u16());
                auto owned = key.copyOwned();
                if (!owned)
                    return std::unexpected(CacheFileError::OutOfMemory);
                keys->keytags.push_back(dnssec::computeKeytag(*owned));
                keys->keys.push_back(std::move(*owned));
            }
            if (zone)
                keys->zone = *zone;
        } else if (secure != 0) {
            in.fail();
        }
        if (in.failed() || !name)
            return std::unexpected(CacheFileError::BadEntry);
        if (expires < clocks.wall_now)
            return Outcome::expired;
        if (cache == nullptr)
            return Outcome::merged;
        ZoneSecurity security;
        if (secure == 1)
            security.keys = std::move(keys);
        if (!cache->putZoneSecurity(*name, std::move(security), clocks.ttlUntil(expires)))
            return std::unexpected(CacheFileError::OutOfMemory);
        return Outcome::merged;
    }

    // One RRset and its signatures as DenialCache stored them; its records view `packet`.
    // One RRset and its signatures as DenialCache stored them (none for an empty SOA); its records view
    // the file.
    std::optional<DnsMessage> storedRecords(Cursor& in, bool may_be_empty)
    {
        const std::size_t len = in.u32();
        const auto packet = in.bytes(std::min(len, max_packet + 1));
        if (!in.failed() && len == 0 && may_be_empty)
            return DnsMessage {};
        auto msg = in.failed() || len > max_packet
            ? WireResult<DnsMessage>(std::unexpected(WireError::PacketTooShort))
            : DnsMessage::parse(packet);
        if (!msg || msg->records.empty()) {
            in.fail();
            return std::nullopt;
        }
        return std::move(*msg);
    }

    std::vector<const DnsRecord*> pointersTo(const DnsMessage& msg)
    {
        std::vector<const DnsRecord*> out;
        for (const DnsRecord& rec : msg.records)
            out.push_back(&rec);
        return out;
    }

    struct StoredRange {
        bool wildcard;
        std::int64_t expires;
        DnsMessage msg;
    };

    // A signed zone's SOA and its denial and wildcard RRsets, put back through DenialCache's own checks.
    // With a SOA each denial range is put with it, lasting no longer than the SOA, whose time the last put
    // sets. A zone that only proved wildcard expansions has no SOA: its denial ranges come back with each
    // wildcard, for the shortest time among them.
    Merge readDenialZone(Cursor& in, const Clocks& clocks, Cache* cache, DenialCache* denial)
    {
        auto zone = in.name();
        const std::int64_t soa_expires = in.i64();
        auto soa = storedRecords(in, true);
        const std::size_t count = in.u32();
        std::vector<StoredRange> ranges;
        for (std::size_t i = 0; i < count && !in.failed(); ++i) {
            const std::uint8_t wildcard = in.u8();
            const std::int64_t expires = in.i64();
            auto msg = storedRecords(in, false);
            if (wildcard > 1)
                in.fail();
            if (msg && !in.failed())
                ranges.push_back({ wildcard == 1, expires, std::move(*msg) });
        }
        if (in.failed() || !zone || !soa)
            return std::unexpected(CacheFileError::BadEntry);
        const bool has_soa = !soa->records.empty() && soa_expires >= clocks.wall_now;
        std::vector<const DnsRecord*> denial_records; // the live denial ranges, for wildcards without a SOA
        std::int64_t denial_expires = std::numeric_limits<std::int64_t>::max();
        bool live = false;
        for (const StoredRange& range : ranges) {
            if (range.expires < clocks.wall_now)
                continue;
            live = live || range.wildcard || has_soa;
            if (!range.wildcard) {
                const auto records = pointersTo(range.msg);
                denial_records.insert(denial_records.end(), records.begin(), records.end());
                denial_expires = std::min(denial_expires, range.expires);
            }
        }
        if (!live)
            return Outcome::expired;
        if (cache == nullptr)
            return Outcome::merged;
        if (denial == nullptr)
            return Outcome::skipped;
        const auto soa_records = pointersTo(*soa);
        for (const StoredRange& range : ranges) {
            if (range.expires < clocks.wall_now || (!range.wildcard && !has_soa))
                continue;
            const auto records = pointersTo(range.msg);
            // As DenialCache reads a stored wildcard: its owner less the asterisk label.
            const auto labels = static_cast<std::uint8_t>(records.front()->name.labelCount() - 1);
            const auto stored = !range.wildcard ? denial->put(*zone, soa_records, records,
                                    clocks.ttlUntil(std::min(range.expires, soa_expires)))
                : has_soa ? denial->putWildcard(*zone, labels, records, {}, clocks.ttlUntil(range.expires))
                          : denial->putWildcard(*zone, labels, records, denial_records,
                              clocks.ttlUntil(std::min(range.expires, denial_expires)));
            if (!stored)
                return std::unexpected(CacheFileError::OutOfMemory);
        }
        return Outcome::merged;
    }

    Merge readEntry(EntryKind kind, std::span<const std::uint8_t> payload, const Clocks& clocks, Cache* cache,
        DenialCache* denial)
    {
        Cursor in(payload);
        Merge merged = std::unexpected(CacheFileError::BadEntry);
        switch (kind) {
        case EntryKind::answer:
            merged = readAnswer(in, clocks, cache);
            break;
        case EntryKind::delegation:
            merged = readDelegation(in, clocks, cache);
            break;
        case EntryKind::zone_security:
            merged = readZoneSecurity(in, clocks, cache);
            break;
        case EntryKind::denial_zone:
            merged = readDenialZone(in, clocks, cache, denial);
            break;
        }
        // An entry is exactly its payload: bytes left over mean a writer this reader does not know.
        if (merged && !in.atEnd())
            return std::unexpected(CacheFileError::BadEntry);
        return merged;
    }

    CacheFileResult<CacheFileCounts> readBody(
        std::span<const std::uint8_t> body, const Clocks& clocks, Cache* cache, DenialCache* denial)
    {
        CacheFileCounts counts;
        Cursor in(body);
        while (!in.atEnd()) {
            const std::uint8_t kind = in.u8();
            const std::size_t len = in.u32();
            const auto payload = in.bytes(len);
            if (in.failed())
                return std::unexpected(CacheFileError::BadEntry);
            if (kind < static_cast<std::uint8_t>(EntryKind::answer)
                || kind > static_cast<std::uint8_t>(EntryKind::denial_zone))
                return std::unexpected(CacheFileError::BadEntry);
            const Outcome outcome
                = TRY(readEntry(static_cast<EntryKind>(kind), payload, clocks, cache, denial));
            counts.loaded += outcome == Outcome::merged;
            counts.expired += outcome == Outcome::expired;
        }
        return counts;
    }

    CacheFileResult<std::span<const std::uint8_t>> checkedBody(
        std::span<const std::uint8_t> file, std::uint32_t validation_context)
    {
        if (file.size() < magic.size() || !std::equal(magic.begin(), magic.end(), file.begin()))
            return std::unexpected(CacheFileError::NotCacheFile);
        if (file.size() < cache_file_header_size)
            return std::unexpected(CacheFileError::Truncated);
        Cursor header(file.first(cache_file_header_size));
        header.bytes(magic.size());
        if (header.u32() != cache_file_version)
            return std::unexpected(CacheFileError::UnsupportedVersion);
        const std::uint32_t context = header.u32();
        const std::uint64_t body_len = header.be(8);
        header.i64(); // saved at
        const auto digest = header.bytes(32);
        const auto rest = file.subspan(cache_file_header_size);
        if (body_len > rest.size())
            return std::unexpected(CacheFileError::Truncated);
        if (body_len < rest.size())
            return std::unexpected(CacheFileError::BadEntry);
        const auto actual = sha256(rest);
        if (!actual)
            return std::unexpected(CacheFileError::OutOfMemory);
        if (!std::equal(actual->begin(), actual->end(), digest.begin(), digest.end()))
            return std::unexpected(CacheFileError::ChecksumMismatch);
        if (context != validation_context)
            return std::unexpected(CacheFileError::OtherAnchors);
        return rest;
    }

    CacheFileResult<void> writeAll(int fd, std::span<const std::uint8_t> bytes)
    {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return std::unexpected(CacheFileError::WriteFailed);
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
        return {};
    }

} // namespace

CacheFileResult<EncodedCacheFile> encodeCacheFile(
    const Cache& cache, std::int64_t wall_now, const DenialCache* denial, std::uint32_t validation_context)
{
    try {
        EncodedCacheFile file;
        Out out(file.bytes);
        const Clocks clocks { cache.now(), wall_now };
        out.raw(magic);
        out.u32(cache_file_version);
        out.u32(validation_context);
        const std::size_t body_len_at = file.bytes.size();
        out.i64(0);
        out.i64(wall_now);
        file.bytes.resize(cache_file_header_size);
        // Keys before delegations and answers, as they were learned; order does not matter to the reader.
        cache.forEachZoneSecurity([&](const DnsName& name, const ZoneSecurityEntry& entry) {
            writeZoneSecurity(out, clocks, name, entry);
            ++file.entries;
        });
        cache.forEachDelegation([&](const DnsName& zone, const DelegationEntry& entry) {
            writeDelegation(out, clocks, zone, entry);
            ++file.entries;
        });
        cache.forEachAnswer(
            [&](const CacheKey& key, const CacheEntry& meta, std::span<const std::uint8_t> packet) {
                writeAnswer(out, clocks, key, meta, packet);
                ++file.entries;
            });
        if (denial != nullptr)
            denial->forEachZone([&](const DnsName& zone, const DenialCache::SavedRange& soa,
                                    std::span<const DenialCache::SavedRange> ranges) {
                writeDenialZone(out, wall_now, zone, soa, ranges);
                ++file.entries;
            });
        const auto body = std::span<const std::uint8_t>(file.bytes).subspan(cache_file_header_size);
        out.patchU64(body_len_at, body.size());
        const auto digest = sha256(body);
        if (!digest)
            return std::unexpected(CacheFileError::OutOfMemory);
        std::copy(
            digest->begin(), digest->end(), file.bytes.begin() + cache_file_header_size - digest->size());
        return file;
    } catch (const std::bad_alloc&) {
        return std::unexpected(CacheFileError::OutOfMemory);
    }
}

CacheFileResult<CacheFileCounts> decodeCacheFile(std::span<const std::uint8_t> file, Cache& cache,
    std::int64_t wall_now, DenialCache* denial, std::uint32_t validation_context)
{
    const auto body = TRY(checkedBody(file, validation_context));
    const Clocks clocks { cache.now(), wall_now };
    try {
        TRY(readBody(body, clocks, nullptr, nullptr));
        return readBody(body, clocks, &cache, denial);
    } catch (const std::bad_alloc&) {
        return std::unexpected(CacheFileError::OutOfMemory);
    }
}

CacheFileResult<std::size_t> writeCacheFile(const std::string& path, const Cache& cache,
    std::int64_t wall_now, const DenialCache* denial, std::uint32_t validation_context)
{
    const auto file = TRY(encodeCacheFile(cache, wall_now, denial, validation_context));
    const std::string temporary = path + ".tmp";
    {
        UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!fd.valid())
            return std::unexpected(CacheFileError::WriteFailed);
        // Synced before the rename, so that a crash leaves the old file or the new one, never a torn one.
        if (!writeAll(fd.get(), file.bytes) || ::fsync(fd.get()) != 0) {
            ::unlink(temporary.c_str());
            return std::unexpected(CacheFileError::WriteFailed);
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return std::unexpected(CacheFileError::WriteFailed);
    }
    return file.entries;
}

CacheFileResult<CacheFileCounts> readCacheFile(const std::string& path, Cache& cache, std::int64_t wall_now,
    std::size_t max_file_bytes, DenialCache* denial, std::uint32_t validation_context)
{
    auto text = readWholeFile(path, max_file_bytes);
    if (!text)
        return std::unexpected(fileErrorAs<CacheFileError>(text.error()));
    return decodeCacheFile({ reinterpret_cast<const std::uint8_t*>(text->data()), text->size() }, cache,
        wall_now, denial, validation_context);
}

} // namespace recursor
