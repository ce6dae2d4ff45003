#include "dnssec/canonical.h"

#include "wire/writer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <optional>

namespace recursor::dnssec {

namespace {

    // RR types whose embedded names are lower-cased (RFC 4034 §6.2 as amended by RFC 6840 §5.1), and
    // NSEC. Codes without a QType name (MD, MF, RT, PX, NXT) are read as unknown RDATA.
    constexpr std::array<std::uint16_t, 24> lower_cased_types = {
        2, // NS
        3, // MD
        4, // MF
        5, // CNAME
        6, // SOA
        7, // MB
        8, // MG
        9, // MR
        12, // PTR
        14, // MINFO
        15, // MX
        17, // RP
        18, // AFSDB
        21, // RT
        24, // SIG
        26, // PX
        30, // NXT
        33, // SRV
        35, // NAPTR
        36, // KX
        38, // A6
        39, // DNAME
        46, // RRSIG
        47, // NSEC
    };

    bool hasLowerCasedNames(QType rtype)
    {
        return std::ranges::find(lower_cased_types, toU16(rtype)) != lower_cased_types.end();
    }

    // Where the names sit in the RDATA of listed types that are carried as raw bytes.
    struct RawNames {
        std::uint16_t rtype;
        std::size_t offset;
        std::size_t count;
    };
    constexpr std::array<RawNames, 5> raw_name_layouts = { {
        { 3, 0, 1 }, // MD: madname
        { 4, 0, 1 }, // MF: madname
        { 21, 2, 1 }, // RT: preference, intermediate-host
        { 26, 2, 2 }, // PX: preference, map822, mapx400
        { 30, 0, 1 }, // NXT: next domain name, type bitmap
    } };

    // Lower-cases `count` consecutive uncompressed names from `offset`; stops at anything malformed,
    // which then stays as it came.
    void lowerCaseRawNames(std::span<std::uint8_t> rdata, std::size_t offset, std::size_t count)
    {
        std::size_t pos = offset;
        for (std::size_t n = 0; n < count; ++n) {
            while (pos < rdata.size() && rdata[pos] != 0) {
                const std::size_t label_len = rdata[pos];
                if (label_len > 63 || pos + 1 + label_len > rdata.size())
                    return;
                for (std::size_t k = pos + 1; k <= pos + label_len; ++k)
                    rdata[k] = dnsToLower(rdata[k]);
                pos += label_len + 1;
            }
            ++pos;
        }
    }

    void lowerCaseUnknownRData(QType rtype, std::span<std::uint8_t> rdata)
    {
        for (const RawNames& layout : raw_name_layouts) {
            if (layout.rtype == toU16(rtype))
                lowerCaseRawNames(rdata, layout.offset, layout.count);
        }
    }

    DnssecError fromWireError(WireError e)
    {
        return e == WireError::OutOfMemory ? DnssecError::OutOfMemory : DnssecError::InvalidRRSIG;
    }

    // The offset just past the signer name of RRSIG RDATA, or InvalidRRSIG.
    DnssecResult<std::size_t> signerNameEnd(std::span<const std::uint8_t> rrsig_rdata)
    {
        constexpr std::size_t fixed_len = 18;
        if (rrsig_rdata.size() <= fixed_len)
            return std::unexpected(DnssecError::InvalidRRSIG);
        for (std::size_t pos = fixed_len; pos < rrsig_rdata.size(); pos += rrsig_rdata[pos] + 1u) {
            if (rrsig_rdata[pos] == 0)
                return pos + 1;
            if (rrsig_rdata[pos] > 63)
                return std::unexpected(DnssecError::InvalidRRSIG);
        }
        return std::unexpected(DnssecError::InvalidRRSIG);
    }

    // The kind of the first record that does not belong to the RRset of the first one.
    std::optional<DnssecError> firstMismatch(std::span<const DnsRecord> records)
    {
        for (const DnsRecord& r : records.subspan(1)) {
            if (!(r.name == records[0].name))
                return DnssecError::MixedNames;
            if (r.rtype != records[0].rtype)
                return DnssecError::MixedTypes;
            if (r.rclass != records[0].rclass)
                return DnssecError::MixedClasses;
        }
        return std::nullopt;
    }

    std::array<std::uint8_t, 10> recordFixedFields(
        const DnsRecord& r, std::uint32_t ttl, std::size_t rdlength)
    {
        const std::uint16_t type = toU16(r.rtype);
        const std::uint16_t rclass = toU16(r.rclass);
        return { static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type),
            static_cast<std::uint8_t>(rclass >> 8), static_cast<std::uint8_t>(rclass),
            static_cast<std::uint8_t>(ttl >> 24), static_cast<std::uint8_t>(ttl >> 16),
            static_cast<std::uint8_t>(ttl >> 8), static_cast<std::uint8_t>(ttl),
            static_cast<std::uint8_t>(rdlength >> 8), static_cast<std::uint8_t>(rdlength) };
    }

} // namespace

