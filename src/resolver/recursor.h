// The resolver core shared by every worker: the cache and the resolution entry points.
#pragma once

#include "resolver/recursor_cache.h"
#include "resolver/recursor_policy.h"
#include "resolver/recursor_result_builder.h"
#include "resolver/recursor_transport.h"
#include "resolver/resolve_error.h"
#include "wire/name.h"

#include <cstdint>
#include <memory>

namespace recursor {

class Recursor {
public:
    static ResolveResultOr<std::unique_ptr<Recursor>> init(bool validation_enabled, Cache::Clock clock = {});

    // The worker's entry point: the answer cache first, the network on a miss.
    ResolveResultOr<ResolveResult> resolveWithTransport(
        const UpstreamEngine& engine, const DnsName& qname, QType qtype);
    ResolveResultOr<ResolveResult> resolveFromNetwork(
        const UpstreamEngine& engine, const DnsName& qname, QType qtype);
    // Never reads the answer cache; nested resolutions call it directly.
    ResolveResultOr<ResolveResult> resolveFromNetworkWithPolicy(const UpstreamEngine& engine,
        const DnsName& qname, QType qtype, std::uint8_t depth, ResolutionPolicy policy);

    Cache& cache() { return *cache_; }
    bool validationEnabled() const { return validation_enabled_; }
    std::uint16_t defaultNameserverPort() const { return default_nameserver_port_; }

private:
    Recursor(std::unique_ptr<Cache> cache, bool validation_enabled)
        : cache_(std::move(cache))
        , validation_enabled_(validation_enabled)
    {
    }

    std::unique_ptr<Cache> cache_;
    std::uint16_t default_nameserver_port_ { 53 };
    bool validation_enabled_;
};

} // namespace recursor
