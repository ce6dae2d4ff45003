// Parses arbitrary bytes as a DNS message; when that succeeds, writes every record back out and parses
// the result again. The second parse must succeed and give the same records, every owner and RDATA name
// reading back as the name written (compared ignoring case, since a compressed name takes the case of the
// occurrence it points to), and writing that second
// parse out again must give exactly the same bytes: parse-then-write reaches a fixed point in one step.
// Every parsed record must also have a canonical form, and every RRSIG is checked with every DNSKEY of
// the message over the RRset it covers: hostile keys and signatures must give an answer, not a crash.
#include "dnssec/canonical.h"
#include "dnssec/validator.h"
#include "wire/record.h"
#include "wire/writer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <type_traits>
#include <vector>

namespace {

using recursor::DnsMessage;
using recursor::DnsName;
using recursor::DnsRecord;
using recursor::PacketWriter;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_message: %s\n", what);
    std::abort();
}

struct Rewrite {
    std::vector<std::uint8_t> packet;
    std::vector<const DnsRecord*> kept; // the records that were written, in order
};

// Writes `msg` with its ID and flags. A record the writer refuses (its data grows past 65535 bytes
// once its names are written out in full) is rolled back and left out.
std::optional<Rewrite> rewrite(const DnsMessage& msg)
{
    auto writer = PacketWriter::init(msg.question_name, msg.question_type, msg.question_class);
    if (!writer)
        return std::nullopt;
    std::copy_n(msg.header.bytes.begin(), 4, writer->getHeader().begin());
    Rewrite out;
    for (const DnsRecord& rec : msg.records) {
        if (!writer->startRecord(rec.name, rec.rtype, rec.rclass, rec.ttl, rec.section))
            fail("startRecord failed");
        if (!rec.rdata.writeTo(*writer) || !writer->commit()) {
            writer->rollback();
            continue;
        }
        out.kept.push_back(&rec);
    }
    auto bytes = writer->finish();
    if (!bytes)
        fail("finish failed");
    out.packet = std::move(*bytes);
    return out;
}

// Every domain name inside the record data, in field order.
std::vector<DnsName> namesIn(const recursor::RData& rdata)
{
    std::vector<DnsName> out;
    std::visit(
        [&out](const auto& p) {
#define NAME_FIELD(field)                                                                                    \
    if constexpr (requires { p.field; })                                                                     \
        if constexpr (std::is_same_v<std::decay_t<decltype(p.field)>, DnsName>)                              \
            out.push_back(p.field);
            NAME_FIELD(nsdname)
            NAME_FIELD(target)
            NAME_FIELD(exchange)
            NAME_FIELD(mname)
            NAME_FIELD(rname)
            NAME_FIELD(signer_name)
            NAME_FIELD(next_name)
            NAME_FIELD(mbox)
            NAME_FIELD(txt_dname)
            NAME_FIELD(hostname)
            NAME_FIELD(exchanger)
            NAME_FIELD(replacement)
            NAME_FIELD(madname)
            NAME_FIELD(mgmname)
            NAME_FIELD(newname)
            NAME_FIELD(rmailbx)
            NAME_FIELD(emailbx)
            NAME_FIELD(algorithm)
#undef NAME_FIELD
            if constexpr (requires { p.gateway; }) {
                if (const auto* gateway = std::get_if<DnsName>(&p.gateway))
                    out.push_back(*gateway);
            }
            if constexpr (requires { p.prefix_name; }) {
                if (p.prefix_name)
                    out.push_back(*p.prefix_name);
            }
        },
        rdata.value());
    return out;
}

bool sameNames(const std::vector<DnsName>& a, const std::vector<DnsName>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
        [](const DnsName& x, const DnsName& y) { return x.eql(y) && x.len == y.len; });
}

void expectSameRecords(const std::vector<const DnsRecord*>& kept, const DnsMessage& again)
{
    if (again.records.size() != kept.size())
        fail("record count changed");
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const DnsRecord& a = *kept[i];
        const DnsRecord& b = again.records[i];
        if (!a.name.eql(b.name) || a.rtype != b.rtype || a.rclass != b.rclass || a.ttl != b.ttl
            || a.section != b.section || a.rdata.tag() != b.rdata.tag())
            fail("record changed");
        if (!sameNames(namesIn(a.rdata), namesIn(b.rdata)))
            fail("a name in the record data reads back differently");
    }
}

} // namespace

// The records of `msg` that form the RRset an RRSIG record covers.
std::vector<DnsRecord> coveredRrset(const DnsMessage& msg, const DnsRecord& sig_record)
{
    const auto& sig = sig_record.rdata.get<recursor::RDataTag::rrsig>();
    std::vector<DnsRecord> rrset;
    for (const DnsRecord& rec : msg.records) {
        if (recursor::toU16(rec.rtype) == sig.type_covered && rec.name.eql(sig_record.name)
            && rec.rclass == sig_record.rclass)
            rrset.push_back(rec);
    }
    return rrset;
}

void checkDnssec(const DnsMessage& msg)
{
    for (const DnsRecord& rec : msg.records) {
        auto canonical = recursor::dnssec::serializeRData(rec);
        if (!canonical || canonical->size() > 0xFFFF)
            fail("a parsed record has no canonical form");
    }
    for (const DnsRecord& sig : msg.records) {
        if (sig.rdata.tag() != recursor::RDataTag::rrsig)
            continue;
        const auto rrset = coveredRrset(msg, sig);
        for (const DnsRecord& key : msg.records) {
            if (rrset.empty() || key.rdata.tag() != recursor::RDataTag::dnskey)
                continue;
            const auto& rrsig = sig.rdata.get<recursor::RDataTag::rrsig>();
            // Inside every window: the cryptographic checks run.
            (void)recursor::dnssec::verifyRRSIG(
                rrsig, key.rdata.get<recursor::RDataTag::dnskey>().public_key, rrset, rrsig.sig_inception);
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> packet(data, size);
    auto msg = DnsMessage::parse(packet);
    if (!msg)
        return 0;
    checkDnssec(*msg);
    auto first = rewrite(*msg);
    if (!first)
        return 0;
    auto again = DnsMessage::parse(first->packet);
    if (!again)
        fail("rewritten message does not parse");
    expectSameRecords(first->kept, *again);
    if (!again->question_name.eql(msg->question_name) && !msg->question_name.isEmpty())
        fail("question changed");

    // A message without a question is rewritten with the root as its question, which takes a slot
    // in the compression table: only from then on is the output stable.
    if (msg->question_name.isEmpty())
        return 0;
    auto second = rewrite(*again);
    if (!second || second->packet != first->packet)
        fail("rewriting is not stable");
    return 0;
}
