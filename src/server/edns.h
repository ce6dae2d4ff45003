// EDNS(0) (RFC 6891): reading a message's OPT record, and the one writer of ours.
#pragma once

#include "wire/record.h"

#include <optional>
#include <span>
#include <vector>

namespace recursor {

inline constexpr std::uint16_t min_udp_payload = 512;
inline constexpr std::uint16_t max_udp_payload = 4096;

struct EdnsInfo {
    std::span<const std::uint8_t> options_data; // raw option list, a view into the parsed packet
    std::uint16_t udp_payload_size { 0 }; // as sent, unclamped
    std::uint8_t ext_rcode { 0 };
    std::uint8_t version { 0 };
    bool dnssec_ok { false };

    // MalformedEdns for an OPT outside the additional section, with a non-root owner, or a second OPT.
    static WireResult<std::optional<EdnsInfo>> parseEdnsInfo(const DnsMessage& msg);
    static WireResult<std::optional<EdnsInfo>> fromQuery(const DnsMessage& msg) { return parseEdnsInfo(msg); }
    // A malformed OPT in a response counts as no EDNS at all.
    static std::optional<EdnsInfo> fromResponse(const DnsMessage& msg);
};

// The fields of an OPT record as written (RFC 6891 §6.1.2, §6.1.3): root owner, the UDP size in CLASS,
// the upper bits of the RCODE, the version and DO in TTL, and the options, already encoded, as RDATA.
struct OptRecord {
    std::uint16_t udp_payload_size { 0 };
    std::uint8_t ext_rcode { 0 };
    std::uint8_t version { 0 };
    bool dnssec_ok { false };
    std::span<const std::uint8_t> options;
};

std::uint16_t clampUdpPayloadSize(std::uint16_t size);

// Appends an OPT record to a finished message and counts it in ARCOUNT.
void appendOptRecord(std::vector<std::uint8_t>& message, const OptRecord& opt);

} // namespace recursor
