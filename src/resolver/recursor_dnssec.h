// DNSSEC validation of the answers a resolution uses (RFC 4035 §5): every answer RRset is verified with
// the keys of its signer zone, and those keys are authenticated by a chain of DS and DNSKEY RRsets
// from the trust anchor. What the walk learns about each zone (its keys, or its proven lack of a
// signature) is kept in the cache for the TTLs the records and their signatures allow.
#pragma once

#include "resolver/recursor_machine.h"

#include <span>

namespace recursor {

// Bounds on the work one response may cause (KeyTrap, CVE-2023-50387): failed signature checks per
// RRset, and signature checks in all for one validated response including its chain. Reaching either
// makes the response bogus.
inline constexpr int max_failed_verifications_per_rrset = 8;
inline constexpr int max_verifications_per_response = 32;
// Levels of the chain that may need DS and DNSKEY lookups for one response.
inline constexpr int max_chain_levels = 32;
// NSEC3 hash iterations above which a denial is taken as insecure (RFC 9276 §3.2).
inline constexpr std::uint16_t max_nsec3_iterations = 150;
// The longest a zone's keys or its insecurity are remembered.
inline constexpr std::uint32_t max_zone_security_ttl = 86400;

// Judges the answer RRsets in `answers` (RRSIGs among them) that a resolution in `ctx` received from
// the servers of `ctx.zone` in `response`: true when every RRset is authenticated; false when any lies
// in an unsigned zone; DnssecBogus when any fails, including an unsigned RRset of a signed zone and a
// wildcard expansion without a proof that the name itself does not exist; ServFail when the chain
// cannot be looked up.
ResolveResultOr<bool> validateAnswerRrsets(Recursor& recursor, const UpstreamEngine& engine,
    ResolutionBudget& budget, const QueryContext& ctx, std::span<const DnsRecord* const> answers,
    const DnsMessage& response);

} // namespace recursor
