// What the chain of trust asks and keeps: DS and DNSKEY RRsets fetched by nested resolutions (the DS of
// the next level fetched side by side with a zone's keys), the DS RRsets a resolution's referrals carried,
// and what the walk learns, remembered in the caches (zone security, RFC 8198 denial ranges and wildcards).
#pragma once

#include "resolver/cache.h"
#include "resolver/resolution.h"
#include "resolver/rrsets.h"

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace recursor {

// The longest a zone's keys or its insecurity are remembered.
inline constexpr std::uint32_t max_zone_security_ttl = 86400;

// A response fetched for the chain; `msg` views `packet`, whose heap block moves with it.
struct Fetched {
    std::vector<std::uint8_t> packet;
    DnsMessage msg;
    std::vector<const DnsRecord*> answer;
    std::vector<const DnsRecord*> authority;
};

// Allocation failures are thrown, as the standard containers do, and caught at the module's edge.
class ChainFetch {
public:
    ChainFetch(Resolution& resolution, std::uint8_t depth, std::span<const ReferralDs> referral_ds)
        : resolution_(resolution)
        , depth_(depth)
        , referral_ds_(referral_ds)
    {
    }

    // (qname, qtype) by a nested resolution one level deeper; none when it gave nothing usable.
    ResolveResultOr<std::optional<Fetched>> fetch(const DnsName& qname, QType qtype);
    // The DS RRset of `name`: fetched ahead with its parent's keys, or now.
    ResolveResultOr<std::optional<Fetched>> fetchDs(const DnsName& name);
    // A signed child's keys, and meanwhile the DS RRset of the level below, which the walk asks next
    // once these keys verify: the two round trips overlap.
    ResolveResultOr<std::optional<Fetched>> fetchKeysAndNextDs(const DnsName& name);
    // The DS RRset of `name` as a referral of this resolution carried it, if one did.
    ResolveResultOr<std::optional<Fetched>> referralDs(const DnsName& name);

    // The name the walk visits after the current one (null at the last), whose DS may be fetched ahead.
    void setNextLevel(const DnsName* next) { next_level_ = next; }
    // The walk is over: a DS fetched ahead is not used.
    void endWalk()
    {
        next_level_ = nullptr;
        next_ds_.reset();
    }

    // Keeps what the walk learned of `name`, for no longer than `ttl` and max_zone_security_ttl.
    ResolveResultOr<ZoneSecurity> remember(const DnsName& name, ZoneSecurity security, std::uint32_t ttl);
    // Keeps the proof for answering later questions it covers without asking (RFC 8198), no longer
    // than the negative answer itself may live (RFC 8198 §5.4).
    ResolveResultOr<void> rememberDenial(const DnsName& zone, const DnsRecord& soa, RecordRefs authority,
        RecordRefs evidence, std::uint32_t ttl);
    // Keeps a proven wildcard expansion for the other names the wildcard covers (RFC 8198 §5.3).
    ResolveResultOr<void> rememberWildcard(const DnsName& zone, std::uint8_t labels, RecordRefs answers,
        std::span<const DnsRecord> rrset, RecordRefs authority, RecordRefs evidence, std::uint32_t ttl);

private:
    const ReferralDs* keptDs(const DnsName& name) const;
    static ResolveResultOr<std::optional<Fetched>> fetched(ResolveResultOr<ResolveResult> result);

    Resolution& resolution_;
    std::uint8_t depth_;
    const DnsName* next_level_ { nullptr }; // the name the walk visits after the current one
    std::optional<std::pair<DnsName, std::optional<Fetched>>> next_ds_; // its DS, fetched ahead
    std::span<const ReferralDs> referral_ds_; // the resolution's, to check before asking
};

} // namespace recursor
