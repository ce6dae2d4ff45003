#include "resolver/recursor.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>

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
    recursor->cache_nothing_ = options.cache_nothing;
    recursor->serves_stale_ = options.stale_window_seconds != 0 && !options.cache_nothing;
    if (recursor->serves_stale_)
        recursor->cache_->setStaleWindow(options.stale_window_seconds);
    recursor->zones_.replace(std::make_shared<const ConfiguredZones>(
        ConfiguredZones { std::move(options.local_zones), std::move(options.forward_zones) }));
    return recursor;
}

ResolveResultOr<std::optional<ResolveResult>> Recursor::answerLocally(const DnsName& qname, QType qtype) const
{
    const LocalZones* local = zones_.current()->local.get();
    const LocalZone* zone = local != nullptr ? local->covering(qname) : nullptr;
    if (zone == nullptr)
        return std::optional<ResolveResult> {};
    return zone->answer(qname, qtype);
}

Resolution Recursor::startResolution(const UpstreamSettings& upstream)
{
    const ResolverServices services {
        .cache = *cache_,
        .denial_cache = *denial_cache_,
        .signatures = signatures_,
        .infra = *infra_,
        .transport = *transport_,
        .root_servers = root_servers_,
        .limits = limits_,
        .validation_enabled = validation_enabled_,
        .default_nameserver_port = default_nameserver_port_,
        .owner = this,
        .zones = zones_.current(),
    };
    return Resolution(services, trustAnchors(), upstream, ResolutionBudget::start(monotonicMs()));
}

ResolveOutcome Recursor::resolveWithTransport(
    const UpstreamSettings& upstream, const DnsName& qname, QType qtype)
{
    auto hit = TRY(cache_->getAnswerCopy(qname, qtype));
    if (hit && hit->meta.bogus)
        return std::unexpected(ResolveFailure(hit->meta.bogus_reason));
    if (hit)
        return resultOf(std::move(*hit));
    return resolveFromNetwork(upstream, qname, qtype);
}

ResolveOutcome Recursor::resolveFromNetwork(
    const UpstreamSettings& upstream, const DnsName& qname, QType qtype)
{
    if (auto synthesized = TRY(answerFromValidatedRanges(qname, qtype)))
        return std::move(*synthesized);
    Resolution resolution = startResolution(upstream);
    const ResolutionPolicy policy = cache_nothing_ ? ResolutionPolicy::uncached() : ResolutionPolicy {};
    auto resolved = resolution.resolve(qname, qtype, policy);
    // RFC 4035 §4.7: a client repeating a bogus question does not make us repeat the work at once.
    if (!resolved && isBogus(resolved.error().kind) && limits_.bogus_ttl != 0 && !cache_nothing_)
        TRY_VOID(cache_->putBogus(qname, qtype, limits_.bogus_ttl, resolved.error().kind));
    return resolved;
}

ResolveResultOr<std::optional<ResolveResult>> Recursor::staleAnswer(const DnsName& qname, QType qtype)
{
    if (!serves_stale_)
        return std::nullopt;
    auto hit = TRY(cache_->getStaleAnswerCopy(qname, qtype));
    if (!hit)
        return std::nullopt;
    ResolveResult stale = resultOf(std::move(*hit));
    stale.extended_error
        = stale.rcode == RCode::nx_domain ? extended_error_stale_nxdomain : extended_error_stale_answer;
    return stale;
}

