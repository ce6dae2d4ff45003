// Judges arbitrary bytes as an upstream response to the question they carry: classification, result
// building, referral handling and the denial proofs over its NSEC and NSEC3 records must never crash,
// and every result they build (the aggressive cache's included) must parse again.
// The resolver has no root servers, so nested resolutions fail at once and nothing is ever sent.
#include "dnssec/denial.h"
#include "resolver/delegation.h"
#include "resolver/recursor.h"
#include "resolver/response.h"

#include <cstdio>
#include <cstdlib>

namespace {

using namespace recursor;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_response: %s\n", what);
    std::abort();
}

Recursor& sharedRecursor()
{
    static std::unique_ptr<Recursor> recursor
        = std::move(*Recursor::init(RecursorOptions { .root_servers = NameserverSet {} }));
    return *recursor;
}

// The servers asked were those of the question's parent zone (the root for a top-level name).
DnsName parentZone(const DnsName& qname)
{
    DnsName zone = qname;
    if (!zone.isRoot())
        zone.chopOff();
    return zone;
}

// The proofs trust their caller to pass only verified records; here they get whatever came, and a
// cache holding it answers only with packets that parse.
void proveDenials(Recursor& recursor, const DnsMessage& msg, const DnsName& zone)
{
    std::vector<const DnsRecord*> records;
    std::vector<const DnsRecord*> soa;
    for (const DnsRecord& rec : msg.records) {
        records.push_back(&rec);
        if (rec.rtype == QType::soa)
            soa.push_back(&rec);
    }
    const DnsName& qname = msg.question_name;
    (void)dnssec::proveNxdomain(qname, zone, records);
    (void)dnssec::proveNodata(qname, msg.question_type, zone, records);
    (void)dnssec::proveNoDs(qname, zone, records);
    (void)dnssec::proveWildcardAnswer(qname, static_cast<std::uint8_t>(zone.labelCount()), zone, records);
    DenialCache& cache = recursor.denialCache();
    if (!cache.put(zone, soa, records, 60)
        || !cache.putWildcard(zone, static_cast<std::uint8_t>(zone.labelCount()), records, records, 60))
        return;
    auto answer = cache.answer(qname, msg.question_type);
    if (answer && *answer && !DnsMessage::parse((*answer)->packet))
        fail("an answer of the aggressive cache does not parse");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    QueryResult result;
    result.packet.assign(data, data + size);
    auto parsed = DnsMessage::parse(result.packet);
    if (!parsed || parsed->question_name.isEmpty())
        return 0;
    result.response = std::move(*parsed);

    Recursor& recursor = sharedRecursor();
    QueryContext ctx;
    ctx.qname = ctx.current_qname = result.response.question_name;
    ctx.qtype = result.response.question_type;
    ctx.zone = parentZone(ctx.qname);
    ctx.policy = ResolutionPolicy::helper(); // nothing cached: every input is judged on its own
    proveDenials(recursor, result.response, ctx.zone);
    Resolution resolution = recursor.startResolution(UpstreamSettings {});
    auto action = handleNetworkResponse(resolution, ctx, result);
    if (!action)
        return 0;
    switch (action->tag) {
    case NetworkAction::Tag::done:
        if (!DnsMessage::parse(action->result.packet))
            fail("a built result does not parse");
        break;
    case NetworkAction::Tag::follow_delegation: {
        auto next = lookupDelegationNameservers(resolution, result.response, ctx);
        if (next && *next && !isUsableReferral((*next)->zone, ctx.zone, ctx.current_qname))
            fail("followed a referral that leads away from the name");
        break;
    }
    case NetworkAction::Tag::continue_loop:
        break;
    }
    return 0;
}
