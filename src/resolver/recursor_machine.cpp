#include "resolver/recursor_machine.h"

#include "resolver/recursor.h"
#include "resolver/recursor_delegation.h"
#include "resolver/recursor_dnssec.h"
#include "resolver/recursor_response.h"

#include <algorithm>
#include <chrono>

namespace recursor {

std::int64_t monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

    // Where a question starts: DS lives on the parent's side of a zone cut, so a DS question starts from
    // the closest delegation above the name, never from the name's own zone (RFC 4035 §4.2).
    DnsName startingPoint(const DnsName& qname, QType qtype)
    {
        DnsName start = qname;
        if (qtype == QType::ds)
            start.chopOff();
        return start;
    }

} // namespace

ResolutionMachine::ResolutionMachine(Recursor& recursor, const DnsName& qname, QType qtype,
    std::uint8_t depth, ResolutionPolicy policy, ResolutionBudget& budget)
    : recursor_(recursor)
    , budget_(budget)
{
    const Delegation delegation
        = initialNameservers(recursor.cache(), recursor.rootServers(), startingPoint(qname, qtype));
    ctx_.nameservers = delegation.nameservers;
    ctx_.zone = delegation.zone;
    ctx_.qtype = qtype;
    ctx_.qname = qname;
    ctx_.current_qname = qname;
    ctx_.depth = depth;
    ctx_.policy = policy;
}

TransportResult<QueryResult> ResolutionMachine::ask(const UpstreamEngine& engine, std::uint32_t timeout_ms)
{
    UpstreamEngine bounded = engine;
    bounded.timeout_ms = timeout_ms;
    return recursor_.transport().exchange(bounded, ctx_.nameservers.slice(), ctx_.current_qname, ctx_.qtype);
}

namespace {

    // The chain of trust, for the steps of one resolution.
    class ChainStepValidator final : public StepValidator {
    public:
        ChainStepValidator(Recursor& recursor, const UpstreamEngine& engine, ResolutionBudget& budget,
            const QueryContext& ctx)
            : recursor_(recursor)
            , engine_(engine)
            , budget_(budget)
            , ctx_(ctx)
        {
        }
        ResolveResultOr<StepVerdict> answer(
            std::span<const DnsRecord* const> answers, const DnsMessage& response) override
        {
            return validateAnswerRrsets(recursor_, engine_, budget_, ctx_, answers, response);
        }
        ResolveResultOr<StepVerdict> denial(
            RCode rcode, const DnsRecord& soa, std::span<const DnsRecord* const> authority) override
        {
            return validateDenial(recursor_, engine_, budget_, ctx_, rcode, soa, authority);
        }

    private:
        Recursor& recursor_;
        const UpstreamEngine& engine_;
        ResolutionBudget& budget_;
        const QueryContext& ctx_;
    };

} // namespace

ResolveResultOr<NetworkAction> ResolutionMachine::applyResponse(
    const UpstreamEngine& engine, const QueryResult& result)
{
    if (!ctx_.policy.validate_answers || !recursor_.validationEnabled())
        return handleNetworkResponse(recursor_, ctx_, result);
    ChainStepValidator validator(recursor_, engine, budget_, ctx_);
    return handleNetworkResponse(recursor_, ctx_, result, &validator);
}

ResolveResultOr<ResolveResult> ResolutionMachine::run(const UpstreamEngine& engine)
{
    if (ctx_.depth > max_resolution_depth)
        return std::unexpected(ResolveError::MaxDepthExceeded);
    for (;;) {
        ctx_.resetStep();
        if (ctx_.nameservers.empty())
            return std::unexpected(ResolveError::ServFail);
        const std::int64_t remaining_ms = budget_.deadline_ms - monotonicMs();
        if (remaining_ms <= 0 || budget_.exchanges_left <= 0)
            return std::unexpected(ResolveError::ServFail);
        --budget_.exchanges_left;
        const bool fan_out = ctx_.nameservers.count > 1;
        auto result = ask(
            engine, static_cast<std::uint32_t>(std::min<std::int64_t>(engine.timeout_ms, remaining_ms)));
        if (!result) {
            if (result.error() == TransportError::OutOfMemory)
                return std::unexpected(ResolveError::OutOfMemory);
            // A fan-out that timed out asks the same set again in the next step; one that could not
            // send to any of its servers would only fail the same way again.
            if (!fan_out || result.error() == TransportError::NetworkError)
                return std::unexpected(ResolveError::ServFail);
        } else {
            ctx_.got_response = true;
            NetworkAction action = TRY(applyResponse(engine, *result));
            switch (action.tag) {
            case NetworkAction::Tag::done:
                return std::move(action.result);
            case NetworkAction::Tag::follow_delegation:
                if (auto next
                    = TRY(lookupDelegationNameservers(recursor_, engine, result->response, ctx_, budget_)))
                    ctx_.adoptDelegation(*next);
                break;
            case NetworkAction::Tag::continue_loop:
                break;
            }
            if (!ctx_.advanced)
                return std::unexpected(ResolveError::ServFail);
        }
        if (++ctx_.iteration >= max_resolution_steps)
            return std::unexpected(ResolveError::ServFail);
    }
}

} // namespace recursor
