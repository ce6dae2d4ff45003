#include "resolver/recursor.h"

#include <new>

namespace recursor {

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
            ? new (std::nothrow) Recursor(std::move(cache), std::move(denial_cache), std::move(infra),
                signature_capacity, options.validation_enabled, roots, std::move(anchors), options.limits,
                std::move(transport))
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
        return std::unexpected(ResolveError::DnssecBogus);
    if (hit) {
        return ResolveResult {
            .packet = std::move(hit->packet),
            .answer_count = hit->meta.answer_count,
            .rcode = hit->meta.rcode,
            .from_cache = true,
            .validated = hit->meta.validated,
            .has_dnssec_records = hit->meta.has_dnssec_records,
        };
    }
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
    if (!resolved && resolved.error() == ResolveError::DnssecBogus && limits_.bogus_ttl != 0)
        TRY_VOID(cache_->putBogus(qname, qtype, limits_.bogus_ttl));
    return resolved;
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

ResolveResultOr<ResolveResult> Recursor::resolveFromNetworkWithPolicy(const UpstreamEngine& engine,
    const DnsName& qname, QType qtype, std::uint8_t depth, ResolutionPolicy policy, ResolutionBudget& budget)
{
    ResolutionMachine machine(*this, qname, qtype, depth, policy, budget);
    return machine.run(engine);
}

} // namespace recursor
