// The resolver core shared by every event loop: the cache, the root servers and the resolution entry points.
#pragma once

#include "base/published.h"
#include "dnssec/trust_anchor.h"
#include "resolver/cache.h"
#include "resolver/denial_cache.h"
#include "resolver/forward_zone.h"
#include "resolver/infra_cache.h"
#include "resolver/local_zone.h"
#include "resolver/nameserver.h"
#include "resolver/policy.h"
#include "resolver/resolution.h"
#include "resolver/resolve_error.h"
#include "resolver/result_builder.h"
#include "resolver/signature_cache.h"
#include "resolver/transport.h"
#include "wire/name.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace recursor {

// The longest an unchecked answer fetched for CD clients is kept.
inline constexpr std::uint32_t unchecked_answer_seconds = 5;

// RFC 8914 §4.4 and §4.20: what a client is told of an answer served stale (RFC 8767).
inline constexpr std::uint16_t extended_error_stale_answer = 3;
inline constexpr std::uint16_t extended_error_stale_nxdomain = 19;

struct RecursorOptions {
    bool validation_enabled { true };
    Cache::Clock clock; // wall clock for the cache; the system clock when empty
    CacheLimits cache_limits;
    std::optional<NameserverSet> root_servers; // the 13 built-in addresses when empty
    std::optional<dnssec::TrustAnchorStore> trust_anchors; // the built-in root keys when empty
    AnswerLimits limits;
    std::shared_ptr<UpstreamTransport> transport; // the network when empty
    std::vector<ForwardZone> forward_zones; // [forward:] and [stub:] sections
    // cache_strategy = none, a debugging aid: no answer, negative answer or delegation is kept, so every
    // question is resolved afresh (questions in flight are still shared).
    bool cache_nothing { false };
    std::shared_ptr<const LocalZones> local_zones; // none when empty
    // serve_stale (RFC 8767): answers are kept this long past their expiry, to be served when their
    // servers do not answer; 0 keeps none.
    std::uint32_t stale_window_seconds { 0 };
};

class Recursor {
public:
    static ResolveResultOr<std::unique_ptr<Recursor>> init(RecursorOptions options);
    static ResolveResultOr<std::unique_ptr<Recursor>> init(bool validation_enabled, Cache::Clock clock = {})
    {
        return init(RecursorOptions { .validation_enabled = validation_enabled, .clock = std::move(clock) });
    }

    // The three client entry points below fail with the kind, the zone at fault and the last server asked
    // there (ResolveFailure); a question remembered as bogus fails with its kind alone.
    // The answer of the local zone that holds qname, ahead of the answer cache and the network: nothing
    // when no configured zone holds it.
    ResolveResultOr<std::optional<ResolveResult>> answerLocally(const DnsName& qname, QType qtype) const;
    // The local, forward and stub zones of now; the holder keeps them whatever a reload does.
    std::shared_ptr<const ConfiguredZones> zones() const { return zones_.current(); }
    // A reload's zones, swapped in whole: resolutions in flight keep the ones they started with. What was
    // cached under a zone that is added, removed or changed (its records, or its servers and flags) is
    // flushed; the other zones keep their cache. Returns the names flushed.
    std::vector<DnsName> replaceZones(
        std::shared_ptr<const LocalZones> local, std::vector<ForwardZone> forward);
    // One question start to finish: the answer cache first, the network on a miss.
    ResolveOutcome resolveWithTransport(const UpstreamSettings& upstream, const DnsName& qname, QType qtype);
    // An answer from validated denial ranges and wildcards alone (RFC 8198), when they prove one and
    // validation and aggressive use are on: cheap enough for the thread that receives questions.
    ResolveResultOr<std::optional<ResolveResult>> answerFromValidatedRanges(
        const DnsName& qname, QType qtype);
    // A client question that missed the answer cache: answered from validated denial ranges when they
    // prove it, else from the network with a budget of its own; a bogus outcome is remembered.
    ResolveOutcome resolveFromNetwork(const UpstreamSettings& upstream, const DnsName& qname, QType qtype);
    // For a client that set CD (RFC 4035 §3.2.2) and would otherwise get SERVFAIL for bogus data: the
    // data as the servers give it, never validated and never put in the answer cache, so that no
    // client without CD is served it. It is kept apart for a few seconds (unchecked_answer_seconds, no
    // longer than bogus_ttl or its records' TTLs), so that repeating the question does not repeat the
    // upstream work.
    ResolveOutcome resolveUnchecked(const UpstreamSettings& upstream, const DnsName& qname, QType qtype);
    // The unchecked answer kept for (qname, qtype), for CD clients only: never validated, AD clear.
    ResolveResultOr<std::optional<ResolveResult>> keptUncheckedAnswer(const DnsName& qname, QType qtype);
    // FLUSH: everything cached at and below `name` (answers, negative answers, delegations, zone keys,
    // denial ranges that may prove names there) and every lameness mark; the entries dropped.
    std::size_t flush(const DnsName& name);
    // The answer (qname, qtype) had before it expired, for a client whose servers do not answer (RFC 8767
    // §4): every TTL stale_answer_ttl, EDE 3 (Stale Answer), EDE 19 for an NXDOMAIN. Nothing when
    // serve-stale is off or none is kept; never data that failed validation.
    ResolveResultOr<std::optional<ResolveResult>> staleAnswer(const DnsName& qname, QType qtype);
    bool servesStale() const { return serves_stale_; }
    // Whether the answer cache remembers this question as bogus.
    bool knownBogus(const DnsName& qname, QType qtype);
    // A resolution of one client question with a fresh budget, the anchors of now and these settings.
    // It borrows this Recursor's caches and transport: it must not outlive the Recursor.
    Resolution startResolution(const UpstreamSettings& upstream);

