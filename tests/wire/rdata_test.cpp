// Record data: decoding of every known type from hand-built packets, the hostile inputs each decoder
// must reject with the right error kind, re-emission through PacketWriter, and which names compress.
#include "wire/rdata.h"

#include "wire/record.h"

#include <gtest/gtest.h>

#include <functional>
#include <string_view>
#include <vector>

using namespace recursor;
using namespace recursor::rdata;

namespace {

using Packet = std::vector<std::uint8_t>;

Packet cat(std::initializer_list<Packet> parts)
{
    Packet out;
    for (const Packet& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Packet u16(std::uint16_t v)
{
    return { static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v) };
}

Packet u32(std::uint32_t v)
{
    return cat({ u16(static_cast<std::uint16_t>(v >> 16)), u16(static_cast<std::uint16_t>(v)) });
}

Packet text(std::string_view s)
{
    return Packet(s.begin(), s.end());
}

// <character-string>: length byte and bytes.
Packet str(std::string_view s)
{
    return cat({ { static_cast<std::uint8_t>(s.size()) }, text(s) });
}

Packet name(std::string_view presentation)
{
    const DnsName n = DnsName::fromText(presentation).value();
    return Packet(n.wireBytes().begin(), n.wireBytes().end());
}

Packet zeros(std::size_t n)
{
    return Packet(n, 0);
}

Packet toPacket(std::span<const std::uint8_t> view)
{
    return Packet(view.begin(), view.end());
}

// Every test message asks for example.com, whose name sits at offset 12.
const Packet to_question = { 0xC0, 0x0C };
constexpr std::size_t first_rdata_offset = 12 + 13 + 4 + 2 + 10;

// One answer owned by the question name: pointer, type, class IN, TTL 3600, RDLENGTH, RDATA.
Packet record(QType rtype, const Packet& rdata, std::optional<std::uint16_t> rdlength = {})
{
    return cat({ to_question, u16(toU16(rtype)), u16(1), u32(3600),
        u16(rdlength.value_or(static_cast<std::uint16_t>(rdata.size()))), rdata });
}

Packet message(const std::vector<Packet>& answers)
{
    Packet out = cat({ u16(0x1234), // ID
        u16(0x8180), // QR RD RA
        u16(1), u16(static_cast<std::uint16_t>(answers.size())), u16(0), u16(0), // counts
        name("example.com"), u16(1), u16(1) }); // question: example.com A IN
    for (const Packet& answer : answers)
        out.insert(out.end(), answer.begin(), answer.end());
    return out;
}

// Writes the message again through PacketWriter, record by record.
Packet reemit(const DnsMessage& msg)
{
    auto pw = PacketWriter::init(msg.question_name, msg.question_type, msg.question_class);
    if (!pw) {
        ADD_FAILURE() << errorName(pw.error());
        return {};
    }
    for (const DnsRecord& rec : msg.records) {
        EXPECT_TRUE(pw->startRecord(rec.name, rec.rtype, rec.rclass, rec.ttl, rec.section));
        const auto written = rec.rdata.writeTo(*pw);
        EXPECT_TRUE(written) << errorName(written.error());
        EXPECT_TRUE(pw->commit());
    }
    return pw->finish().value();
}

// The RDATA as written into a message with nothing to compress against: names stay in full unless
// they share a suffix with an earlier name of the same RDATA.
Packet renderAlone(const RData& rdata)
{
    auto pw = PacketWriter::init(DnsName {}, QType::a, QClass::in).value();
    EXPECT_TRUE(pw.startRecord(DnsName::root(), rdata.rtype(), QClass::in, 0, Section::answer));
    const std::size_t start = pw.size();
    const auto written = rdata.writeTo(pw);
    EXPECT_TRUE(written) << errorName(written.error());
    return Packet(pw.bytes().begin() + static_cast<std::ptrdiff_t>(start), pw.bytes().end());
}

struct RoundTripCase {
    const char* label;
    QType rtype;
    RDataTag tag;
    Packet rdata; // uncompressed, so that it is also what renderAlone must produce
    std::function<void(const RData&)> check;
};

// Compressible names lie under example.com so that re-emission compresses them against the question;
// two names in one RDATA never share a suffix.
std::vector<RoundTripCase> roundTripCases()
{
    return {
        { "a", QType::a, RDataTag::a, { 192, 0, 2, 1 }, {} },
        { "aaaa", QType::aaaa, RDataTag::aaaa, cat({ { 0x20, 0x01, 0x0d, 0xb8 }, zeros(11), { 1 } }), {} },
        { "ns", QType::ns, RDataTag::ns, name("ns1.example.com"), {} },
        { "cname", QType::cname, RDataTag::cname, name("www.example.com"), {} },
        { "ptr", QType::ptr, RDataTag::ptr, name("host.example.com"), {} },
        { "mx", QType::mx, RDataTag::mx,
            cat({ u16(10), // preference
                name("mail.example.com") }), // exchange
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::mx>().preference, 10);
                EXPECT_EQ(r.get<RDataTag::mx>().exchange.toText(), "mail.example.com.");
            } },
        { "soa", QType::soa, RDataTag::soa,
            cat({ name("ns.example.com"), // mname
                name("admin.example.org"), // rname
                u32(2024010101), u32(7200), u32(3600), u32(1209600),
                u32(300) }), // serial refresh retry expire minimum
            [](const RData& r) {
                const auto& soa = r.get<RDataTag::soa>();
                EXPECT_EQ(soa.rname.toText(), "admin.example.org.");
                EXPECT_EQ(soa.serial, 2024010101u);
                EXPECT_EQ(soa.refresh, 7200u);
                EXPECT_EQ(soa.retry, 3600u);
                EXPECT_EQ(soa.expire, 1209600u);
                EXPECT_EQ(soa.minimum, 300u);
            } },
        { "srv", QType::srv, RDataTag::srv,
            cat({ u16(1), u16(2), u16(443), // priority weight port
                name("svc.example.com") }), // target
            [](const RData& r) {
                const auto& srv = r.get<RDataTag::srv>();
                EXPECT_EQ(srv.priority, 1);
                EXPECT_EQ(srv.weight, 2);
                EXPECT_EQ(srv.port, 443);
            } },
        { "loc", QType::loc, RDataTag::loc,
            cat({ { 0, 0x12, 0x16, 0x13 }, // version size horiz_pre vert_pre
                u32(0x8B3A5F40), u32(0x7F0E8C20), u32(0x00989680) }), // latitude longitude altitude
            [](const RData& r) {
                const auto& loc = r.get<RDataTag::loc>();
                EXPECT_EQ(loc.size, 0x12);
                EXPECT_EQ(loc.horiz_pre, 0x16);
                EXPECT_EQ(loc.vert_pre, 0x13);
                EXPECT_EQ(loc.latitude, 0x8B3A5F40u);
                EXPECT_EQ(loc.longitude, 0x7F0E8C20u);
                EXPECT_EQ(loc.altitude, 0x00989680u);
            } },
        { "cert", QType::cert, RDataTag::cert,
            cat({ u16(1), u16(12345), { 8 }, // cert_type key_tag algorithm
                text("cert") }), // certificate
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::cert>().key_tag, 12345);
                EXPECT_EQ(toPacket(r.get<RDataTag::cert>().certificate), text("cert"));
            } },
        { "ipseckey without gateway", QType::ipseckey, RDataTag::ipseckey,
            cat({ { 10, 0, 2 }, // precedence gateway_type algorithm
                text("key") }), // public_key
            [](const RData& r) { EXPECT_EQ(r.get<RDataTag::ipseckey>().gateway.index(), 0u); } },
        { "ipseckey with IPv6 gateway", QType::ipseckey, RDataTag::ipseckey,
            cat({ { 10, 2, 2 }, // precedence gateway_type algorithm
                { 0x20, 0x01, 0x0d, 0xb8 }, zeros(11), { 7 }, // gateway
                text("key") }), // public_key
            [](const RData& r) {
                const auto& key = r.get<RDataTag::ipseckey>();
                EXPECT_EQ(key.precedence, 10);
                EXPECT_EQ(key.gateway_type, 2);
                EXPECT_EQ(std::get<2>(key.gateway)[15], 7);
                EXPECT_EQ(toPacket(key.public_key), text("key"));
            } },
        { "ipseckey with domain gateway", QType::ipseckey, RDataTag::ipseckey,
            cat({ { 10, 3, 2 }, name("gw.example.com"), text("key") }),
            [](const RData& r) {
                EXPECT_EQ(std::get<3>(r.get<RDataTag::ipseckey>().gateway).toText(), "gw.example.com.");
            } },
        { "apl", QType::apl, RDataTag::apl,
            cat({ u16(1), { 24, 3 }, { 192, 0, 2 } }), // family, prefix, afdlength, address
            {} },
        { "csync", QType::csync, RDataTag::csync,
            cat({ u32(66), u16(3), // soa_serial flags
                { 0, 1, 0x60 } }), // type_bitmaps
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::csync>().soa_serial, 66u);
                EXPECT_EQ(r.get<RDataTag::csync>().flags, 3);
            } },
        { "zonemd", QType::zonemd, RDataTag::zonemd,
            cat({ u32(2024), { 1, 2 }, // serial scheme hash_algorithm
                { 0xAA, 0xBB, 0xCC } }), // digest
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::zonemd>().scheme, 1);
                EXPECT_EQ(r.get<RDataTag::zonemd>().hash_algorithm, 2);
            } },
        { "txt", QType::txt, RDataTag::txt, cat({ str("v=spf1"), str("-all") }), {} },
        { "dnskey", QType::dnskey, RDataTag::dnskey,
            cat({ u16(257), { 3, 13 }, // flags protocol algorithm
                { 0x01, 0x02, 0x03, 0x04 } }), // public_key
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::dnskey>().flags, 257);
                EXPECT_EQ(r.get<RDataTag::dnskey>().protocol, 3);
                EXPECT_EQ(r.get<RDataTag::dnskey>().algorithm, 13);
            } },
        { "cdnskey", QType::cdnskey, RDataTag::cdnskey, cat({ u16(256), { 3, 8 }, { 0x05, 0x06 } }),
            [](const RData& r) { // the payload type is shared with dnskey
                EXPECT_EQ(r.getIf<dnssec::DNSKEY>(), &r.get<RDataTag::cdnskey>());
                EXPECT_EQ(r.getIf<dnssec::DS>(), nullptr);
            } },
        { "ds", QType::ds, RDataTag::ds,
            cat({ u16(20326), { 8, 2 }, // keytag algorithm digest_type
                { 0xE0, 0x6D, 0x44, 0xB8 } }), // digest
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::ds>().keytag, 20326);
                EXPECT_EQ(r.get<RDataTag::ds>().algorithm, 8);
                EXPECT_EQ(r.get<RDataTag::ds>().digest_type, 2);
            } },
        { "cds", QType::cds, RDataTag::cds, cat({ u16(0), { 0, 0 }, { 0 } }),
            {} }, // delete request (RFC 8078)
        { "rrsig", QType::rrsig, RDataTag::rrsig,
            cat({ u16(1), { 13, 2 }, // type_covered algorithm labels
                u32(3600), u32(1700000000), u32(1690000000), // original_ttl expiration inception
                u16(12345), // keytag
                name("example.com"), // signer_name
                { 0xDE, 0xAD } }), // signature
            [](const RData& r) {
                const auto& sig = r.get<RDataTag::rrsig>();
                EXPECT_EQ(sig.labels, 2);
                EXPECT_EQ(sig.original_ttl, 3600u);
                EXPECT_EQ(sig.sig_expiration, 1700000000u);
                EXPECT_EQ(sig.sig_inception, 1690000000u);
                EXPECT_EQ(sig.keytag, 12345);
                EXPECT_EQ(sig.signer_name.toText(), "example.com.");
            } },
        { "nsec", QType::nsec, RDataTag::nsec,
            cat({ name("a.example.com"), // next_name
                { 0, 6, 0x40, 0x01, 0, 0, 0, 0x03 } }), // type_bitmaps: A MX RRSIG NSEC
            {} },
        { "caa", QType::caa, RDataTag::caa,
            cat({ { 128, 5 }, // flags, tag length
                text("issue"), text("ca.example.net") }), // tag value
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::caa>().flags, 128);
                EXPECT_EQ(toPacket(r.get<RDataTag::caa>().tag), text("issue"));
                EXPECT_EQ(toPacket(r.get<RDataTag::caa>().value), text("ca.example.net"));
            } },
        { "tlsa", QType::tlsa, RDataTag::tlsa,
            cat({ { 3, 1, 2 }, // usage selector matching_type
                { 0x11, 0x22 } }), // cert_data
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::tlsa>().usage, 3);
                EXPECT_EQ(r.get<RDataTag::tlsa>().selector, 1);
                EXPECT_EQ(r.get<RDataTag::tlsa>().matching_type, 2);
            } },
        { "sshfp", QType::sshfp, RDataTag::sshfp,
            cat({ { 4, 2 }, { 0x33, 0x44 } }), // algorithm fp_type fingerprint
            [](const RData& r) { EXPECT_EQ(r.get<RDataTag::sshfp>().fp_type, 2); } },
        { "hinfo", QType::hinfo, RDataTag::hinfo, cat({ str("x86_64"), str("Linux") }), // cpu os
            [](const RData& r) { EXPECT_EQ(toPacket(r.get<RDataTag::hinfo>().os), text("Linux")); } },
        { "nsec3", QType::nsec3, RDataTag::nsec3,
            cat({ { 1, 1 }, u16(10), // hash_algorithm flags iterations
                { 2, 0xAB, 0xCD }, // salt
                { 3, 0x01, 0x02, 0x03 }, // next_hashed
                { 0, 1, 0x40 } }), // type_bitmaps
            [](const RData& r) {
                const auto& nsec3 = r.get<RDataTag::nsec3>();
                EXPECT_EQ(nsec3.iterations, 10);
                EXPECT_EQ(toPacket(nsec3.salt), Packet({ 0xAB, 0xCD }));
                EXPECT_EQ(toPacket(nsec3.next_hashed), Packet({ 0x01, 0x02, 0x03 }));
                EXPECT_EQ(toPacket(nsec3.type_bitmaps), Packet({ 0, 1, 0x40 }));
            } },
        { "nsec3param", QType::nsec3param, RDataTag::nsec3param, cat({ { 1, 0 }, u16(5), { 2, 0xAB, 0xCD } }),
            [](const RData& r) { EXPECT_EQ(r.get<RDataTag::nsec3param>().salt.size(), 2u); } },
        { "dname", QType::dname, RDataTag::dname, name("example.net"), {} },
        { "rp", QType::rp, RDataTag::rp,
            cat({ name("admin.example.com"), name("info.example.org") }), // mbox txt
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::rp>().txt_dname.toText(), "info.example.org.");
            } },
        { "afsdb", QType::afsdb, RDataTag::afsdb, cat({ u16(1), name("afs.example.com") }), {} },
        { "kx", QType::kx, RDataTag::kx, cat({ u16(5), name("kx.example.com") }), {} },
        { "naptr", QType::naptr, RDataTag::naptr,
            cat({ u16(100), u16(10), // order preference
                str("S"), str("SIP+D2U"), str(""), // flags services regexp
                name("_sip._udp.example.com") }), // replacement
            [](const RData& r) {
                const auto& naptr = r.get<RDataTag::naptr>();
                EXPECT_EQ(naptr.order, 100);
                EXPECT_EQ(naptr.preference, 10);
                EXPECT_EQ(toPacket(naptr.services), text("SIP+D2U"));
                EXPECT_TRUE(naptr.regexp.empty());
            } },
        { "uri", QType::uri, RDataTag::uri, cat({ u16(10), u16(1), text("https://example.com/") }), {} },
        { "openpgpkey", QType::openpgpkey, RDataTag::openpgpkey, { 0x99, 0x01, 0x0d }, {} },
        { "dhcid", QType::dhcid, RDataTag::dhcid, { 0x00, 0x01, 0x01, 0x5A }, {} },
        { "smimea", QType::smimea, RDataTag::smimea, cat({ { 3, 0, 1 }, { 0x55 } }), {} },
        { "mb", QType::mb, RDataTag::mb, name("mailhost.example.com"), {} },
        { "mg", QType::mg, RDataTag::mg, name("group.example.com"), {} },
        { "mr", QType::mr, RDataTag::mr, name("renamed.example.com"), {} },
        { "minfo", QType::minfo, RDataTag::minfo,
            cat({ name("list.example.com"), name("errors.example.org") }),
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::minfo>().emailbx.toText(), "errors.example.org.");
            } },
        { "svcb", QType::svcb, RDataTag::svcb,
            cat({ u16(1), name("svc.example.com"), // priority target
                { 0, 1, 0, 3, 2, 'h', '3' } }), // params: alpn "h3"
            [](const RData& r) { EXPECT_EQ(r.get<RDataTag::svcb>().params.size(), 7u); } },
        { "https", QType::https, RDataTag::https, cat({ u16(0), name("cdn.example.com") }), {} },
        { "tsig", QType::tsig, RDataTag::tsig,
            cat({ name("hmac-sha256"), // algorithm
                u16(0x0001), u32(0x02030405), u16(300), // time_signed (48 bits) fudge
                u16(4), { 0xA1, 0xA2, 0xA3, 0xA4 }, // MAC size, mac
                u16(0x1234), u16(0), // original_id error_code
                u16(0) }), // other length
            [](const RData& r) {
                const auto& tsig = r.get<RDataTag::tsig>();
                EXPECT_EQ(tsig.time_signed, 0x000102030405u);
                EXPECT_EQ(tsig.fudge, 300);
                EXPECT_EQ(tsig.mac.size(), 4u);
                EXPECT_EQ(tsig.original_id, 0x1234);
                EXPECT_TRUE(tsig.other_data.empty());
            } },
        { "tsig with other data", QType::tsig, RDataTag::tsig,
            cat({ name("hmac-sha256"), u16(0), u32(1), u16(300), u16(0), // no MAC
                u16(7), u16(18), // original_id error_code BADTIME
                u16(6), u16(0), u32(1700000000) }), // other data: the server's time
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::tsig>().error_code, 18);
                EXPECT_EQ(r.get<RDataTag::tsig>().other_data.size(), 6u);
            } },
        { "alias", QType::alias, RDataTag::alias, name("target.example.net"), {} },
        { "lua", QType::lua, RDataTag::lua, cat({ u16(1), text("return '192.0.2.1'") }), // target_type script
            [](const RData& r) { EXPECT_EQ(r.get<RDataTag::lua>().target_type, 1); } },
        { "ent", QType::ent, RDataTag::ent, {}, {} },
        { "sig", QType::sig, RDataTag::sig,
            cat({ u16(0), { 8, 0 }, u32(0), // type_covered algorithm labels original_ttl
                u32(1700000000), u32(1690000000), u16(4321), // expiration inception key_tag
                name("example.com"), { 0xBE, 0xEF } }), // signer_name signature
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::sig>().signature_expiration, 1700000000u);
                EXPECT_EQ(r.get<RDataTag::sig>().key_tag, 4321);
            } },
        { "key", QType::key, RDataTag::key, cat({ u16(0x0200), { 3, 5 }, { 0x01 } }), {} },
        { "a6 with prefix 0", QType::a6, RDataTag::a6,
            cat({ { 0 }, { 0x20, 0x01, 0x0d, 0xb8 }, zeros(11),
                { 1 } }), // prefix_len, 16-byte suffix, no name
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::a6>().address_suffix.size(), 16u);
                EXPECT_FALSE(r.get<RDataTag::a6>().prefix_name.has_value());
            } },
        { "a6 with prefix 64", QType::a6, RDataTag::a6,
            cat({ { 64 }, zeros(7), { 1 }, // prefix_len, 8-byte suffix
                name("prefix.example.com") }), // prefix_name
            [](const RData& r) {
                EXPECT_EQ(r.get<RDataTag::a6>().address_suffix.size(), 8u);
                EXPECT_EQ(r.get<RDataTag::a6>().prefix_name->toText(), "prefix.example.com.");
            } },
        { "a6 with prefix 128", QType::a6, RDataTag::a6, cat({ { 128 }, name("prefix.example.com") }), {} },
        { "dlv", QType::dlv, RDataTag::dlv, cat({ u16(1), { 5, 1 }, { 0x77 } }), {} },
        { "spf", QType::spf, RDataTag::spf, str("v=spf1 -all"), {} },
        { "unknown 65280", static_cast<QType>(65280), RDataTag::unknown, { 0xDE, 0xAD, 0xBE, 0xEF },
            [](const RData& r) { EXPECT_EQ(toU16(r.get<RDataTag::unknown>().rtype), 65280); } },
        { "opt", QType::opt, RDataTag::unknown, cat({ u16(10), u16(4), { 1, 2, 3, 4 } }),
            {} }, // cookie option
    };
}

} // namespace

