// Judges arbitrary bytes as an upstream response to the question they carry: classification, result
// building and referral handling must never crash, and every result they build must parse again.
// The resolver has no root servers, so nested resolutions fail at once and nothing is ever sent.
#include "resolver/recursor.h"
#include "resolver/recursor_delegation.h"
#include "resolver/recursor_response.h"

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
    auto action = handleNetworkResponse(recursor, ctx, result);
    if (!action)
        return 0;
    switch (action->tag) {
    case NetworkAction::Tag::done:
        if (!DnsMessage::parse(action->result.packet))
            fail("a built result does not parse");
        break;
    case NetworkAction::Tag::follow_delegation: {
        ResolutionBudget budget = ResolutionBudget::start(monotonicMs());
        auto next = lookupDelegationNameservers(recursor, UpstreamEngine {}, result.response, ctx, budget);
        if (next && *next && !isUsableReferral((*next)->zone, ctx.zone, ctx.current_qname))
            fail("followed a referral that leads away from the name");
        break;
    }
    case NetworkAction::Tag::continue_loop:
        break;
    }
    return 0;
}
