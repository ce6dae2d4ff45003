// The UDP query service: one event loop per CPU, each with a socket of its own on the listen address
// (SO_REUSEPORT spreads clients over them). A loop answers at once everything it can (malformed
// requests, cache hits, proofs from validated denial ranges) and starts a fiber for each question that
// needs resolving; the fiber hands the thread back whenever it waits on the network. Identical questions
// in flight on a loop share one resolution; beyond a bound of resolutions in flight a new question is
// shed (counted), so cache hits never wait behind slow resolutions.
#pragma once

#include "base/event_loop.h"
#include "base/socket_address.h"
#include "base/thread.h"
#include "base/unique_fd.h"
#include "ops/control_socket.h"
#include "ops/http_server.h"
#include "ops/log_budget.h"
#include "ops/metrics.h"
#include "resolver/recursor.h"
#include "server/access_list.h"
#include "server/authoritative_protocol.h"
#include "server/client_stream.h"
#include "server/reply_shaping.h"
#include "server/server_error.h"
#include "server/stream_slots.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace recursor {

// Where a UDP reply leaves from: the socket its question came in on (one per listen address) and, on a
// wildcard socket, the address the question was sent to, as the ancillary data (IP_PKTINFO or
// IPV6_PKTINFO) that makes the reply leave from that same address.
struct ReplySource {
    alignas(cmsghdr) std::array<std::uint8_t, CMSG_SPACE(sizeof(in6_pktinfo))> control {};
    std::size_t length { 0 };
    int socket { -1 };
};

// A question waiting for its resolution, with everything its reply needs: the request (which `ctx`
// views into; a moved vector keeps its buffer), the client and the address to answer from, or the
// connection it came on.
struct PendingQuery {
    std::vector<std::uint8_t> packet;
    QueryParseContext ctx;
    SocketAddress client_addr;
    ReplySource reply_source; // empty unless the socket listens on a wildcard address
    std::shared_ptr<ClientStream> stream; // set for TCP and TLS
    std::int64_t received_us { 0 }; // monotonic
};

class RecursorServer {
public:
    struct InitOptions {
        std::optional<std::string> control_socket_path;
        // Resolutions in flight per event loop; beyond it new questions are shed.
        std::size_t resolution_capacity { 1024 };
        std::optional<std::size_t> loop_count; // one per CPU when not set
        SocketAddress listen_addr;
        std::vector<SocketAddress> more_listen_addrs; // served like listen_addr, UDP and TCP each
        std::optional<SocketAddress> http_listen_addr;
        ControlSocketConfig control_socket_config;
        HttpServerConfig http_config;
        bool enable_dnssec { true };
        CacheLimits cache_limits;
        AnswerLimits limits; // cache lifetimes, aggressive NSEC, loopback nameservers
        std::optional<NameserverSet> root_servers;
        std::optional<dnssec::TrustAnchorStore> trust_anchors;
        UpstreamSettings upstream;
        std::shared_ptr<UpstreamTransport> transport; // the network when empty
        std::uint16_t edns_buffer_size { default_edns_buffer_size };
        StreamLimits stream_limits;
        std::size_t max_streams { 100 }; // TCP and TLS connections of the whole server
        std::size_t max_streams_per_client { 10 }; // per client address, or per IPv6 /64
        std::optional<SocketAddress> tls_listen_addr;
        std::string tls_cert_file;
        std::string tls_key_file;
        AccessList allowed_clients = AccessList::loopbackOnly(); // others get REFUSED
        std::uint32_t client_rate_limit { 0 }; // questions per second per client address; 0: none
        unsigned client_rate_limit_ipv6_prefix { ClientRateLimit::default_ipv6_prefix_bits };
        std::optional<AccessList> http_allowed_clients; // those of `allowed_clients` when not set
        bool log_queries { false }; // one info line per client question
        std::string trust_anchor_source; // for the start-up line: a file, or empty for the built-in keys
    };

