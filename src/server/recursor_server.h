// The DNS service: one event loop per CPU (at most max_loop_count), each with a UDP socket and a TCP
// listener of its own on every listen address (SO_REUSEPORT spreads clients over them), and TLS and
// DoH listeners when configured. The server claims the addresses, starts and stops the loops, and holds
// what they share: the resolver, the metrics, the stream slots, the front that answers and the control
// commands. The listeners (udp_listener.h, stream_listener.h, doh_listener.h) hand every message to the
// front (front.h).
#pragma once

#include "base/event_loop.h"
#include "base/socket_address.h"
#include "base/thread.h"
#include "base/unique_fd.h"
#include "ops/control_socket.h"
#include "ops/http_server.h"
#include "ops/metrics.h"
#include "resolver/recursor.h"
#include "server/control_commands.h"
#include "server/doh_listener.h"
#include "server/front.h"
#include "server/server_error.h"
#include "server/server_options.h"
#include "server/stream_listener.h"
#include "server/stream_slots.h"
#include "server/udp_listener.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace recursor {

class RecursorServer {
public:
    using InitOptions = ServerOptions;

    // Event loops: one per CPU, at most this many.
    static constexpr std::size_t max_loop_count = 16;

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
    const std::optional<SocketAddress>& dohListenAddr() const { return options_.doh_listen_addr; }
    Metrics& metrics() { return *metrics_; }
    Recursor& recursorCore() { return *recursor_; }
    // A reload's new trust anchors; the caches are emptied when they differ. Returns whether they did.
    bool replaceTrustAnchors(dnssec::TrustAnchorStore anchors);
    // A reload's zones and policy, swapped in while the loops serve (Recursor::replaceZones,
    // Front::setResponsePolicy); returns the zone names whose cache was flushed.
    std::vector<DnsName> replaceZones(
        std::shared_ptr<const LocalZones> local, std::vector<ForwardZone> forward);
    void replaceResponsePolicy(std::shared_ptr<const RpzSet> policy);
    std::shared_ptr<const RpzSet> responsePolicy() const { return front_.responsePolicy(); }
    // What SIGHUP and RELOAD run, set before start(); it returns RELOAD's reply.
    void setReloader(std::function<std::string()> reloader) { reloader_ = std::move(reloader); }
    // One reload at a time, whether a signal or the control socket asked for it.
    std::string reload();
    std::size_t loopCount() const;
    // Resolutions in flight on every loop.
    std::size_t resolutionsInFlight() const;

    // One query start to finish on the calling thread. No value means: send nothing (the datagram is not
    // a question).
    ServerResult<std::optional<std::vector<std::uint8_t>>> handleQuery(std::span<const std::uint8_t> packet);

    // The control socket's command table.
    OpsResult<std::string> controlHandler(std::string_view command, std::span<const std::string_view> args);

private:
    RecursorServer(InitOptions options, std::unique_ptr<Recursor> recursor, std::unique_ptr<Metrics> metrics);

    // One event loop and its listeners; only its thread touches them.
    struct Loop {
        std::unique_ptr<EventLoop> events;
        Thread thread;
        FrontLoop front; // questions in flight, the rate limit
        std::unique_ptr<UdpListener> udp;
        std::unique_ptr<StreamListener> streams;
        std::unique_ptr<DohListener> doh; // with doh_listen
    };

    ServerResult<SocketAddress> claimAddress(const SocketAddress& wanted, bool with_udp);
    ServerResult<void> claimListenAddresses();
    ServerResult<void> startLoops();
    ServerResult<void> startSideServers();

    void logStartup();
    void closeSockets();

    InitOptions options_;
    std::unique_ptr<Recursor> recursor_;
    std::unique_ptr<Metrics> metrics_;
    Front front_;
    ControlCommands commands_;
    std::vector<SocketAddress> listen_addrs_; // UDP and TCP; the bound ports once started
    std::vector<UniqueFd> address_locks_; // see claimAddress
    bool ipv6_only_ { false }; // IPv6 listen sockets serve IPv6 only (with several listen addresses)
    std::optional<SocketAddress> http_listen_addr_;
    std::unique_ptr<ControlSocket> control_socket_;
    std::unique_ptr<HttpServer> http_server_;
    StreamSlots stream_slots_; // before the loops, whose connections release their slots here
    std::vector<std::unique_ptr<Loop>> loops_;
    std::shared_ptr<SSL_CTX> tls_context_;
    std::shared_ptr<SSL_CTX> doh_tls_context_; // offers ALPN h2 alone
    std::atomic<bool> should_stop_ { false };
    std::function<std::string()> reloader_;
    std::mutex reload_mutex_;
};

} // namespace recursor
