// Authenticated denial of existence (RFC 4035 §5.4, RFC 7129, RFC 5155 §8): pure proofs over NSEC and
// NSEC3 records. Every function trusts its caller to pass only records that are evidence: their RRSIG
// verified with the keys of `zone`, and that RRSIG's labels field equal to the owner's label count, so
// that no wildcard-expanded or moved denial record gets here (RFC 4035 §5.3.4, RFC 4592 §4.4). Records of
// other types, or NSEC/NSEC3 records outside `zone`, are ignored; so are NSEC3 records that are not
// SHA-1, carry flags other than opt-out (RFC 5155 §8.2), or whose owner is not one base32hex SHA-1 label
// below the apex. An NSEC or NSEC3 whose bitmap shows a zone cut seen from the parent (NS without SOA) or a
// DNAME denies nothing below its owner, and at its owner nothing but DS (RFC 6840 §4.1).
// NSEC3 records are taken one parameter set (iterations, salt) at a time; each name is hashed at most once
// per set and call. A set above max_nsec3_iterations is not hashed: too_costly when nothing else proves.
#pragma once

#include "dnssec/nsec3.h"
#include "wire/constants.h"
#include "wire/name.h"
#include "wire/record.h"

#include <cstdint>
#include <optional>
#include <span>

namespace recursor::dnssec {

using DenialRecords = std::span<const DnsRecord* const>;

// NSEC3 hash iterations above which a proof is not worth its cost and the answer is insecure
// (RFC 9276 §3.2).
inline constexpr std::uint16_t max_nsec3_iterations = 150;

enum class Denial : std::uint8_t {
    proven, // the records prove the denial: secure
    opt_out, // proven only up to an NSEC3 opt-out span: true, but insecure (RFC 5155 §9.2)
    too_costly, // NSEC3 iterations above max_nsec3_iterations: insecure (RFC 9276 §3.2)
    unproven, // no proof: bogus in a signed zone
};

// What a parent's signed answer without a DS RRset says of `name` (RFC 4035 §5.2, RFC 5155 §8.6, §8.9).
enum class NoDs : std::uint8_t {
    insecure_delegation, // a delegation proven to have no DS (an opt-out span or too costly included)
    not_a_cut, // a name of the parent's zone proven to be no delegation: the parent's keys go on
    unproven,
};

// `*.name` (RFC 4592), or nothing when it would be longer than a name may be.
std::optional<DnsName> wildcardOf(const DnsName& name);

// The SHA-1 hash an NSEC3 owner name carries in its first label (RFC 5155 §3), or nothing when that
// label is no base32hex text of 20 bytes.
std::optional<Nsec3Digest> nsec3OwnerHash(const DnsName& owner);

// RFC 4034 §6.1: label by label from the root, each label's lower-cased bytes; <0, 0 or >0.
int canonicalCompare(const DnsName& a, const DnsName& b);

// RFC 4034 §4.1.2: whether a type bitmap lists `type`.
bool bitmapHasType(std::span<const std::uint8_t> bitmap, QType type);

// Whether an NSEC at `owner` with next name `next` covers `name` (proves that it does not exist):
// owner < name < next in canonical order, `name` at or below `zone`. The last NSEC of a zone (next at or
// before owner) covers the names after its owner only when `next` is the apex `zone`; any other NSEC whose
// next name does not follow its owner covers nothing.
bool nsecCovers(const DnsName& owner, const DnsName& next, const DnsName& name, const DnsName& zone);

// NXDOMAIN for `qname` in `zone`: with NSEC, a covering NSEC for qname and one for the wildcard at the
// closest encloser (the longer common ancestor of qname with that NSEC's owner and with its next name, at
// or below the apex and above qname); with NSEC3, the closest encloser proof and a covering NSEC3 for its
// wildcard (opt_out when the next closer name is covered by an opt-out NSEC3).
Denial proveNxdomain(const DnsName& qname, const DnsName& zone, DenialRecords records);

// NOERROR without data for `qname`/`qtype`: a matching NSEC or NSEC3 without the type and without CNAME;
// an empty non-terminal; a wildcard NODATA (qname proven absent, the closest encloser's wildcard matched
// without the type); for DS with NSEC3, an opt-out span over the next closer name (opt_out). For DS the
// matching record must come from the parent side: no SOA (the root excepted), NS allowed; for other types
// a parent-side cut (NS without SOA) proves nothing. An NSEC3 wildcard NODATA whose next closer name is
// covered only by an opt-out NSEC3 gives opt_out. No bitmap lists ANY or a meta-type (RFC 6895 §3.1):
// ANY is proven absent only where nothing is (an empty non-terminal), the other meta-types never.
Denial proveNodata(const DnsName& qname, QType qtype, const DnsName& zone, DenialRecords records);

// A positive answer for `qname` made from a wildcard (the RRSIG's labels field `rrsig_labels` is below
// qname's label count): proof that the next closer name (qname cut to rrsig_labels + 1 labels) does not
// exist, so that no closer name could have answered (RFC 4035 §5.3.4, RFC 5155 §8.8). opt_out when only an
// opt-out NSEC3 covers it. unproven when rrsig_labels does not put the wildcard at or below the apex and
// above qname.
Denial proveWildcardAnswer(
    const DnsName& qname, std::uint8_t rrsig_labels, const DnsName& zone, DenialRecords records);

// The parent `zone`'s answer to a DS question for `name` held no DS RRset. A matching NSEC or NSEC3: DS or
// SOA in its bitmap gives unproven, else NS gives insecure_delegation, else not_a_cut. No matching record:
// a covering NSEC, or an NSEC3 closest encloser proof whose next closer name is covered without opt-out,
// shows that nothing is at `name` (not_a_cut); covered with opt-out only gives insecure_delegation
// (RFC 5155 §8.9); NSEC3 above max_nsec3_iterations and nothing cheaper gives insecure_delegation.
NoDs proveNoDs(const DnsName& name, const DnsName& zone, DenialRecords records);

} // namespace recursor::dnssec
