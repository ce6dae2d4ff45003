#include "resolver/resolution.h"

#include "base/event_loop.h"
#include "resolver/in_flight.h"
#include "resolver/machine.h"

#include <memory>
#include <new>
#include <optional>

namespace recursor {

bool Resolution::insideNameserverLookup() const
{
    return InFlight::ofThisThread().insideNameserverLookup(this);
}

ResolveResultOr<ResolveResult> Resolution::lookup(
    const DnsName& qname, QType qtype, std::uint8_t depth, ResolutionPolicy policy)
{
    Fiber* const self = Fiber::current();
    if (self == nullptr) {
        ResolutionMachine machine(*this, qname, qtype, depth, policy);
        return machine.run();
    }
    InFlight& in_flight = InFlight::ofThisThread();
    const CacheKey key(qtype, qname);
    if (auto shared = in_flight.joinable(services_.owner, key, policy, self)) {
        if (auto outcome = TRY(in_flight.wait(shared, self))) {
            if (!*outcome) // the leader's detail becomes this resolution's
                return std::unexpected(
                    fail(outcome->error().kind, outcome->error().zone, outcome->error().server));
            return std::move(**outcome);
        }
    }
    InFlight::Leading leading = TRY(in_flight.lead(services_.owner, key, policy, self));
    ResolutionMachine machine(*this, qname, qtype, depth, policy);
    auto result = machine.run();
    // Moved in and out again: the waiters' copies are made only when there are waiters.
    InFlightOutcome outcome = result ? InFlightOutcome(std::move(*result))
                                     : InFlightOutcome(std::unexpected(failureOf(result.error())));
    leading.finish(outcome);
    if (!outcome)
        return std::unexpected(outcome.error().kind);
    return std::move(*outcome);
}

ResolveOutcome Resolution::resolve(const DnsName& qname, QType qtype, ResolutionPolicy policy)
{
    auto result = lookup(qname, qtype, 0, policy);
    if (!result)
        return std::unexpected(failureOf(result.error()));
    return std::move(*result);
}

ResolveError Resolution::fail(ResolveError kind, const DnsName& zone, std::optional<SocketAddress> server)
{
    failure_.emplace(kind, zone, server);
    return kind;
}

ResolveFailure Resolution::failureOf(ResolveError kind) const
{
    if (failure_ && failure_->kind == kind)
        return *failure_;
    return ResolveFailure(kind);
}

namespace {

    // The end of one side-by-side lookup, however it ends: the parent is woken once the last one is done.
    struct SideBySide {
        ~SideBySide()
        {
            if (--pending == 0)
                all_done.notifyAll();
        }
        std::size_t& pending;
        FiberSignal& all_done;
    };

} // namespace

ResolveResultOr<std::vector<ResolveResultOr<ResolveResult>>> Resolution::lookupAll(
    std::span<const Question> questions, std::uint8_t depth, ResolutionPolicy policy)
{
    std::vector<std::optional<ResolveResultOr<ResolveResult>>> results;
    std::vector<ResolveResultOr<ResolveResult>> out;
    try {
        results.resize(questions.size());
        out.reserve(questions.size());
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    EventLoop* const loop = EventLoop::current();
    Fiber* const parent = Fiber::current();
    if (loop != nullptr && parent != nullptr && questions.size() > 1) {
        std::size_t pending = 1; // the parent's own share, given up once every child has started
        FiberSignal all_done;
        for (std::size_t i = 0; i < questions.size(); ++i) {
            ++pending;
            const bool spawned = loop->spawn([&, i] {
                SideBySide done { pending, all_done };
                results[i] = lookup(questions[i].name, questions[i].type, depth, policy);
            });
            if (!spawned)
                --pending; // resolved here below
        }
        if (--pending != 0)
            all_done.wait();
    }
    for (std::size_t i = 0; i < questions.size(); ++i) {
        if (!results[i])
            results[i] = lookup(questions[i].name, questions[i].type, depth, policy);
        out.push_back(std::move(*results[i]));
    }
    return out;
}

} // namespace recursor
