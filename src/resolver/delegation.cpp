#include "resolver/delegation.h"

#include "resolver/in_flight.h"
#include "resolver/local_zone.h"
#include "resolver/referral.h"
#include "resolver/resolution.h"

#include <algorithm>
#include <utility>

namespace recursor {

namespace {

    // The addresses of the first few of `names` (the NXNS attack, CVE-2020-12667), A then AAAA of each,
    // looked up side by side. A name that cannot be resolved only gives no addresses; when none gives
    // any because the question's nameserver lookups are spent, that is the error.
    ResolveResultOr<void> appendNameserverAddresses(
        Resolution& resolution, std::span<const DnsName> names, const QueryContext& ctx, NameserverSet& set)
    {
        std::vector<Question> questions;
        try {
            for (const DnsName& name : names.first(std::min(names.size(), max_glueless_names))) {
                questions.push_back({ name, QType::a });
                questions.push_back({ name, QType::aaaa });
            }
        } catch (const std::bad_alloc&) {
            return std::unexpected(ResolveError::OutOfMemory);
        }
        const auto results
            = TRY(resolution.lookupAll(questions, static_cast<std::uint8_t>(ctx.depth + 1), ctx.policy));
        bool spent = false;
        for (const auto& resolved : results) {
            if (!resolved) {
                if (resolved.error() == ResolveError::OutOfMemory
                    || resolved.error() == ResolveError::ShuttingDown)
                    return std::unexpected(resolved.error());
                spent = spent || resolved.error() == ResolveError::NameserverBudgetExhausted;
                continue;
            }
            auto parsed = DnsMessage::parse(resolved->packet);
            if (!parsed)
                return std::unexpected(ResolveError::OutOfMemory);
            const NameserverSet found = extractAnswerAddresses(parsed->records,
                resolution.defaultNameserverPort(), resolution.limits().allow_loopback_nameservers);
            for (const SocketAddress& addr : found.slice()) {
                if (set.count == NameserverSet::capacity)
                    return {};
                set.append(addr);
            }
        }
        if (set.empty() && spent)
            return std::unexpected(ResolveError::NameserverBudgetExhausted);
        return {};
    }

    ResolveResultOr<void> cacheDelegation(
        Resolution& resolution, std::span<const DnsRecord> records, const Delegation& found)
    {
        return resolution.cache().putDelegation(found, extractDelegationTtl(records));
    }

} // namespace

Delegation initialNameservers(
    Cache& cache, const NameserverSet& roots, std::span<const ForwardZone> configured, const DnsName& qname)
{
    const ForwardZone* zone = closestForwardZone(configured, qname);
    if (zone != nullptr && zone->recursive)
        return { .zone = zone->name, .nameservers = zone->servers, .recursive = true };
    auto cached = cache.findDelegation(qname);
    const bool cached_below_zone
        = cached && (zone == nullptr || (cached->zone.isPartOf(zone->name) && !cached->zone.eql(zone->name)));
    if (cached_below_zone)
        return *cached;
    if (zone != nullptr)
        return { .zone = zone->name, .nameservers = zone->servers };
    return { DnsName::root(), roots };
}

Delegation initialNameservers(Resolution& resolution, const DnsName& qname)
{
    if (const LocalZones* local_zones = resolution.localZones()) {
        if (auto child = local_zones->delegationFor(qname, resolution.defaultNameserverPort()))
            return std::move(*child);
    }
    return initialNameservers(resolution.cache(), resolution.rootServers(), resolution.forwardZones(), qname);
}

bool underNegativeTrustAnchor(
    std::span<const ForwardZone> configured, const LocalZones* local_zones, const DnsName& name)
{
    const ForwardZone* zone = closestForwardZone(configured, name);
    if (zone != nullptr && zone->insecure)
        return true;
    return local_zones != nullptr && local_zones->covering(name) != nullptr;
}

bool isUsableReferral(const DnsName& delegated, const DnsName& zone, const DnsName& qname)
{
    return delegated.isPartOf(zone) && !delegated.eql(zone) && qname.isPartOf(delegated);
}

ResolveResultOr<NameserverSet> resolveNameserverNames(
    Resolution& resolution, const DnsName& zone, std::span<const DnsName> names, const QueryContext& ctx)
{
    ResolutionBudget& budget = resolution.budget();
    NameserverSet set;
    if (budget.nameserver_exchanges_left <= 0)
        return std::unexpected(resolution.fail(ResolveError::NameserverBudgetExhausted, zone));
    // A zone whose nameservers are already being looked up further up this question needs itself to be
    // found (ns.example. for example. without glue, or two zones served from each other): give up at
    // once rather than spend the question's whole budget on its parents' servers.
    InFlight& in_flight = InFlight::ofThisThread();
    if (in_flight.lookingUpNameserversOf(&resolution, zone))
        return set;
    const InFlight::NameserverLookup marked = TRY(in_flight.lookUpNameserversOf(&resolution, zone));
    TRY_VOID(appendNameserverAddresses(resolution, names, ctx, set));
    return set;
}

ResolveResultOr<std::optional<Delegation>> lookupDelegationNameservers(
    Resolution& resolution, const DnsMessage& response, const QueryContext& ctx)
{
    const std::optional<DnsName> zone = extractDelegationName(response.records);
    if (!zone || !isUsableReferral(*zone, ctx.zone, ctx.current_qname))
        return std::nullopt;
    const bool allow_loopback = resolution.limits().allow_loopback_nameservers;
    const std::uint16_t port = resolution.defaultNameserverPort();
    Delegation next { .zone = *zone,
        .nameservers = extractGlueNameservers(response.records, ctx.zone, port, allow_loopback),
        .unresolved = {},
        .fallback = extractOutOfZoneGlue(response.records, ctx.zone, port, allow_loopback) };
    try {
        for (const DnsName& name :
            extractGluelessNameservers(response.records, ctx.zone, allow_loopback, max_glueless_names))
            next.unresolved.append(name);
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    if (next.nameservers.empty()) {
        next.nameservers = TRY(resolveNameserverNames(resolution, *zone, next.unresolved.span(), ctx));
        next.unresolved = {};
    }
    if (next.nameservers.empty())
        next.nameservers = std::exchange(next.fallback, {});
    if (next.nameservers.empty())
        return std::nullopt;
    if (ctx.policy.cache_delegations)
        TRY_VOID(cacheDelegation(resolution, response.records, next));
    return next;
}

} // namespace recursor
