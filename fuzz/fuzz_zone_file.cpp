// Reads arbitrary bytes as the master file of the zone "example." and asks it a handful of questions.
// Every answer must parse as a DNS message that echoes the question, with AA set and AD clear, and the
// SOA in authority whenever the name or the type is missing. The same bytes are read as a response
// policy zone "example.": each rewritten answer must parse, with AA and AD clear.
#include "resolver/local_zone.h"
#include "resolver/rpz.h"
#include "wire/record.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

using namespace recursor;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_zone_file: %s\n", what);
    std::abort();
}

void check(const DnsMessage& msg, const DnsName& qname, QType qtype)
{
    if (!msg.header.qr() || msg.header.ad() || !(msg.question_name == qname) || msg.question_type != qtype)
        fail("an answer that is not a reply to the question");
    if (!msg.header.aa())
        fail("a local answer without AA");
    const bool negative = msg.header.rcode() == RCode::nx_domain || msg.header.anCount() == 0;
    bool soa = false;
    for (const DnsRecord& record : msg.records)
        soa = soa || (record.section == Section::authority && record.rtype == QType::soa);
    if (negative && !soa)
        fail("a negative answer without the SOA");
}

const std::array<std::string_view, 5> names { "example.", "www.example.", "a.b.example.", "*.example.",
    "nowhere.example." };
const std::array<QType, 5> types { QType::a, QType::soa, QType::cname, QType::any, QType::ds };

void checkRewrite(const DnsName& qname, QType qtype, const RpzMatch& match)
{
    const RpzReply reply = rpzReply(match, qtype, true);
    if (reply.kind != RpzReply::Kind::rewrite)
        return;
    const auto packet = rpzRewritePacket(qname, qtype, reply);
    if (!packet)
        return; // too large to write
    const auto msg = DnsMessage::parse(*packet);
    if (!msg || msg->header.aa() || msg->header.ad() || !(msg->question_name == qname))
        fail("a rewritten answer that does not parse, or claims authority or validation");
}

void askPolicy(const RpzPolicy& policy)
{
    DnsRecord a { RData::make<RDataTag::a>(rdata::common::A { { 192, 0, 2, 1 } }), 60, QType::a, QClass::in,
        *DnsName::fromText("www.example."), Section::answer };
    const std::array<DnsRecord, 1> answer { a };
    for (const std::string_view name_text : names) {
        const auto qname = DnsName::fromText(name_text);
        const auto by_name = policy.matchQname(*qname);
        const auto by_address = policy.matchResponse(answer);
        for (const QType qtype : types) {
            for (const auto& match : { by_name, by_address })
                if (match)
                    checkRewrite(*qname, qtype, *match);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // $INCLUDE reads files of the machine: what they hold is not the input's.
    for (std::size_t at = text.find('$'); at != std::string_view::npos; at = text.find('$', at + 1)) {
        if (at + 1 < text.size() && (text[at + 1] | 0x20) == 'i')
            return 0;
    }
    const auto apex = DnsName::fromText("example.");
    if (const auto policy = loadRpzPolicy(*apex, text, "fuzz"))
        askPolicy(*policy);
    const auto zone = LocalZone::loadText(*apex, text, "fuzz");
    if (!zone)
        return 0;
    for (const std::string_view name_text : names) {
        const auto qname = DnsName::fromText(name_text);
        for (const QType qtype : types) {
            const auto answer = zone->answer(*qname, qtype);
            if (!answer || !*answer)
                continue; // too large to write, or the question of a child zone
            const auto msg = DnsMessage::parse((*answer)->packet);
            if (!msg)
                fail("an answer that does not parse");
            check(*msg, *qname, qtype);
        }
    }
    return 0;
}