TEST(RData, EveryTypeSurvivesParseWriteParse)
{
    const std::vector<RoundTripCase> cases = roundTripCases();
    std::vector<Packet> answers;
    for (const RoundTripCase& c : cases)
        answers.push_back(record(c.rtype, c.rdata));
    const Packet packet = message(answers);

    const auto first = DnsMessage::parse(packet);
    ASSERT_TRUE(first) << errorName(first.error());
    ASSERT_EQ(first->records.size(), cases.size());
    const Packet written = reemit(*first);
    EXPECT_LT(written.size(), packet.size()); // names under example.com now point at the question
    const auto second = DnsMessage::parse(written);
    ASSERT_TRUE(second) << errorName(second.error());
    ASSERT_EQ(second->records.size(), cases.size());

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].label);
        const RData& before = first->records[i].rdata;
        const RData& after = second->records[i].rdata;
        EXPECT_EQ(before.tag(), cases[i].tag);
        EXPECT_EQ(after.tag(), cases[i].tag);
        EXPECT_EQ(after.rtype(), cases[i].rtype);
        EXPECT_EQ(renderAlone(before), cases[i].rdata);
        EXPECT_EQ(renderAlone(after), cases[i].rdata);
        if (cases[i].check) {
            cases[i].check(before);
            cases[i].check(after);
        }
    }
}

