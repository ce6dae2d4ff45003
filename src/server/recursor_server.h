// The UDP query service: one socket, a receiver thread, a bounded FIFO work queue and a worker pool,
// plus the optional HTTP metrics server and control socket.
#pragma once

#include "base/socket_address.h"
#include "ops/control_socket.h"
#include "ops/http_server.h"
#include "server/server_error.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace recursor {

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
    };

    static ServerResult<std::unique_ptr<RecursorServer>> init(InitOptions options);
    ~RecursorServer(); // runs stop()

    ServerResult<void> start();
    void stop();

    bool shouldStop() const { return should_stop_.load(); }
    void requestStop() { should_stop_.store(true); }
    const SocketAddress& listenAddr() const { return listen_addr_; }
    const std::optional<SocketAddress>& httpListenAddr() const { return http_listen_addr_; }

private:
    SocketAddress listen_addr_;
    std::optional<SocketAddress> http_listen_addr_;
    std::atomic<bool> should_stop_ { false };
};

} // namespace recursor
