#include "resolver/recursor_delegation.h"

#include "resolver/recursor.h"
#include "resolver/recursor_referral.h"

#include <algorithm>

namespace recursor {

namespace {

    // Appends the addresses of `name` of type `qtype`, found by a nested resolution.
    ResolveResultOr<void> appendResolvedAddresses(Recursor& recursor, const UpstreamEngine& engine,
        const DnsName& name, QType qtype, const QueryContext& ctx, ResolutionBudget& budget,
        NameserverSet& set)
    {
        auto resolved = recursor.resolveFromNetworkWithPolicy(
            engine, name, qtype, static_cast<std::uint8_t>(ctx.depth + 1), ctx.policy, budget);
        if (!resolved) {
            if (resolved.error() == ResolveError::OutOfMemory)
                return std::unexpected(ResolveError::OutOfMemory);
            return {}; // this name only gives no addresses
        }
        auto parsed = DnsMessage::parse(resolved->packet);
        if (!parsed)
            return std::unexpected(ResolveError::OutOfMemory);
        const NameserverSet found = extractAnswerAddresses(
            parsed->records, recursor.defaultNameserverPort(), recursor.limits().allow_loopback_nameservers);
        for (const SocketAddress& addr : found.slice())
            set.append(addr);
        return {};
    }

    // The servers of a referral without usable glue: resolve a few of the zone's nameserver names.
    ResolveResultOr<NameserverSet> resolveAuthorityNameservers(Recursor& recursor,
        const UpstreamEngine& engine, std::span<const DnsRecord> records, const DnsName& zone,
        const QueryContext& ctx, ResolutionBudget& budget)
    {
        NameserverSet set;
        std::size_t names = 0;
        for (const DnsRecord& rec : records) {
            if (set.count == NameserverSet::capacity || names == max_glueless_names)
                break;
            if (rec.section != Section::authority || rec.rdata.tag() != RDataTag::ns || !rec.name.eql(zone))
                continue;
            ++names;
            const DnsName& target = rec.rdata.get<RDataTag::ns>().nsdname;
            TRY_VOID(appendResolvedAddresses(recursor, engine, target, QType::a, ctx, budget, set));
            TRY_VOID(appendResolvedAddresses(recursor, engine, target, QType::aaaa, ctx, budget, set));
        }
        return set;
    }

    ResolveResultOr<void> cacheDelegation(
        Recursor& recursor, std::span<const DnsRecord> records, const Delegation& found)
    {
        return recursor.cache().putDelegation(found.zone, found.nameservers, extractDelegationTtl(records));
    }

} // namespace

Delegation initialNameservers(Cache& cache, const NameserverSet& roots, const DnsName& qname)
{
    if (auto cached = cache.findDelegation(qname))
        return *cached;
    return { DnsName::root(), roots };
}

bool isUsableReferral(const DnsName& delegated, const DnsName& zone, const DnsName& qname)
{
    return delegated.isPartOf(zone) && !delegated.eql(zone) && qname.isPartOf(delegated);
}

ResolveResultOr<std::optional<Delegation>> lookupDelegationNameservers(Recursor& recursor,
    const UpstreamEngine& engine, const DnsMessage& response, const QueryContext& ctx,
    ResolutionBudget& budget)
{
    const std::optional<DnsName> zone = extractDelegationName(response.records);
    if (!zone || !isUsableReferral(*zone, ctx.zone, ctx.current_qname))
        return std::nullopt;
    Delegation next { *zone,
        extractGlueNameservers(response.records, recursor.defaultNameserverPort(),
            recursor.limits().allow_loopback_nameservers) };
    if (next.nameservers.empty()) {
        // A zone whose nameservers are already being looked up further up this question needs itself
        // to be found (ns.example. for example. without glue, or two zones served from each other):
        // give up at once rather than spend the question's whole budget on its parents' servers.
        if (std::ranges::any_of(budget.nameserver_lookups, [&](const DnsName& z) { return z.eql(*zone); }))
            return std::nullopt;
        try {
            budget.nameserver_lookups.push_back(*zone);
        } catch (const std::bad_alloc&) {
            return std::unexpected(ResolveError::OutOfMemory);
        }
        auto found = resolveAuthorityNameservers(recursor, engine, response.records, *zone, ctx, budget);
        budget.nameserver_lookups.pop_back();
        next.nameservers = TRY(std::move(found));
    }
    if (next.nameservers.empty())
        return std::nullopt;
    if (ctx.policy.cache_delegations)
        TRY_VOID(cacheDelegation(recursor, response.records, next));
    return next;
}

} // namespace recursor