    // Event loops: one per CPU, at most this many.
    static constexpr std::size_t max_loop_count = 16;
    // Clients asking the same question while it is being resolved; more are shed.
    static constexpr std::size_t max_waiters_per_question = 256;
    static constexpr std::size_t receive_buffer_size = 4096;
    // SERVFAIL lines in the log; the others are counted and told in the next line written.
    static constexpr std::uint32_t servfail_lines_per_second = 10;

    static ServerResult<std::unique_ptr<RecursorServer>> init(InitOptions options);
    RecursorServer(const RecursorServer&) = delete;
    RecursorServer& operator=(const RecursorServer&) = delete;
    ~RecursorServer(); // stop(), then release in reverse order of construction

    ServerResult<void> start();
    // The loops first: no new questions are read, every wait on the network ends at once, and each
    // question in flight is answered as its resolution winds up. Then the sockets and the side servers.
    // Safe to call twice.
    void stop();

    bool shouldStop() const { return should_stop_.load(); }
    void requestStop() { should_stop_.store(true); }
    // The first listen address, with the port the kernel picked for port 0 once started.
    const SocketAddress& listenAddr() const { return listen_addrs_.front(); }
    const std::vector<SocketAddress>& listenAddrs() const { return listen_addrs_; }
    const std::optional<SocketAddress>& httpListenAddr() const { return http_listen_addr_; }
    const std::optional<SocketAddress>& tlsListenAddr() const { return options_.tls_listen_addr; }
    Metrics& metrics() { return *metrics_; }
    Recursor& recursorCore() { return *recursor_; }
    // A reload's new trust anchors; the caches are emptied when they differ. Returns whether they did.
    bool replaceTrustAnchors(dnssec::TrustAnchorStore anchors);
    std::size_t loopCount() const;
    // Resolutions in flight on every loop.
    std::size_t resolutionsInFlight() const;

    // One query start to finish on the calling thread. No value means: send nothing (the datagram is not
    // a question).
    ServerResult<std::optional<std::vector<std::uint8_t>>> handleQuery(std::span<const std::uint8_t> packet);

    // The control socket's command table.
    OpsResult<std::string> controlHandler(std::string_view command, std::span<const std::string_view> args);

private:
    // Whether a client is served: refused questions get REFUSED, dropped ones nothing.
    enum class Admission : std::uint8_t { answer, refuse, drop };
    // What the receiver can do with a datagram without resolving.
    struct FrontAnswer {
        enum class Kind : std::uint8_t { reply, drop, resolve };
        Kind kind { Kind::drop };
        std::vector<std::uint8_t> reply;
        CacheOutcome outcome { CacheOutcome::not_applicable }; // hit for answers from the caches
    };
    using InFlightMap
        = std::unordered_map<CacheKey, std::vector<PendingQuery>, CacheKeyContext, CacheKeyContext>;

    RecursorServer(InitOptions options, std::unique_ptr<Recursor> recursor, std::unique_ptr<Metrics> metrics);

    struct Batch;
    // One event loop and what only its thread touches.
    struct UdpSocket {
        int fd { -1 };
        bool wildcard { false }; // replies need the address each question was sent to
    };
    struct Loop {
        std::unique_ptr<EventLoop> events;
        std::vector<UdpSocket> sockets; // one per listen address, in the order of listen_addrs_
        Thread thread;
        std::unique_ptr<Batch> batch;
        InFlightMap in_flight; // questions being resolved, with the clients that joined them
        std::atomic<std::size_t> resolving { 0 };
        std::vector<int> stream_listeners; // TCP on each listen address, then TLS when configured
        std::unique_ptr<ClientRateLimit> rate_limit;
    };
    Admission admission(Loop& loop, const SocketAddress& client, ReplyChannel channel);

    ServerResult<int> bindUdpSocket(const SocketAddress& address, bool wildcard);
    ServerResult<SocketAddress> claimAddress(const SocketAddress& wanted, bool with_udp);
    ServerResult<void> claimListenAddresses();
    ServerResult<int> bindStreamListener(const SocketAddress& address, bool ipv6_only = false);
    ServerResult<void> listenForStreams(Loop& loop);
    void acceptStreams(Loop& loop, int listener, bool tls);
    void startStream(Loop& loop, UniqueFd fd, const SocketAddress& peer, StreamSlots::Id slot, bool tls);
    bool handleStreamMessage(
        Loop& loop, const std::shared_ptr<ClientStream>& stream, std::span<const std::uint8_t> packet);
    ServerResult<void> startLoops();
    ServerResult<void> startSideServers();

