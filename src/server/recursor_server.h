// The UDP query service: one socket, a receiver thread, a bounded FIFO work queue and a worker pool,
// plus the optional HTTP metrics server and control socket.
//
// The receiver only reads and queues; each worker answers one query completely and replies from the
// shared socket. Queue capacity and worker count are start-up options so that the hand-off can grow
// when resolutions spend seconds waiting upstream.
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
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace recursor {

// On a wildcard socket, the address a question was sent to, as the ancillary data (IP_PKTINFO or
// IPV6_PKTINFO) that makes the reply leave from that same address.
struct ReplySource {
    alignas(cmsghdr) std::array<std::uint8_t, CMSG_SPACE(sizeof(in6_pktinfo))> control {};
    std::size_t length { 0 };
};

struct PendingQuery {
    std::vector<std::uint8_t> packet; // a private copy of the datagram
    SocketAddress client_addr;
    ReplySource reply_source; // empty unless the socket listens on a wildcard address
};

class RecursorServer {
public:
    struct InitOptions {
        std::optional<std::string> control_socket_path;
        std::size_t queue_capacity { 256 };
        std::optional<std::size_t> worker_count;
        SocketAddress listen_addr;
        std::optional<SocketAddress> http_listen_addr;
        ControlSocketConfig control_socket_config;
        HttpServerConfig http_config;
        bool enable_dnssec { true };
        // Runs on the worker before each query is answered; tests use it to hold work in the queue.
        std::function<void()> before_answer;
    };

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
    std::size_t queuedCount();

    // One query start to finish. No value means: send nothing (the datagram is not a question).
    ServerResult<std::optional<std::vector<std::uint8_t>>> handleQuery(std::span<const std::uint8_t> packet);

    // The control socket's command table.
    OpsResult<std::string> controlHandler(std::string_view command, std::span<const std::string_view> args);

private:
    RecursorServer(InitOptions options, std::unique_ptr<Recursor> recursor, std::unique_ptr<Metrics> metrics);

    ServerResult<void> bindUdpSocket();
    ServerResult<void> startSideServers();
    ServerResult<void> startWorkers();
    void stopWorkers();
    void receiverLoop();
    void receiveOne(std::span<std::uint8_t> buffer, std::span<std::uint8_t> control);
    void workerLoop();
    void enqueueWork(PendingQuery query);
    std::optional<PendingQuery> takeWork();
    void answer(const PendingQuery& query);
    void closeSocket();

    InitOptions options_;
    std::unique_ptr<Recursor> recursor_;
    std::unique_ptr<Metrics> metrics_;
    UpstreamEngine upstream_;
    SocketAddress listen_addr_;
    std::optional<SocketAddress> http_listen_addr_;
    std::unique_ptr<ControlSocket> control_socket_;
    std::unique_ptr<HttpServer> http_server_;
    int socket_ { -1 };
    bool wildcard_listen_ { false }; // replies need the source address each question was sent to
    Thread receiver_thread_;
    std::vector<Thread> worker_threads_;
    std::deque<PendingQuery> work_queue_; // index 0 is the oldest
    std::mutex work_mutex_;
    std::condition_variable work_cond_;
    std::atomic<bool> worker_stop_ { false };
    std::atomic<bool> should_stop_ { false };
};

// FORMERR for a raw request, with RA set.
WireResult<std::vector<std::uint8_t>> buildFormErrResponse(std::span<const std::uint8_t> packet);
// SERVFAIL with the request's question, ID and RD bit, RA set, no OPT record.
WireResult<std::vector<std::uint8_t>> buildServfailResponse(const QueryParseContext& ctx);

} // namespace recursor
