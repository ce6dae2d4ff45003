#include "server/recursor_server.h"

#include "base/log.h"
#include "dnssec/keytag.h"
#include "server/listen_socket.h"
#include "server/version.h"

#include <openssl/ssl.h>

#include <algorithm>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace recursor {

namespace {

    // The address a socket is bound to, with the port the kernel picked for port 0.
    std::optional<SocketAddress> boundAddressOf(int fd)
    {
        sockaddr_storage bound {};
        socklen_t bound_len = sizeof bound;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len) != 0)
            return std::nullopt;
        return SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&bound), bound_len);
    }

    ServerError fromResolveInit(ResolveError)
    {
        return ServerError::OutOfMemory;
    }

    // A socket bound without SO_REUSEPORT: it fails with AddressInUse wherever another socket holds the
    // address, a port-sharing one of the same user included, which our own SO_REUSEPORT sockets would
    // join without a word. TCP takes SO_REUSEADDR, so that connections of an earlier run still in
    // TIME_WAIT do not count, while a listening socket does.
    ServerResult<UniqueFd> probeBind(const SocketAddress& address, int type, bool ipv6_only)
    {
        UniqueFd fd(::socket(address.family(), type | SOCK_CLOEXEC, 0));
        if (!fd.valid())
            return std::unexpected(ServerError::SocketFailed);
        const int one = 1;
        if (type == SOCK_STREAM && ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
            return std::unexpected(ServerError::SocketFailed);
        TRY_VOID(bindListenSocket(fd.get(), address, ipv6_only));
        return fd;
    }

    // An abstract Unix socket named after the address, held for the life of the server: of two
    // instances started at the same moment, both of whose probes succeed, only one gets the name. It is
    // released by the kernel when the process ends, however it ends, and is per network namespace, as
    // the addresses are.
    ServerResult<UniqueFd> lockAddress(const SocketAddress& address, std::string_view protocol)
    {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd.valid())
            return std::unexpected(ServerError::SocketFailed);
        sockaddr_un name {};
        name.sun_family = AF_UNIX;
        const std::string text = "recursor listen " + std::string(protocol) + " " + address.toString();
        const std::size_t length = std::min(text.size(), sizeof name.sun_path - 1);
        std::memcpy(name.sun_path + 1, text.data(), length); // sun_path[0] stays 0: abstract
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
        if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&name), size) != 0)
            return std::unexpected(errno == EADDRINUSE ? ServerError::AddressInUse : fromErrno(errno));
        return fd;
    }

    std::unexpected<ServerError> refuseAddress(
        const SocketAddress& address, std::string_view protocol, ServerError e)
    {
        std::string message = "Cannot listen on " + address.toString() + " (" + std::string(protocol)
            + "): " + dottedErrorName(e);
        if (e == ServerError::AddressInUse)
            message += "; another process (another instance?) serves it";
        logError(message);
        return std::unexpected(e);
    }

} // namespace

ServerResult<std::unique_ptr<RecursorServer>> RecursorServer::init(InitOptions options)
{
    auto recursor = Recursor::init(RecursorOptions {
        .validation_enabled = options.enable_dnssec,
        .clock = {},
        .cache_limits = options.cache_limits,
        .root_servers = options.root_servers,
        .trust_anchors = std::move(options.trust_anchors),
        .limits = options.limits,
        .transport = options.transport,
        .forward_zones = options.forward_zones,
        .cache_nothing = options.cache_nothing,
        .local_zones = options.local_zones,
        .stale_window_seconds = options.stale_window_seconds,
    });
    if (!recursor)
        return std::unexpected(fromResolveInit(recursor.error()));
    auto metrics = Metrics::init();
    if (!metrics)
        return std::unexpected(toServerError(metrics.error()));
    std::unique_ptr<RecursorServer> server(
        new (std::nothrow) RecursorServer(std::move(options), std::move(*recursor), std::move(*metrics)));
    if (!server)
        return std::unexpected(ServerError::OutOfMemory);
    return server;
}

