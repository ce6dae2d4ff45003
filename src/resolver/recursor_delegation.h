// Which servers a resolution asks next: the starting delegation of a name, and the delegation a referral
// leads to (from glue, or by resolving the nameserver names).
#pragma once

#include "resolver/recursor_machine.h"
#include "resolver/recursor_nameserver.h"

#include <optional>

namespace recursor {

class Cache;

// At most this many nameserver names of one referral are resolved (the NXNS attack, CVE-2020-12667).
inline constexpr std::size_t max_glueless_names = 5;

// The closest live cached delegation at or above `qname`, else the root zone with `roots`.
Delegation initialNameservers(Cache& cache, const NameserverSet& roots, const DnsName& qname);

// Whether a referral to `delegated` may be followed by a resolution for `qname` that asked the servers
// of `zone`: only downwards, and only towards the name (anything else could redirect other names).
bool isUsableReferral(const DnsName& delegated, const DnsName& zone, const DnsName& qname);

// The delegation a referral leads to, or none when it gives no way forward.
ResolveResultOr<std::optional<Delegation>> lookupDelegationNameservers(Recursor& recursor,
    const UpstreamEngine& engine, const DnsMessage& response, const QueryContext& ctx,
    ResolutionBudget& budget);

} // namespace recursor
