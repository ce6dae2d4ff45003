#include "resolver/chain_fetch.h"

#include "resolver/resolution.h"

#include <algorithm>
#include <string>

namespace recursor {

ResolveResultOr<std::optional<Fetched>> ChainFetch::fetch(const DnsName& qname, QType qtype)
{
    return fetched(resolution_.lookup(qname, qtype, depth_ + 1, ResolutionPolicy::helper()));
}

ResolveResultOr<std::optional<Fetched>> ChainFetch::fetchDs(const DnsName& name)
{
    if (next_ds_ && next_ds_->first.eql(name)) {
        std::optional<Fetched> ahead = std::move(next_ds_->second);
        next_ds_.reset();
        return ahead;
    }
    return fetch(name, QType::ds);
}

ResolveResultOr<std::optional<Fetched>> ChainFetch::fetchKeysAndNextDs(const DnsName& name)
{
    if (next_level_ == nullptr || keptDs(*next_level_) != nullptr)
        return fetch(name, QType::dnskey);
    const Question both[] = { { name, QType::dnskey }, { *next_level_, QType::ds } };
    auto results = TRY(resolution_.lookupAll(both, depth_ + 1, ResolutionPolicy::helper()));
    next_ds_.emplace(*next_level_, TRY(fetched(std::move(results[1]))));
    return fetched(std::move(results[0]));
}

const ReferralDs* ChainFetch::keptDs(const DnsName& name) const
{
    const auto kept
        = std::ranges::find_if(referral_ds_, [&](const ReferralDs& entry) { return entry.zone.eql(name); });
    return kept == referral_ds_.end() ? nullptr : &*kept;
}

ResolveResultOr<std::optional<Fetched>> ChainFetch::referralDs(const DnsName& name)
{
    const ReferralDs* kept = keptDs(name);
    if (kept == nullptr)
        return std::nullopt;
    ResolveResult copy;
    try {
        copy.packet = kept->packet;
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    return fetched(std::move(copy));
}

ResolveResultOr<std::optional<Fetched>> ChainFetch::fetched(ResolveResultOr<ResolveResult> result)
{
    if (!result) {
        if (result.error() == ResolveError::OutOfMemory || result.error() == ResolveError::ShuttingDown)
            return std::unexpected(result.error());
        return std::nullopt;
    }
    Fetched out;
    out.packet = std::move(result->packet);
    auto msg = DnsMessage::parse(out.packet);
    if (!msg)
        return std::nullopt;
    out.msg = std::move(*msg);
    for (const DnsRecord& rec : out.msg.records) {
        if (rec.section == Section::answer)
            out.answer.push_back(&rec);
        else if (rec.section == Section::authority)
            out.authority.push_back(&rec);
    }
    return out;
}

ResolveResultOr<ZoneSecurity> ChainFetch::remember(
    const DnsName& name, ZoneSecurity security, std::uint32_t ttl)
{
    if (resolution_.traceActive()) {
        std::string line = "chain of trust: " + name.toText() + " is ";
        if (!security.keys) {
            line += "insecure (no DS, proven)";
        } else {
            line += "secure, keys of " + security.keys->zone.toText() + ", tags";
            for (std::uint16_t tag : security.keys->keytags)
                line += " " + std::to_string(tag);
        }
        resolution_.traceLine(std::move(line));
    }
    TRY_VOID(resolution_.cache().putZoneSecurity(name, security, std::min(ttl, max_zone_security_ttl)));
    return security;
}

ResolveResultOr<void> ChainFetch::rememberDenial(
    const DnsName& zone, const DnsRecord& soa, RecordRefs authority, RecordRefs evidence, std::uint32_t ttl)
{
    if (!resolution_.limits().aggressive_nsec)
        return {};
    const auto& soa_data = soa.rdata.get<RDataTag::soa>();
    ttl = std::min({ ttl, soa.ttl, soa_data.minimum, resolution_.limits().cache_max_negative_ttl });
    const std::vector<const DnsRecord*> soa_only { &soa };
    return resolution_.denialCache().put(
        zone, withSignatures(authority, soa_only), withSignatures(authority, evidence), ttl);
}

ResolveResultOr<void> ChainFetch::rememberWildcard(const DnsName& zone, std::uint8_t labels,
    RecordRefs answers, std::span<const DnsRecord> rrset, RecordRefs authority, RecordRefs evidence,
    std::uint32_t ttl)
{
    if (!resolution_.limits().aggressive_nsec)
        return {};
    std::vector<const DnsRecord*> members;
    for (const DnsRecord& rec : rrset)
        members.push_back(&rec);
    return resolution_.denialCache().putWildcard(zone, labels, withSignatures(answers, members),
        withSignatures(authority, evidence), std::min(ttl, resolution_.limits().cache_max_ttl));
}

} // namespace recursor
