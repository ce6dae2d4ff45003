#include "resolver/recursor.h"

#include <new>

namespace recursor {

ResolveResultOr<std::unique_ptr<Recursor>> Recursor::init(bool validation_enabled, Cache::Clock clock)
{
    auto cache = TRY(Cache::init(std::move(clock)));
    std::unique_ptr<Recursor> recursor(new (std::nothrow) Recursor(std::move(cache), validation_enabled));
    if (!recursor)
        return std::unexpected(ResolveError::OutOfMemory);
    return recursor;
}

ResolveResultOr<ResolveResult> Recursor::resolveWithTransport(
    const UpstreamEngine& engine, const DnsName& qname, QType qtype)
{
    auto hit = TRY(cache_->getAnswerCopy(qname, qtype));
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
    return resolveFromNetworkWithPolicy(engine, qname, qtype, 0, ResolutionPolicy {});
}

ResolveResultOr<ResolveResult> Recursor::resolveFromNetworkWithPolicy(
    const UpstreamEngine&, const DnsName&, QType, std::uint8_t, ResolutionPolicy)
{
    // The iterative resolution machine is not part of this build yet: every miss fails.
    return std::unexpected(ResolveError::ServFail);
}

} // namespace recursor