RecursorServer::RecursorServer(
    InitOptions options, std::unique_ptr<Recursor> recursor, std::unique_ptr<Metrics> metrics)
    : options_(std::move(options))
    , recursor_(std::move(recursor))
    , metrics_(std::move(metrics))
    , front_(options_, *recursor_, *metrics_)
    , commands_(
          options_, *recursor_, *metrics_, [this] { requestStop(); }, [this] { return reload(); })
    , listen_addrs_ { options_.listen_addr }
    , http_listen_addr_(options_.http_listen_addr)
    , stream_slots_(options_.max_streams, options_.max_streams_per_client)
{
    front_.setResponsePolicy(options_.response_policy);
    listen_addrs_.insert(
        listen_addrs_.end(), options_.more_listen_addrs.begin(), options_.more_listen_addrs.end());
}

RecursorServer::~RecursorServer()
{
    stop();
    // Members go in reverse order: the queue, the side servers, the metrics, then the resolver core.
}

std::size_t RecursorServer::loopCount() const
{
    if (options_.loop_count)
        return std::clamp<std::size_t>(*options_.loop_count, 1, max_loop_count);
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return std::clamp<std::size_t>(static_cast<std::size_t>(CPU_COUNT(&set)), 1, max_loop_count);
}

std::size_t RecursorServer::resolutionsInFlight() const
{
    std::size_t total = 0;
    for (const auto& loop : loops_)
        total += loop->front.resolving.load();
    return total;
}

// Checks that nobody serves `wanted` yet (UDP when `with_udp`, and TCP) and returns it with its port:
// for port 0 one the kernel picked that is free for both. The server's own sockets are bound afterwards;
// the lock taken here keeps a second instance out in between.
ServerResult<SocketAddress> RecursorServer::claimAddress(const SocketAddress& wanted, bool with_udp)
{
    constexpr int attempts = 32;
    for (int attempt = 1;; ++attempt) {
        SocketAddress address = wanted;
        UniqueFd udp;
        if (with_udp) {
            auto probe = probeBind(wanted, SOCK_DGRAM, ipv6_only_);
            if (!probe)
                return refuseAddress(wanted, "UDP", probe.error());
            udp = std::move(*probe);
            const auto bound = boundAddressOf(udp.get());
            if (!bound)
                return std::unexpected(ServerError::SocketFailed);
            address = *bound;
        }
        auto tcp = probeBind(address, SOCK_STREAM, with_udp && ipv6_only_);
        if (!tcp && wanted.port() == 0 && tcp.error() == ServerError::AddressInUse && attempt < attempts)
            continue; // the port the kernel picked for UDP is taken for TCP: pick another
        if (!tcp)
            return refuseAddress(address, "TCP", tcp.error());
        if (!with_udp) {
            const auto bound = boundAddressOf(tcp->get());
            if (!bound)
                return std::unexpected(ServerError::SocketFailed);
            address = *bound;
        }
        if (wanted.port() != 0) {
            auto lock = lockAddress(address, with_udp ? "dns" : "tls");
            if (!lock)
                return refuseAddress(address, "lock", lock.error());
            address_locks_.push_back(std::move(*lock));
        }
        return address;
    }
}

// Alone, an IPv6 wildcard also takes IPv4 (dual stack); among several addresses each serves only its
// own family, so that "0.0.0.0" and "[::]" on one port can be listened on together.
ServerResult<void> RecursorServer::claimListenAddresses()
{
    ipv6_only_ = listen_addrs_.size() > 1;
    for (SocketAddress& address : listen_addrs_)
        address = TRY(claimAddress(address, true));
    if (options_.tls_listen_addr)
        options_.tls_listen_addr = TRY(claimAddress(*options_.tls_listen_addr, false));
    if (options_.doh_listen_addr)
        options_.doh_listen_addr = TRY(claimAddress(*options_.doh_listen_addr, false));
    return {};
}