TEST(RData, CoversEveryKnownTag)
{
    std::vector<bool> seen(static_cast<std::size_t>(RDataTag::unknown) + 1, false);
    for (const RoundTripCase& c : roundTripCases()) {
        seen[static_cast<std::size_t>(c.tag)] = true;
        EXPECT_EQ(tagForType(c.rtype), c.tag) << c.label;
    }
    for (std::size_t tag = 0; tag < seen.size(); ++tag)
        EXPECT_TRUE(seen[tag]) << "no round-trip case for tag " << tag;
}

TEST(RData, RejectsHostileRdataWithTheExactError)
{
    const Packet loc_fields = cat({ { 0x12, 0x16, 0x13 }, u32(1), u32(2), u32(3) });
    const Packet rrsig_fixed = cat({ u16(1), { 13, 2 }, u32(3600), u32(2), u32(1), u16(7) }); // 18 bytes
    const Packet tsig_fields = cat({ name("hmac-sha256"), u16(0), u32(1), u16(300), // time fudge
        u16(2), { 0xA1, 0xA2 }, u16(7), u16(0), u16(0) }); // mac, original_id, error, other length
    const struct {
        const char* label;
        QType rtype;
        Packet rdata; // followed by nothing else in the packet
        std::optional<std::uint16_t> rdlength; // when not the size of `rdata`
        WireError expected;
    } cases[] = {
        { "LOC version 1", QType::loc, cat({ { 1 }, loc_fields }), {}, WireError::UnsupportedVersion },
        { "LOC with 17 bytes", QType::loc, cat({ { 0 }, loc_fields, { 0 } }), {}, WireError::LengthMismatch },
        { "LOC with 15 bytes", QType::loc, cat({ { 0 }, loc_fields }), 15, WireError::LengthMismatch },
        { "IPSECKEY gateway type 4", QType::ipseckey, cat({ { 10, 4, 2 }, zeros(4) }), {},
            WireError::InvalidGatewayType },
        // The gateway runs past the RDATA: the rest length must not wrap around.
        { "IPSECKEY IPv6 gateway beyond RDATA", QType::ipseckey, cat({ { 10, 2, 2 }, zeros(16) }), 3,
            WireError::PacketTooShort },
        { "DNSKEY with RDATA length 3", QType::dnskey, { 1, 1, 3, 13 }, 3, WireError::PacketTooShort },
        { "RRSIG with RDATA length 18", QType::rrsig, cat({ rrsig_fixed, { 0 } }), 18,
            WireError::PacketTooShort },
        { "RRSIG signer name beyond RDATA", QType::rrsig, cat({ rrsig_fixed, name("example.com") }), 19,
            WireError::PacketTooShort },
        { "SIG signer name beyond RDATA", QType::sig, cat({ rrsig_fixed, name("example.com") }), 19,
            WireError::RdataLengthMismatch },
        { "SIG shorter than its fixed fields", QType::sig, cat({ rrsig_fixed, { 0 } }), 4,
            WireError::RdataLengthMismatch },
        { "NSEC next name beyond RDATA", QType::nsec, name("example.com"), 2, WireError::PacketTooShort },
        { "NSEC3 salt beyond RDATA", QType::nsec3, cat({ { 1, 0 }, u16(0), { 8 }, zeros(8), { 0 } }), 5,
            WireError::PacketTooShort },
        { "SVCB target beyond RDATA", QType::svcb, cat({ u16(1), name("example.com") }), 3,
            WireError::PacketTooShort },
        // Tag length 5 fits in the packet but not in the 6 RDATA bytes.
        { "CAA tag longer than RDATA", QType::caa, cat({ { 0, 5 }, text("issue"), text("ca") }), 6,
            WireError::PacketTooShort },
        { "HINFO string beyond packet", QType::hinfo, cat({ { 10 }, text("abc") }), {},
            WireError::PacketTooShort },
        { "TXT longer than packet", QType::txt, str("abc"), 10, WireError::PacketTooShort },
        { "unknown type longer than packet", static_cast<QType>(65280), { 1, 2, 3, 4 }, 10,
            WireError::PacketTooShort },
        { "A6 prefix length 129", QType::a6, cat({ { 129 }, name("example.com") }), {},
            WireError::RdataLengthMismatch },
        { "A6 with a byte after the prefix name", QType::a6,
            cat({ { 64 }, zeros(8), name("example.com"), { 0 } }), {}, WireError::RdataLengthMismatch },
        { "A6 prefix 0 followed by a name", QType::a6, cat({ { 0 }, zeros(16), name("example.com") }), {},
            WireError::RdataLengthMismatch },
        { "ENT with one byte", QType::ent, { 0 }, {}, WireError::RdataLengthMismatch },
        { "TSIG with a byte after other data", QType::tsig, cat({ tsig_fields, { 0 } }), {},
            WireError::RdataLengthMismatch },
        { "TSIG MAC beyond packet", QType::tsig,
            cat({ name("hmac-sha256"), u16(0), u32(1), u16(300), u16(100) }), {}, WireError::PacketTooShort },
        // No rest field: the fields are read whatever RDLENGTH says, and the parser sees the overrun.
        { "SOA longer than its RDATA length", QType::soa,
            cat({ name("ns.example.com"), to_question, zeros(20) }), 20, WireError::RdataLengthMismatch },
        { "MX exchange pointing forward", QType::mx, cat({ u16(10), { 0xC0, 0x40 } }), {},
            WireError::InvalidCompressionPointer },
        { "NAPTR replacement with label type 0x40", QType::naptr,
            cat({ u16(1), u16(1), str(""), str(""), str(""), { 0x40 } }), {}, WireError::InvalidLabelType },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const Packet packet = message({ record(c.rtype, c.rdata, c.rdlength) });
        const auto parsed = DnsMessage::parse(packet);
        ASSERT_FALSE(parsed);
        EXPECT_EQ(errorName(parsed.error()), errorName(c.expected));
    }
}