ResolveOutcome Recursor::resolveUnchecked(const UpstreamSettings& upstream, const DnsName& qname, QType qtype)
{
    if (auto kept = TRY(keptUncheckedAnswer(qname, qtype)))
        return std::move(*kept);
    Resolution resolution = startResolution(upstream);
    auto resolved = resolution.resolve(qname, qtype, ResolutionPolicy::helper());
    if (resolved && !cache_nothing_)
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

std::uint32_t Recursor::validationContext() const
{
    std::uint32_t hash = 2166136261u;
    const auto mix = [&](std::span<const std::uint8_t> bytes) {
        for (const std::uint8_t byte : bytes)
            hash = (hash ^ byte) * 16777619u;
    };
    const std::uint8_t enabled = validation_enabled_ ? 1 : 0;
    mix({ &enabled, 1 });
    const auto anchors = trustAnchors();
    for (const auto& key : anchors->rootKeys()) {
        const auto view = key.view();
        const std::uint8_t head[] = { static_cast<std::uint8_t>(view.flags >> 8),
            static_cast<std::uint8_t>(view.flags), view.protocol, view.algorithm };
        mix(head);
        mix(view.public_key);
    }
    for (const auto& ds : anchors->rootDs()) {
        const std::uint8_t head[] = { static_cast<std::uint8_t>(ds.keytag >> 8),
            static_cast<std::uint8_t>(ds.keytag), ds.algorithm, ds.digest_type };
        mix(head);
        mix(ds.digest);
    }
    return hash;
}

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

namespace {

    const DnsName& zoneName(const LocalZone& zone)
    {
        return zone.apex();
    }
    const DnsName& zoneName(const ForwardZone& zone)
    {
        return zone.name;
    }

    bool sameZone(const LocalZone& a, const LocalZone& b)
    {
        return a.sameRecords(b);
    }
    bool sameZone(const ForwardZone& a, const ForwardZone& b)
    {
        return a.recursive == b.recursive && a.insecure == b.insecure
            && std::ranges::equal(a.servers.slice(), b.servers.slice());
    }

    template <typename Zone> const Zone* zoneNamed(std::span<const Zone> zones, const DnsName& name)
    {
        const auto found
            = std::ranges::find_if(zones, [&](const Zone& zone) { return zoneName(zone) == name; });
        return found == zones.end() ? nullptr : &*found;
    }

    // The names of the zones that `before` and `after` do not hold alike: added, removed or changed.
    template <typename Zone>
    void collectChanged(
        std::span<const Zone> before, std::span<const Zone> after, std::vector<DnsName>& changed)
    {
        for (const Zone& old_zone : before) {
            const Zone* fresh = zoneNamed(after, zoneName(old_zone));
            if (fresh == nullptr || !sameZone(old_zone, *fresh))
                changed.push_back(zoneName(old_zone));
        }
        for (const Zone& fresh : after) {
            if (zoneNamed(before, zoneName(fresh)) == nullptr)
                changed.push_back(zoneName(fresh));
        }
    }

    std::span<const LocalZone> zonesOf(const std::shared_ptr<const LocalZones>& local)
    {
        return local ? std::span<const LocalZone>(local->zones()) : std::span<const LocalZone> {};
    }

} // namespace

std::vector<DnsName> Recursor::replaceZones(
    std::shared_ptr<const LocalZones> local, std::vector<ForwardZone> forward)
{
    auto fresh
        = std::make_shared<const ConfiguredZones>(ConfiguredZones { std::move(local), std::move(forward) });
    const std::shared_ptr<const ConfiguredZones> old = zones_.replace(fresh);
    std::vector<DnsName> changed;
    collectChanged(zonesOf(old->local), zonesOf(fresh->local), changed);
    collectChanged(
        std::span<const ForwardZone>(old->forward), std::span<const ForwardZone>(fresh->forward), changed);
    // After the swap: a question that misses the cache from now on is resolved from the new zones.
    for (const DnsName& name : changed)
        flush(name);
    return changed;
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
    if (!validation_enabled_ || !limits_.aggressive_nsec || cache_nothing_)
        return std::nullopt;
    auto answer = denial_cache_->answer(qname, qtype);
    if (!answer && answer.error() != ResolveError::OutOfMemory)
        return std::nullopt; // no answer could be built from what is kept: ask
    return answer;
}

} // namespace recursor
