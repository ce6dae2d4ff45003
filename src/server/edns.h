// EDNS(0) (RFC 6891): reading a message's OPT record and writing one.
#pragma once

#include "wire/record.h"
#include "wire/writer.h"

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

struct EdnsOption {
    std::span<const std::uint8_t> data;
    std::uint16_t code { 0 };
};

struct AddOptOptions {
    std::span<const EdnsOption> options;
    std::uint8_t ext_rcode { 0 };
    std::uint8_t version { 0 };
    bool dnssec_ok { false };
};

std::uint16_t clampUdpPayloadSize(std::uint16_t size);
std::uint32_t optTtl(std::uint8_t ext_rcode, std::uint8_t version, bool dnssec_ok);

// Appends an OPT record to a finished message and counts it in ARCOUNT: root owner, `udp_payload_size`,
// the upper bits of the RCODE, version 0 (the only one spoken here), DO, and `options`, already encoded.
void appendOptRecord(std::vector<std::uint8_t>& message, std::uint16_t udp_payload_size,
    std::uint8_t ext_rcode, bool dnssec_ok, std::span<const std::uint8_t> options = {});

// Appends and commits an OPT record in the additional section; on failure nothing of it remains.
WireResult<void> addOpt(PacketWriter& writer, std::uint16_t udp_payload_size, const AddOptOptions& options);

} // namespace recursor