// Every loop gets a UDP socket and a TCP listener on each listen address (and a TLS listener); the
// sockets of one address form a SO_REUSEPORT group over which the kernel spreads its clients.
ServerResult<void> RecursorServer::startLoops()
{
    TRY_VOID(claimListenAddresses());
    const std::size_t count = loopCount();
    try {
        loops_.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            auto loop = std::make_unique<Loop>();
            if (options_.client_rate_limit != 0)
                loop->front.rate_limit = std::make_unique<ClientRateLimit>(ClientRateLimit::Settings {
                    .per_second = options_.client_rate_limit,
                    .loops = count,
                    .ipv6_prefix_bits = options_.client_rate_limit_ipv6_prefix,
                });
            loop->events = EventLoop::create();
            if (!loop->events)
                return std::unexpected(ServerError::SocketFailed);
            loop->front.events = loop->events.get();
            loop->udp = std::make_unique<UdpListener>(front_, loop->front);
            loop->streams = std::make_unique<StreamListener>(
                front_, loop->front, options_, *metrics_, stream_slots_, tls_context_);
            Loop& self = *loop;
            loops_.push_back(std::move(loop));
            for (const SocketAddress& address : listen_addrs_)
                TRY_VOID(self.udp->listen(address, ipv6_only_));
            TRY_VOID(self.streams->listenForStreams(listen_addrs_, ipv6_only_));
            if (options_.doh_listen_addr) {
                self.doh = std::make_unique<DohListener>(
                    front_, self.front, options_, *metrics_, stream_slots_, doh_tls_context_);
                TRY_VOID(self.doh->listen(*options_.doh_listen_addr));
            }
            self.events->setRoundEnd([&udp = *self.udp] {
                if (udp.hasReplies())
                    udp.sendReplies();
            });
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(ServerError::OutOfMemory);
    }
    loops_.front()->udp->spreadDatagramsAtRandom(loops_.size());
    for (const auto& loop : loops_) {
        if (loop->thread.start([&events = *loop->events] { events.run(); }) != 0)
            return std::unexpected(ServerError::ThreadSpawnFailed);
    }
    return {};
}

bool RecursorServer::replaceTrustAnchors(dnssec::TrustAnchorStore anchors)
{
    return recursor_->replaceTrustAnchors(std::move(anchors));
}

std::vector<DnsName> RecursorServer::replaceZones(
    std::shared_ptr<const LocalZones> local, std::vector<ForwardZone> forward)
{
    return recursor_->replaceZones(std::move(local), std::move(forward));
}

void RecursorServer::replaceResponsePolicy(std::shared_ptr<const RpzSet> policy)
{
    front_.setResponsePolicy(std::move(policy));
}

std::string RecursorServer::reload()
{
    std::lock_guard lock(reload_mutex_);
    if (!reloader_)
        return "ERROR: nothing to reload";
    return reloader_();
}

ServerResult<void> RecursorServer::startSideServers()
{
    metrics_->setMoreExposition([this] { return commands_.resolverExposition(); });
    if (options_.control_socket_path) {
        control_socket_ = std::make_unique<ControlSocket>(
            *options_.control_socket_path,
            [this](std::string_view command, std::span<const std::string_view> args) {
                return controlHandler(command, args);
            },
            options_.control_socket_config);
        if (auto started = control_socket_->start(); !started)
            return std::unexpected(toServerError(started.error()));
    }
    if (http_listen_addr_) {
        // The metrics tell a stranger how busy the server is and what it caches: the same clients as
        // the DNS service, unless http_allow lines name others.
        HttpServerConfig http_config = options_.http_config;
        http_config.admit_peer = [allowed = options_.http_allowed_clients.value_or(options_.allowed_clients)](
                                     const SocketAddress& peer) { return allowed.allows(peer); };
        HttpServer::ZonesLister zones_lister;
        if (options_.expose_zones)
            zones_lister = [this]() -> OpsResult<std::string> {
                const std::shared_ptr<const ConfiguredZones> zones = recursor_->zones(); // a reload's, too
                return zones->local ? zones->local->describeJson() : std::string("[]");
            };
        http_server_ = std::make_unique<HttpServer>([this]() -> const Metrics& { return *metrics_; },
            std::move(zones_lister), *http_listen_addr_, std::move(http_config));
        if (auto started = http_server_->start(); !started)
            return std::unexpected(toServerError(started.error()));
        http_listen_addr_ = http_server_->boundAddress();
    }
    return {};
}

