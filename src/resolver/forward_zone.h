// Zones the operator sends elsewhere: to resolvers (forward) or to authorities of their own (stub).
#pragma once

#include "resolver/nameserver.h"
#include "wire/name.h"

#include <span>

namespace recursor {

struct ForwardZone {
    DnsName name;
    // The operator named them, so loopback and private addresses are taken as they are.
    NameserverSet servers;
    // Forward: resolvers, asked with RD=1, whose answers are final. Stub: NAME's authorities, asked with
    // RD=0, whose referrals are followed as usual.
    bool recursive { false };
    // A negative trust anchor at NAME (RFC 7646): answers at and below it are not validated.
    bool insecure { false };
};

// The configured zone that holds `qname` with the most labels (nested sections: the longest match wins).
inline const ForwardZone* closestForwardZone(std::span<const ForwardZone> zones, const DnsName& qname)
{
    const ForwardZone* closest = nullptr;
    for (const ForwardZone& zone : zones) {
        if (qname.isPartOf(zone.name) && (closest == nullptr || zone.name.len > closest->name.len))
            closest = &zone;
    }
    return closest;
}

} // namespace recursor
