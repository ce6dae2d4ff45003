// Reading a referral response (RFC 1034 §4.3.2 step 3b): the delegated zone, its nameserver names, glue
// and lifetime. Records are read in message order.
#pragma once

#include "resolver/recursor_nameserver.h"
#include "wire/record.h"

#include <cstdint>
#include <optional>
#include <span>

namespace recursor {

// The owner of the first authority-section NS record.
std::optional<DnsName> extractDelegationName(std::span<const DnsRecord> records);

// Whether an authority-section NS record of `zone` names `name` (ASCII case ignored).
bool authorityContainsNameserver(
    std::span<const DnsRecord> records, const DnsName& zone, const DnsName& name);

// Additional-section A/AAAA records at or below the delegated zone whose owner an NS record of the zone
// names, in message order, as addresses with `port`; at most 13. Addresses no server may have are
// dropped (SocketAddress::isForbiddenUpstream; loopback ones kept when `allow_loopback`).
NameserverSet extractGlueNameservers(
    std::span<const DnsRecord> records, std::uint16_t port, bool allow_loopback);

// The A and AAAA records of the answer section as addresses with `port`; at most 13. Dropped as for glue.
NameserverSet extractAnswerAddresses(
    std::span<const DnsRecord> records, std::uint16_t port, bool allow_loopback);

// The smallest non-zero TTL of the zone's authority NS records; 300 when none counts.
std::uint32_t extractDelegationTtl(std::span<const DnsRecord> records);

} // namespace recursor