TEST(RData, RejectsRdataBelowTheMinimumBeforeReadingAnything)
{
    const struct {
        QType rtype;
        std::uint16_t min;
    } cases[] = {
        { QType::cert, 5 },
        { QType::csync, 6 },
        { QType::zonemd, 6 },
        { QType::dnskey, 4 },
        { QType::cdnskey, 4 },
        { QType::ds, 4 },
        { QType::cds, 4 },
        { QType::rrsig, 19 },
        { QType::caa, 2 },
        { QType::tlsa, 3 },
        { QType::sshfp, 2 },
        { QType::hinfo, 2 },
        { QType::nsec3, 5 },
        { QType::nsec3param, 5 },
        { QType::uri, 4 },
        { QType::smimea, 3 },
        { QType::lua, 2 },
        { QType::key, 4 },
        { QType::dlv, 4 },
    };
    const Packet packet = zeros(64); // plenty of bytes: only RDLENGTH can make the decoder refuse
    for (const auto& c : cases) {
        SCOPED_TRACE(toU16(c.rtype));
        PacketReader reader(packet);
        const auto short_rdata = RData::readFrom(c.rtype, reader, static_cast<std::uint16_t>(c.min - 1));
        ASSERT_FALSE(short_rdata);
        EXPECT_EQ(short_rdata.error(), WireError::PacketTooShort);
        EXPECT_EQ(reader.pos(), Header::size);
    }
}

