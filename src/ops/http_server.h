// A small HTTP/1.1 server for operators: GET /health, /metrics (Prometheus text exposition), /stats
// (JSON) and /zones. One request per connection, always closed afterwards; one accept thread plus one
// short-lived detached thread per connection.
#pragma once

#include "base/socket_address.h"
#include "base/thread.h"
#include "ops/metrics.h"
#include "ops/ops_error.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace recursor {

struct HttpServerConfig {
    std::uint32_t max_connections { 50 };
    // Who may connect; a peer it refuses is closed at accept, before any byte is read. Everyone when
    // empty.
    std::function<bool(const SocketAddress& peer)> admit_peer;
};

// What a request head asks for: only the method and the path matter (the query string is cut off);
// the version, the headers and any body are ignored. Views into the head.
struct HttpRequestLine {
    std::string_view method;
    std::string_view path;
};

// The request line of a head as read from a client: none when it lacks a method or a target.
std::optional<HttpRequestLine> parseHttpRequest(std::string_view head);

class HttpServer {
public:
    // Called on connection threads; the Metrics must outlive the server.
    using MetricsGetter = std::function<const Metrics&()>;
    // Returns the JSON body for /zones; an empty function means "not implemented" (501).
    using ZonesLister = std::function<OpsResult<std::string>()>;

    HttpServer(MetricsGetter metrics_getter, ZonesLister zones_lister, SocketAddress address,
        HttpServerConfig config);
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;
    ~HttpServer(); // runs stop()

    // Binds (SO_REUSEADDR only, backlog 128) and starts the accept thread.
    // AddressInUse, BindFailed, ListenFailed, SocketFailed, ThreadSpawnFailed, InvalidArgs (already running).
    [[nodiscard]] OpsResult<void> start();
    // Wakes and joins the accept thread, then waits until every connection thread has finished.
    // Idempotent.
    void stop();

    // The address actually bound (port 0 resolved); the configured one before start().
    const SocketAddress& boundAddress() const { return address_; }
    std::uint32_t activeHandlers() const { return active_handlers_.load(); }

private:
    void acceptLoop();
    void handleClient(int client_fd);
    void serveConnection(int client_fd);
    void route(int client_fd, std::string_view method, std::string_view path);
    void handleMetrics(int client_fd);
    void handleStats(int client_fd);
    void handleZones(int client_fd);

    MetricsGetter metrics_getter_;
    ZonesLister zones_lister_;
    Thread accept_thread_;
    SocketAddress address_;
    int listener_fd_ { -1 };
    std::atomic<std::uint32_t> active_handlers_ { 0 };
    HttpServerConfig config_;
    std::atomic<bool> should_stop_ { false };
};

// The head of one family in the Prometheus exposition, after the blank line that parts families.
void appendMetricFamily(
    std::string& out, std::string_view name, std::string_view help, std::string_view type);

} // namespace recursor
