// The questions being resolved on this thread and who waits for each: one registry per thread (each
// event loop runs on one), instead of asking upstream the same again. A lookup that finds its question
// in flight for the same Recursor and policy waits for the leader's outcome (the zone keys and DS that
// every cold name under one zone needs, nameserver addresses); questions from clients may wait on it too.
// It also records which zones' nameservers are being looked up, and by whom, so that a zone whose
// servers are only found through itself is given up at once.
//
// Intended use by the server, on the loop thread (one registry per thread, so no locks), with the
// Recursor as owner (the one a Resolution joins by) and a PendingQuery that implements ClientWaiter:
//     InFlight& in_flight = InFlight::ofThisThread();
//     if (auto entry = in_flight.find(&recursor, key, ResolutionPolicy {}); entry && entry->addClient(query))
//         return; // query.deliver(outcome) is called when the leader finishes
//     auto leading = in_flight.lead(&recursor, key, ResolutionPolicy {}, Fiber::current()); // OutOfMemory
//     const ResolveOutcome outcome = recursor.resolveFromNetwork(upstream, qname, qtype); // on that fiber
//     leading->finish(outcome); // the leader answers its own query; every client that joined is delivered
// A client waiter that goes away first (the server stops, its connection closes) calls removeClient().
#pragma once

#include "base/event_loop.h"
#include "base/fiber.h"
#include "resolver/cache.h"
#include "resolver/policy.h"
#include "resolver/resolve_error.h"
#include "resolver/result_builder.h"
#include "wire/name.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace recursor {

// What a resolution in flight ends with, the detail of a failure included.
using InFlightOutcome = ResolveOutcome;

// A client question waiting for a resolution in flight, implemented by the layer that holds it (its
// buffers and socket stay there).
class ClientWaiter {
public:
    // On the leader's fiber, once, after the entry has left the registry. `outcome` lives only for the call.
    virtual void deliver(const InFlightOutcome& outcome) = 0;

protected:
    ~ClientWaiter() = default;
};

class InFlight {
public:
    // Client questions one resolution carries at most; the next resolves on its own (or is refused).
    static constexpr std::size_t max_clients_per_question = 256;

    // One question in flight.
    class Entry {
    public:
        Entry(const void* owner, ResolutionPolicy policy, Fiber* leader)
            : owner_(owner)
            , policy_(policy)
            , leader_(leader)
        {
        }
        // Whether `client` now waits for the outcome: false once max_clients_per_question wait.
        [[nodiscard]] bool addClient(ClientWaiter& client);
        // Stops waiting: it is not delivered anything.
        void removeClient(ClientWaiter& client);
        std::size_t clients() const { return clients_.size(); }

    private:
        friend class InFlight;
        const void* owner_;
        ResolutionPolicy policy_;
        Fiber* leader_;
        FiberSignal done_;
        bool joined_ { false }; // whether a fiber waits for `result_`: only then is it copied there
        std::optional<InFlightOutcome> result_;
        std::vector<ClientWaiter*> clients_;
    };

    // The lead of one question: however the leader leaves, the entry leaves the registry and every waiter
    // wakes (fibers) or is delivered (clients). Move-only.
    class Leading {
    public:
        Leading(InFlight& registry, const CacheKey& key, std::shared_ptr<Entry> entry);
        Leading(Leading&& other) noexcept;
        Leading& operator=(Leading&&) = delete;
        ~Leading();

        // The outcome, for the waiters: clients are delivered it, fibers that joined get a copy (when it
        // cannot be copied they resolve on their own).
        void finish(const InFlightOutcome& outcome);
        Entry& entry() { return *entry_; }
        Entry* operator->() { return entry_.get(); }

    private:
        void leave();

        InFlight* registry_;
        CacheKey key_;
        std::shared_ptr<Entry> entry_;
        bool finished_ { false };
    };

    // Marks that a resolution looks up the nameservers of a zone on the current fiber, for as long as it
    // lives. Move-only; the zone is the caller's and outlives it.
    class NameserverLookup {
    public:
        NameserverLookup(InFlight& registry, const Fiber* fiber, const void* resolution, const DnsName& zone)
            : registry_(&registry)
            , fiber_(fiber)
            , resolution_(resolution)
            , zone_(&zone)
        {
        }
        NameserverLookup(NameserverLookup&& other) noexcept;
        NameserverLookup& operator=(NameserverLookup&&) = delete;
        ~NameserverLookup();

    private:
        InFlight* registry_;
        const Fiber* fiber_;
        const void* resolution_;
        const DnsName* zone_;
    };

    static InFlight& ofThisThread();

    // Any entry of (owner, key, policy), for a client to wait on: a client blocks no fiber, so it cannot
    // wait for itself.
    std::shared_ptr<Entry> find(const void* owner, const CacheKey& key, ResolutionPolicy policy) const;
    // An entry of (owner, key, policy) the fiber `self` may wait for: not one whose leader waits,
    // transitively through fiber parents and side-by-side children, for `self`.
    std::shared_ptr<Entry> joinable(
        const void* owner, const CacheKey& key, ResolutionPolicy policy, Fiber* self);
    // Waits on the fiber `self` until the entry's leader finishes: its outcome, or none when it could not
    // be copied (resolve on your own then). OutOfMemory when the wait cannot be recorded.
    ResolveResultOr<std::optional<InFlightOutcome>> wait(const std::shared_ptr<Entry>& entry, Fiber* self);
    // Registers a new entry led by `leader`. OutOfMemory.
    ResolveResultOr<Leading> lead(
        const void* owner, const CacheKey& key, ResolutionPolicy policy, Fiber* leader);

    // Records that `resolution` looks up the nameservers of `zone` on the current fiber. OutOfMemory.
    ResolveResultOr<NameserverLookup> lookUpNameserversOf(const void* resolution, const DnsName& zone);
    // Whether `resolution` looks up the nameservers of `zone` on the way to the current lookup: on this
    // fiber (null: the thread's own stack), or its parent, and so on up.
    bool lookingUpNameserversOf(const void* resolution, const DnsName& zone) const;
    // Whether the current lookup of `resolution` serves a lookup of nameserver addresses, however deeply
    // nested.
    bool insideNameserverLookup(const void* resolution) const;

    std::size_t size() const { return entries_.size(); }

private:
    struct Mark {
        const Fiber* fiber;
        const void* resolution;
        const DnsName* zone;
    };

    bool waitsForItself(const Entry& entry, const Fiber* self) const;
    void erase(const CacheKey& key, const Entry* entry);

    std::unordered_multimap<CacheKey, std::shared_ptr<Entry>, CacheKeyContext, CacheKeyContext> entries_;
    std::unordered_map<const Fiber*, const Entry*> waiting_on_;
    std::vector<Mark> nameserver_lookups_;
};

} // namespace recursor