TEST(RData, DnskeyOfFourBytesHasAnEmptyKey)
{
    const Packet packet = message({ record(QType::dnskey, cat({ u16(256), { 3, 15 } })) });
    const auto msg = DnsMessage::parse(packet);
    ASSERT_TRUE(msg) << errorName(msg.error());
    const auto& key = msg->records[0].rdata.get<RDataTag::dnskey>();
    EXPECT_EQ(key.algorithm, 15);
    EXPECT_TRUE(key.public_key.empty());
}

TEST(RData, TxtKeepsItsCharacterStringsAsOneViewIntoThePacket)
{
    const Packet rdata = cat({ str("v=spf1"), str("include:example.net"), str("") });
    const Packet packet = message({ record(QType::txt, rdata) });
    const auto msg = DnsMessage::parse(packet);
    ASSERT_TRUE(msg) << errorName(msg.error());
    const auto& txt = msg->records[0].rdata.get<RDataTag::txt>();
    EXPECT_EQ(txt.data.data(), packet.data() + first_rdata_offset); // a view, not a copy
    EXPECT_EQ(toPacket(txt.data), rdata);
    EXPECT_EQ(renderAlone(msg->records[0].rdata), rdata);
}

TEST(RData, OptIsCarriedAsUnknownWithItsRawOptions)
{
    const Packet options = cat({ u16(10), u16(8), zeros(8) }); // client cookie
    const Packet packet = message({ record(QType::opt, options) });
    const auto msg = DnsMessage::parse(packet);
    ASSERT_TRUE(msg) << errorName(msg.error());
    const RData& rdata = msg->records[0].rdata;
    ASSERT_EQ(rdata.tag(), RDataTag::unknown);
    EXPECT_EQ(rdata.get<RDataTag::unknown>().rtype, QType::opt);
    EXPECT_EQ(rdata.get<RDataTag::unknown>().data.data(), packet.data() + first_rdata_offset);
    EXPECT_EQ(toPacket(rdata.get<RDataTag::unknown>().data), options);
    EXPECT_EQ(rdata.getIf<RDataTag::txt>(), nullptr);
    EXPECT_EQ(rdata.getIf<RData::Unknown>(), &rdata.get<RDataTag::unknown>());
}

