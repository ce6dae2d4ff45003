// The resolver's answer to the server, and the building blocks that turn the final upstream response
// into it: the response packet (ID 0, no OPT record) and the TTL it is cached with.
#pragma once

#include "resolver/resolve_error.h"
#include "wire/constants.h"
#include "wire/record.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace recursor {

struct ResolveResult {
    std::vector<std::uint8_t> packet; // complete response: ID 0, no OPT record
    std::uint16_t answer_count { 0 };
    RCode rcode { RCode::no_error };
    bool from_cache { false };
    bool validated { false }; // equals the AD bit in `packet`
    bool has_dnssec_records { false };
    std::optional<std::uint16_t> extended_error; // RFC 8914, for the client: a stale answer's
};

// A client question's outcome: the answer, or why and where it failed.
using ResolveOutcome = std::expected<ResolveResult, ResolveFailure>;

inline constexpr std::uint32_t default_answer_ttl = 300;
inline constexpr std::uint32_t default_negative_ttl = 30;

struct BuiltPacket {
    std::vector<std::uint8_t> packet;
    std::uint16_t answer_count { 0 };
};

// QR and RA set (AD when validated), the upstream RCODE, the question as asked; the CNAME chain, then
// the final answer records in message order, no TTL above `ttl_cap`. UnwritableAnswer when a record cannot be
// written.
ResolveResultOr<BuiltPacket> buildResult(const DnsName& qname, QType qtype,
    std::span<const DnsRecord> cname_chain, std::span<const DnsRecord* const> answers, RCode rcode,
    bool validated, std::uint32_t ttl_cap);

// QR, RA and `rcode` (AD when validated); the CNAME chain that led to the missing name (RFC 2308 §2.1,
// RFC 6604), then the authority records in message order, no TTL above `ttl_cap`.
ResolveResultOr<BuiltPacket> buildNegativePacket(const DnsName& qname, QType qtype,
    std::span<const DnsRecord> cname_chain, std::span<const DnsRecord* const> authority, RCode rcode,
    bool validated, std::uint32_t ttl_cap);

// The smallest TTL among the chain and the answers, 0 included (such records are served but not
// cached); 300 when there are none.
std::uint32_t extractAnswerTtl(
    std::span<const DnsRecord> cname_chain, std::span<const DnsRecord* const> answers);
// min(TTL, MINIMUM) of the first SOA among the records (RFC 2308 §5); 30 without one.
std::uint32_t extractNegativeTtl(std::span<const DnsRecord* const> authority);
// The first authority-section SOA record among `records`, if any.
const DnsRecord* findNegativeSoa(std::span<const DnsRecord* const> records);
// Any DS, RRSIG, NSEC, DNSKEY, NSEC3, NSEC3PARAM, CDS or CDNSKEY record in any section.
bool responseHasDnssecRecords(const DnsMessage& msg);

} // namespace recursor
