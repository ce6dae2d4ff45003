#include "server/udp_response.h"

#include <new>

namespace recursor {

namespace {

    // The raw RDATA of an OPT record (parsed as an opaque type).
    std::span<const std::uint8_t> optData(const DnsRecord& rec)
    {
        const auto* raw = rec.rdata.getIf<RData::Unknown>();
        return raw ? raw->data : std::span<const std::uint8_t> {};
    }

} // namespace

std::size_t encodedRecordSize(const DnsRecord& rec)
{
    return rec.name.len + RecordHeader::size + optData(rec).size();
}

WireResult<std::vector<std::uint8_t>> truncateUdpResponse(
    std::span<const std::uint8_t> response, std::size_t limit, const DnsName& request_qname)
{
    return rewriteResponse(response, limit, {}, true, request_qname);
}

WireResult<std::vector<std::uint8_t>> rewriteResponse(std::span<const std::uint8_t> response,
    std::size_t limit, const std::function<bool(const DnsRecord&)>& keep, bool set_tc,
    const DnsName& request_qname)
{
    const DnsMessage msg = TRY(DnsMessage::parse(response));
    const DnsName& qname = msg.question_name.isEmpty() ? request_qname : msg.question_name;
    auto writer = TRY(PacketWriter::init(qname, msg.question_type, msg.question_class));
    auto header = writer.getHeader();
    header[0] = msg.header.bytes[0];
    header[1] = msg.header.bytes[1];
    header[2] = static_cast<std::uint8_t>(msg.header.bytes[2] | (set_tc ? 0x02 : 0)); // TC
    header[3] = msg.header.bytes[3];

    const DnsRecord* opt = nullptr;
    for (const DnsRecord& rec : msg.records) {
        if (rec.rtype == QType::opt && rec.section == Section::additional) {
            opt = &rec;
            break;
        }
    }
    const std::size_t reserve = opt ? encodedRecordSize(*opt) : 0;

    for (const DnsRecord& rec : msg.records) {
        if (rec.rtype == QType::opt || (keep && !keep(rec)))
            continue;
        if (auto started = writer.startRecord(rec.name, rec.rtype, rec.rclass, rec.ttl, rec.section);
            !started) {
            if (started.error() == WireError::OutOfMemory)
                return std::unexpected(WireError::OutOfMemory);
            writer.rollback();
            break;
        }
        if (auto written = rec.rdata.writeTo(writer); !written) {
            if (written.error() == WireError::OutOfMemory)
                return std::unexpected(WireError::OutOfMemory);
            writer.rollback();
            continue;
        }
        if (writer.openRdataLength() > 0xFFFF) {
            writer.rollback();
            continue;
        }
        if (writer.size() + reserve > limit) {
            writer.rollback(); // later, smaller records are not tried
            break;
        }
        if (auto committed = writer.commit(); !committed) {
            if (committed.error() == WireError::OutOfMemory)
                return std::unexpected(WireError::OutOfMemory);
            writer.rollback();
        }
    }

    if (opt) {
        auto written
            = writer.startRecord(DnsName::root(), QType::opt, opt->rclass, opt->ttl, Section::additional);
        if (written)
            written = writer.writeBlob(optData(*opt));
        if (!written && written.error() == WireError::OutOfMemory)
            return std::unexpected(WireError::OutOfMemory);
        if (!written || writer.openRdataLength() > 0xFFFF || writer.size() > limit || !writer.commit())
            writer.rollback();
    }
    return writer.finish();
}

} // namespace recursor
