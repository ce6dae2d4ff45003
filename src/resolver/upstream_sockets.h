// The socket work of the upstream transport: UDP to one address or to several at once, and TCP.
// Every UDP exchange has a fresh socket of its own, connected to the server it asks: the kernel binds it
// to a port drawn at random from the whole ephemeral range (RFC 5452 §9.2) and then queues only that
// server's datagrams (§9.1), so a stranger can neither fill it with junk nor plant a reply ahead. A
// reply must also carry the query's ID and the question that was sent; any other datagram from the
// server is a stray, dropped and counted. Every attempt waits until a deadline fixed at its start, so
// a stream of strays cannot extend it.
#pragma once

#include "base/socket_address.h"
#include "base/unique_fd.h"
#include "resolver/transport_error.h"
#include "wire/constants.h"
#include "wire/name.h"
#include "wire/record.h"

#include <cstdint>
#include <optional>
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

// How long to wait for a server, how often to ask it, and whether a truncated reply is asked again over
// TCP: read-only after start-up.
struct UpstreamSettings {
    std::uint32_t timeout_ms { 3000 };
    std::uint8_t attempts { 1 };
    bool tcp_fallback { true };
    // RD (RFC 1035 §4.1.1): asked only of the resolvers a forward zone names; authorities get it clear.
    bool recursion_desired { false };
};

// One server over UDP from a fresh connected socket.
[[nodiscard]] TransportResult<QueryResult> queryWithPacket(const SocketAddress& address,
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question,
    const UpstreamSettings& options);

// Several servers at once, one connected socket each. An address whose socket cannot be opened, or whose send
// fails at once (no IPv6 on this host, say), is skipped; NetworkError only when no send succeeded.
[[nodiscard]] TransportResult<QueryResult> queryWithPacketFanout(std::span<const SocketAddress> addresses,
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question,
    const UpstreamSettings& options);

// One TCP exchange (RFC 7766): two-byte length, then the message; the reply deadline bounds the whole read.
[[nodiscard]] TransportResult<QueryResult> queryTcp(const SocketAddress& address,
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question,
    std::uint32_t timeout_ms);

// One UDP query in flight from a connected socket of its own, for a caller that waits on several at once (the
// resolution's staggered asks). Its reply is accepted as queryWithPacket accepts one.
class UdpQuery {
public:
    // Sends `packet` to `server`. NetworkError when no socket or no send.
    [[nodiscard]] static TransportResult<UdpQuery> send(const SocketAddress& server,
        std::vector<std::uint8_t> packet, std::uint16_t query_id, ExpectedQuestion question);

    int fd() const { return socket_.get(); }
    const SocketAddress& server() const { return server_; }
    // Reads what has arrived on the socket: the reply once it has come (asked again over TCP within
    // `options.timeout_ms` when it is truncated and that is allowed), none while it has not.
    [[nodiscard]] TransportResult<std::optional<QueryResult>> receive(const UpstreamSettings& options);

private:
    UdpQuery(UniqueFd socket, const SocketAddress& server, std::vector<std::uint8_t> packet,
        std::uint16_t query_id, ExpectedQuestion question);

    UniqueFd socket_;
    SocketAddress server_;
    std::vector<std::uint8_t> packet_;
    std::uint16_t query_id_;
    ExpectedQuestion question_;
};

// Raises the soft limit on open descriptors towards `wanted`, within the hard limit; the soft limit now.
// The first upstream socket asks for room for every exchange in flight (a soft limit of 1024 is common).
[[nodiscard]] std::uint64_t raiseDescriptorLimit(std::uint64_t wanted);

// A fresh UDP socket connected to `server`, on a port the kernel drew for it. Anything that reached
// it before connect() took hold is read away, so nothing queued before the question leaves can pass for
// its reply. NetworkError when no socket can be had, or `server` has no family or port.
[[nodiscard]] TransportResult<UniqueFd> openConnectedUdpSocket(const SocketAddress& server);

// What a datagram from the server asked is to the query (the socket has checked where it came from).
enum class ReplyVerdict {
    reply, // the query's ID, QR set, opcode QUERY, exactly the question sent
    error_without_question, // the query's ID, QR set, opcode QUERY, no question and an RCODE other than
                            // NOERROR: the bare header some servers send with FORMERR, SERVFAIL,
                            // REFUSED or NOTIMP, taken as that server's failure at once
    stray, // anything else: dropped, and counted
};
[[nodiscard]] ReplyVerdict judgeReply(
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question);

// Whether `packet` answers the query (judgeReply says reply). Exposed for tests and the fuzz target.
[[nodiscard]] bool isReplyTo(
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question);

// Stray datagrams from servers asked over UDP since the process started: another ID or question, QR
// clear, another opcode, too short, or a bare header with NOERROR.
[[nodiscard]] std::uint64_t upstreamStrayDatagrams();

} // namespace recursor
