#include "resolver/recursor.h"

#include "base/event_loop.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace recursor {

namespace {

    ResolveResult resultOf(CacheHit&& hit)
    {
        return ResolveResult {
            .packet = std::move(hit.packet),
            .answer_count = hit.meta.answer_count,
            .rcode = hit.meta.rcode,
            .from_cache = true,
            .validated = hit.meta.validated,
            .has_dnssec_records = hit.meta.has_dnssec_records,
        };
    }

} // namespace

ResolveResultOr<std::unique_ptr<Recursor>> Recursor::init(RecursorOptions options)
{
    auto cache = TRY(Cache::init(options.clock, options.cache_limits));
    NameserverSet roots;
    if (options.root_servers)
        roots = *options.root_servers;
    else
        roots.loadRoots(53);
    dnssec::TrustAnchorStore anchors
        = options.trust_anchors ? std::move(*options.trust_anchors) : dnssec::TrustAnchorStore::builtIn();
    cache->setMaxTtl(options.limits.cache_max_ttl);
    auto unchecked = TRY(Cache::init(options.clock, CacheLimits { options.cache_limits.max_bytes / 64 }));
    unchecked->setMaxTtl(unchecked_answer_seconds);
    std::unique_ptr<DenialCache> denial_cache(
        new (std::nothrow) DenialCache(options.clock ? options.clock : DenialCache::Clock(monotonicSeconds),
            options.cache_limits.max_bytes / 16));
    std::shared_ptr<UpstreamTransport> transport = options.transport;
    try {
        if (!transport)
            transport = std::make_shared<NetworkTransport>();
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    // A remembered check costs its digest, its expiry, a map node and a queue slot: about 128 bytes.
    const std::size_t signature_capacity = options.cache_limits.max_bytes / 64 / 128;
    auto infra = TRY(InfraCache::init(InfraOptions { .max_bytes = options.cache_limits.max_bytes / 64 }));
    std::unique_ptr<Recursor> recursor(denial_cache
            ? new (std::nothrow) Recursor(std::move(cache), std::move(unchecked), std::move(denial_cache),
                std::move(infra), signature_capacity, options.validation_enabled, roots, std::move(anchors),
                options.limits, std::move(transport))
            : nullptr);
    if (!recursor)
        return std::unexpected(ResolveError::OutOfMemory);
    return recursor;
}

ResolveResultOr<ResolveResult> Recursor::resolveWithTransport(
    const UpstreamEngine& engine, const DnsName& qname, QType qtype)
{
    auto hit = TRY(cache_->getAnswerCopy(qname, qtype));
    if (hit && hit->meta.bogus)
        return std::unexpected(hit->meta.bogus_reason);
    if (hit)
        return resultOf(std::move(*hit));
    return resolveFromNetwork(engine, qname, qtype);
}

ResolveResultOr<ResolveResult> Recursor::resolveFromNetwork(
    const UpstreamEngine& engine, const DnsName& qname, QType qtype)
{
    if (auto synthesized = TRY(answerFromValidatedRanges(qname, qtype)))
        return std::move(*synthesized);
    ResolutionBudget budget = ResolutionBudget::start(monotonicMs());
    auto resolved = resolveFromNetworkWithPolicy(engine, qname, qtype, 0, ResolutionPolicy {}, budget);
    // RFC 4035 §4.7: a client repeating a bogus question does not make us repeat the work at once.
    if (!resolved && isBogus(resolved.error()) && limits_.bogus_ttl != 0)
        TRY_VOID(cache_->putBogus(qname, qtype, limits_.bogus_ttl, resolved.error()));
    return resolved;
}

ResolveResultOr<ResolveResult> Recursor::resolveUnchecked(
    const UpstreamEngine& engine, const DnsName& qname, QType qtype)
{
    if (auto kept = TRY(keptUncheckedAnswer(qname, qtype)))
        return std::move(*kept);
    ResolutionBudget budget = ResolutionBudget::start(monotonicMs());
    auto resolved = resolveFromNetworkWithPolicy(engine, qname, qtype, 0, ResolutionPolicy::helper(), budget);
    if (resolved)
        TRY_VOID(keepUnchecked(qname, qtype, *resolved));
    return resolved;
}

ResolveResultOr<std::optional<ResolveResult>> Recursor::keptUncheckedAnswer(const DnsName& qname, QType qtype)
{
    auto hit = TRY(unchecked_->getAnswerCopy(qname, qtype));
    if (!hit || hit->meta.bogus)
        return std::nullopt;
    return resultOf(std::move(*hit)); // stored as not validated, so never served as such
}

// Kept no longer than the question stays known bogus, nor than its records may live (RFC 1035 §3.2.1),
// nor a few seconds: CD clients get fresh data soon, while a burst of repeats costs one resolution.
ResolveResultOr<void> Recursor::keepUnchecked(const DnsName& qname, QType qtype, const ResolveResult& result)
{
    const auto msg = DnsMessage::parse(result.packet);
    if (!msg)
        return {};
    std::uint32_t ttl = std::min(limits_.bogus_ttl, unchecked_answer_seconds);
    for (const DnsRecord& rec : msg->records) {
        if (rec.rtype != QType::opt)
            ttl = std::min(ttl, rec.ttl);
    }
    if (ttl == 0)
        return {};
    try {
        std::vector<std::uint8_t> packet = result.packet;
        packet[3] &= static_cast<std::uint8_t>(~flag_ad); // never served as authenticated
        return unchecked_->putAnswer(
            qname, qtype, packet, result.answer_count, result.rcode, false, result.has_dnssec_records, ttl);
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
}

namespace {

    bool sameAnchors(const dnssec::TrustAnchorStore& a, const dnssec::TrustAnchorStore& b)
    {
        const auto same_key = [](const rdata::dnssec::OwnedDnskey& x, const rdata::dnssec::OwnedDnskey& y) {
            const auto kx = x.view();
            const auto ky = y.view();
            return kx.flags == ky.flags && kx.protocol == ky.protocol && kx.algorithm == ky.algorithm
                && std::ranges::equal(kx.public_key, ky.public_key);
        };
        const auto same_ds = [](const dnssec::AnchorDs& x, const dnssec::AnchorDs& y) {
            return x.keytag == y.keytag && x.algorithm == y.algorithm && x.digest_type == y.digest_type
                && x.digest == y.digest;
        };
        return std::ranges::equal(a.rootKeys(), b.rootKeys(), same_key)
            && std::ranges::equal(a.rootDs(), b.rootDs(), same_ds);
    }

} // namespace

bool Recursor::replaceTrustAnchors(dnssec::TrustAnchorStore anchors)
{
    auto fresh = std::make_shared<const dnssec::TrustAnchorStore>(std::move(anchors));
    {
        std::lock_guard lock(trust_store_mutex_);
        if (sameAnchors(*trust_store_, *fresh))
            return false;
        trust_store_ = std::move(fresh);
    }
    flush(DnsName::root());
    return true;
}

std::size_t Recursor::flush(const DnsName& name)
{
    const std::size_t dropped = cache_->flush(name) + unchecked_->flush(name) + denial_cache_->flush(name);
    infra_->forgetLameness();
    return dropped;
}

bool Recursor::knownBogus(const DnsName& qname, QType qtype)
{
    auto hit = cache_->getAnswerCopy(qname, qtype);
    return hit && *hit && (*hit)->meta.bogus;
}

ResolveResultOr<std::optional<ResolveResult>> Recursor::answerFromValidatedRanges(
    const DnsName& qname, QType qtype)
{
    if (!validation_enabled_ || !limits_.aggressive_nsec)
        return std::nullopt;
    auto answer = denial_cache_->answer(qname, qtype);
    if (!answer && answer.error() != ResolveError::OutOfMemory)
        return std::nullopt; // no answer could be built from what is kept: ask
    return answer;
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

ResolveResultOr<ResolveResult> Recursor::resolveFromNetworkWithPolicy(const UpstreamEngine& engine,
    const DnsName& qname, QType qtype, std::uint8_t depth, ResolutionPolicy policy, ResolutionBudget& budget)
{
    Fiber* const self = Fiber::current();
    if (self == nullptr) {
        ResolutionMachine machine(*this, qname, qtype, depth, policy, budget);
        return machine.run(engine);
    }
    const CacheKey key(qtype, qname);
    std::optional<Leading> leading;
    try {
        if (auto shared = joinable(this, key, policy, self)) {
            waiting_on[self] = shared.get();
            shared->joined = true;
            shared->done.wait();
            waiting_on.erase(self);
            if (shared->result)
                return *shared->result;
        }
        leading.emplace(key, std::make_shared<SharedResolution>(this, policy, self));
        in_flight.emplace(key, leading->shared);
    } catch (const std::bad_alloc&) {
        waiting_on.erase(self);
        return std::unexpected(ResolveError::OutOfMemory);
    }
    ResolutionMachine machine(*this, qname, qtype, depth, policy, budget);
    auto result = machine.run(engine);
    try {
        if (leading->shared->joined)
            leading->shared->result = result;
    } catch (const std::bad_alloc&) {
        // the waiters resolve for themselves
    }
    return result;
}

} // namespace recursor

namespace recursor {

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

ResolveResultOr<std::vector<ResolveResultOr<ResolveResult>>> Recursor::resolveConcurrently(
    const UpstreamEngine& engine, std::span<const Question> questions, std::uint8_t depth,
    ResolutionPolicy policy, ResolutionBudget& budget)
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
                results[i] = resolveFromNetworkWithPolicy(
                    engine, questions[i].name, questions[i].type, depth, policy, budget);
            });
            if (!spawned)
                --pending; // resolved here below
        }
        if (--pending != 0)
            all_done.wait();
    }
    for (std::size_t i = 0; i < questions.size(); ++i) {
        if (!results[i])
            results[i] = resolveFromNetworkWithPolicy(
                engine, questions[i].name, questions[i].type, depth, policy, budget);
        out.push_back(std::move(*results[i]));
    }
    return out;
}

} // namespace recursor
