// DNSSEC validation of what a resolution uses (RFC 4035 §5): every answer RRset is verified with the
// keys of its signer zone, those keys are authenticated by a chain of DS and DNSKEY RRsets from the
// trust anchor, and a negative answer from a signed zone needs a signed proof (RFC 4035 §5.4,
// RFC 5155 §8). What the walk learns about each zone (its keys, or its proven lack of a signature) is
// kept in the cache for the TTLs the records and their signatures allow.
#pragma once

#include "dnssec/denial.h"
#include "resolver/resolution.h"

#include <cstdint>
#include <limits>
#include <span>

namespace recursor {

// Bounds on the work one client question may cause (KeyTrap, CVE-2023-50387): failed signature checks
// per RRset, and signature checks in all over every step of the question (its CNAME steps and chain
// walks included, kept in ResolutionBudget). Reaching either makes the answer bogus.
inline constexpr int max_failed_verifications_per_rrset = 8;
// Levels of the chain that may need DS and DNSKEY lookups for one response.
inline constexpr int max_chain_levels = 32;
using dnssec::max_nsec3_iterations;

// What validation says of one step of a resolution.
struct StepVerdict {
    static constexpr std::uint32_t no_cap = std::numeric_limits<std::uint32_t>::max();
    bool secure { false }; // authenticated: AD may be set
    // The longest the step's records may be served and cached: the RRSIGs' original TTLs and the time
    // left until they expire (RFC 4035 §5.3.3).
    std::uint32_t ttl_cap { no_cap };
};

// Judges the answer RRsets in `answers` (RRSIGs among them; only those that answer the question) that
// a resolution in `ctx` received from the servers of `ctx.zone` in `response`: secure when every RRset
// is authenticated; insecure when any lies in an unsigned zone; DnssecBogus when any fails, including
// an unsigned RRset of a signed zone and a wildcard expansion without a proof that the name itself
// does not exist; ChainTooLong, DsUnavailable or DnskeyUnavailable when the chain cannot be looked up.
ResolveResultOr<StepVerdict> validateAnswerRrsets(Resolution& resolution, const QueryContext& ctx,
    std::span<const DnsRecord* const> answers, const DnsMessage& response);

// Judges a negative answer (NXDOMAIN, or NOERROR without data) for `ctx.current_qname`/`ctx.qtype`,
// marked by the SOA `soa` among `authority`: in a signed zone it is secure only with a proof whose
// records verified with the zone's keys, insecure for NSEC3 opt-out spans and costly NSEC3 chains, and
// DnssecBogus without a proof. Negative answers from unsigned zones are insecure.
ResolveResultOr<StepVerdict> validateDenial(Resolution& resolution, const QueryContext& ctx, RCode rcode,
    const DnsRecord& soa, std::span<const DnsRecord* const> authority);

} // namespace recursor
