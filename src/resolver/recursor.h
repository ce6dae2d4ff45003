// The resolver core shared by every event loop: the cache, the root servers and the resolution entry points.
#pragma once

#include "dnssec/trust_anchor.h"
#include "resolver/cache.h"
#include "resolver/denial_cache.h"
#include "resolver/infra_cache.h"
#include "resolver/machine.h"
#include "resolver/nameserver.h"
#include "resolver/policy.h"
#include "resolver/resolve_error.h"
#include "resolver/result_builder.h"
#include "resolver/signature_cache.h"
#include "resolver/transport.h"
#include "wire/name.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace recursor {

// What the resolver keeps and whom it asks, as the operator configured it.
struct AnswerLimits {
    std::uint32_t cache_max_ttl { 86400 }; // answers and delegations
    std::uint32_t cache_max_negative_ttl { 3600 }; // RFC 2308 §5
    std::uint32_t bogus_ttl { 60 }; // RFC 4035 §4.7
    bool aggressive_nsec { true }; // RFC 8198
    // Nameserver addresses learned from the network on loopback are asked (test setups only).
    bool allow_loopback_nameservers { false };
};

// The longest an unchecked answer fetched for CD clients is kept.
inline constexpr std::uint32_t unchecked_answer_seconds = 5;

// One question of several a resolution needs at once.
struct Question {
    DnsName name;
    QType type { QType::a };
};

struct RecursorOptions {
    bool validation_enabled { true };
    Cache::Clock clock; // wall clock for the cache; the system clock when empty
    CacheLimits cache_limits;
    std::optional<NameserverSet> root_servers; // the 13 built-in addresses when empty
    std::optional<dnssec::TrustAnchorStore> trust_anchors; // the built-in root keys when empty
    AnswerLimits limits;
    std::shared_ptr<UpstreamTransport> transport; // the network when empty
};

class Recursor {
public:
    static ResolveResultOr<std::unique_ptr<Recursor>> init(RecursorOptions options);
    static ResolveResultOr<std::unique_ptr<Recursor>> init(bool validation_enabled, Cache::Clock clock = {})
    {
        return init(RecursorOptions { .validation_enabled = validation_enabled, .clock = std::move(clock) });
    }

    // One question start to finish: the answer cache first, the network on a miss.
    ResolveResultOr<ResolveResult> resolveWithTransport(
        const UpstreamEngine& engine, const DnsName& qname, QType qtype);
    // An answer from validated denial ranges and wildcards alone (RFC 8198), when they prove one and
    // validation and aggressive use are on: cheap enough for the thread that receives questions.
    ResolveResultOr<std::optional<ResolveResult>> answerFromValidatedRanges(
        const DnsName& qname, QType qtype);
    // A client question that missed the answer cache: answered from validated denial ranges when they
    // prove it, else from the network with a budget of its own; a bogus outcome is remembered.
    ResolveResultOr<ResolveResult> resolveFromNetwork(
        const UpstreamEngine& engine, const DnsName& qname, QType qtype);
    // For a client that set CD (RFC 4035 §3.2.2) and would otherwise get SERVFAIL for bogus data: the
    // data as the servers give it, never validated and never put in the answer cache, so that no
    // client without CD is served it. It is kept apart for a few seconds (unchecked_answer_seconds, no
    // longer than bogus_ttl or its records' TTLs), so that repeating the question does not repeat the
    // upstream work.
    ResolveResultOr<ResolveResult> resolveUnchecked(
        const UpstreamEngine& engine, const DnsName& qname, QType qtype);
    // The unchecked answer kept for (qname, qtype), for CD clients only: never validated, AD clear.
    ResolveResultOr<std::optional<ResolveResult>> keptUncheckedAnswer(const DnsName& qname, QType qtype);
    // FLUSH: everything cached at and below `name` (answers, negative answers, delegations, zone keys,
    // denial ranges that may prove names there) and every lameness mark; the entries dropped.
    std::size_t flush(const DnsName& name);
    // Whether the answer cache remembers this question as bogus.
    bool knownBogus(const DnsName& qname, QType qtype);
    // Never reads the answer cache; nested resolutions call it directly and spend the outer budget.
    ResolveResultOr<ResolveResult> resolveFromNetworkWithPolicy(const UpstreamEngine& engine,
        const DnsName& qname, QType qtype, std::uint8_t depth, ResolutionPolicy policy,
        ResolutionBudget& budget);

    // Each of `questions` as resolveFromNetworkWithPolicy would resolve it, side by side on fibers of
    // their own when the caller runs on one (one after another otherwise); the results in order. They all
    // spend `budget`. OutOfMemory when the questions cannot even be set out.
    ResolveResultOr<std::vector<ResolveResultOr<ResolveResult>>> resolveConcurrently(
        const UpstreamEngine& engine, std::span<const Question> questions, std::uint8_t depth,
        ResolutionPolicy policy, ResolutionBudget& budget);

    Cache& cache() { return *cache_; }
    DenialCache& denialCache() { return *denial_cache_; }
    SignatureCache& signatures() { return signatures_; }
    UpstreamTransport& transport() { return *transport_; }
    InfraCache& infra() { return *infra_; }
    bool validationEnabled() const { return validation_enabled_; }
    std::uint16_t defaultNameserverPort() const { return default_nameserver_port_; }
    const NameserverSet& rootServers() const { return root_servers_; }
    const dnssec::TrustAnchorStore& trustAnchors() const { return trust_store_; }
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
        , trust_store_(std::move(trust_store))
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
    dnssec::TrustAnchorStore trust_store_;
    AnswerLimits limits_;
    std::shared_ptr<UpstreamTransport> transport_;
    std::uint16_t default_nameserver_port_ { 53 };
    bool validation_enabled_;
};

} // namespace recursor
