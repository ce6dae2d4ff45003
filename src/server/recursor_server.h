// The UDP query service: one socket, receiver threads (one per CPU) that answer everything they can at
// once (malformed requests, cache hits), a bounded queue of questions that need resolving, and a pool of
// resolver threads sized for waiting on the network rather than for CPUs. Identical questions in flight
// share one resolution; when the queue is full a new question is shed (counted) rather than blocking the
// receiver, so cache hits never wait behind slow resolutions.
#pragma once

#include "base/socket_address.h"
#include "base/thread.h"
#include "ops/control_socket.h"
#include "ops/http_server.h"
#include "ops/metrics.h"
#include "resolver/recursor.h"
#include "server/authoritative_protocol.h"
#include "server/server_error.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace recursor {

// On a wildcard socket, the address a question was sent to, as the ancillary data (IP_PKTINFO or
// IPV6_PKTINFO) that makes the reply leave from that same address.
struct ReplySource {
    alignas(cmsghdr) std::array<std::uint8_t, CMSG_SPACE(sizeof(in6_pktinfo))> control {};
    std::size_t length { 0 };
};

// A question waiting for its resolution, with everything its reply needs: the request (which `ctx`
// views into; a moved vector keeps its buffer), the client and the address to answer from.
struct PendingQuery {
    std::vector<std::uint8_t> packet;
    QueryParseContext ctx;
    SocketAddress client_addr;
    ReplySource reply_source; // empty unless the socket listens on a wildcard address
};

class RecursorServer {
public:
    struct InitOptions {
        std::optional<std::string> control_socket_path;
        // Questions waiting for a resolver thread; beyond it new questions are shed.
        std::size_t queue_capacity { 1024 };
        // Resolver threads at most (started as needed); the default suits hundreds of misses in flight.
        std::optional<std::size_t> worker_count;
        std::optional<std::size_t> receiver_count; // one per CPU when not set
        SocketAddress listen_addr;
        std::optional<SocketAddress> http_listen_addr;
        ControlSocketConfig control_socket_config;
        HttpServerConfig http_config;
        bool enable_dnssec { true };
        CacheLimits cache_limits;
        AnswerLimits limits; // cache lifetimes, aggressive NSEC, loopback nameservers
        std::optional<NameserverSet> root_servers;
        std::optional<dnssec::TrustAnchorStore> trust_anchors;
        UpstreamEngine upstream;
        std::shared_ptr<UpstreamTransport> transport; // the network when empty
    };

    static constexpr std::size_t default_worker_count = 512;
    // Threads reading the socket and answering from the cache: one per CPU, at most four.
    static constexpr std::size_t max_receiver_count = 4;
    // A resolver thread with nothing to do for this long ends.
    static constexpr std::chrono::milliseconds worker_idle_timeout { 2000 };
    // Clients asking the same question while it is being resolved; more are shed.
    static constexpr std::size_t max_waiters_per_question = 256;
    static constexpr std::size_t receive_buffer_size = 4096;
    static constexpr int receive_timeout_ms = 100;

    static ServerResult<std::unique_ptr<RecursorServer>> init(InitOptions options);
    RecursorServer(const RecursorServer&) = delete;
    RecursorServer& operator=(const RecursorServer&) = delete;
    ~RecursorServer(); // stop(), then release in reverse order of construction

    ServerResult<void> start();
    // Receiver first, then the workers once they have answered everything queued, then the socket,
    // then the side servers. Safe to call twice.
    void stop();

    bool shouldStop() const { return should_stop_.load(); }
    void requestStop() { should_stop_.store(true); }
    const SocketAddress& listenAddr() const { return listen_addr_; }
    const std::optional<SocketAddress>& httpListenAddr() const { return http_listen_addr_; }
    Metrics& metrics() { return *metrics_; }
    Recursor& recursorCore() { return *recursor_; }
    std::size_t computeWorkerCount() const;
    std::size_t receiverCount() const;
    std::size_t queuedCount();

    // One query start to finish on the calling thread. No value means: send nothing (the datagram is not
    // a question).
    ServerResult<std::optional<std::vector<std::uint8_t>>> handleQuery(std::span<const std::uint8_t> packet);
    std::size_t workerThreadCount();

