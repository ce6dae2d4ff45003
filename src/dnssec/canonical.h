// The canonical form of an RRset (RFC 4034 §6 as amended by RFC 6840 §5.1) and the data an RRSIG
// signs (RFC 4034 §3.1.8.1), fed piece by piece to whatever hashes or verifies it.
#pragma once

#include "dnssec/dnssec_error.h"
#include "wire/record.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace recursor::dnssec {

// Receives the signed data in order, one piece per call.
using DataSink = std::function<void(std::span<const std::uint8_t>)>;

// A copy of `name` with ASCII upper-case letters lower-cased; every other byte unchanged.
DnsName canonicalName(const DnsName& name);

// The unsigned 32-bit big-endian value of bytes[0..3].
std::uint32_t readU32(const std::uint8_t* bytes);

// The canonical RDATA of one record: names uncompressed, and lower-cased only for the types RFC 6840
// §5.1 lists (NSEC is lower-cased too); every other type exactly as on the wire. A record that cannot
// be written back is InvalidRRSIG (its signature cannot be checked); OutOfMemory.
DnssecResult<std::vector<std::uint8_t>> serializeRData(const DnsRecord& record);

// The owner name an RRSIG with `labels` signed (RFC 4035 §5.3.2), lower-cased: the owner itself, or for
// a wildcard expansion "*." and the rightmost `labels` labels. More labels than the owner has (a
// leading "*" label not counted) is InvalidRRSIG: such a signature never verifies.
DnssecResult<DnsName> signedOwner(const DnsName& owner, std::uint8_t labels);

// One RRset prepared for hashing. Borrows `records`, which must outlive it.
class CanonicalRRset {
public:
    // Records that are not one RRset are MixedNames, MixedTypes or MixedClasses, reported for the first
    // record that differs from the first one (owners compared ignoring case); an empty span is
    // MixedNames. OutOfMemory; InvalidRRSIG as serializeRData.
    static DnssecResult<CanonicalRRset> init(std::span<const DnsRecord> records);

    std::span<const DnsRecord> records() const { return records_; }
    // Indexes into records() in canonical order (RFC 4034 §6.3); duplicates are kept.
    std::span<const std::size_t> order() const { return order_; }
    // The canonical RDATA of records()[i].
    std::span<const std::uint8_t> rdataWire(std::size_t i) const { return rdata_wire_[i]; }

private:
    std::span<const DnsRecord> records_;
    std::vector<std::size_t> order_;
    std::vector<std::vector<std::uint8_t>> rdata_wire_;
};

// Feeds the signed data to `sink`: `rrsig_prefix` (the RRSIG RDATA up to the end of the signer name, as
// serializeRRSIG writes it; a trailing signature is left out), then every record in canonical order
// with the signed owner (signedOwner), type, class, the RRSIG's original TTL and its canonical RDATA.
// A prefix shorter than 19 bytes or without a well-formed signer name is InvalidRRSIG, as is a labels
// field above the owner's label count.
DnssecResult<void> rrsetDigest(
    std::span<const std::uint8_t> rrsig_prefix, const CanonicalRRset& rrset, const DataSink& sink);

} // namespace recursor::dnssec
