#include "resolver/denial_cache.h"

#include "dnssec/denial.h"
#include "dnssec/nsec3.h"
#include "wire/type_names.h"
#include "wire/writer.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <new>

namespace recursor {

namespace {

    // A map node with its key, and the bookkeeping of the eviction queue.
    constexpr std::size_t range_overhead = sizeof(DnsName) * 3 + 96;
    // Deeper names would cost too many NSEC3 hashes per question (two per label): they go upstream.
    constexpr std::size_t max_hashed_depth = 8;

    bool covers(const DnsRecord& sig, const DnsRecord& rec)
    {
        const auto* rrsig = sig.rdata.getIf<RDataTag::rrsig>();
        return rrsig && sig.rtype == QType::rrsig && sig.name.eql(rec.name)
            && rrsig->type_covered == toU16(rec.rtype);
    }

    // The records as a message of their own, all in the authority section, so that they outlive the
    // response they came in and parse back into records.
    ResolveResultOr<std::vector<std::uint8_t>> packRecords(std::span<const DnsRecord* const> records)
    {
        auto writer = PacketWriter::init(records.front()->name, records.front()->rtype, QClass::in);
        if (!writer)
            return std::unexpected(ResolveError::OutOfMemory);
        for (const DnsRecord* rec : records) {
            const bool written
                = writer->startRecord(rec->name, rec->rtype, rec->rclass, rec->ttl, Section::authority)
                && rec->rdata.writeTo(*writer) && writer->commit();
            if (!written)
                return std::unexpected(ResolveError::UnwritableAnswer);
        }
        auto bytes = writer->finish();
        if (!bytes)
            return std::unexpected(ResolveError::OutOfMemory);
        return std::move(*bytes);
    }

    // The names whose NSEC or NSEC3 may take part in a proof for `qname` (RFC 4035 §5.4, RFC 5155 §8):
    // qname and its ancestors down to the zone apex, and the wildcard below each proper ancestor.
    std::vector<DnsName> proofNames(const DnsName& qname, const DnsName& zone)
    {
        std::vector<DnsName> names { qname };
        DnsName n = qname;
        while (!n.eql(zone) && n.chopOff()) {
            names.push_back(n);
            if (auto wildcard = dnssec::wildcardOf(n))
                names.push_back(*wildcard);
        }
        return names;
    }

