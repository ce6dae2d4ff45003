// Messages encoded by an independent implementation (dnspython, tests/golden/generate.py) against our
// parser and writer. Each NAME.bin comes with NAME.txt: what dnspython decoded from the same bytes.
//
// How RDATA is compared. dnspython gives every record's data in uncompressed wire form. We get ours by
// re-encoding the parsed RData with PacketWriter into a fresh message holding only that record (empty
// question, the record's own owner name) and cutting out its RDATA. Our writer compresses names only in
// the types listed in compressedNameLayout(); for those we expand the pointers at the known name
// positions (DnsName::fromPacket) before comparing, and only those name bytes may differ in ASCII case.
// Every other type must come out byte for byte, so a name compressed where RFC 3597 §4 forbids it
// shows up as a mismatch. Because re-encoding cannot see a
// pair of fields that the reader and the writer both swap, a few records are also checked field by field.
#include "wire/record.h"
#include "wire/writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace recursor {
namespace {

    using Bytes = std::vector<std::uint8_t>;
    namespace fs = std::filesystem;

    const fs::path golden_dir = fs::path(RECURSOR_SOURCE_DIR) / "tests" / "golden";

    Bytes toBytes(std::span<const std::uint8_t> s)
    {
        return Bytes(s.begin(), s.end());
    }

    Bytes fromHex(const std::string& hex)
    {
        Bytes out;
        if (hex == "-")
            return out;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        return out;
    }

    Bytes readFile(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    struct ExpectedRecord {
        Section section { Section::answer };
        Bytes owner;
        std::uint16_t rtype { 0 };
        std::uint16_t rclass { 0 };
        std::uint32_t ttl { 0 };
        Bytes rdata;
    };

    struct Manifest {
        std::uint16_t id { 0 };
        std::uint16_t flags { 0 };
        std::array<std::uint16_t, 4> counts {}; // QD, AN, NS, AR
        std::optional<Bytes> question_name;
        std::uint16_t question_type { 0 };
        std::uint16_t question_class { 0 };
        std::vector<ExpectedRecord> records;
    };

    std::optional<Section> sectionFromText(const std::string& word)
    {
        if (word == "answer")
            return Section::answer;
        if (word == "authority")
            return Section::authority;
        if (word == "additional")
            return Section::additional;
        return std::nullopt;
    }

    std::optional<Manifest> loadManifest(const fs::path& path)
    {
        std::ifstream in(path);
        if (!in)
            return std::nullopt;
        Manifest m;
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            std::istringstream words(line);
            std::string kind, hex;
            words >> kind;
            if (kind == "header") {
                words >> m.id >> m.flags >> m.counts[0] >> m.counts[1] >> m.counts[2] >> m.counts[3];
            } else if (kind == "question") {
                words >> hex >> m.question_type >> m.question_class;
                m.question_name = fromHex(hex);
            } else if (kind == "record") {
                std::string section, owner, rdata;
                ExpectedRecord rec;
                words >> section >> owner >> rec.rtype >> rec.rclass >> rec.ttl >> rdata;
                const auto parsed_section = sectionFromText(section);
                if (!parsed_section)
                    return std::nullopt;
                rec.section = *parsed_section;
                rec.owner = fromHex(owner);
                rec.rdata = fromHex(rdata);
                m.records.push_back(std::move(rec));
            } else {
                return std::nullopt;
            }
            if (words.fail())
                return std::nullopt;
        }
        return m;
    }

