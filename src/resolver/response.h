// Judging one upstream response: final answer, CNAME or DNAME to follow, referral, negative answer, or
// no progress. Only the RRsets that answer the question are used: those of the current name (the
// question's, or the current target of its CNAME and DNAME chain) with the question's type, a CNAME
// there, or a DNAME above it, with their RRSIGs, and only inside the zone of the server asked; with or
// without AA. Final and negative answers are built into the result and stored in the answer cache,
// except negative answers without SOA, which are served only.
#pragma once

#include "resolver/chain_of_trust.h"
#include "resolver/resolution.h"

#include <optional>
#include <span>

namespace recursor {

// Judges the DNSSEC status of what one step uses.
class StepValidator {
public:
    virtual ~StepValidator() = default;
    // The answer RRsets the step uses (their RRSIGs among them), with the response they came in (its
    // authority section may hold proofs): secure, insecure, or an error (bogus).
    virtual ResolveResultOr<StepVerdict> answer(
        std::span<const DnsRecord* const> answers, const DnsMessage& response)
        = 0;
    // A negative answer marked by `soa` (null for an authoritative one that came without), with the
    // authority records of the zone that came with it.
    virtual ResolveResultOr<StepVerdict> denial(
        RCode rcode, const DnsRecord* soa, std::span<const DnsRecord* const> authority)
        = 0;
};

// Without a validator, nothing is validated.
ResolveResultOr<NetworkAction> handleNetworkResponse(
    Resolution& resolution, QueryContext& ctx, const QueryResult& result, StepValidator* validator = nullptr);

// The first answer-section CNAME owned by `current` (ASCII case ignored), if any.
const DnsRecord* findCnameTarget(std::span<const DnsRecord> records, const DnsName& current);

// RFC 6672 §2.2: `qname` with the suffix `owner` replaced by `target`; nothing when the result would be
// longer than a name may be.
std::optional<DnsName> substituteDname(const DnsName& qname, const DnsName& owner, const DnsName& target);

} // namespace recursor