TEST(RData, DefaultIsAnEmptyUnknownThatWritesNothing)
{
    const RData rdata;
    EXPECT_EQ(rdata.tag(), RDataTag::unknown);
    EXPECT_TRUE(renderAlone(rdata).empty());
}

TEST(RData, CompressesExactlyTheNamesThatMayBeCompressed)
{
    const Packet full = name("example.com");
    const Packet fixed18 = cat({ u16(1), { 13, 2 }, u32(3600), u32(2), u32(1), u16(7) });
    const Packet naptr_head = cat({ u16(1), u16(2), str("S"), str("SIP+D2U"), str("") });
    const Packet tsig_tail = cat({ u16(0), u32(1), u16(300), u16(0), u16(7), u16(0), u16(0) });
    const Packet ints = cat({ u32(1), u32(2), u32(3), u32(4), u32(5) });
    const struct {
        const char* label;
        QType rtype;
        Packet rdata_in; // names are pointers to the question
        Packet rdata_out;
    } cases[] = {
        // Preference, then the exchange as a 2-byte pointer to the question.
        { "mx", QType::mx, cat({ u16(10), to_question }), { 0x00, 0x0A, 0xC0, 0x0C } },
        { "ns", QType::ns, to_question, to_question },
        { "cname", QType::cname, to_question, to_question },
        { "ptr", QType::ptr, to_question, to_question },
        { "soa", QType::soa, cat({ to_question, to_question, ints }),
            cat({ to_question, to_question, ints }) },
        // RFC 2782, RFC 4025 §2.5 and RFC 9460 §2.2: read through pointers, always written in full.
        { "srv", QType::srv, cat({ u16(1), u16(2), u16(3), to_question }),
            cat({ u16(1), u16(2), u16(3), full }) },
        { "ipseckey", QType::ipseckey, cat({ { 10, 3, 2 }, to_question, text("key") }),
            cat({ { 10, 3, 2 }, full, text("key") }) },
        { "ipseckey below the question", QType::ipseckey, cat({ { 10, 3, 2 }, { 2, 'g', 'w' }, to_question }),
            cat({ { 10, 3, 2 }, { 2, 'g', 'w' }, full }) },
        { "svcb", QType::svcb, cat({ u16(1), to_question, { 0, 1, 0, 0 } }),
            cat({ u16(1), full, { 0, 1, 0, 0 } }) },
        { "https", QType::https, cat({ u16(1), to_question }), cat({ u16(1), full }) },
        { "mb", QType::mb, to_question, to_question },
        { "mg", QType::mg, to_question, to_question },
        { "mr", QType::mr, to_question, to_question },
        { "minfo", QType::minfo, cat({ to_question, to_question }), cat({ to_question, to_question }) },
        { "dname", QType::dname, to_question, full },
        { "alias", QType::alias, to_question, full },
        { "afsdb", QType::afsdb, cat({ u16(1), to_question }), cat({ u16(1), full }) },
        { "kx", QType::kx, cat({ u16(1), to_question }), cat({ u16(1), full }) },
        { "rp", QType::rp, cat({ to_question, to_question }), cat({ full, full }) },
        { "naptr", QType::naptr, cat({ naptr_head, to_question }), cat({ naptr_head, full }) },
        { "nsec", QType::nsec, cat({ to_question, { 0, 1, 0x40 } }), cat({ full, { 0, 1, 0x40 } }) },
        { "rrsig", QType::rrsig, cat({ fixed18, to_question, { 0xAB } }), cat({ fixed18, full, { 0xAB } }) },
        { "sig", QType::sig, cat({ fixed18, to_question, { 0xAB } }), cat({ fixed18, full, { 0xAB } }) },
        { "a6", QType::a6, cat({ { 64 }, zeros(8), to_question }), cat({ { 64 }, zeros(8), full }) },
        { "tsig", QType::tsig, cat({ to_question, tsig_tail }), cat({ full, tsig_tail }) },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const Packet packet = message({ record(c.rtype, c.rdata_in) });
        const auto msg = DnsMessage::parse(packet);
        ASSERT_TRUE(msg) << errorName(msg.error());
        const Packet written = reemit(*msg);
        // Same layout as the input up to the RDATA: header, question, owner pointer, fixed fields.
        ASSERT_GE(written.size(), first_rdata_offset);
        const std::size_t rdlength = (written[first_rdata_offset - 2] << 8) | written[first_rdata_offset - 1];
        EXPECT_EQ(written.size(), first_rdata_offset + rdlength);
        EXPECT_EQ(Packet(written.begin() + first_rdata_offset, written.end()), c.rdata_out);
    }
}

