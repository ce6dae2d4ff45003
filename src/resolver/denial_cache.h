// Aggressive use of the validated cache (RFC 8198): the NSEC and NSEC3 records that proved a negative
// answer or a wildcard expansion, kept per signed zone with the zone's signed SOA and the validated
// wildcard RRsets, answer later NXDOMAIN and NODATA questions, and names a stored wildcard expands to,
// whose proof they already hold, without asking upstream, for no longer than the records' TTLs.
// Only records that verified under their own owner name with the zone's authenticated keys are stored.
// Memory is bounded by a byte budget; the oldest stored ranges go first. One lock; packets are parsed
// outside it.
#pragma once

#include "dnssec/nsec3.h"
#include "resolver/resolve_error.h"
#include "resolver/result_builder.h"
#include "wire/name.h"
#include "wire/record.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "wire/dns_name_context.h"

namespace recursor {

class DenialCache {
public:
    using Clock = std::function<std::int64_t()>; // whole seconds of a monotonic clock

    DenialCache(Clock clock, std::size_t max_bytes);

    // Keeps the proof of a negative answer from signed zone `zone`: its SOA RRset and the denial RRsets,
    // each with its RRSIGs, for `ttl` seconds. Records of other zones are left out.
    ResolveResultOr<void> put(const DnsName& zone, std::span<const DnsRecord* const> soa_and_signatures,
        std::span<const DnsRecord* const> denial_and_signatures, std::uint32_t ttl);

    // Keeps a validated wildcard RRset of `zone` (records and RRSIGs as they came, for the owner the
    // wildcard made; `labels` is the RRSIGs' labels field) under its wildcard name, with the denial
    // RRsets that proved the expansion.
    ResolveResultOr<void> putWildcard(const DnsName& zone, std::uint8_t labels,
        std::span<const DnsRecord* const> rrset_and_signatures,
        std::span<const DnsRecord* const> denial_and_signatures, std::uint32_t ttl);

    // A secure answer for (qname, qtype) built from stored records alone (ID 0, no OPT, AD set): an
    // NXDOMAIN or NODATA with the zone's SOA and the records of the proof in the authority section, or
    // the expansion of a stored wildcard whose proof the stored ranges hold. For ANY and the other
    // meta-types only an NXDOMAIN: no range shows every RRset a name holds.
    ResolveResultOr<std::optional<ResolveResult>> answer(const DnsName& qname, QType qtype);

    // For the cache file (cache_file.h): each zone's SOA (an empty packet when it has none live) and live
    // denial and wildcard RRsets as stored (the records in the authority section of a message of their
    // own) with their seconds left, visited under the lock. They come back through put() and
    // putWildcard(), whose checks they pass again.
    struct SavedRange {
        std::span<const std::uint8_t> packet;
        std::int64_t seconds_left { 0 };
        bool wildcard { false };
    };
    void forEachZone(
        const std::function<void(const DnsName&, const SavedRange& soa, std::span<const SavedRange>)>& visit)
        const;

    std::size_t rangeCount() const;
    std::size_t bytes() const;
    // Drops the ranges of zones at or below `name`, and of the zones above it, whose ranges may prove
    // names below it; the count.
    std::size_t flush(const DnsName& name);

private:
    struct Range {
        std::vector<std::uint8_t> packet; // the RRset and its RRSIGs, in the authority section
        std::int64_t expires_at { 0 };
    };
    struct CanonicalLess {
        bool operator()(const DnsName& a, const DnsName& b) const;
    };
    struct WildcardLess {
        bool operator()(
            const std::pair<DnsName, std::uint16_t>& a, const std::pair<DnsName, std::uint16_t>& b) const;
    };
    struct Zone {
        std::map<DnsName, Range, CanonicalLess> nsec; // by owner, in canonical order
        std::map<dnssec::Nsec3Digest, Range> nsec3; // by owner hash (SHA-1, the only NSEC3 hash)
        std::map<std::pair<DnsName, std::uint16_t>, Range, WildcardLess> wildcards; // by owner and type
        Range soa;
        std::vector<std::uint8_t> nsec3_salt;
        std::uint16_t nsec3_iterations { 0 };
        bool has_nsec3 { false };
    };
    using ZoneMap = std::unordered_map<DnsName, Zone, DnsNameContext, DnsNameContext>;
    struct StoredKey {
        DnsName zone;
        DnsName owner; // NSEC, or a wildcard's owner
        std::optional<dnssec::Nsec3Digest> hash; // NSEC3 only
        std::uint16_t wildcard_type { 0 }; // a wildcard RRset's type, 0 otherwise
    };

    std::int64_t now() const { return clock_(); }
    ResolveResultOr<std::vector<std::pair<const DnsRecord*, Range>>> packDenial(const DnsName& zone_name,
        std::span<const DnsRecord* const> denial_and_signatures, std::int64_t expires_at);
    // The expansion for `qname` of a wildcard in `wildcards` whose proof `denial` holds.
    ResolveResultOr<std::optional<ResolveResult>> expandWildcard(const DnsName& qname, QType qtype,
        const DnsName& zone_name, std::span<const Range> wildcards, std::span<const DnsRecord* const> denial,
        std::uint32_t left);
    // Under the exclusive lock.
    void storeRange(Zone& zone, const DnsName& zone_name, const DnsRecord& rec, Range range);
    void makeRoom();
    std::size_t erase(const StoredKey& key);
    // Under a shared lock: copies of the live ranges that may hold the proof for `qname`.
    std::vector<Range> candidates(
        const Zone& zone, const DnsName& zone_name, const DnsName& qname, std::int64_t at) const;

    Clock clock_;
    std::size_t max_bytes_;
    std::size_t bytes_ { 0 }; // under `lock_`
    ZoneMap zones_;
    std::deque<StoredKey> order_; // oldest first, for eviction
    mutable std::shared_mutex lock_;
};

} // namespace recursor
