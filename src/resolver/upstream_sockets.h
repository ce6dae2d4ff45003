// The socket work of the upstream transport: UDP to one address or to several at once, and TCP.
// A reply is accepted only from the exact address and port asked, with the query's ID and carrying the
// question that was sent (RFC 5452 §9.1); anything else is dropped like a stray datagram. Every
// attempt waits until a deadline fixed at its start, so a stream of strays cannot extend it.
#pragma once

#include "base/socket_address.h"
#include "resolver/port_pool.h"
#include "resolver/transport_error.h"
#include "wire/constants.h"
#include "wire/name.h"
#include "wire/record.h"

#include <cstdint>
#include <span>
#include <vector>

namespace recursor {

// A parsed upstream response with the raw bytes it refers into. Move-only: a moved vector keeps its heap
// block, so the views of `response` stay valid.
struct QueryResult {
    QueryResult() = default;
    QueryResult(const QueryResult&) = delete;
    QueryResult& operator=(const QueryResult&) = delete;
    QueryResult(QueryResult&&) = default;
    QueryResult& operator=(QueryResult&&) = default;

    std::vector<std::uint8_t> packet;
    DnsMessage response; // parsed from `packet`
    SocketAddress from; // the server that answered
};

// What a reply must echo besides the ID.
struct ExpectedQuestion {
    DnsName qname; // compared ignoring ASCII case
    QType qtype { QType::a };
    QClass qclass { QClass::in };
};

struct ResolverOptions {
    std::uint32_t timeout_ms { 3000 };
    std::uint8_t attempts { 1 };
    bool tcp_fallback { true };
};

// One server over UDP from a socket of the port pool (a fresh one when the pool has none to lend).
[[nodiscard]] TransportResult<QueryResult> queryWithPacket(const SocketAddress& address,
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question,
    const ResolverOptions& options);

// Several servers at once, one pooled socket each. An address whose socket cannot be opened, or whose send
// fails at once (no IPv6 on this host, say), is skipped; NetworkError only when no send succeeded.
[[nodiscard]] TransportResult<QueryResult> queryWithPacketFanout(std::span<const SocketAddress> addresses,
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question,
    const ResolverOptions& options);

// One TCP exchange (RFC 7766): two-byte length, then the message; the reply deadline bounds the whole read.
[[nodiscard]] TransportResult<QueryResult> queryTcp(const SocketAddress& address,
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question,
    std::uint32_t timeout_ms);

// One UDP query in flight from a pooled socket, for a caller that waits on several at once (the
// resolution's staggered asks). Its reply is accepted as queryWithPacket accepts one.
class UdpQuery {
public:
    // Sends `packet` to `server`. NetworkError when no socket or no send.
    [[nodiscard]] static TransportResult<UdpQuery> send(const SocketAddress& server,
        std::vector<std::uint8_t> packet, std::uint16_t query_id, ExpectedQuestion question);

    int fd() const { return socket_.fd(); }
    const SocketAddress& server() const { return server_; }
    // Reads what has arrived on the socket: the reply once it has come (asked again over TCP within
    // `options.timeout_ms` when it is truncated and that is allowed), none while it has not.
    [[nodiscard]] TransportResult<std::optional<QueryResult>> receive(const ResolverOptions& options);

private:
    UdpQuery(UdpPortPool::Lease socket, const SocketAddress& server, std::vector<std::uint8_t> packet,
        std::uint16_t query_id, ExpectedQuestion question);

    UdpPortPool::Lease socket_;
    SocketAddress server_;
    std::vector<std::uint8_t> packet_;
    std::uint16_t query_id_;
    ExpectedQuestion question_;
};

// Whether `packet` (at least 12 bytes) answers the query: same ID and exactly one question equal to
// `question`. A reply without the question (a bare header, as some servers send with FORMERR) is not
// one: it is dropped like a stray. Exposed for tests and the fuzz target.
[[nodiscard]] bool isReplyTo(
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question);

} // namespace recursor
