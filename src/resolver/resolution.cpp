#include "resolver/resolution.h"

#include "base/event_loop.h"
#include "resolver/machine.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace recursor {

bool ResolutionBudget::lookingUpNameserversOf(const DnsName& zone) const
{
    for (const Fiber* fiber = Fiber::current();; fiber = fiber->parent()) {
        for (const auto& [owner, looked_up] : nameserver_lookups) {
            if (owner == fiber && looked_up.eql(zone))
                return true;
        }
        if (fiber == nullptr)
            return false;
    }
}

bool ResolutionBudget::insideNameserverLookup() const
{
    for (const Fiber* fiber = Fiber::current();; fiber = fiber->parent()) {
        if (std::ranges::any_of(nameserver_lookups, [&](const auto& entry) { return entry.first == fiber; }))
            return true;
        if (fiber == nullptr)
            return false;
    }
}

namespace {

    // A resolution that fibers of this thread's loop wait for instead of asking the same again: the
    // zone keys and delegation signers that every cold name under one zone needs, nameserver addresses.
    struct SharedResolution {
        const Recursor* owner;
        ResolutionPolicy policy;
        Fiber* leader;
        FiberSignal done;
        bool joined { false }; // whether anyone waits for `result`: only then is it copied there
        std::optional<ResolveResultOr<ResolveResult>> result;
    };
    using SharedResolutions = std::unordered_multimap<CacheKey, std::shared_ptr<SharedResolution>,
        CacheKeyContext, CacheKeyContext>;

    thread_local SharedResolutions in_flight;
    thread_local std::unordered_map<const Fiber*, const SharedResolution*> waiting_on;

    bool samePolicy(ResolutionPolicy a, ResolutionPolicy b)
    {
        return a.validate_answers == b.validate_answers && a.cache_answers == b.cache_answers
            && a.cache_delegations == b.cache_delegations;
    }

    bool isAncestorOrSelf(const Fiber* fiber, const Fiber* of)
    {
        for (const Fiber* f = of; f != nullptr; f = f->parent()) {
            if (f == fiber)
                return true;
        }
        return false;
    }

    // Whether waiting for `shared` would end up waiting for this fiber itself. A fiber waits for the
    // leader of the resolution it joined, and for its descendants (side-by-side lookups); a cycle of such
    // waits (a zone's keys needing an address that needs the zone's keys, a child needing what its
    // parent leads) would never end, so the joiner resolves on its own instead.
    bool waitsForItself(const SharedResolution& shared, const Fiber* self)
    {
        std::vector<const Fiber*> frontier { shared.leader };
        std::unordered_set<const Fiber*> seen;
        while (!frontier.empty()) {
            const Fiber* fiber = frontier.back();
            frontier.pop_back();
            if (fiber == nullptr || !seen.insert(fiber).second)
                continue;
            if (isAncestorOrSelf(fiber, self))
                return true;
            for (const auto& [waiter, joined] : waiting_on) {
                if (waiter == fiber || isAncestorOrSelf(fiber, waiter))
                    frontier.push_back(joined->leader); // `fiber` waits for `waiter`, which waits for that
            }
        }
        return false;
    }

    std::shared_ptr<SharedResolution> joinable(
        const Recursor* owner, const CacheKey& key, ResolutionPolicy policy, Fiber* self)
    {
        auto [first, last] = in_flight.equal_range(key);
        for (auto it = first; it != last; ++it) {
            const SharedResolution& shared = *it->second;
            if (shared.owner == owner && samePolicy(shared.policy, policy) && !waitsForItself(shared, self))
                return it->second;
        }
        return nullptr;
    }

    // Takes the resolution out of the shared set and wakes its waiters, however the leader leaves.
    struct Leading {
        ~Leading()
        {
            auto [first, last] = in_flight.equal_range(key);
            for (auto it = first; it != last; ++it) {
                if (it->second == shared) {
                    in_flight.erase(it);
                    break;
                }
            }
            shared->done.notifyAll();
        }
        const CacheKey& key;
        std::shared_ptr<SharedResolution> shared;
    };

} // namespace

ResolveResultOr<ResolveResult> Resolution::lookup(
    const DnsName& qname, QType qtype, std::uint8_t depth, ResolutionPolicy policy)
{
    Fiber* const self = Fiber::current();
    if (self == nullptr) {
        ResolutionMachine machine(*this, qname, qtype, depth, policy);
        return machine.run();
    }
    const CacheKey key(qtype, qname);
    std::optional<Leading> leading;
    try {
        if (auto shared = joinable(services_.owner, key, policy, self)) {
            waiting_on[self] = shared.get();
            shared->joined = true;
            shared->done.wait();
            waiting_on.erase(self);
            if (shared->result)
                return *shared->result;
        }
        leading.emplace(key, std::make_shared<SharedResolution>(services_.owner, policy, self));
        in_flight.emplace(key, leading->shared);
    } catch (const std::bad_alloc&) {
        waiting_on.erase(self);
        return std::unexpected(ResolveError::OutOfMemory);
    }
    ResolutionMachine machine(*this, qname, qtype, depth, policy);
    auto result = machine.run();
    try {
        if (leading->shared->joined)
            leading->shared->result = result;
    } catch (const std::bad_alloc&) {
        // the waiters resolve for themselves
    }
    return result;
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