DnsName canonicalName(const DnsName& name)
{
    DnsName lower = name;
    lower.makeLowerCase();
    return lower;
}

std::uint32_t readU32(const std::uint8_t* bytes)
{
    return (static_cast<std::uint32_t>(bytes[0]) << 24) | (static_cast<std::uint32_t>(bytes[1]) << 16)
        | (static_cast<std::uint32_t>(bytes[2]) << 8) | bytes[3];
}

DnssecResult<std::vector<std::uint8_t>> serializeRData(const DnsRecord& record)
{
    const QType rtype = record.rdata.rtype();
    auto writer = PacketWriter::init(DnsName::root(), QType::a, QClass::in);
    if (!writer)
        return std::unexpected(fromWireError(writer.error()));
    writer->setNameForm(
        hasLowerCasedNames(rtype) ? PacketWriter::NameForm::canonical : PacketWriter::NameForm::in_full);
    auto written = writer->startRecord(DnsName::root(), rtype, record.rclass, 0, Section::answer);
    const std::size_t start = writer->size();
    if (written)
        written = record.rdata.writeTo(*writer);
    if (!written)
        return std::unexpected(fromWireError(written.error()));
    try {
        std::vector<std::uint8_t> out(
            writer->bytes().begin() + static_cast<std::ptrdiff_t>(start), writer->bytes().end());
        if (record.rdata.tag() == RDataTag::unknown)
            lowerCaseUnknownRData(rtype, out);
        return out;
    } catch (const std::bad_alloc&) {
        return std::unexpected(DnssecError::OutOfMemory);
    }
}

DnssecResult<DnsName> signedOwner(const DnsName& owner, std::uint8_t labels)
{
    DnsName name = canonicalName(owner);
    const std::size_t label_count = name.labelCount();
    const bool wildcard = name.len >= 2 && name.storage[0] == 1 && name.storage[1] == '*';
    if (labels > label_count - (wildcard ? 1 : 0))
        return std::unexpected(DnssecError::InvalidRRSIG);
    if (labels == label_count)
        return name;
    for (std::size_t n = label_count; n > labels; --n)
        name.chopOff();
    // At least one label of two or more bytes went, so "*." fits.
    std::memmove(name.storage.data() + 2, name.storage.data(), name.len);
    name.storage[0] = 1;
    name.storage[1] = '*';
    name.len = static_cast<std::uint8_t>(name.len + 2);
    return name;
}

DnssecResult<CanonicalRRset> CanonicalRRset::init(std::span<const DnsRecord> records)
{
    if (records.empty())
        return std::unexpected(DnssecError::MixedNames);
    if (const auto mismatch = firstMismatch(records))
        return std::unexpected(*mismatch);
    CanonicalRRset rrset;
    rrset.records_ = records;
    try {
        rrset.rdata_wire_.reserve(records.size());
        for (const DnsRecord& r : records)
            rrset.rdata_wire_.push_back(TRY(serializeRData(r)));
        rrset.order_.resize(records.size());
    } catch (const std::bad_alloc&) {
        return std::unexpected(DnssecError::OutOfMemory);
    }
    for (std::size_t i = 0; i < records.size(); ++i)
        rrset.order_[i] = i;
    // RFC 4034 §6.3: RDATA as left-justified unsigned octet sequences, absent octets sorting first.
    std::ranges::stable_sort(rrset.order_, [&rrset](std::size_t a, std::size_t b) {
        return std::ranges::lexicographical_compare(rrset.rdata_wire_[a], rrset.rdata_wire_[b]);
    });
    return rrset;
}

DnssecResult<void> rrsetDigest(
    std::span<const std::uint8_t> rrsig_prefix, const CanonicalRRset& rrset, const DataSink& sink)
{
    const std::size_t prefix_len = TRY(signerNameEnd(rrsig_prefix));
    const std::uint8_t labels = rrsig_prefix[3];
    const std::uint32_t original_ttl = readU32(rrsig_prefix.data() + 4);
    const DnsName owner = TRY(signedOwner(rrset.records()[0].name, labels));
    sink(rrsig_prefix.first(prefix_len));
    for (const std::size_t i : rrset.order()) {
        const std::span<const std::uint8_t> rdata = rrset.rdataWire(i);
        const auto fixed = recordFixedFields(rrset.records()[i], original_ttl, rdata.size());
        sink(owner.wireBytes());
        sink(fixed);
        sink(rdata);
    }
    return {};
}

} // namespace recursor::dnssec