TEST(RData, RefusesToWriteFieldsLongerThanTheirLengthPrefix)
{
    const Packet long_text(256, 'x');
    const Packet max_text(255, 'x');
    const struct {
        const char* label;
        RData rdata;
    } cases[] = {
        { "HINFO cpu", RData::make<RDataTag::hinfo>(misc::HINFO { long_text, {} }) },
        { "HINFO os", RData::make<RDataTag::hinfo>(misc::HINFO { {}, long_text }) },
        { "NAPTR services",
            RData::make<RDataTag::naptr>(extra::NAPTR { 1, 1, {}, long_text, {}, DnsName::root() }) },
        { "CAA tag", RData::make<RDataTag::caa>(misc::CAA { 0, long_text, {} }) },
        { "NSEC3 salt", RData::make<RDataTag::nsec3>(misc::NSEC3 { 1, 0, 0, long_text, {}, {} }) },
        { "NSEC3 next_hashed", RData::make<RDataTag::nsec3>(misc::NSEC3 { 1, 0, 0, {}, long_text, {} }) },
        { "NSEC3PARAM salt", RData::make<RDataTag::nsec3param>(misc::NSEC3PARAM { 1, 0, 0, long_text }) },
        { "TSIG time beyond 48 bits",
            [] {
                tsig::TSIG tsig;
                tsig.time_signed = 1ull << 48;
                return RData::make<RDataTag::tsig>(tsig);
            }() },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto pw = PacketWriter::init(DnsName::root(), QType::a, QClass::in).value();
        ASSERT_TRUE(pw.startRecord(DnsName::root(), c.rdata.rtype(), QClass::in, 0, Section::answer));
        const auto written = c.rdata.writeTo(pw);
        ASSERT_FALSE(written);
        EXPECT_EQ(written.error(), WireError::FieldTooLong);
    }
    const RData longest = RData::make<RDataTag::hinfo>(misc::HINFO { max_text, max_text });
    EXPECT_EQ(renderAlone(longest), cat({ { 255 }, max_text, { 255 }, max_text }));
}

