#include "server/edns.h"

#include "wire/header.h"

#include <array>

namespace recursor {

namespace {

    constexpr std::uint32_t opt_ttl_do_bit = 0x8000; // DNSSEC OK, the top bit of the flags (RFC 3225 §3)

} // namespace

std::uint16_t clampUdpPayloadSize(std::uint16_t size)
{
    if (size < min_udp_payload + 1)
        return min_udp_payload;
    if (size >= max_udp_payload)
        return max_udp_payload;
    return size;
}

void appendOptRecord(std::vector<std::uint8_t>& message, const OptRecord& opt)
{
    const std::uint32_t ttl = (std::uint32_t { opt.ext_rcode } << 24) | (std::uint32_t { opt.version } << 16)
        | (opt.dnssec_ok ? opt_ttl_do_bit : 0u);
    const std::array<std::uint8_t, 11> fixed {
        0, // root owner
        0, static_cast<std::uint8_t>(QType::opt), // TYPE 41
        static_cast<std::uint8_t>(opt.udp_payload_size >> 8),
        static_cast<std::uint8_t>(opt.udp_payload_size), // CLASS
        static_cast<std::uint8_t>(ttl >> 24), static_cast<std::uint8_t>(ttl >> 16), // ext RCODE, version
        static_cast<std::uint8_t>(ttl >> 8), static_cast<std::uint8_t>(ttl), // DO and zero bits
        static_cast<std::uint8_t>(opt.options.size() >> 8),
        static_cast<std::uint8_t>(opt.options.size()), // RDLENGTH
    };
    message.insert(message.end(), fixed.begin(), fixed.end());
    message.insert(message.end(), opt.options.begin(), opt.options.end());
    const std::uint16_t additional = readU16(std::span(message).subspan(10, 2)) + 1;
    message[10] = static_cast<std::uint8_t>(additional >> 8);
    message[11] = static_cast<std::uint8_t>(additional);
}

WireResult<std::optional<EdnsInfo>> EdnsInfo::parseEdnsInfo(const DnsMessage& msg)
{
    std::optional<EdnsInfo> found;
    for (const DnsRecord& rec : msg.records) {
        if (rec.rtype != QType::opt)
            continue;
        if (rec.section != Section::additional || !rec.name.isRoot() || found)
            return std::unexpected(WireError::MalformedEdns);
        EdnsInfo info;
        if (const auto* raw = rec.rdata.getIf<RData::Unknown>())
            info.options_data = raw->data;
        info.udp_payload_size = toU16(rec.rclass);
        info.ext_rcode = static_cast<std::uint8_t>(rec.ttl >> 24);
        info.version = static_cast<std::uint8_t>(rec.ttl >> 16);
        info.dnssec_ok = (rec.ttl & opt_ttl_do_bit) != 0;
        found = info;
    }
    return found;
}

std::optional<EdnsInfo> EdnsInfo::fromResponse(const DnsMessage& msg)
{
    auto parsed = parseEdnsInfo(msg);
    return parsed ? *parsed : std::nullopt;
}

} // namespace recursor
