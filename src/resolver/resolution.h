// One client question's resolution: the services it uses (lent by the Recursor that started it), the
// budget all its nested lookups spend, and why it failed. Every step of the resolution (the machine,
// the response classifier, the delegation lookups, the chain of trust) is handed the one Resolution, and
// asks its nested lookups (glueless nameservers, DS and DNSKEY RRsets) of it.
#pragma once

#include "base/trace.h"
#include "dnssec/trust_anchor.h"
#include "resolver/cache.h"
#include "resolver/denial_cache.h"
#include "resolver/forward_zone.h"
#include "resolver/infra_cache.h"
#include "resolver/nameserver.h"
#include "resolver/policy.h"
#include "resolver/resolve_error.h"
#include "resolver/result_builder.h"
#include "resolver/signature_cache.h"
#include "resolver/transport.h"
#include "wire/record.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace recursor {

class Recursor;
class LocalZones;

// What the resolver keeps and whom it asks, as the operator configured it.
struct AnswerLimits {
    std::uint32_t cache_max_ttl { 86400 }; // answers and delegations
    std::uint32_t cache_max_negative_ttl { 3600 }; // RFC 2308 §5
    std::uint32_t bogus_ttl { 60 }; // RFC 4035 §4.7
    bool aggressive_nsec { true }; // RFC 8198
    // Nameserver addresses learned from the network on loopback are asked (test setups only).
    bool allow_loopback_nameservers { false };
    // Ask each zone's servers only one label more than their zone (RFC 9156). Off here, so that a
    // resolver built in a test asks what it is asked; the configuration's default turns it on.
    bool qname_minimisation { false };
};

// One question of several a resolution needs at once.
struct Question {
    DnsName name;
    QType type { QType::a };
};

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
        return { default_exchanges, now_ms + default_time_ms, default_verifications,
            default_nameserver_exchanges };
    }

    int exchanges_left { default_exchanges };
    std::int64_t deadline_ms { 0 }; // monotonic clock
    int verifications_left { default_verifications };
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

// CNAME and DNAME steps one question may take.
inline constexpr std::uint8_t max_cnames = 10;

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
        forwarding = next.recursive;
        advanced = true;
    }
    void followCname(const DnsName& target, const Delegation& next)
    {
        current_qname = target;
        minimisation = {};
        adoptDelegation(next);
    }

    // RFC 9156 for `current_qname`: the minimised questions asked for it, and whether it is asked whole
    // from now on (after a server's error or an answer that did not fit).
    struct Minimisation {
        std::uint8_t asked { 0 };
        std::uint8_t revealed_labels { 0 }; // of the last minimised name asked
        bool stopped { false };
        bool grouped { false }; // §2.3's bounds made a question reveal several labels at once
    };

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
    bool forwarding { false }; // `nameservers` are a forward zone's resolvers
    bool chain_validated { true }; // every CNAME followed so far came validated
    Minimisation minimisation;
};

struct NetworkAction {
    enum class Tag : std::uint8_t { done, follow_delegation, continue_loop };
    Tag tag { Tag::continue_loop };
    ResolveResult result; // for `done`
};

// The zones a reload replaces as one (Recursor::replaceZones). A resolution holds the snapshot it started
// with, so a reload never changes them under it.
struct ConfiguredZones {
    std::shared_ptr<const LocalZones> local; // none when null
    std::vector<ForwardZone> forward; // the [forward:] and [stub:] sections
};

// The shared state a Recursor lends each resolution it starts; it outlives them all.
struct ResolverServices {
    Cache& cache;
    DenialCache& denial_cache;
    SignatureCache& signatures;
    InfraCache& infra;
    UpstreamTransport& transport;
    const NameserverSet& root_servers;
    const AnswerLimits& limits;
    bool validation_enabled { true };
    std::uint16_t default_nameserver_port { 53 };
    const Recursor* owner { nullptr }; // whose lookups in flight this resolution may join
    std::shared_ptr<const ConfiguredZones> zones; // never null
};

class Resolution {
public:
    // `anchors` are the trust anchors at the start: a reload does not change them under a resolution.
    Resolution(const ResolverServices& services, std::shared_ptr<const dnssec::TrustAnchorStore> anchors,
        const UpstreamSettings& upstream, ResolutionBudget budget)
        : services_(services)
        , anchors_(std::move(anchors))
        , upstream_(upstream)
        , budget_(std::move(budget))
        , trace_(trace::currentScope())
    {
    }
    // Nested lookups on other fibers hold on to it.
    Resolution(const Resolution&) = delete;
    Resolution& operator=(const Resolution&) = delete;

    // (qname, qtype) from the network, never from the answer cache, `depth` levels below the client's
    // question, spending this resolution's budget. Joins the same question already in flight on this
    // thread for the same Recursor and policy, unless that would wait for itself.
    ResolveResultOr<ResolveResult> lookup(
        const DnsName& qname, QType qtype, std::uint8_t depth, ResolutionPolicy policy);
    // Each of `questions` as lookup() resolves it, side by side on fibers of their own when the caller runs
    // on one (one after another otherwise); the results in order. OutOfMemory when the questions cannot
    // even be set out.
    ResolveResultOr<std::vector<ResolveResultOr<ResolveResult>>> lookupAll(
        std::span<const Question> questions, std::uint8_t depth, ResolutionPolicy policy);
    // The client's question itself (depth 0): lookup() with the detail of a failure.
    ResolveOutcome resolve(const DnsName& qname, QType qtype, ResolutionPolicy policy);

    // Records why the resolution fails and where, when it happens; returns `kind`, so that a step can
    // `return std::unexpected(resolution.fail(...))`. The last one recorded is kept.
    ResolveError fail(
        ResolveError kind, const DnsName& zone, std::optional<SocketAddress> server = std::nullopt);
    // `kind` with the detail last recorded, when that was recorded for the same kind; else `kind` alone.
    ResolveFailure failureOf(ResolveError kind) const;

    Cache& cache() { return services_.cache; }
    DenialCache& denialCache() { return services_.denial_cache; }
    SignatureCache& signatures() { return services_.signatures; }
    InfraCache& infra() { return services_.infra; }
    UpstreamTransport& transport() { return services_.transport; }
    const NameserverSet& rootServers() const { return services_.root_servers; }
    std::span<const ForwardZone> forwardZones() const { return services_.zones->forward; }
    const AnswerLimits& limits() const { return services_.limits; }
    bool validationEnabled() const { return services_.validation_enabled; }
    std::uint16_t defaultNameserverPort() const { return services_.default_nameserver_port; }
    const LocalZones* localZones() const { return services_.zones->local.get(); }
    const dnssec::TrustAnchorStore& trustAnchors() const { return *anchors_; }
    const UpstreamSettings& upstream() const { return upstream_; }
    ResolutionBudget& budget() { return budget_; }
    // Whether the current lookup serves a lookup of nameserver addresses of this resolution, however
    // deeply nested: it spends the nameserver lookups' share of the budget too.
    bool insideNameserverLookup() const;

    // The account of this resolution for the operator (TRACE): the trace scope it started under, if any.
    // Callers build no text unless traceActive().
    bool traceActive() const { return trace_ != nullptr; }
    void traceLine(std::string text)
    {
        if (trace_ != nullptr)
            trace_->add(std::move(text));
    }

private:
    ResolverServices services_;
    std::shared_ptr<const dnssec::TrustAnchorStore> anchors_;
    UpstreamSettings upstream_;
    ResolutionBudget budget_;
    std::optional<ResolveFailure> failure_;
    trace::Scope* trace_;
};

} // namespace recursor
