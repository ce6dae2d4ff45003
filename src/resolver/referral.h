// Reading a referral response (RFC 1034 §4.3.2 step 3b): the delegated zone, its nameserver names, glue
// and lifetime. Records are read in message order.
#pragma once

#include "resolver/nameserver.h"
#include "wire/record.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace recursor {

// The owner of the first authority-section NS record.
std::optional<DnsName> extractDelegationName(std::span<const DnsRecord> records);

// Whether an authority-section NS record of `zone` names `name` (ASCII case ignored).
bool authorityContainsNameserver(
    std::span<const DnsRecord> records, const DnsName& zone, const DnsName& name);

// Additional-section A/AAAA records whose owner an NS record of the delegated zone names, in message
// order, as addresses with `port`; at most 13. Only glue inside `referring_zone`, the zone of the server
// that sent the referral, counts: that server may speak for its own zone, so glue for a nameserver in a
// sibling zone is as good as glue inside the delegated one (RFC 1034 §4.3.2, §5.3.3), and anything else
// could aim another zone's names at an address of its choosing. Addresses no server may have are
// dropped (SocketAddress::isForbiddenUpstream; loopback ones kept when `allow_loopback`).
NameserverSet extractGlueNameservers(std::span<const DnsRecord> records, const DnsName& referring_zone,
    std::uint16_t port, bool allow_loopback);

// The additional-section addresses extractGlueNameservers leaves out because their owner lies outside
// `referring_zone`, for nameservers an NS record of the delegated zone names; at most 13. Nothing vouches
// for them: a last resort for this delegation only, when the names themselves resolve to no server that
// answers, and never the names' addresses.
NameserverSet extractOutOfZoneGlue(std::span<const DnsRecord> records, const DnsName& referring_zone,
    std::uint16_t port, bool allow_loopback);

// The delegated zone's nameserver names for which extractGlueNameservers finds no address, each once, in
// message order; at most `limit`. Allocates (std::bad_alloc).
std::vector<DnsName> extractGluelessNameservers(std::span<const DnsRecord> records,
    const DnsName& referring_zone, bool allow_loopback, std::size_t limit);

// The A and AAAA records of the answer section as addresses with `port`; at most 13. Dropped as for glue.
NameserverSet extractAnswerAddresses(
    std::span<const DnsRecord> records, std::uint16_t port, bool allow_loopback);

// The smallest non-zero TTL of the zone's authority NS records; 300 when none counts.
std::uint32_t extractDelegationTtl(std::span<const DnsRecord> records);

} // namespace recursor