    // The entry at or before `key`, the last one for a key before the first (the chain wraps around).
    template <typename Map, typename Key>
    typename Map::const_iterator atOrBefore(const Map& map, const Key& key)
    {
        auto it = map.upper_bound(key);
        if (it == map.begin())
            return map.empty() ? map.end() : std::prev(map.end());
        return std::prev(it);
    }

} // namespace

bool DenialCache::CanonicalLess::operator()(const DnsName& a, const DnsName& b) const
{
    return dnssec::canonicalCompare(a, b) < 0;
}

bool DenialCache::WildcardLess::operator()(
    const std::pair<DnsName, std::uint16_t>& a, const std::pair<DnsName, std::uint16_t>& b) const
{
    const int order = dnssec::canonicalCompare(a.first, b.first);
    return order != 0 ? order < 0 : a.second < b.second;
}

DenialCache::DenialCache(Clock clock, std::size_t max_bytes)
    : clock_(std::move(clock))
    , max_bytes_(max_bytes)
{
}

ResolveResultOr<std::vector<std::pair<const DnsRecord*, DenialCache::Range>>> DenialCache::packDenial(
    const DnsName& zone_name, std::span<const DnsRecord* const> denial_and_signatures,
    std::int64_t expires_at)
{
    std::vector<std::pair<const DnsRecord*, Range>> ranges;
    for (const DnsRecord* rec : denial_and_signatures) {
        if ((rec->rtype != QType::nsec && rec->rtype != QType::nsec3) || !rec->name.isPartOf(zone_name))
            continue;
        std::vector<const DnsRecord*> rrset;
        for (const DnsRecord* other : denial_and_signatures) {
            if ((other->rtype == rec->rtype && other->name.eql(rec->name)) || covers(*other, *rec))
                rrset.push_back(other);
        }
        ranges.emplace_back(rec, Range { TRY(packRecords(rrset)), expires_at });
    }
    return ranges;
}

ResolveResultOr<void> DenialCache::put(const DnsName& zone_name,
    std::span<const DnsRecord* const> soa_and_signatures,
    std::span<const DnsRecord* const> denial_and_signatures, std::uint32_t ttl)
{
    if (soa_and_signatures.empty() || ttl == 0)
        return {};
    const std::int64_t expires_at = now() + ttl;
    try {
        Range soa { TRY(packRecords(soa_and_signatures)), expires_at };
        auto ranges = TRY(packDenial(zone_name, denial_and_signatures, expires_at));
        std::unique_lock lock(lock_);
        Zone& zone = zones_[zone_name];
        bytes_ += soa.packet.size();
        bytes_ -= zone.soa.packet.size();
        zone.soa = std::move(soa);
        for (auto& [rec, range] : ranges)
            storeRange(zone, zone_name, *rec, std::move(range));
        makeRoom();
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    return {};
}

ResolveResultOr<void> DenialCache::putWildcard(const DnsName& zone_name, std::uint8_t labels,
    std::span<const DnsRecord* const> rrset_and_signatures,
    std::span<const DnsRecord* const> denial_and_signatures, std::uint32_t ttl)
{
    if (rrset_and_signatures.empty() || ttl == 0)
        return {};
    DnsName encloser = rrset_and_signatures.front()->name;
    while (encloser.labelCount() > labels)
        encloser.chopOff();
    const auto wildcard = dnssec::wildcardOf(encloser);
    if (!wildcard || !encloser.isPartOf(zone_name))
        return {};
    const std::int64_t expires_at = now() + ttl;
    try {
        std::vector<DnsRecord> renamed;
        std::uint16_t type = 0;
        for (const DnsRecord* rec : rrset_and_signatures) {
            renamed.push_back(*rec);
            renamed.back().name = *wildcard;
            if (rec->rtype != QType::rrsig)
                type = toU16(rec->rtype);
        }
        std::vector<const DnsRecord*> refs;
        for (const DnsRecord& rec : renamed)
            refs.push_back(&rec);
        Range range { TRY(packRecords(refs)), expires_at };
        auto ranges = TRY(packDenial(zone_name, denial_and_signatures, expires_at));
        std::unique_lock lock(lock_);
        Zone& zone = zones_[zone_name];
        const std::size_t size = range.packet.size() + range_overhead;
        const auto key = std::make_pair(*wildcard, type);
        if (auto old = zone.wildcards.find(key); old != zone.wildcards.end()) {
            bytes_ -= old->second.packet.size() + range_overhead;
            old->second = std::move(range);
        } else {
            zone.wildcards.emplace(key, std::move(range));
            order_.push_back({ zone_name, *wildcard, std::nullopt, type });
        }
        bytes_ += size;
        for (auto& [rec, denial] : ranges)
            storeRange(zone, zone_name, *rec, std::move(denial));
        makeRoom();
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    return {};
}

void DenialCache::storeRange(Zone& zone, const DnsName& zone_name, const DnsRecord& rec, Range range)
{
    const std::size_t size = range.packet.size() + range_overhead;
    const auto store = [&](auto& map, const auto& key, StoredKey stored) {
        if (auto old = map.find(key); old != map.end()) {
            bytes_ -= old->second.packet.size() + range_overhead;
            old->second = std::move(range);
        } else {
            map.emplace(key, std::move(range));
            order_.push_back(std::move(stored));
        }
        bytes_ += size;
    };
    if (rec.rtype == QType::nsec) {
        store(zone.nsec, rec.name, StoredKey { zone_name, rec.name });
        return;
    }
    const auto* nsec3 = rec.rdata.getIf<RDataTag::nsec3>();
    auto hash = dnssec::nsec3OwnerHash(rec.name);
    if (nsec3 == nullptr || !hash)
        return;
    // One chain per zone: new parameters (a re-salted zone) replace the old chain.
    if (zone.has_nsec3
        && (nsec3->iterations != zone.nsec3_iterations
            || !std::ranges::equal(nsec3->salt, zone.nsec3_salt))) {
        for (const auto& [h, old] : zone.nsec3)
            bytes_ -= old.packet.size() + range_overhead;
        zone.nsec3.clear();
    }
    zone.has_nsec3 = true;
    zone.nsec3_iterations = nsec3->iterations;
    zone.nsec3_salt.assign(nsec3->salt.begin(), nsec3->salt.end());
    store(zone.nsec3, *hash, StoredKey { zone_name, {}, *hash });
}

std::size_t DenialCache::erase(const StoredKey& key)
{
    auto zone = zones_.find(key.zone);
    if (zone == zones_.end())
        return 0;
    std::size_t freed = 0;
    const auto drop = [&](auto& map, const auto& map_key) {
        if (auto it = map.find(map_key); it != map.end()) {
            freed = it->second.packet.size() + range_overhead;
            map.erase(it);
        }
    };
    if (key.wildcard_type != 0)
        drop(zone->second.wildcards, std::make_pair(key.owner, key.wildcard_type));
    else if (key.hash)
        drop(zone->second.nsec3, *key.hash);
    else
        drop(zone->second.nsec, key.owner);
    if (zone->second.nsec.empty() && zone->second.nsec3.empty() && zone->second.wildcards.empty()) {
        freed += zone->second.soa.packet.size();
        zones_.erase(zone);
    }
    return freed;
}

std::size_t DenialCache::flush(const DnsName& name)
{
    std::unique_lock lock(lock_);
    return std::erase_if(order_, [&](const StoredKey& key) {
        if (!key.zone.isPartOf(name) && !name.isPartOf(key.zone))
            return false;
        bytes_ -= std::min(bytes_, erase(key));
        return true;
    });
}

void DenialCache::makeRoom()
{
    while (bytes_ > max_bytes_ && !order_.empty()) {
        bytes_ -= std::min(bytes_, erase(order_.front()));
        order_.pop_front();
    }
}

std::vector<DenialCache::Range> DenialCache::candidates(
    const Zone& zone, const DnsName& zone_name, const DnsName& qname, std::int64_t at) const
{
    std::vector<const Range*> found;
    const auto add = [&](const Range* range) {
        if (range->expires_at > at && std::ranges::find(found, range) == found.end())
            found.push_back(range);
    };
    const auto names = proofNames(qname, zone_name);
    for (const DnsName& name : names) {
        if (auto it = atOrBefore(zone.nsec, name); it != zone.nsec.end())
            add(&it->second);
    }
    if (zone.has_nsec3 && zone.nsec3_iterations <= dnssec::max_nsec3_iterations
        && qname.labelCount() - zone_name.labelCount() <= max_hashed_depth) {
        for (const DnsName& name : names) {
            const auto hash = dnssec::nsec3Hash(name, zone.nsec3_salt, zone.nsec3_iterations);
            if (!hash)
                continue;
            if (auto it = atOrBefore(zone.nsec3, *hash); it != zone.nsec3.end())
                add(&it->second);
        }
    }
    std::vector<Range> copies;
    for (const Range* range : found)
        copies.push_back(*range);
    return copies;
}

ResolveResultOr<std::optional<ResolveResult>> DenialCache::answer(const DnsName& qname, QType qtype)
{
    try {
        std::vector<std::vector<std::uint8_t>> packets;
        std::vector<Range> wildcards;
        DnsName zone_name;
        std::int64_t expires_at = std::numeric_limits<std::int64_t>::max();
        bool soa_live = false;
        const std::int64_t at = now();
        {
            std::shared_lock lock(lock_);
            if (zones_.empty())
                return std::nullopt;
            DnsName n = qname;
            auto zone = zones_.find(n);
            while (zone == zones_.end() && !n.isRoot() && n.chopOff())
                zone = zones_.find(n);
            if (zone == zones_.end())
                return std::nullopt;
            zone_name = zone->first;
            for (const auto& [key, range] : zone->second.wildcards) {
                DnsName parent = key.first;
                if (key.second == toU16(qtype) && range.expires_at > at && parent.chopOff()
                    && qname.isPartOf(parent) && !qname.eql(parent))
                    wildcards.push_back(range);
            }
            soa_live = zone->second.soa.expires_at > at;
            if (soa_live) {
                expires_at = zone->second.soa.expires_at;
                packets.push_back(zone->second.soa.packet);
            }
            for (auto& range : candidates(zone->second, zone_name, qname, at)) {
                expires_at = std::min(expires_at, range.expires_at);
                packets.push_back(std::move(range.packet));
            }
        }
        std::vector<DnsMessage> messages;
        messages.reserve(packets.size());
        std::vector<const DnsRecord*> authority;
        std::vector<const DnsRecord*> denial;
        for (const auto& packet : packets) {
            auto msg = DnsMessage::parse(packet);
            if (!msg)
                return std::nullopt;
            messages.push_back(std::move(*msg));
            for (const DnsRecord& rec : messages.back().records) {
                authority.push_back(&rec);
                if (rec.rtype == QType::nsec || rec.rtype == QType::nsec3)
                    denial.push_back(&rec);
            }
        }
        const auto left = static_cast<std::uint32_t>(
            std::clamp<std::int64_t>(expires_at - at, 0, std::numeric_limits<std::uint32_t>::max()));
        // A name proven absent holds no type at all, ANY included. A NODATA or an expansion for ANY or a
        // meta-type would claim to know every RRset of the name, which the ranges never show: asked.
        const bool meta = isMetaType(qtype);
        std::optional<RCode> rcode;
        if (soa_live && dnssec::proveNxdomain(qname, zone_name, denial) == dnssec::Denial::proven)
            rcode = RCode::nx_domain;
        else if (soa_live && !meta
            && dnssec::proveNodata(qname, qtype, zone_name, denial) == dnssec::Denial::proven)
            rcode = RCode::no_error;
        if (!rcode && meta)
            return std::nullopt;
        if (!rcode)
            return expandWildcard(qname, qtype, zone_name, wildcards, denial, left);
        BuiltPacket built = TRY(buildNegativePacket(qname, qtype, {}, authority, *rcode, true, left));
        return ResolveResult {
            .packet = std::move(built.packet),
            .answer_count = 0,
            .rcode = *rcode,
            .from_cache = true,
            .validated = true,
            .has_dnssec_records = true,
        };
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
}

ResolveResultOr<std::optional<ResolveResult>> DenialCache::expandWildcard(const DnsName& qname, QType qtype,
    const DnsName& zone_name, std::span<const Range> wildcards, std::span<const DnsRecord* const> denial,
    std::uint32_t left)
{
    for (const Range& range : wildcards) {
        auto msg = DnsMessage::parse(range.packet);
        if (!msg || msg->records.empty())
            continue;
        const auto labels = static_cast<std::uint8_t>(msg->records.front().name.labelCount() - 1);
        if (dnssec::proveWildcardAnswer(qname, labels, zone_name, denial) != dnssec::Denial::proven)
            continue;
        std::vector<DnsRecord> expanded(msg->records.begin(), msg->records.end());
        std::vector<const DnsRecord*> answers;
        for (DnsRecord& rec : expanded) {
            rec.name = qname;
            answers.push_back(&rec);
        }
        const auto ttl = static_cast<std::uint32_t>(std::min<std::int64_t>(left, range.expires_at - now()));
        BuiltPacket built = TRY(buildResult(qname, qtype, {}, answers, RCode::no_error, true, ttl));
        return ResolveResult {
            .packet = std::move(built.packet),
            .answer_count = built.answer_count,
            .rcode = RCode::no_error,
            .from_cache = true,
            .validated = true,
            .has_dnssec_records = true,
        };
    }
    return std::nullopt;
}

void DenialCache::forEachZone(
    const std::function<void(const DnsName&, const SavedRange& soa, std::span<const SavedRange>)>& visit)
    const
{
    const std::int64_t at = now();
    std::vector<SavedRange> ranges;
    std::shared_lock lock(lock_);
    for (const auto& [zone_name, zone] : zones_) {
        ranges.clear();
        const auto keep = [&](const Range& range, bool wildcard) {
            if (range.expires_at >= at)
                ranges.push_back({ range.packet, range.expires_at - at, wildcard });
        };
        for (const auto& [owner, range] : zone.nsec)
            keep(range, false);
        for (const auto& [hash, range] : zone.nsec3)
            keep(range, false);
        for (const auto& [key, range] : zone.wildcards)
            keep(range, true);
        // A zone that only proved wildcard expansions has no SOA: it goes out with an empty one.
        const bool soa_live = !zone.soa.packet.empty() && zone.soa.expires_at >= at;
        if (!ranges.empty())
            visit(zone_name,
                soa_live ? SavedRange { zone.soa.packet, zone.soa.expires_at - at, false } : SavedRange {},
                ranges);
    }
}

std::size_t DenialCache::bytes() const
{
    std::shared_lock lock(lock_);
    return bytes_;
}

std::size_t DenialCache::rangeCount() const
{
    std::shared_lock lock(lock_);
    std::size_t count = 0;
    for (const auto& [name, zone] : zones_)
        count += zone.nsec.size() + zone.nsec3.size() + zone.wildcards.size();
    return count;
}

} // namespace recursor
