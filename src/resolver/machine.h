// One resolution: the iterative loop from the starting nameservers down the delegation tree
// (RFC 1034 §5.3.3), following referrals and CNAMEs until an answer, a negative answer or a limit.
#pragma once

#include "base/fiber.h"
#include "resolver/nameserver.h"
#include "resolver/policy.h"
#include "resolver/resolve_error.h"
#include "resolver/result_builder.h"
#include "resolver/transport.h"
#include "wire/record.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace recursor {

class Recursor;

inline constexpr std::uint8_t max_resolution_depth = 20;
inline constexpr std::uint8_t max_resolution_steps = 20;
inline constexpr std::uint8_t max_cnames = 10;

// What one client question may cost across all its nested resolutions (glueless nameservers, DNSSEC
// fetches) and CNAME steps: upstream exchanges, time and signature checks. Beyond the first two the
// question fails with SERVFAIL; beyond the last its answer is bogus (KeyTrap, CVE-2023-50387). Nested
// resolutions of one question may run side by side on fibers of their own; all spend this budget.
struct ResolutionBudget {
    static constexpr int default_exchanges = 100;
    static constexpr std::int64_t default_time_ms = 10'000;
    static constexpr int default_verifications = 64;
    // Of those exchanges, what looking up nameserver addresses may spend, over every level of nesting. A
    // referral may name five nameservers without glue (A and AAAA asked of each), and the lookup of each
    // may meet such a referral again: a hostile tree fans out tenfold per level and used to take the
    // whole budget (100 exchanges from one client question). An honest chain of glueless delegations
    // costs three to five exchanges per level (the referral, A and AAAA of one name), so 32 leaves room
    // for six levels or more.
    static constexpr int default_nameserver_exchanges = 32;

    static ResolutionBudget start(std::int64_t now_ms)
    {
        return { default_exchanges, now_ms + default_time_ms, default_verifications, {},
            default_nameserver_exchanges };
    }

    // Whether the nameservers of `zone` are being looked up on the way to the current lookup: by this
    // fiber (null: the thread's own stack), or by its parent, and so on up.
    bool lookingUpNameserversOf(const DnsName& zone) const;
    // Whether the current lookup serves a lookup of nameserver addresses, however deeply nested.
    bool insideNameserverLookup() const;

    int exchanges_left { default_exchanges };
    std::int64_t deadline_ms { 0 }; // monotonic clock
    int verifications_left { default_verifications };
    // Zones whose nameserver names are being resolved, each with the fiber resolving them.
    std::vector<std::pair<const Fiber*, DnsName>> nameserver_lookups {};
    int nameserver_exchanges_left { default_nameserver_exchanges };
};

// The DS RRset of `zone` with its RRSIGs, as a referral to it carried them, in a packet of their own
// (answer section) that outlives the referral.
struct ReferralDs {
    // A larger RRset is asked of the parent instead: what one resolution keeps stays small.
    static constexpr std::size_t max_packet_bytes = 4096;

    DnsName zone;
    std::vector<std::uint8_t> packet;
};

struct QueryContext {
    void resetStep()
    {
        got_response = false;
        advanced = false;
    }
    void adoptDelegation(const Delegation& next)
    {
        nameservers = next.nameservers;
        zone = next.zone;
        unresolved_nameservers = next.unresolved;
        fallback_nameservers = next.fallback;
        advanced = true;
    }
    void followCname(const DnsName& target, const Delegation& next)
    {
        current_qname = target;
        adoptDelegation(next);
    }

    NameserverSet nameservers;
    DnsName zone; // the zone whose servers `nameservers` are: what they may speak for
    // Nameserver names of `zone` that came without glue: resolved, and their addresses asked, once every
    // server of `nameservers` has failed.
    NameserverNames unresolved_nameservers;
    // Unvalidated glue beyond the referring server's zone: asked once nothing else is left.
    NameserverSet fallback_nameservers;
    // DS RRsets of the zones this resolution was referred to, as the referrals carried them with their
    // RRSIGs (each a packet of its own: its records view it); validated when the chain of trust reaches
    // them, instead of asking for them again.
    std::vector<ReferralDs> referral_ds;
    std::vector<DnsRecord> cname_chain; // CNAME data holds no views, so copies outlive their packets
    QType qtype { QType::a };
    DnsName qname; // as asked
    DnsName current_qname;
    std::uint8_t depth { 0 };
    ResolutionPolicy policy;
    std::uint8_t iteration { 0 };
    std::uint8_t cname_count { 0 };
    bool got_response { false };
    bool advanced { false };
    bool chain_validated { true }; // every CNAME followed so far came validated
};

struct NetworkAction {
    enum class Tag : std::uint8_t { done, follow_delegation, continue_loop };
    Tag tag { Tag::continue_loop };
    ResolveResult result; // for `done`
};

class ResolutionMachine {
public:
    ResolutionMachine(Recursor& recursor, const DnsName& qname, QType qtype, std::uint8_t depth,
        ResolutionPolicy policy, ResolutionBudget& budget);

    ResolveResultOr<ResolveResult> run(const UpstreamEngine& engine);
    // The response classifier acting on this context.
    ResolveResultOr<NetworkAction> applyResponse(const UpstreamEngine& engine, const QueryResult& result);

    const QueryContext& context() const { return ctx_; }

private:
    // One step: the servers of the current delegation, each asked alone in the order the infrastructure
    // cache ranks them, until one reply makes progress. The result when it finished the resolution.
    ResolveResultOr<std::optional<ResolveResult>> step(const UpstreamEngine& engine);
    // After a step without progress: the addresses of the delegation's nameserver names that came
    // without glue become the servers to ask; once those are spent too, the unvalidated glue. Whether
    // there are any.
    ResolveResultOr<bool> resolveUnresolvedNameservers(const UpstreamEngine& engine);
    // Keeps the DS RRset a signed referral carries for the zone it leads to (RFC 4035 §3.1.4).
    ResolveResultOr<void> keepReferralDs(const DnsMessage& referral);

    Recursor& recursor_;
    ResolutionBudget& budget_;
    QueryContext ctx_;
};

} // namespace recursor