    Cache& cache() { return *cache_; }
    DenialCache& denialCache() { return *denial_cache_; }
    SignatureCache& signatures() { return signatures_; }
    UpstreamTransport& transport() { return *transport_; }
    InfraCache& infra() { return *infra_; }
    bool validationEnabled() const { return validation_enabled_; }
    // What validated the cached data: a digest (FNV-1a, 32 bits) of the trust anchors and whether
    // validation is on. A saved cache is read back only under the same context.
    std::uint32_t validationContext() const;
    std::uint16_t defaultNameserverPort() const { return default_nameserver_port_; }
    const NameserverSet& rootServers() const { return root_servers_; }
    // A reload may replace the anchors while questions are being validated: each user holds the set it
    // started with.
    std::shared_ptr<const dnssec::TrustAnchorStore> trustAnchors() const
    {
        std::lock_guard lock(trust_store_mutex_);
        return trust_store_;
    }
    // Installs new anchors; when they differ from the old ones every cache is emptied, since what was
    // validated from the old anchors no longer vouches for anything. Returns whether they differed.
    bool replaceTrustAnchors(dnssec::TrustAnchorStore anchors);
    const AnswerLimits& limits() const { return limits_; }

private:
    Recursor(std::unique_ptr<Cache> cache, std::unique_ptr<Cache> unchecked,
        std::unique_ptr<DenialCache> denial_cache, std::unique_ptr<InfraCache> infra,
        std::size_t signature_capacity, bool validation_enabled, const NameserverSet& roots,
        dnssec::TrustAnchorStore trust_store, const AnswerLimits& limits,
        std::shared_ptr<UpstreamTransport> transport)
        : cache_(std::move(cache))
        , unchecked_(std::move(unchecked))
        , denial_cache_(std::move(denial_cache))
        , infra_(std::move(infra))
        , signatures_(signature_capacity)
        , root_servers_(roots)
        , trust_store_(std::make_shared<const dnssec::TrustAnchorStore>(std::move(trust_store)))
        , limits_(limits)
        , transport_(std::move(transport))
        , validation_enabled_(validation_enabled)
    {
    }

    ResolveResultOr<void> keepUnchecked(const DnsName& qname, QType qtype, const ResolveResult& result);

    std::unique_ptr<Cache> cache_;
    // Answers fetched unchecked for CD clients: apart from cache_, so that nobody else is served them.
    std::unique_ptr<Cache> unchecked_;
    std::unique_ptr<DenialCache> denial_cache_;
    std::unique_ptr<InfraCache> infra_;
    SignatureCache signatures_;
    NameserverSet root_servers_;
    // Read by every loop on every question and replaced by reloads: Published takes no lock on that path.
    Published<ConfiguredZones> zones_ { std::make_shared<const ConfiguredZones>() };
    bool cache_nothing_ { false };
    bool serves_stale_ { false };
    mutable std::mutex trust_store_mutex_;
    std::shared_ptr<const dnssec::TrustAnchorStore> trust_store_;
    AnswerLimits limits_;
    std::shared_ptr<UpstreamTransport> transport_;
    std::uint16_t default_nameserver_port_ { 53 };
    bool validation_enabled_;
};

} // namespace recursor
