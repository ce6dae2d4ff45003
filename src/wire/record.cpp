#include "wire/record.h"

#include "wire/reader.h"

#include <algorithm>
#include <new>

namespace recursor {

namespace {

    // The smallest possible record: a root owner name and the 10 fixed bytes.
    constexpr std::size_t min_record_size = 1 + RecordHeader::size;

    // RFC 2181 §8: a TTL is 0 to 2^31 - 1, and one with the top bit set is treated as 0. The TTL field
    // of OPT (RFC 6891 §6.1.3: extended RCODE, version, flags) is no TTL and is kept as sent.
    std::uint32_t readTtl(const RecordHeader& rh)
    {
        if (rh.rtype != QType::opt && rh.ttl > 0x7FFFFFFFu)
            return 0;
        return rh.ttl;
    }

    WireResult<DnsRecord> readRecord(PacketReader& reader, Section section)
    {
        DnsRecord rec;
        rec.name = TRY(reader.readName());
        const RecordHeader rh = TRY(reader.readRecordHeader());
        const std::size_t start = reader.pos();
        rec.rdata = TRY(RData::readFrom(rh.rtype, reader, rh.rdlength));
        const std::size_t consumed = reader.pos() - start;
        if (consumed > rh.rdlength)
            return std::unexpected(WireError::RdataLengthMismatch);
        TRY_VOID(reader.skip(rh.rdlength - consumed));
        rec.ttl = readTtl(rh);
        rec.rtype = rh.rtype;
        rec.rclass = rh.rclass;
        rec.section = section;
        return rec;
    }

} // namespace

WireResult<DnsMessage> DnsMessage::parse(std::span<const std::uint8_t> packet)
{
    if (packet.size() < Header::size)
        return std::unexpected(WireError::PacketTooShort);

    DnsMessage msg;
    msg.header = Header::fromSlice(packet);
    PacketReader reader(packet, Header::size, Header::size);

    const std::uint16_t qdcount = msg.header.qdCount();
    if (qdcount >= 2)
        return std::unexpected(WireError::InvalidQuestion);
    if (qdcount == 1) {
        msg.question_name = TRY(reader.readName());
        msg.question_type = static_cast<QType>(TRY(reader.readU16()));
        msg.question_class = static_cast<QClass>(TRY(reader.readU16()));
    }

    // A forged header cannot make us allocate more records than the packet could possibly hold.
    const std::size_t total = msg.header.totalRecordCount();
    const std::size_t capacity = std::min(total, (packet.size() - Header::size) / min_record_size);
    try {
        msg.records.reserve(capacity);
    } catch (const std::bad_alloc&) {
        return std::unexpected(WireError::OutOfMemory);
    }

    const std::pair<Section, std::uint16_t> sections[] = {
        { Section::answer, msg.header.anCount() },
        { Section::authority, msg.header.nsCount() },
        { Section::additional, msg.header.arCount() },
    };
    for (const auto& [section, count] : sections) {
        for (std::size_t n = 0; n < count; ++n) {
            if (msg.records.size() >= capacity || reader.atEnd())
                break;
            msg.records.push_back(TRY(readRecord(reader, section))); // reserved: cannot reallocate
        }
        if (count != 0 && msg.records.size() < capacity && reader.atEnd())
            return std::unexpected(WireError::TruncatedRecord);
    }
    if (msg.records.size() < total)
        return std::unexpected(WireError::TruncatedRecord);
    if (!reader.atEnd())
        return std::unexpected(WireError::LengthMismatch);
    return msg;
}

} // namespace recursor