ServerResult<void> RecursorServer::start()
{
    should_stop_.store(false);
    auto started = [&]() -> ServerResult<void> {
        if (options_.tls_listen_addr) {
            tls_context_ = makeServerTlsContext(options_.tls_cert_file, options_.tls_key_file);
            if (!tls_context_)
                return std::unexpected(ServerError::InvalidSetting);
        }
        if (options_.doh_listen_addr) {
            doh_tls_context_ = makeDohTlsContext(options_.tls_cert_file, options_.tls_key_file);
            if (!doh_tls_context_)
                return std::unexpected(ServerError::InvalidSetting);
        }
        TRY_VOID(startLoops());
        return startSideServers();
    }();
    if (!started) {
        if (started.error() == ServerError::PathInUse && options_.control_socket_path)
            logError("Control socket path " + *options_.control_socket_path
                + " is in use: a running instance listens there, or it is not a socket");
        stop();
        return started;
    }
    logStartup();
    for (const SocketAddress& address : listen_addrs_)
        logInfo("recursor listening on " + address.toString());
    if (options_.tls_listen_addr)
        logInfo("recursor listening for DNS over TLS on " + options_.tls_listen_addr->toString());
    if (options_.doh_listen_addr)
        logInfo("recursor listening for DNS over HTTPS on " + options_.doh_listen_addr->toString());
    return started;
}

// What an operator checks first when answers look wrong: which build, how many loops, whether answers
// are validated and against which keys, and how much the caches may hold.
void RecursorServer::logStartup()
{
    std::string line = std::string(program_name) + " " + std::string(program_version) + " started: "
        + std::to_string(loops_.size()) + (loops_.size() == 1 ? " loop" : " loops") + ", DNSSEC validation ";
    if (!recursor_->validationEnabled()) {
        line += "off";
    } else {
        line += "on, trust anchor ";
        if (!options_.trust_anchor_source.empty())
            line += options_.trust_anchor_source + " ";
        line += "key tags";
        const std::shared_ptr<const dnssec::TrustAnchorStore> anchors = recursor_->trustAnchors();
        std::vector<std::uint16_t> tags;
        for (const auto& key : anchors->rootKeys())
            tags.push_back(dnssec::computeKeytag(key));
        for (const dnssec::AnchorDs& ds : anchors->rootDs())
            tags.push_back(ds.keytag);
        std::sort(tags.begin(), tags.end());
        tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
        for (std::size_t i = 0; i < tags.size(); ++i)
            line += (i == 0 ? " " : ", ") + std::to_string(tags[i]);
    }
    line += ", cache " + std::to_string(options_.cache_limits.max_bytes) + " bytes";
    logInfo(line);
}

void RecursorServer::stop()
{
    should_stop_.store(true);
    for (const auto& loop : loops_)
        loop->events->stop();
    for (const auto& loop : loops_)
        loop->thread.join();
    closeSockets();
    loops_.clear();
    address_locks_.clear();
    if (http_server_)
        http_server_->stop();
    if (control_socket_)
        control_socket_->stop();
}

void RecursorServer::closeSockets()
{
    for (const auto& loop : loops_) {
        loop->udp->closeSockets();
        loop->streams->closeListeners();
        if (loop->doh)
            loop->doh->closeListener();
    }
}

ServerResult<std::optional<std::vector<std::uint8_t>>> RecursorServer::handleQuery(
    std::span<const std::uint8_t> packet)
{
    return front_.handleQuery(packet);
}

OpsResult<std::string> RecursorServer::controlHandler(
    std::string_view command, std::span<const std::string_view> args)
{
    return commands_.controlHandler(command, args);
}

} // namespace recursor
