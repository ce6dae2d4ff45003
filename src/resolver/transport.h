// The upstream side of one resolution step: the query packet sent to authoritative servers and the two
// entry points the resolution machine calls (one server, or several at once).
#pragma once

#include "base/socket_address.h"
#include "resolver/upstream_sockets.h"
#include "wire/constants.h"
#include "wire/name.h"

#include <cstdint>
#include <span>
#include <vector>

namespace recursor {

// Transport settings, one per server, read-only after start-up.
struct UpstreamEngine {
    std::uint32_t timeout_ms { 3000 };
    std::uint8_t attempts { 1 };
    bool tcp_fallback { true };
};

struct UpstreamRequest {
    std::vector<std::uint8_t> packet; // the complete query message
    std::uint16_t query_id { 0 };
};

// A random ID (arc4random_buf), all flags clear, the question, and an OPT record: payload 4096, DO set.
// OutOfMemory, QueryBuildError.
[[nodiscard]] TransportResult<UpstreamRequest> prepareUpstreamRequest(const DnsName& qname, QType qtype);

// One server: UDP from a pooled socket on a random port (port_pool.h), TCP when the answer comes back
// truncated.
[[nodiscard]] TransportResult<QueryResult> queryUpstream(
    const UpstreamEngine& engine, const SocketAddress& address, const DnsName& qname, QType qtype);

// Every address at once with one request (one ID); the first acceptable answer wins.
[[nodiscard]] TransportResult<QueryResult> queryUpstreamFanout(const UpstreamEngine& engine,
    std::span<const SocketAddress> addresses, const DnsName& qname, QType qtype);

// The seam between resolution and the network: a question sent to servers, a reply (or why none)
// back. Resolutions and the chain of trust ask only through it, so tests drive them with canned
// exchanges and no sockets.
class UpstreamTransport {
public:
    virtual ~UpstreamTransport() = default;
    // One exchange of (qname, qtype) with `servers`, none of them empty; the reply came from `from`.
    [[nodiscard]] virtual TransportResult<QueryResult> exchange(const UpstreamEngine& engine,
        std::span<const SocketAddress> servers, const DnsName& qname, QType qtype)
        = 0;
};

// The real one: one server alone (queryUpstream), several at once (queryUpstreamFanout).
class NetworkTransport final : public UpstreamTransport {
public:
    [[nodiscard]] TransportResult<QueryResult> exchange(const UpstreamEngine& engine,
        std::span<const SocketAddress> servers, const DnsName& qname, QType qtype) override;
};

} // namespace recursor
