#include "resolver/referral.h"

#include <algorithm>
#include <netinet/in.h>

namespace recursor {

namespace {

    constexpr std::uint32_t default_delegation_ttl = 300;

    bool isZoneNs(const DnsRecord& rec, const DnsName& zone)
    {
        return rec.section == Section::authority && rec.rtype == QType::ns && rec.rdata.tag() == RDataTag::ns
            && rec.name.eql(zone);
    }

    std::optional<SocketAddress> rdataAddress(const RData& rdata, std::uint16_t port)
    {
        if (const auto* a = rdata.getIf<RDataTag::a>()) {
            sockaddr_in sin {};
            sin.sin_family = AF_INET;
            sin.sin_port = htons(port);
            std::copy(a->addr.begin(), a->addr.end(), reinterpret_cast<std::uint8_t*>(&sin.sin_addr));
            return SocketAddress::fromSockaddr(reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
        }
        if (const auto* aaaa = rdata.getIf<RDataTag::aaaa>()) {
            sockaddr_in6 sin6 {};
            sin6.sin6_family = AF_INET6;
            sin6.sin6_port = htons(port);
            std::copy(aaaa->addr.begin(), aaaa->addr.end(), sin6.sin6_addr.s6_addr);
            return SocketAddress::fromSockaddr(reinterpret_cast<const sockaddr*>(&sin6), sizeof sin6);
        }
        return std::nullopt;
    }

    // The address of an A or AAAA record, unless it is one no nameserver may have.
    std::optional<SocketAddress> usableAddress(const RData& rdata, std::uint16_t port, bool allow_loopback)
    {
        auto addr = rdataAddress(rdata, port);
        if (addr && addr->isForbiddenUpstream(allow_loopback))
            return std::nullopt;
        return addr;
    }

    // Where an additional-section address for a nameserver of the delegated zone lies: in the zone of
    // the server that sent the referral (glue it may give), or beyond it (glue it has no say over).
    enum class GlueOwner : std::uint8_t { in_referring_zone, beyond };

    // The address of `rec` when it is glue of that kind for a nameserver of `zone` (the delegated zone)
    // and an address a server may have.
    std::optional<SocketAddress> glueAddress(const DnsRecord& rec, std::span<const DnsRecord> records,
        const DnsName& zone, const DnsName& referring_zone, std::uint16_t port, bool allow_loopback,
        GlueOwner owner = GlueOwner::in_referring_zone)
    {
        if (rec.section != Section::additional
            || rec.name.isPartOf(referring_zone) != (owner == GlueOwner::in_referring_zone)
            || !authorityContainsNameserver(records, zone, rec.name))
            return std::nullopt;
        return usableAddress(rec.rdata, port, allow_loopback);
    }

    NameserverSet extractGlue(std::span<const DnsRecord> records, const DnsName& referring_zone,
        std::uint16_t port, bool allow_loopback, GlueOwner owner)
    {
        NameserverSet set;
        const std::optional<DnsName> zone = extractDelegationName(records);
        if (!zone)
            return set;
        for (const DnsRecord& rec : records) {
            if (set.count == NameserverSet::capacity)
                break;
            if (auto addr = glueAddress(rec, records, *zone, referring_zone, port, allow_loopback, owner))
                set.append(*addr);
        }
        return set;
    }

} // namespace

std::optional<DnsName> extractDelegationName(std::span<const DnsRecord> records)
{
    for (const DnsRecord& rec : records) {
        if (rec.section == Section::authority && rec.rtype == QType::ns)
            return rec.name;
    }
    return std::nullopt;
}

bool authorityContainsNameserver(std::span<const DnsRecord> records, const DnsName& zone, const DnsName& name)
{
    return std::any_of(records.begin(), records.end(), [&](const DnsRecord& rec) {
        return isZoneNs(rec, zone) && rec.rdata.get<RDataTag::ns>().nsdname.eql(name);
    });
}

NameserverSet extractGlueNameservers(std::span<const DnsRecord> records, const DnsName& referring_zone,
    std::uint16_t port, bool allow_loopback)
{
    return extractGlue(records, referring_zone, port, allow_loopback, GlueOwner::in_referring_zone);
}

NameserverSet extractOutOfZoneGlue(std::span<const DnsRecord> records, const DnsName& referring_zone,
    std::uint16_t port, bool allow_loopback)
{
    return extractGlue(records, referring_zone, port, allow_loopback, GlueOwner::beyond);
}

std::vector<DnsName> extractGluelessNameservers(
    std::span<const DnsRecord> records, const DnsName& referring_zone, bool allow_loopback, std::size_t limit)
{
    std::vector<DnsName> names;
    const std::optional<DnsName> zone = extractDelegationName(records);
    if (!zone)
        return names;
    std::vector<const DnsName*> glued;
    for (const DnsRecord& rec : records) {
        if (glueAddress(rec, records, *zone, referring_zone, 0, allow_loopback))
            glued.push_back(&rec.name);
    }
    for (const DnsRecord& rec : records) {
        if (names.size() == limit)
            break;
        if (!isZoneNs(rec, *zone))
            continue;
        const DnsName& ns = rec.rdata.get<RDataTag::ns>().nsdname;
        if (std::ranges::none_of(glued, [&](const DnsName* owner) { return owner->eql(ns); })
            && std::ranges::none_of(names, [&](const DnsName& seen) { return seen.eql(ns); }))
            names.push_back(ns);
    }
    return names;
}

NameserverSet extractAnswerAddresses(
    std::span<const DnsRecord> records, std::uint16_t port, bool allow_loopback)
{
    NameserverSet set;
    for (const DnsRecord& rec : records) {
        if (rec.section != Section::answer)
            continue;
        if (auto addr = usableAddress(rec.rdata, port, allow_loopback))
            set.append(*addr);
    }
    return set;
}

std::uint32_t extractDelegationTtl(std::span<const DnsRecord> records)
{
    const std::optional<DnsName> zone = extractDelegationName(records);
    std::optional<std::uint32_t> smallest;
    for (const DnsRecord& rec : records) {
        if (zone && isZoneNs(rec, *zone) && rec.ttl != 0)
            smallest = std::min(smallest.value_or(rec.ttl), rec.ttl);
    }
    return smallest.value_or(default_delegation_ttl);
}

} // namespace recursor
