// Judging one upstream response: final answer, CNAME to follow, referral, negative answer, or no
// progress. Final and negative answers are built into the result and stored in the answer cache.
#pragma once

#include "resolver/recursor_machine.h"

#include <functional>
#include <optional>
#include <span>

namespace recursor {

// Judges the DNSSEC status of the answer RRsets a step uses, with the response they came in (its
// authority section may hold proofs): validated, unsigned, or an error (bogus).
using AnswerValidator = std::function<ResolveResultOr<bool>(
    std::span<const DnsRecord* const> answers, const DnsMessage& response)>;

// Without a validator, nothing is validated.
ResolveResultOr<NetworkAction> handleNetworkResponse(
    Recursor& recursor, QueryContext& ctx, const QueryResult& result, const AnswerValidator& validate = {});

// The first answer-section CNAME owned by `current` (ASCII case ignored), if any.
const DnsRecord* findCnameTarget(std::span<const DnsRecord> records, const DnsName& current);

} // namespace recursor