TEST(RData, A6SuffixRoundsPartialBytesUp)
{
    const std::pair<std::uint8_t, std::size_t> cases[]
        = { { 0, 16 }, { 1, 16 }, { 7, 16 }, { 8, 15 }, { 9, 15 }, { 120, 1 }, { 127, 1 }, { 128, 0 } };
    for (const auto& [prefix_len, suffix_size] : cases)
        EXPECT_EQ(obsolete::A6::suffixSize(prefix_len), suffix_size) << int { prefix_len };
}

TEST(OwnedDnskey, OutlivesThePacketItWasCopiedFrom)
{
    auto packet = std::make_unique<Packet>(
        message({ record(QType::dnskey, cat({ u16(257), { 3, 8 }, text("key") })) }));
    const auto msg = DnsMessage::parse(*packet);
    ASSERT_TRUE(msg) << errorName(msg.error());
    auto owned = msg->records[0].rdata.get<RDataTag::dnskey>().copyOwned();
    ASSERT_TRUE(owned);
    packet.reset(); // ASan reports any view that still points into it

    const dnssec::OwnedDnskey moved = std::move(*owned);
    const dnssec::DNSKEY key = moved.view();
    EXPECT_EQ(key.flags, 257);
    EXPECT_EQ(key.protocol, 3);
    EXPECT_EQ(key.algorithm, 8);
    EXPECT_EQ(toPacket(key.public_key), text("key"));
}