    std::vector<std::string> goldenNames()
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(golden_dir, ec)) {
            if (entry.path().extension() == ".bin")
                names.push_back(entry.path().stem().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // RDATA layouts of the types whose names our writer compresses: `prefix` fixed bytes, then `names`
    // consecutive names, then uninterpreted bytes (RFC 1035 §3.3, RFC 2782, RFC 4025 §2.1, RFC 9460 §2.2).
    struct NameLayout {
        std::size_t prefix;
        std::size_t names;
    };

    std::optional<NameLayout> compressedNameLayout(const RData& rdata)
    {
        switch (rdata.tag()) {
        case RDataTag::ns:
        case RDataTag::cname:
        case RDataTag::ptr:
        case RDataTag::mb:
        case RDataTag::mg:
        case RDataTag::mr:
            return NameLayout { 0, 1 };
        case RDataTag::soa:
        case RDataTag::minfo:
            return NameLayout { 0, 2 };
        case RDataTag::mx:
            return NameLayout { 2, 1 };
        default: // every other type has no name, or writes its names in full
            return std::nullopt;
        }
    }

    // RDATA in uncompressed form, with the byte ranges that hold names: a name written as a pointer
    // takes the case of the earlier occurrence it points to (compression matches ignoring case).
    struct Rdata {
        Bytes bytes;
        std::vector<std::pair<std::size_t, std::size_t>> name_spans; // [begin, end)

        bool sameAs(const Bytes& other) const
        {
            if (other.size() != bytes.size())
                return false;
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                if (bytes[i] != other[i] && !(inName(i) && dnsToLower(bytes[i]) == dnsToLower(other[i])))
                    return false;
            }
            return true;
        }

        bool inName(std::size_t i) const
        {
            return std::any_of(name_spans.begin(), name_spans.end(),
                [i](const auto& span) { return i >= span.first && i < span.second; });
        }
    };

    void PrintTo(const Rdata& rdata, std::ostream* out)
    {
        *out << testing::PrintToString(rdata.bytes);
    }

    // The RDATA of the only record of `packet` (written by PacketWriter), with the names of `layout`
    // decompressed.
    std::optional<Rdata> extractRdata(std::span<const std::uint8_t> packet, std::optional<NameLayout> layout)
    {
        constexpr std::size_t owner_offset = Header::size + 1 + 4; // empty question: root byte, type, class
        auto owner = DnsName::fromPacket(packet, owner_offset, Header::size);
        if (!owner)
            return std::nullopt;
        const std::size_t rdata_offset = owner_offset + owner->consumed + RecordHeader::size;
        if (rdata_offset > packet.size())
            return std::nullopt;
        const std::size_t rdlength = readU16(packet.subspan(rdata_offset - 2, 2));
        if (rdata_offset + rdlength != packet.size())
            return std::nullopt;
        if (!layout)
            return Rdata { toBytes(packet.subspan(rdata_offset)), {} };

        Rdata out { Bytes(packet.begin() + rdata_offset, packet.begin() + rdata_offset + layout->prefix),
            {} };
        std::size_t pos = rdata_offset + layout->prefix;
        for (std::size_t i = 0; i < layout->names; ++i) {
            auto name = DnsName::fromPacket(packet, pos, Header::size);
            if (!name)
                return std::nullopt;
            const auto wire = name->name.wireBytes();
            out.name_spans.emplace_back(out.bytes.size(), out.bytes.size() + wire.size());
            out.bytes.insert(out.bytes.end(), wire.begin(), wire.end());
            pos += name->consumed;
        }
        if (pos > packet.size())
            return std::nullopt;
        out.bytes.insert(out.bytes.end(), packet.begin() + pos, packet.end());
        return out;
    }

    // Our uncompressed RDATA for `rec`, or nullopt when writing it fails.
    std::optional<Rdata> uncompressedRdata(const DnsRecord& rec)
    {
        auto writer = PacketWriter::init(DnsName {}, QType::a, QClass::in);
        if (!writer || !writer->startRecord(rec.name, rec.rtype, rec.rclass, rec.ttl, Section::answer)
            || !rec.rdata.writeTo(*writer))
            return std::nullopt;
        auto packet = writer->finish();
        if (!packet)
            return std::nullopt;
        return extractRdata(*packet, compressedNameLayout(rec.rdata));
    }

    std::string describe(const DnsRecord& rec, std::size_t index)
    {
        std::ostringstream out;
        out << "record " << index << ": " << rec.name.toText() << " type " << toU16(rec.rtype);
        return out.str();
    }

    class GoldenDnsMessage : public testing::TestWithParam<std::string> {
    protected:
        void SetUp() override
        {
            packet_ = readFile(golden_dir / (GetParam() + ".bin"));
            ASSERT_FALSE(packet_.empty()) << GetParam() << ".bin is missing";
            auto manifest = loadManifest(golden_dir / (GetParam() + ".txt"));
            ASSERT_TRUE(manifest) << GetParam() << ".txt is missing or malformed";
            manifest_ = std::move(*manifest);
            auto msg = DnsMessage::parse(packet_);
            ASSERT_TRUE(msg) << "error." << errorName(msg.error());
            msg_ = std::move(*msg);
        }

        Bytes packet_;
        Manifest manifest_;
        DnsMessage msg_;
    };

    TEST_P(GoldenDnsMessage, ParsesToWhatDnspythonDecoded)
    {
        EXPECT_EQ(msg_.header.id(), manifest_.id);
        EXPECT_EQ(readU16(std::span(msg_.header.bytes).subspan(2, 2)), manifest_.flags);
        EXPECT_EQ(msg_.header.qdCount(), manifest_.counts[0]);
        EXPECT_EQ(msg_.header.anCount(), manifest_.counts[1]);
        EXPECT_EQ(msg_.header.nsCount(), manifest_.counts[2]);
        EXPECT_EQ(msg_.header.arCount(), manifest_.counts[3]);
        if (manifest_.question_name) {
            EXPECT_EQ(toBytes(msg_.question_name.wireBytes()), *manifest_.question_name);
            EXPECT_EQ(toU16(msg_.question_type), manifest_.question_type);
            EXPECT_EQ(toU16(msg_.question_class), manifest_.question_class);
        } else {
            EXPECT_TRUE(msg_.question_name.isEmpty());
        }

        ASSERT_EQ(msg_.records.size(), manifest_.records.size());
        for (std::size_t i = 0; i < msg_.records.size(); ++i) {
            const DnsRecord& rec = msg_.records[i];
            const ExpectedRecord& want = manifest_.records[i];
            SCOPED_TRACE(describe(rec, i));
            EXPECT_EQ(rec.section, want.section);
            // Byte equality: the owner keeps the case it was sent with, pointers expanded.
            EXPECT_EQ(toBytes(rec.name.wireBytes()), want.owner);
            EXPECT_EQ(toU16(rec.rtype), want.rtype);
            EXPECT_EQ(toU16(rec.rclass), want.rclass);
            EXPECT_EQ(rec.ttl, want.ttl);
            EXPECT_EQ(rec.rdata.tag(), tagForType(rec.rtype));
            EXPECT_EQ(rec.rdata.rtype(), rec.rtype);
        }
    }

    TEST_P(GoldenDnsMessage, RdataReencodesToDnspythonBytes)
    {
        ASSERT_EQ(msg_.records.size(), manifest_.records.size());
        for (std::size_t i = 0; i < msg_.records.size(); ++i) {
            SCOPED_TRACE(describe(msg_.records[i], i));
            const auto ours = uncompressedRdata(msg_.records[i]);
            ASSERT_TRUE(ours) << "could not re-encode";
            EXPECT_TRUE(ours->sameAs(manifest_.records[i].rdata))
                << "ours " << testing::PrintToString(*ours) << "\nwant "
                << testing::PrintToString(manifest_.records[i].rdata);
        }
    }

    // Writes every record back with our writer, parses the result and compares it with the first parse.
    // Names written compressed take the case of the earlier occurrence they point to, so names compare
    // ignoring case, here as inside the RDATA.
    TEST_P(GoldenDnsMessage, SurvivesRewriteByPacketWriter)
    {
        auto writer = PacketWriter::init(msg_.question_name, msg_.question_type, msg_.question_class);
        ASSERT_TRUE(writer);
        std::copy_n(msg_.header.bytes.begin(), 4, writer->getHeader().begin()); // ID and flags
        for (const DnsRecord& rec : msg_.records) {
            ASSERT_TRUE(writer->startRecord(rec.name, rec.rtype, rec.rclass, rec.ttl, rec.section));
            ASSERT_TRUE(rec.rdata.writeTo(*writer));
            ASSERT_TRUE(writer->commit());
        }
        auto rewritten = writer->finish();
        ASSERT_TRUE(rewritten);
        auto again = DnsMessage::parse(*rewritten);
        ASSERT_TRUE(again) << "error." << errorName(again.error());

        EXPECT_EQ(
            toBytes(std::span(again->header.bytes).first(4)), toBytes(std::span(msg_.header.bytes).first(4)));
        EXPECT_EQ(again->header.anCount(), msg_.header.anCount());
        EXPECT_EQ(again->header.nsCount(), msg_.header.nsCount());
        EXPECT_EQ(again->header.arCount(), msg_.header.arCount());
        if (!msg_.question_name.isEmpty()) {
            EXPECT_EQ(toBytes(again->question_name.wireBytes()), toBytes(msg_.question_name.wireBytes()));
            EXPECT_EQ(again->question_type, msg_.question_type);
            EXPECT_EQ(again->question_class, msg_.question_class);
        }
        ASSERT_EQ(again->records.size(), msg_.records.size());
        for (std::size_t i = 0; i < msg_.records.size(); ++i) {
            const DnsRecord& first = msg_.records[i];
            const DnsRecord& second = again->records[i];
            SCOPED_TRACE(describe(first, i));
            EXPECT_EQ(second.section, first.section);
            EXPECT_TRUE(second.name.eql(first.name)) << second.name.toText();
            EXPECT_EQ(second.rtype, first.rtype);
            EXPECT_EQ(second.rclass, first.rclass);
            EXPECT_EQ(second.ttl, first.ttl);
            EXPECT_EQ(second.rdata.tag(), first.rdata.tag());
            const auto before = uncompressedRdata(first);
            const auto after = uncompressedRdata(second);
            ASSERT_TRUE(before && after);
            EXPECT_TRUE(after->sameAs(before->bytes)) << testing::PrintToString(*after);
        }
    }

    INSTANTIATE_TEST_SUITE_P(Golden, GoldenDnsMessage, testing::ValuesIn(goldenNames()),
        [](const testing::TestParamInfo<std::string>& param_info) { return param_info.param; });

    TEST(GoldenCorpus, HoldsAManifestForEachOfAtLeastSixtyMessages)
    {
        const auto names = goldenNames();
        EXPECT_GE(names.size(), 60u) << "golden directory " << golden_dir;
        for (const auto& name : names)
            EXPECT_TRUE(fs::exists(golden_dir / (name + ".txt"))) << name;
    }

    // Loads one golden message; the packet stays alive beside the records that borrow it.
    struct Golden {
        explicit Golden(const std::string& name)
            : packet(readFile(golden_dir / (name + ".bin")))
        {
            auto parsed = DnsMessage::parse(packet);
            if (parsed)
                msg = std::move(*parsed);
        }

        std::vector<const DnsRecord*> ofType(QType rtype) const
        {
            std::vector<const DnsRecord*> out;
            for (const auto& rec : msg.records) {
                if (rec.rtype == rtype)
                    out.push_back(&rec);
            }
            return out;
        }

        Bytes packet;
        DnsMessage msg;
    };

    std::string text(std::span<const std::uint8_t> bytes)
    {
        return std::string(bytes.begin(), bytes.end());
    }

    std::string nameText(const DnsName& name)
    {
        return name.toText();
    }

    TEST(GoldenRData, DecodesFixedFieldsInWireOrder)
    {
        const Golden srv("resp_srv");
        const auto srvs = srv.ofType(QType::srv);
        ASSERT_EQ(srvs.size(), 3u);
        const auto& first = srvs[0]->rdata.get<RDataTag::srv>();
        EXPECT_EQ(first.priority, 10);
        EXPECT_EQ(first.weight, 60);
        EXPECT_EQ(first.port, 5060);
        EXPECT_EQ(nameText(first.target), "sip1.example.com.");
        EXPECT_TRUE(srvs[2]->rdata.get<RDataTag::srv>().target.isRoot());

        const Golden soa("resp_soa");
        ASSERT_EQ(soa.msg.records.size(), 1u);
        const auto& s = soa.msg.records[0].rdata.get<RDataTag::soa>();
        EXPECT_EQ(nameText(s.mname), "ns1.example.com.");
        EXPECT_EQ(nameText(s.rname), "hostmaster.example.com.");
        EXPECT_EQ(s.serial, 2024010101u);
        EXPECT_EQ(s.refresh, 7200u);
        EXPECT_EQ(s.retry, 3600u);
        EXPECT_EQ(s.expire, 1209600u);
        EXPECT_EQ(s.minimum, 300u);

        const Golden loc("resp_loc");
        const auto locs = loc.ofType(QType::loc);
        ASSERT_EQ(locs.size(), 2u);
        const auto& l = locs[0]->rdata.get<RDataTag::loc>();
        EXPECT_EQ(l.version, 0);
        EXPECT_EQ(l.latitude, (1u << 31) + ((52u * 60 + 22) * 60 + 23) * 1000); // RFC 1876 §2: 2^31 = equator
        EXPECT_EQ(l.longitude, (1u << 31) + ((4u * 60 + 53) * 60 + 32) * 1000);
        EXPECT_EQ(l.altitude, 10000000u - 200); // -2.00 m above the 100 km reference base, in cm
    }

    TEST(GoldenRData, DecodesSignatureFields)
    {
        const Golden signed_a("resp_a_signed");
        const auto sigs = signed_a.ofType(QType::rrsig);
        ASSERT_EQ(sigs.size(), 1u);
        const auto& sig = sigs[0]->rdata.get<RDataTag::rrsig>();
        EXPECT_EQ(sig.type_covered, toU16(QType::a));
        EXPECT_EQ(sig.algorithm, 13);
        EXPECT_EQ(sig.labels, 3);
        EXPECT_EQ(sig.original_ttl, 300u);
        EXPECT_EQ(sig.sig_expiration, 1706745600u); // 2024-02-01
        EXPECT_EQ(sig.sig_inception, 1704067200u); // 2024-01-01
        EXPECT_EQ(sig.keytag, 12345);
        EXPECT_EQ(nameText(sig.signer_name), "example.com.");
        EXPECT_EQ(sig.signature.size(), 64u);

        const Golden nsec3("resp_nxdomain_nsec3");
        const auto hashes = nsec3.ofType(QType::nsec3);
        ASSERT_EQ(hashes.size(), 2u);
        const auto& h = hashes[0]->rdata.get<RDataTag::nsec3>();
        EXPECT_EQ(h.hash_algorithm, 1);
        EXPECT_EQ(h.flags, 1);
        EXPECT_EQ(h.iterations, 12);
        EXPECT_EQ(toBytes(h.salt), (Bytes { 0xaa, 0xbb, 0xcc, 0xdd }));
        EXPECT_EQ(h.next_hashed.size(), 20u);
        EXPECT_TRUE(hashes[1]->rdata.get<RDataTag::nsec3>().salt.empty());

        const Golden tsig("resp_tsig_signed");
        ASSERT_FALSE(tsig.msg.records.empty());
        const DnsRecord& last = tsig.msg.records.back();
        const auto& t = last.rdata.get<RDataTag::tsig>();
        EXPECT_EQ(nameText(t.algorithm), "hmac-sha256.");
        EXPECT_EQ(t.time_signed, 1700000000u);
        EXPECT_EQ(t.fudge, 300);
        EXPECT_EQ(t.mac.size(), 32u);
        EXPECT_EQ(t.original_id, 0x4012);
        EXPECT_EQ(t.error_code, 0);
        EXPECT_TRUE(t.other_data.empty());
    }

    TEST(GoldenRData, DecodesEachIpseckeyGatewayType)
    {
        using Ipseckey = rdata::common::IPSECKEY;
        const Golden g("resp_ipseckey_gateways");
        const auto keys = g.ofType(QType::ipseckey);
        ASSERT_EQ(keys.size(), 4u);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            SCOPED_TRACE(i);
            const auto& k = keys[i]->rdata.get<RDataTag::ipseckey>();
            EXPECT_EQ(k.precedence, 10);
            EXPECT_EQ(k.gateway_type, i);
            EXPECT_EQ(k.algorithm, 2);
            EXPECT_EQ(k.public_key.size(), 116u);
            EXPECT_EQ(k.gateway.index(), i);
        }
        const auto& v4
            = std::get<std::array<std::uint8_t, 4>>(keys[1]->rdata.get<RDataTag::ipseckey>().gateway);
        EXPECT_EQ(v4, (std::array<std::uint8_t, 4> { 192, 0, 2, 38 }));
        const auto& v6
            = std::get<std::array<std::uint8_t, 16>>(keys[2]->rdata.get<RDataTag::ipseckey>().gateway);
        EXPECT_EQ(v6[15], 1);
        EXPECT_EQ(v6[1], 0x01);
        const Ipseckey::Gateway& named = keys[3]->rdata.get<RDataTag::ipseckey>().gateway;
        EXPECT_EQ(nameText(std::get<DnsName>(named)), "gateway.example.com.");
    }

    TEST(GoldenRData, DecodesStringsAndServiceFields)
    {
        const Golden caa("resp_caa");
        const auto caas = caa.ofType(QType::caa);
        ASSERT_EQ(caas.size(), 4u);
        const auto& critical = caas[3]->rdata.get<RDataTag::caa>();
        EXPECT_EQ(critical.flags, 128);
        EXPECT_EQ(text(critical.tag), "tbs");
        EXPECT_EQ(text(critical.value), "Unknown");

        const Golden naptr("resp_naptr");
        const auto naptrs = naptr.ofType(QType::naptr);
        ASSERT_EQ(naptrs.size(), 2u);
        const auto& n = naptrs[0]->rdata.get<RDataTag::naptr>();
        EXPECT_EQ(n.order, 100);
        EXPECT_EQ(n.preference, 10);
        EXPECT_EQ(text(n.flags), "u");
        EXPECT_EQ(text(n.services), "E2U+sip");
        EXPECT_EQ(text(n.regexp), "!^.*$!sip:info@example.com!");
        EXPECT_TRUE(n.replacement.isRoot());
        EXPECT_EQ(nameText(naptrs[1]->rdata.get<RDataTag::naptr>().replacement), "_sip._udp.example.com.");

        const Golden hinfo("resp_hinfo");
        ASSERT_EQ(hinfo.msg.records.size(), 1u);
        EXPECT_EQ(text(hinfo.msg.records[0].rdata.get<RDataTag::hinfo>().cpu), "Generic PC");
        EXPECT_EQ(text(hinfo.msg.records[0].rdata.get<RDataTag::hinfo>().os), "Linux 6.1");

        const Golden svcb("resp_svcb");
        const auto services = svcb.ofType(QType::svcb);
        ASSERT_EQ(services.size(), 3u);
        const auto& alias = services[2]->rdata.get<RDataTag::svcb>();
        EXPECT_EQ(alias.priority, 0);
        EXPECT_EQ(nameText(alias.target), "alias.resolver.example.");
        EXPECT_TRUE(alias.params.empty());
    }

    TEST(GoldenRData, DecodesA6PrefixAndSuffixByPrefixLength)
    {
        const Golden g("resp_a6");
        const auto a6s = g.ofType(QType::a6);
        ASSERT_EQ(a6s.size(), 3u);
        struct Want {
            std::uint8_t prefix_len;
            std::size_t suffix_size;
            const char* prefix_name; // nullptr: absent
        };
        const Want wants[]
            = { { 0, 16, nullptr }, { 64, 8, "prefix.example.net." }, { 128, 0, "full.example.net." } };
        for (std::size_t i = 0; i < a6s.size(); ++i) {
            SCOPED_TRACE(i);
            const auto& a6 = a6s[i]->rdata.get<RDataTag::a6>();
            EXPECT_EQ(a6.prefix_len, wants[i].prefix_len);
            EXPECT_EQ(a6.address_suffix.size(), wants[i].suffix_size);
            ASSERT_EQ(a6.prefix_name.has_value(), wants[i].prefix_name != nullptr);
            if (a6.prefix_name) {
                EXPECT_EQ(nameText(*a6.prefix_name), wants[i].prefix_name);
            }
        }
    }

    TEST(GoldenRData, CarriesOptAsUnknownWithPayloadSizeInClass)
    {
        const Golden g("resp_edns_nsid_cookie");
        const auto opts = g.ofType(QType::opt);
        ASSERT_EQ(opts.size(), 1u);
        const DnsRecord& opt = *opts[0];
        EXPECT_EQ(opt.section, Section::additional);
        EXPECT_TRUE(opt.name.isRoot());
        EXPECT_EQ(toU16(opt.rclass), 1232);
        EXPECT_EQ(opt.ttl, 0x8000u); // version 0, DO
        const auto* raw = opt.rdata.getIf<RDataTag::unknown>();
        ASSERT_NE(raw, nullptr);
        EXPECT_EQ(raw->rtype, QType::opt);
        // NSID (3) with 15 bytes of text, then COOKIE (10) with 24 bytes.
        ASSERT_EQ(raw->data.size(), 4u + 15 + 4 + 24);
        EXPECT_EQ(text(raw->data.subspan(4, 15)), "ns1.lab.example");
        EXPECT_EQ(raw->data[20], 10);
    }

} // namespace
} // namespace recursor
