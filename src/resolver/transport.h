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

struct UpstreamRequest {
    std::vector<std::uint8_t> packet; // the complete query message
    std::uint16_t query_id { 0 };
};

// A random ID (randomBytes), all flags clear but RD when `recursion_desired`, the question, and an OPT
// record: payload 1232, DO set, and the COOKIE option for `cookie_for` when given (RFC 7873 §5.1).
// OutOfMemory, QueryBuildError.
[[nodiscard]] TransportResult<UpstreamRequest> prepareUpstreamRequest(const DnsName& qname, QType qtype,
    bool recursion_desired = false, const SocketAddress* cookie_for = nullptr);

// Whether a reply's RCODE, with the upper bits of its OPT record, is BADCOOKIE (RFC 7873 §8).
[[nodiscard]] bool isBadCookie(const DnsMessage& reply);

// One server: UDP from a fresh socket connected to it (upstream_sockets.h), TCP when the answer comes
// back truncated; with our cookie for it, and once more with its fresh cookie after a BADCOOKIE.
[[nodiscard]] TransportResult<QueryResult> queryUpstream(
    const UpstreamSettings& upstream, const SocketAddress& address, const DnsName& qname, QType qtype);

// Every address at once with one request (one ID); the first acceptable answer wins.
[[nodiscard]] TransportResult<QueryResult> queryUpstreamFanout(const UpstreamSettings& upstream,
    std::span<const SocketAddress> addresses, const DnsName& qname, QType qtype);

// One server of a step and how long to wait for it before asking the next one as well.
struct ServerAttempt {
    SocketAddress server;
    std::uint32_t timeout_ms { 0 };
};

// What a race tells the resolution as it goes, so that every server's conduct is learned.
class RaceObserver {
public:
    virtual void asked(const SocketAddress& server) = 0;
    virtual void replied(const SocketAddress& server, std::int64_t rtt_ms) = 0;
    virtual void timedOut(const SocketAddress& server) = 0;
    // Whether this reply ends the race. A refusal or failure does not: the next server is asked at once.
    virtual bool settles(const SocketAddress& server, const DnsMessage& reply) = 0;

protected:
    ~RaceObserver() = default;
};

// At most this many servers of one step are waited on at once.
inline constexpr std::size_t max_servers_in_flight = 3;

// The seam between resolution and the network: a question sent to servers, a reply (or why none)
// back. Resolutions and the chain of trust ask only through it, so tests drive them with canned
// exchanges and no sockets.
class UpstreamTransport {
public:
    virtual ~UpstreamTransport() = default;
    // One exchange of (qname, qtype) with `servers`, none of them empty; the reply came from `from`.
    [[nodiscard]] virtual TransportResult<QueryResult> exchange(const UpstreamSettings& upstream,
        std::span<const SocketAddress> servers, const DnsName& qname, QType qtype)
        = 0;
    // The servers of one step, asked in order: the next one as soon as the latest has had its timeout
    // or an earlier reply did not settle, with up to max_servers_in_flight waited on at once, until a
    // reply settles or `deadline_ms` (monotonic) passes. Timeout when none settled. This one asks one
    // server at a time through exchange(), which suits transports without sockets.
    [[nodiscard]] virtual TransportResult<QueryResult> race(const UpstreamSettings& upstream,
        std::span<const ServerAttempt> attempts, const DnsName& qname, QType qtype, std::int64_t deadline_ms,
        RaceObserver& observer);
};

// The real one: one server alone (queryUpstream), several at once (queryUpstreamFanout), and races
// whose servers overlap in time.
class NetworkTransport final : public UpstreamTransport {
public:
    [[nodiscard]] TransportResult<QueryResult> exchange(const UpstreamSettings& upstream,
        std::span<const SocketAddress> servers, const DnsName& qname, QType qtype) override;
    [[nodiscard]] TransportResult<QueryResult> race(const UpstreamSettings& upstream,
        std::span<const ServerAttempt> attempts, const DnsName& qname, QType qtype, std::int64_t deadline_ms,
        RaceObserver& observer) override;
};

} // namespace recursor
