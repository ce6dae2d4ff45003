// Judging one upstream response: final answer, CNAME to follow, referral, negative answer, or no
// progress. Final and negative answers are built into the result and stored in the answer cache.
#pragma once

#include "resolver/recursor_machine.h"

#include <optional>
#include <span>

namespace recursor {

ResolveResultOr<NetworkAction> handleNetworkResponse(
    Recursor& recursor, QueryContext& ctx, const QueryResult& result);

// The first answer-section CNAME owned by `current` (ASCII case ignored), if any.
const DnsRecord* findCnameTarget(std::span<const DnsRecord> records, const DnsName& current);

} // namespace recursor
