#include "resolver/resolution.h"

#include "base/event_loop.h"
#include "resolver/in_flight.h"

#include <memory>
#include <new>
#include <optional>

namespace recursor {

bool Resolution::insideNameserverLookup() const
{
    return InFlight::ofThisThread().insideNameserverLookup(this);
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
