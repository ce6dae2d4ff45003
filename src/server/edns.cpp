#include "server/edns.h"

namespace recursor {

std::uint16_t clampUdpPayloadSize(std::uint16_t size)
{
    if (size < min_udp_payload + 1)
        return min_udp_payload;
    if (size >= max_udp_payload)
        return max_udp_payload;
    return size;
}

std::size_t responseUdpLimit(const std::optional<EdnsInfo>& edns)
{
    return edns ? clampUdpPayloadSize(edns->udp_payload_size) : min_udp_payload;
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
