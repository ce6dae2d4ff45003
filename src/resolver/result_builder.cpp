#include "resolver/result_builder.h"

#include "wire/writer.h"

#include <algorithm>
#include <optional>

namespace recursor {

namespace {

    constexpr std::uint8_t flag_ra = 0x80; // byte 3

    ResolveError fromWriter(WireError e)
    {
        return e == WireError::OutOfMemory ? ResolveError::OutOfMemory : ResolveError::UnwritableAnswer;
    }

    ResolveResultOr<PacketWriter> startResponse(const DnsName& qname, QType qtype, std::uint8_t byte3)
    {
        auto writer = PacketWriter::init(qname, qtype, QClass::in);
        if (!writer)
            return std::unexpected(fromWriter(writer.error()));
        auto header = writer->getHeader();
        header[2] = flag_qr;
        header[3] = byte3;
        return std::move(*writer);
    }

    // An SOA that marks a negative answer lives only as long as the negative answer itself
    // (RFC 2308 §3): the smaller of its TTL and its MINIMUM field.
    std::uint32_t servedTtl(const DnsRecord& rec, Section section)
    {
        if (section == Section::authority && rec.rdata.tag() == RDataTag::soa)
            return std::min(rec.ttl, rec.rdata.get<RDataTag::soa>().minimum);
        return rec.ttl;
    }

    WireResult<void> writeRecord(
        PacketWriter& writer, const DnsRecord& rec, Section section, std::uint32_t ttl_cap)
    {
        TRY_VOID(writer.startRecord(
            rec.name, rec.rtype, rec.rclass, std::min(servedTtl(rec, section), ttl_cap), section));
        TRY_VOID(rec.rdata.writeTo(writer));
        return writer.commit();
    }

    const DnsRecord& deref(const DnsRecord& rec)
    {
        return rec;
    }
    const DnsRecord& deref(const DnsRecord* rec)
    {
        return *rec;
    }

    template <typename Records>
    ResolveResultOr<void> writeRecords(
        PacketWriter& writer, const Records& records, Section section, std::uint32_t ttl_cap)
    {
        for (const auto& rec : records) {
            if (auto written = writeRecord(writer, deref(rec), section, ttl_cap); !written)
                return std::unexpected(fromWriter(written.error()));
        }
        return {};
    }

    ResolveResultOr<BuiltPacket> finishBuilt(PacketWriter& writer)
    {
        auto bytes = writer.finish();
        if (!bytes)
            return std::unexpected(fromWriter(bytes.error()));
        BuiltPacket built { std::move(*bytes), 0 };
        built.answer_count = readU16(std::span(built.packet).subspan(6, 2));
        return built;
    }

    std::uint8_t flagsByte(RCode rcode, bool validated)
    {
        return static_cast<std::uint8_t>(
            flag_ra | (validated ? flag_ad : 0) | (static_cast<std::uint8_t>(rcode) & 0x0F));
    }

    bool isDnssecType(QType t)
    {
        switch (t) {
        case QType::ds:
        case QType::rrsig:
        case QType::nsec:
        case QType::dnskey:
        case QType::nsec3:
        case QType::nsec3param:
        case QType::cds:
        case QType::cdnskey:
            return true;
        default:
            return false;
        }
    }

} // namespace

namespace {

    // The chain in the answer section, then `records` in `section`.
    ResolveResultOr<BuiltPacket> buildPacket(const DnsName& qname, QType qtype,
        std::span<const DnsRecord> cname_chain, std::span<const DnsRecord* const> records, Section section,
        RCode rcode, bool validated, std::uint32_t ttl_cap)
    {
        PacketWriter writer = TRY(startResponse(qname, qtype, flagsByte(rcode, validated)));
        TRY_VOID(writeRecords(writer, cname_chain, Section::answer, ttl_cap));
        TRY_VOID(writeRecords(writer, records, section, ttl_cap));
        return finishBuilt(writer);
    }

} // namespace

ResolveResultOr<BuiltPacket> buildResult(const DnsName& qname, QType qtype,
    std::span<const DnsRecord> cname_chain, std::span<const DnsRecord* const> answers, RCode rcode,
    bool validated, std::uint32_t ttl_cap)
{
    return buildPacket(qname, qtype, cname_chain, answers, Section::answer, rcode, validated, ttl_cap);
}

ResolveResultOr<BuiltPacket> buildNegativePacket(const DnsName& qname, QType qtype,
    std::span<const DnsRecord> cname_chain, std::span<const DnsRecord* const> authority, RCode rcode,
    bool validated, std::uint32_t ttl_cap)
{
    return buildPacket(qname, qtype, cname_chain, authority, Section::authority, rcode, validated, ttl_cap);
}

std::uint32_t extractAnswerTtl(
    std::span<const DnsRecord> cname_chain, std::span<const DnsRecord* const> answers)
{
    std::optional<std::uint32_t> smallest;
    auto consider = [&](std::uint32_t ttl) { smallest = std::min(smallest.value_or(ttl), ttl); };
    for (const DnsRecord& rec : cname_chain)
        consider(rec.ttl);
    for (const DnsRecord* rec : answers)
        consider(rec->ttl);
    return smallest.value_or(default_answer_ttl);
}

const DnsRecord* findNegativeSoa(std::span<const DnsRecord* const> records)
{
    for (const DnsRecord* rec : records) {
        if (rec->section == Section::authority && rec->rdata.tag() == RDataTag::soa)
            return rec;
    }
    return nullptr;
}

std::uint32_t extractNegativeTtl(std::span<const DnsRecord* const> authority)
{
    const DnsRecord* soa = findNegativeSoa(authority);
    if (soa == nullptr)
        return default_negative_ttl;
    return std::min(soa->ttl, soa->rdata.get<RDataTag::soa>().minimum);
}

bool responseHasDnssecRecords(const DnsMessage& msg)
{
    return std::any_of(
        msg.records.begin(), msg.records.end(), [](const DnsRecord& rec) { return isDnssecType(rec.rtype); });
}

} // namespace recursor