    // The control socket's command table.
    OpsResult<std::string> controlHandler(std::string_view command, std::span<const std::string_view> args);

private:
    // What the receiver can do with a datagram without resolving.
    struct FrontAnswer {
        enum class Kind : std::uint8_t { reply, drop, resolve };
        Kind kind { Kind::drop };
        std::vector<std::uint8_t> reply;
    };
    using InFlightMap
        = std::unordered_map<CacheKey, std::vector<PendingQuery>, CacheKeyContext, CacheKeyContext>;

    RecursorServer(InitOptions options, std::unique_ptr<Recursor> recursor, std::unique_ptr<Metrics> metrics);

    ServerResult<void> bindUdpSocket();
    ServerResult<void> startSideServers();
    void stopWorkers();

    struct Batch;
    void receiverLoop();
    void receiveBatch(Batch& batch);
    void handleDatagram(std::span<const std::uint8_t> packet, const SocketAddress& client,
        const ReplySource& source, Batch& batch);
    void sendReplies(Batch& batch);
    // Parse, FORMERR, cache hit; `ctx` is filled for a question that needs resolving.
    ServerResult<FrontAnswer> answerFront(
        std::span<const std::uint8_t> packet, std::optional<QueryParseContext>& ctx);
    ServerResult<std::vector<std::uint8_t>> replyFromCache(const QueryParseContext& ctx, CacheHit hit);
    ServerResult<std::vector<std::uint8_t>> replyFromResolution(
        const QueryParseContext& ctx, const ResolveResultOr<ResolveResult>& resolved);
    ServerResult<std::vector<std::uint8_t>> servFail(const QueryParseContext& ctx);
    void enqueueMiss(PendingQuery query);

    // A resolver thread. An idle one waits on a condition variable of its own and is handed its next
    // question directly: waking one thread never wakes the others.
    struct Worker {
        Thread thread;
        std::condition_variable wake; // waited on with work_mutex_
        std::optional<PendingQuery> job; // under work_mutex_: handed over with `wake`
        bool started { false }; // under work_mutex_: the thread has asked for work
        bool idle { false }; // under work_mutex_: on the idle stack
        bool finished { false }; // under work_mutex_: the thread has left its loop and only needs joining
    };

    void startWorkerIfNeeded(); // under work_mutex_
    // Under work_mutex_: hands over the threads that have finished, to be joined after unlocking.
    std::vector<Thread> takeFinishedWorkers();
    void finishWorker(Worker& self); // under work_mutex_
    std::optional<PendingQuery> nextJob(Worker& self);
    void workerLoop(Worker& self);
    void resolveAndAnswer(PendingQuery& leader);
    void send(const PendingQuery& query, ServerResult<std::vector<std::uint8_t>> reply);
    void closeSocket();

    InitOptions options_;
    std::unique_ptr<Recursor> recursor_;
    std::unique_ptr<Metrics> metrics_;
    SocketAddress listen_addr_;
    std::optional<SocketAddress> http_listen_addr_;
    std::unique_ptr<ControlSocket> control_socket_;
    std::unique_ptr<HttpServer> http_server_;
    int socket_ { -1 };
    bool wildcard_listen_ { false }; // replies need the source address each question was sent to
    std::vector<Thread> receiver_threads_;
    std::list<Worker> workers_; // under work_mutex_; list nodes stay put while their threads run
    std::size_t live_workers_ { 0 }; // under work_mutex_: workers not yet finished
    std::size_t finished_workers_ { 0 }; // under work_mutex_: finished, not yet joined
    std::vector<Worker*> idle_workers_; // under work_mutex_: most recently idle last
    bool worker_starting_ { false }; // under work_mutex_: a new thread has yet to ask for work
    std::deque<PendingQuery> work_queue_; // index 0 is the oldest
    InFlightMap in_flight_; // questions queued or being resolved, with the clients that joined them
    std::mutex work_mutex_;
    bool worker_stop_ { false }; // under work_mutex_
    std::atomic<bool> should_stop_ { false };
};

// FORMERR for a raw request, with RA set.
WireResult<std::vector<std::uint8_t>> buildFormErrResponse(std::span<const std::uint8_t> packet);
// SERVFAIL with the request's question, ID and RD bit, RA set, no OPT record.
WireResult<std::vector<std::uint8_t>> buildServfailResponse(const QueryParseContext& ctx);

} // namespace recursor
