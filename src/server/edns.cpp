#include "server/edns.h"

#include "wire/header.h"

#include <array>

namespace recursor {

std::uint16_t clampUdpPayloadSize(std::uint16_t size)
{
    if (size < min_udp_payload + 1)
        return min_udp_payload;
    if (size >= max_udp_payload)
        return max_udp_payload;
    return size;
}

void appendOptRecord(std::vector<std::uint8_t>& message, std::uint16_t udp_payload_size,
    std::uint8_t ext_rcode, bool dnssec_ok, std::span<const std::uint8_t> options)
{
    const std::uint32_t ttl = optTtl(ext_rcode, 0, dnssec_ok);
    const std::array<std::uint8_t, 11> fixed {
        0, // root owner
        0, static_cast<std::uint8_t>(QType::opt), // TYPE 41
        static_cast<std::uint8_t>(udp_payload_size >> 8),
        static_cast<std::uint8_t>(udp_payload_size), // CLASS
        static_cast<std::uint8_t>(ttl >> 24), static_cast<std::uint8_t>(ttl >> 16), // ext RCODE, version
        static_cast<std::uint8_t>(ttl >> 8), static_cast<std::uint8_t>(ttl), // DO and zero bits
        static_cast<std::uint8_t>(options.size() >> 8), static_cast<std::uint8_t>(options.size()), // RDLENGTH
    };
    message.insert(message.end(), fixed.begin(), fixed.end());
    message.insert(message.end(), options.begin(), options.end());
    const std::uint16_t additional = readU16(std::span(message).subspan(10, 2)) + 1;
    message[10] = static_cast<std::uint8_t>(additional >> 8);
    message[11] = static_cast<std::uint8_t>(additional);
}

std::uint32_t optTtl(std::uint8_t ext_rcode, std::uint8_t version, bool dnssec_ok)
{
    return (std::uint32_t { ext_rcode } << 24) | (std::uint32_t { version } << 16)
        | (dnssec_ok ? 0x8000u : 0u);
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
        info.dnssec_ok = (rec.ttl & 0x8000) != 0;
        found = info;
    }
    return found;
}

std::optional<EdnsInfo> EdnsInfo::fromResponse(const DnsMessage& msg)
{
    auto parsed = parseEdnsInfo(msg);
    return parsed ? *parsed : std::nullopt;
}

WireResult<void> addOpt(PacketWriter& writer, std::uint16_t udp_payload_size, const AddOptOptions& options)
{
    auto write = [&]() -> WireResult<void> {
        TRY_VOID(writer.startRecord(DnsName::root(), QType::opt,
            static_cast<QClass>(clampUdpPayloadSize(udp_payload_size)),
            optTtl(options.ext_rcode, options.version, options.dnssec_ok), Section::additional));
        for (const EdnsOption& option : options.options) {
            if (option.data.size() > 0xFFFF)
                return std::unexpected(WireError::RdataTooLong);
            TRY_VOID(writer.writeU16(option.code));
            TRY_VOID(writer.writeU16(static_cast<std::uint16_t>(option.data.size())));
            TRY_VOID(writer.writeBlob(option.data));
        }
        return writer.commit();
    };
    auto result = write();
    if (!result)
        writer.rollback();
    return result;
}

} // namespace recursor
