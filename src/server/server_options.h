// What a server is started with: its addresses, limits and side servers. Every part of the server (the
// listeners, the front, the control commands) reads the one copy its RecursorServer keeps.
#pragma once

#include "base/socket_address.h"
#include "ops/control_socket.h"
#include "ops/http_server.h"
#include "resolver/recursor.h"
#include "resolver/rpz.h"
#include "server/access_list.h"
#include "server/client_stream.h"
#include "server/cookies.h"
#include "server/reply.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace recursor {

struct ServerOptions {
    std::optional<std::string> control_socket_path;
    // Resolutions in flight per event loop; beyond it new questions are shed.
    std::size_t resolution_capacity { 1024 };
    std::optional<std::size_t> loop_count; // one per CPU when not set
    SocketAddress listen_addr;
    std::vector<SocketAddress> more_listen_addrs; // served like listen_addr, UDP and TCP each
    std::optional<SocketAddress> http_listen_addr;
    ControlSocketConfig control_socket_config;
    HttpServerConfig http_config;
    std::shared_ptr<const LocalZones> local_zones; // the [zone:] sections, read at start-up
    bool expose_zones { false }; // /zones lists them; 501 otherwise
    std::shared_ptr<const RpzSet> response_policy; // the [rpz:] sections in order; none when null
    bool enable_dnssec { true };
    CacheLimits cache_limits;
    // Cache lifetimes, aggressive NSEC, loopback nameservers; QNAME minimisation on, as configured by
    // default.
    AnswerLimits limits { .qname_minimisation = true };
    std::optional<NameserverSet> root_servers;
    std::vector<ForwardZone> forward_zones; // [forward:] and [stub:] sections
    bool cache_nothing { false }; // cache_strategy = none
    std::uint32_t stale_window_seconds { 0 }; // serve_stale_max_age when serve_stale is on, else 0
    bool prefetch { true };
    std::optional<std::string> cache_file; // read before serving, written on an orderly stop
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
    // DNS over HTTPS (RFC 8484) there, with the TLS certificate and key; its connections share the slots.
    std::optional<SocketAddress> doh_listen_addr;
    AccessList allowed_clients = AccessList::loopbackOnly(); // others get REFUSED
    std::uint32_t client_rate_limit { 0 }; // questions per second per client address; 0: none
    unsigned client_rate_limit_ipv6_prefix { ClientRateLimit::default_ipv6_prefix_bits };
    std::optional<AccessList> http_allowed_clients; // those of `allowed_clients` when not set
    bool log_queries { false }; // one info line per client question
    // DNS cookies (RFC 7873, RFC 9018): the secrets of the server cookies (random when not set), and
    // whether a datagram needs a valid server cookie to be answered (BADCOOKIE otherwise).
    std::optional<CookieSecrets> cookie_secrets;
    bool cookie_require { false };
    std::string trust_anchor_source; // for the start-up line: a file, or empty for the built-in keys
};

} // namespace recursor
