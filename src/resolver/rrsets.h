// Picking RRsets and the RRSIGs over them out of a response's records (RFC 4034 §3, RFC 4035 §5.3.1),
// for the chain of trust and what it remembers.
#pragma once

#include "wire/rdata/dnssec.h"
#include "wire/record.h"

#include <optional>
#include <span>
#include <vector>

namespace recursor {

using RecordRefs = std::span<const DnsRecord* const>;

// Same owner, type and class: members of one RRset.
bool sameRrset(const DnsRecord& a, const DnsRecord& b);

// Copies of the records of `records` with this owner and type, in class IN.
std::vector<DnsRecord> rrsetOf(RecordRefs records, const DnsName& owner, QType type);

// The RRSIG of `rec` when it covers the RRset of `first` (RFC 4035 §5.3.1: same owner and class, the
// type covered), else nothing.
const rdata::dnssec::RRSIG* signatureOver(const DnsRecord& rec, const DnsRecord& first);

// The RRSIGs over the RRset of `first` by `signer`.
std::vector<const rdata::dnssec::RRSIG*> signaturesOver(
    RecordRefs records, const DnsRecord& first, const DnsName& signer);

// The signer of the first RRSIG over the RRset of `first` whose signer encloses the owner.
std::optional<DnsName> signerOf(RecordRefs records, const DnsRecord& first);

// The answer records grouped into RRsets, RRSIGs left out, in order of first appearance.
std::vector<std::vector<DnsRecord>> groupRrsets(RecordRefs records);

// `members` and the RRSIGs among `records` over their RRsets.
std::vector<const DnsRecord*> withSignatures(RecordRefs records, RecordRefs members);

} // namespace recursor
