#include "resolver/in_flight.h"

#include <algorithm>
#include <new>
#include <unordered_set>

namespace recursor {

namespace {

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

    // A client's outcome when its leader left without one.
    const InFlightOutcome abandoned { std::unexpected(ResolveError::ShuttingDown) };

} // namespace

bool InFlight::Entry::addClient(ClientWaiter& client)
{
    if (clients_.size() >= max_clients_per_question)
        return false;
    try {
        clients_.push_back(&client);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void InFlight::Entry::removeClient(ClientWaiter& client)
{
    std::erase(clients_, &client);
}

InFlight::Leading::Leading(InFlight& registry, const CacheKey& key, std::shared_ptr<Entry> entry)
    : registry_(&registry)
    , key_(key)
    , entry_(std::move(entry))
{
}

InFlight::Leading::Leading(Leading&& other) noexcept
    : registry_(other.registry_)
    , key_(other.key_)
    , entry_(std::move(other.entry_))
    , finished_(other.finished_)
{
}

InFlight::Leading::~Leading()
{
    if (entry_)
        leave();
}

void InFlight::Leading::finish(const InFlightOutcome& outcome)
{
    if (finished_ || !entry_)
        return;
    finished_ = true;
    try {
        if (entry_->joined_)
            entry_->result_ = outcome;
    } catch (const std::bad_alloc&) {
        // the waiting fibers resolve for themselves
    }
    registry_->erase(key_, entry_.get());
    for (ClientWaiter* client : std::exchange(entry_->clients_, {}))
        client->deliver(outcome);
}

void InFlight::Leading::leave()
{
    registry_->erase(key_, entry_.get());
    for (ClientWaiter* client : std::exchange(entry_->clients_, {}))
        client->deliver(abandoned);
    entry_->done_.notifyAll();
}

void InFlight::erase(const CacheKey& key, const Entry* entry)
{
    auto [first, last] = entries_.equal_range(key);
    for (auto it = first; it != last; ++it) {
        if (it->second.get() == entry) {
            entries_.erase(it);
            return;
        }
    }
}

InFlight& InFlight::ofThisThread()
{
    thread_local InFlight registry;
    return registry;
}

std::shared_ptr<InFlight::Entry> InFlight::find(
    const void* owner, const CacheKey& key, ResolutionPolicy policy) const
{
    auto [first, last] = entries_.equal_range(key);
    for (auto it = first; it != last; ++it) {
        if (it->second->owner_ == owner && samePolicy(it->second->policy_, policy))
            return it->second;
    }
    return nullptr;
}

// A fiber waits for the leader of the entry it joined, and for its descendants (side-by-side lookups);
// a cycle of such waits (a zone's keys needing an address that needs the zone's keys, a child needing
// what its parent leads) would never end, so the joiner resolves on its own instead.
bool InFlight::waitsForItself(const Entry& entry, const Fiber* self) const
{
    std::vector<const Fiber*> frontier { entry.leader_ };
    std::unordered_set<const Fiber*> seen;
    while (!frontier.empty()) {
        const Fiber* fiber = frontier.back();
        frontier.pop_back();
        if (fiber == nullptr || !seen.insert(fiber).second)
            continue;
        if (isAncestorOrSelf(fiber, self))
            return true;
        for (const auto& [waiter, joined] : waiting_on_) {
            if (waiter == fiber || isAncestorOrSelf(fiber, waiter))
                frontier.push_back(joined->leader_); // `fiber` waits for `waiter`, which waits for that
        }
    }
    return false;
}

std::shared_ptr<InFlight::Entry> InFlight::joinable(
    const void* owner, const CacheKey& key, ResolutionPolicy policy, Fiber* self)
{
    auto [first, last] = entries_.equal_range(key);
    for (auto it = first; it != last; ++it) {
        const Entry& entry = *it->second;
        if (entry.owner_ == owner && samePolicy(entry.policy_, policy) && !waitsForItself(entry, self))
            return it->second;
    }
    return nullptr;
}

ResolveResultOr<std::optional<InFlightOutcome>> InFlight::wait(
    const std::shared_ptr<Entry>& entry, Fiber* self)
{
    try {
        waiting_on_[self] = entry.get();
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    entry->joined_ = true;
    entry->done_.wait();
    waiting_on_.erase(self);
    try {
        return entry->result_;
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
}

ResolveResultOr<InFlight::Leading> InFlight::lead(
    const void* owner, const CacheKey& key, ResolutionPolicy policy, Fiber* leader)
{
    try {
        auto entry = std::make_shared<Entry>(owner, policy, leader);
        entries_.emplace(key, entry);
        return Leading(*this, key, std::move(entry));
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
}

InFlight::NameserverLookup::NameserverLookup(NameserverLookup&& other) noexcept
    : registry_(std::exchange(other.registry_, nullptr))
    , fiber_(other.fiber_)
    , resolution_(other.resolution_)
    , zone_(other.zone_)
{
}

InFlight::NameserverLookup::~NameserverLookup()
{
    if (registry_ == nullptr)
        return;
    // Lookups on other fibers come and go meanwhile: this one's mark is not necessarily the last.
    auto& marks = registry_->nameserver_lookups_;
    const auto mine = std::find_if(marks.rbegin(), marks.rend(), [&](const Mark& mark) {
        return mark.fiber == fiber_ && mark.resolution == resolution_ && mark.zone == zone_;
    });
    if (mine != marks.rend())
        marks.erase(std::next(mine).base());
}

ResolveResultOr<InFlight::NameserverLookup> InFlight::lookUpNameserversOf(
    const void* resolution, const DnsName& zone)
{
    const Fiber* const self = Fiber::current();
    try {
        nameserver_lookups_.push_back({ self, resolution, &zone });
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    return NameserverLookup(*this, self, resolution, zone);
}

bool InFlight::lookingUpNameserversOf(const void* resolution, const DnsName& zone) const
{
    for (const Fiber* fiber = Fiber::current();; fiber = fiber->parent()) {
        for (const Mark& mark : nameserver_lookups_) {
            if (mark.fiber == fiber && mark.resolution == resolution && mark.zone->eql(zone))
                return true;
        }
        if (fiber == nullptr)
            return false;
    }
}

bool InFlight::insideNameserverLookup(const void* resolution) const
{
    for (const Fiber* fiber = Fiber::current();; fiber = fiber->parent()) {
        if (std::ranges::any_of(nameserver_lookups_,
                [&](const Mark& mark) { return mark.fiber == fiber && mark.resolution == resolution; }))
            return true;
        if (fiber == nullptr)
            return false;
    }
}

} // namespace recursor