    void receiveBatches(Loop& loop, const UdpSocket& socket);
    // Whether the socket had datagrams.
    bool receiveBatch(Loop& loop, const UdpSocket& socket);
    void handleDatagram(std::span<const std::uint8_t> packet, const SocketAddress& client,
        const ReplySource& source, Loop& loop, std::int64_t received_us);
    // What the server knows of a reply as it leaves, for the metrics and the query log.
    struct ReplyNote {
        const SocketAddress& client;
        Transport transport;
        CacheOutcome outcome; // not_applicable: not an answer to a question resolved or looked up
        std::int64_t received_us;
    };
    void recordReply(std::span<const std::uint8_t> reply, const ReplyNote& note);
    void logQuery(std::span<const std::uint8_t> reply, const ReplyNote& note, std::int64_t elapsed_us);
    void logServFail(const QueryParseContext& ctx, ResolveError why);
    void logStartup();
    void sendReplies(Loop& loop);
    // Parse, FORMERR, cache hit; `ctx` is filled for a question that needs resolving.
    ServerResult<FrontAnswer> answerFront(std::span<const std::uint8_t> packet,
        std::optional<QueryParseContext>& ctx, ReplyChannel channel, Admission admitted = Admission::answer);
    // NOTIMP, BADVERS or REFUSED for a question this server does not resolve.
    std::optional<std::uint16_t> refusal(const QueryParseContext& ctx) const;
    ServerResult<std::vector<std::uint8_t>> replyFromCache(
        const QueryParseContext& ctx, CacheHit hit, ReplyChannel channel);
    ServerResult<std::vector<std::uint8_t>> replyFromResolution(
        const QueryParseContext& ctx, const ResolveResultOr<ResolveResult>& resolved, ReplyChannel channel);
    ServerResult<std::vector<std::uint8_t>> servFail(const QueryParseContext& ctx, ResolveError why);
    ServerResult<std::vector<std::uint8_t>> rcodeReply(const QueryParseContext& ctx, std::uint16_t rcode,
        std::optional<std::uint16_t> extended_error = std::nullopt);
    void startResolution(Loop& loop, PendingQuery query);
    void resolveAndAnswer(Loop& loop, const PendingQuery& leader);
    void queueReply(Loop& loop, const PendingQuery& query, ServerResult<std::vector<std::uint8_t>> reply);
    void closeSockets();
    // TRACE: the question resolved afresh by a resolver of its own (empty caches, the same roots, trust
    // anchors, limits and transport), so that the server's caches are neither read nor changed.
    std::string traceResolution(const DnsName& name, QType type);
    // The caches' sizes and the upstream counters, for /metrics.
    std::string resolverExposition() const;

    InitOptions options_;
    std::unique_ptr<Recursor> recursor_;
    std::unique_ptr<Metrics> metrics_;
    std::vector<SocketAddress> listen_addrs_; // UDP and TCP; the bound ports once started
    std::vector<UniqueFd> address_locks_; // see claimAddress
    bool ipv6_only_ { false }; // IPv6 listen sockets serve IPv6 only (with several listen addresses)
    std::optional<SocketAddress> http_listen_addr_;
    std::unique_ptr<ControlSocket> control_socket_;
    std::unique_ptr<HttpServer> http_server_;
    StreamSlots stream_slots_; // before the loops, whose connections release their slots here
    std::vector<std::unique_ptr<Loop>> loops_;
    std::shared_ptr<SSL_CTX> tls_context_;
    std::atomic<bool> should_stop_ { false };
    LogBudget servfail_log_ { servfail_lines_per_second };
};

// FORMERR for a raw request, with RA set.
WireResult<std::vector<std::uint8_t>> buildFormErrResponse(
    std::span<const std::uint8_t> packet, std::uint16_t edns_buffer_size = default_edns_buffer_size);

} // namespace recursor
