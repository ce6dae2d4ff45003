// Which servers a resolution asks next: the starting delegation of a name, and the delegation a referral
// leads to (from glue, or by resolving the nameserver names).
#pragma once

#include "resolver/nameserver.h"
#include "resolver/resolution.h"

#include <optional>
#include <span>
#include <vector>

namespace recursor {

class Cache;
class LocalZones;

// Where a question for `qname` starts: a forward zone's resolvers when the closest configured zone
// holding it is one; else the closest live cached delegation, unless a configured stub zone lies below
// it (or at it: the public side's delegation of the same name); else that stub zone's servers; else the
// root zone with `roots`.
Delegation initialNameservers(
    Cache& cache, const NameserverSet& roots, std::span<const ForwardZone> configured, const DnsName& qname);
// The same for one resolution, a child zone delegated from a local zone file first: its servers are the
// ones the file names, whatever the public side says.
Delegation initialNameservers(Resolution& resolution, const DnsName& qname);

// Whether `name` lies at or below a negative trust anchor (RFC 7646): a local zone, or a [forward:] or
// [stub:] section with `insecure = true`. Its data is never validated, so never bogus.
bool underNegativeTrustAnchor(
    std::span<const ForwardZone> configured, const LocalZones* local_zones, const DnsName& name);

// Whether a referral to `delegated` may be followed by a resolution for `qname` that asked the servers
// of `zone`: only downwards, and only towards the name (anything else could redirect other names).
bool isUsableReferral(const DnsName& delegated, const DnsName& zone, const DnsName& qname);

// The delegation a referral leads to, or none when it gives no way forward: the servers to ask, the
// nameserver names that came without glue, left to resolve should those servers all fail, and the glue
// for names outside the referring server's zone as the last resort. Glued addresses come first; only
// when there are none are the names resolved at once, and only when they give nothing is the last
// resort taken at once.
ResolveResultOr<std::optional<Delegation>> lookupDelegationNameservers(
    Resolution& resolution, const DnsMessage& response, const QueryContext& ctx);

// The addresses of `names`, nameservers of `zone`, by nested resolutions (A, then AAAA, of each); none
// when the zone's own nameservers are already being looked up further up the question, since finding
// them would need the zone itself.
ResolveResultOr<NameserverSet> resolveNameserverNames(
    Resolution& resolution, const DnsName& zone, std::span<const DnsName> names, const QueryContext& ctx);

} // namespace recursor
