#include "server/recursor_server.h"

#include "base/clock.h"
#include "base/log.h"
#include "base/trace.h"
#include "base/unique_fd.h"
#include "dnssec/keytag.h"
#include "ops/authoritative_format.h"
#include "resolver/upstream_sockets.h"
#include "server/query.h"
#include "server/reply_shaping.h"
#include "server/udp_response.h"
#include "server/version.h"
#include "wire/reader.h"
#include "wire/type_names.h"

#include <openssl/ssl.h>

#include <algorithm>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <linux/filter.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace recursor {

namespace {

    // Roomy kernel buffer so bursts wait in the socket rather than being dropped.
    constexpr int socket_receive_buffer_bytes = 4 * 1024 * 1024;

    void recordDnssecOutcome(Metrics& metrics, bool validated, bool has_dnssec_records)
    {
        if (validated || has_dnssec_records) {
            metrics.recordDnssecValidation(
                validated ? DnssecValidationResult::secure : DnssecValidationResult::insecure);
        }
    }

    constexpr std::uint16_t extended_error_prohibited = 18; // RFC 8914 §4.19

    // The address a socket is bound to, with the port the kernel picked for port 0.
    std::optional<SocketAddress> boundAddressOf(int fd)
    {
        sockaddr_storage bound {};
        socklen_t bound_len = sizeof bound;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len) != 0)
            return std::nullopt;
        return SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&bound), bound_len);
    }

    bool checkingDisabled(const QueryParseContext& ctx)
    {
        return (ctx.msg.header.bytes[3] & flag_cd) != 0;
    }

    // A validated resolution; skipped for a client that set CD when the question is known bogus, since
    // it takes the data unchecked anyway (RFC 4035 §3.2.2).
    ResolveResultOr<ResolveResult> resolveChecked(
        Recursor& recursor, const UpstreamSettings& engine, const QueryParseContext& ctx)
    {
        if (checkingDisabled(ctx) && recursor.knownBogus(ctx.qname, ctx.qtype))
            return std::unexpected(ResolveError::DnssecBogus);
        return kindOnly(recursor.resolveFromNetwork(engine, ctx.qname, ctx.qtype));
    }

    ReplyChannel channelOf(const PendingQuery& query)
    {
        return query.stream ? ReplyChannel::stream : ReplyChannel::datagram;
    }

    // Why a SERVFAIL happened, as an extended DNS error (RFC 8914 §4).
    std::uint16_t extendedErrorFor(ResolveError why)
    {
        return extendedErrorOf(why);
    }

    ServerError fromResolveInit(ResolveError)
    {
        return ServerError::OutOfMemory;
    }

    void logWarningWithError(std::string_view prefix, ServerError e)
    {
        std::string message(prefix);
        message += dottedErrorName(e);
        logWarning(message);
    }

    // IPV6_V6ONLY as asked on an IPv6 socket; IPv4 sockets have nothing to set.
    bool setIpv6Only(int fd, const SocketAddress& address, bool only)
    {
        const int value = only ? 1 : 0;
        return address.family() != AF_INET6
            || ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &value, sizeof value) == 0;
    }

    bool isWildcard(const SocketAddress& address)
    {
        if (address.family() == AF_INET)
            return reinterpret_cast<const sockaddr_in*>(address.sockaddrPtr())->sin_addr.s_addr == INADDR_ANY;
        return address.family() == AF_INET6
            && IN6_IS_ADDR_UNSPECIFIED(
                &reinterpret_cast<const sockaddr_in6*>(address.sockaddrPtr())->sin6_addr);
    }

    // Asks the kernel for each datagram's destination address. An IPv6 socket reports IPv4-mapped
    // destinations through IPV6_PKTINFO as well.
    bool enableDestinationInfo(int fd, int family)
    {
        const int one = 1;
        if (family == AF_INET)
            return ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) == 0;
        return ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one) == 0;
    }

    // Turns the received destination information into the control message that sends the reply from
    // that address. The IPv4 interface is left to routing; an IPv6 one is kept for link-local addresses.
    ReplySource replySourceFrom(msghdr& received)
    {
        ReplySource out;
        for (cmsghdr* c = CMSG_FIRSTHDR(&received); c != nullptr; c = CMSG_NXTHDR(&received, c)) {
            msghdr reply {};
            reply.msg_control = out.control.data();
            reply.msg_controllen = out.control.size();
            cmsghdr* r = CMSG_FIRSTHDR(&reply);
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo dest {};
                std::memcpy(&dest, CMSG_DATA(c), sizeof dest);
                in_pktinfo source {};
                source.ipi_spec_dst = dest.ipi_addr;
                r->cmsg_level = IPPROTO_IP;
                r->cmsg_type = IP_PKTINFO;
                r->cmsg_len = CMSG_LEN(sizeof source);
                std::memcpy(CMSG_DATA(r), &source, sizeof source);
                out.length = CMSG_SPACE(sizeof source);
                return out;
            }
            if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                r->cmsg_level = IPPROTO_IPV6;
                r->cmsg_type = IPV6_PKTINFO;
                r->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
                std::memcpy(CMSG_DATA(r), CMSG_DATA(c), sizeof(in6_pktinfo));
                out.length = CMSG_SPACE(sizeof(in6_pktinfo));
                return out;
            }
        }
        return out;
    }

    // A datagram to `to`, from the address of `source` when there is one.
    void fillSendHeader(msghdr& msg, iovec& data, std::vector<std::uint8_t>& bytes, const SocketAddress& to,
        const ReplySource& source)
    {
        data = { bytes.data(), bytes.size() };
        msg.msg_name = const_cast<sockaddr*>(to.sockaddrPtr());
        msg.msg_namelen = to.sockaddrLen();
        msg.msg_iov = &data;
        msg.msg_iovlen = 1;
        if (source.length != 0) {
            msg.msg_control = const_cast<std::uint8_t*>(source.control.data());
            msg.msg_controllen = source.length;
        }
    }

} // namespace

// What one loop reads at once, and the replies it sends at once (recvmmsg, sendmmsg).
struct RecursorServer::Batch {
    static constexpr std::size_t capacity = 32;

    struct Reply {
        std::vector<std::uint8_t> bytes;
        SocketAddress to;
        ReplySource source;
    };

    Batch()
        : buffers(capacity * receive_buffer_size)
    {
        replies.reserve(capacity);
    }

    // Ready for the next recvmmsg: the kernel writes the lengths back.
    void prepare(bool with_control)
    {
        for (std::size_t i = 0; i < capacity; ++i) {
            iovs[i] = { buffers.data() + i * receive_buffer_size, receive_buffer_size };
            msgs[i].msg_hdr = {};
            msgs[i].msg_hdr.msg_name = &from[i];
            msgs[i].msg_hdr.msg_namelen = sizeof from[i];
            msgs[i].msg_hdr.msg_iov = &iovs[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            if (with_control) {
                msgs[i].msg_hdr.msg_control = control[i].data();
                msgs[i].msg_hdr.msg_controllen = control[i].size();
            }
        }
    }

    std::vector<std::uint8_t> buffers;
    std::array<mmsghdr, capacity> msgs {};
    std::array<iovec, capacity> iovs {};
    std::array<sockaddr_storage, capacity> from {};
    std::array<std::array<std::uint8_t, 256>, capacity> control {};
    std::vector<Reply> replies;
};

WireResult<std::vector<std::uint8_t>> buildFormErrResponse(
    std::span<const std::uint8_t> packet, std::uint16_t edns_buffer_size)
{
    // Its OPT record states our size and our version, 0 (RFC 6891 §6.1.3).
    auto reply = TRY(buildErrorResponse(packet, RCode::form_err, edns_buffer_size));
    if (reply.size() >= Header::size)
        setHeaderBit(reply, 3, 0x80, true); // RA
    return reply;
}

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
    , listen_addrs_ { options_.listen_addr }
    , http_listen_addr_(options_.http_listen_addr)
    , stream_slots_(options_.max_streams, options_.max_streams_per_client)
{
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
        total += loop->resolving.load();
    return total;
}

// A non-blocking socket on `address` that shares it with the other loops' sockets (SO_REUSEPORT).
ServerResult<int> RecursorServer::bindUdpSocket(const SocketAddress& address, bool wildcard)
{
    UniqueFd fd(::socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        return std::unexpected(ServerError::SocketFailed);
    const int one = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0)
        return std::unexpected(ServerError::SocketFailed);
    if (!setIpv6Only(fd.get(), address, ipv6_only_))
        return std::unexpected(ServerError::SocketFailed);
    if (::bind(fd.get(), address.sockaddrPtr(), address.sockaddrLen()) != 0) {
        const ServerError e = fromErrno(errno);
        return std::unexpected(e == ServerError::Unexpected ? ServerError::BindFailed : e);
    }
    if (wildcard && !enableDestinationInfo(fd.get(), address.family()))
        return std::unexpected(ServerError::SocketFailed);
    // Only a larger buffer: the default still works.
    ::setsockopt(
        fd.get(), SOL_SOCKET, SO_RCVBUF, &socket_receive_buffer_bytes, sizeof socket_receive_buffer_bytes);
    return fd.release();
}

// Left to itself the kernel picks a loop's socket by a hash of the client's address and port, so a
// few busy clients can load one loop and leave the other idle. A question needs nothing from the one
// before it, so each datagram goes to a loop picked at random instead. Without the filter the hash
// still works: a failure here costs balance, not service.
static void spreadDatagramsAtRandom(int socket, std::size_t loops)
{
    if (loops < 2)
        return;
    std::array<sock_filter, 3> code { {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_RANDOM)),
        BPF_STMT(BPF_ALU | BPF_MOD | BPF_K, static_cast<std::uint32_t>(loops)),
        BPF_STMT(BPF_RET | BPF_A, 0),
    } };
    sock_fprog program { static_cast<unsigned short>(code.size()), code.data() };
    if (::setsockopt(socket, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &program, sizeof program) != 0)
        logWarningWithError("recursor: datagrams spread by client hash: ", fromErrno(errno));
}

namespace {

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
        if (!setIpv6Only(fd.get(), address, ipv6_only))
            return std::unexpected(ServerError::SocketFailed);
        if (::bind(fd.get(), address.sockaddrPtr(), address.sockaddrLen()) != 0) {
            const ServerError e = fromErrno(errno);
            return std::unexpected(e == ServerError::Unexpected ? ServerError::BindFailed : e);
        }
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
            loop->batch = std::make_unique<Batch>();
            if (options_.client_rate_limit != 0)
                loop->rate_limit = std::make_unique<ClientRateLimit>(ClientRateLimit::Settings {
                    .per_second = options_.client_rate_limit,
                    .loops = count,
                    .ipv6_prefix_bits = options_.client_rate_limit_ipv6_prefix,
                });
            loop->events = EventLoop::create();
            if (!loop->events)
                return std::unexpected(ServerError::SocketFailed);
            Loop& self = *loop;
            loops_.push_back(std::move(loop));
            for (const SocketAddress& address : listen_addrs_) {
                const bool wildcard = isWildcard(address);
                self.sockets.push_back({ -1, wildcard });
                self.sockets.back().fd = TRY(bindUdpSocket(address, wildcard));
            }
            for (const UdpSocket& socket : self.sockets) {
                if (!self.events->watch(socket.fd, [this, &self, socket] { receiveBatches(self, socket); }))
                    return std::unexpected(ServerError::SocketFailed);
            }
            TRY_VOID(listenForStreams(self));
            self.events->setRoundEnd([this, &self] {
                if (!self.batch->replies.empty())
                    sendReplies(self);
            });
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(ServerError::OutOfMemory);
    }
    for (const UdpSocket& socket : loops_.front()->sockets)
        spreadDatagramsAtRandom(socket.fd, loops_.size());
    for (const auto& loop : loops_) {
        if (loop->thread.start([&events = *loop->events] { events.run(); }) != 0)
            return std::unexpected(ServerError::ThreadSpawnFailed);
    }
    return {};
}

std::string RecursorServer::traceResolution(const DnsName& name, QType type)
{
    constexpr std::size_t trace_cache_bytes = 1024 * 1024;
    auto anchors = recursor_->trustAnchors()->clone();
    if (!anchors)
        return std::string("ERROR: OutOfMemory");
    auto fresh = Recursor::init(RecursorOptions {
        .validation_enabled = recursor_->validationEnabled(),
        .clock = {},
        .cache_limits = CacheLimits { trace_cache_bytes },
        .root_servers = recursor_->rootServers(),
        .trust_anchors = std::move(anchors),
        .limits = options_.limits,
        .transport = options_.transport,
    });
    if (!fresh)
        return "ERROR: " + std::string(errorName(fresh.error()));
    std::string out = "OK\ntrace of " + name.toText() + " " + typeName(type) + ", from the root servers\n";
    const std::int64_t started = monotonicMs();
    trace::Scope scope;
    const auto resolved = (*fresh)->resolveFromNetwork(options_.upstream, name, type);
    for (const std::string& line : scope.lines())
        out += line + "\n";
    out += "result: ";
    if (!resolved) {
        out += "SERVFAIL, error." + std::string(errorName(resolved.error().kind));
    } else {
        out += rcodeName(static_cast<std::uint16_t>(resolved->rcode));
        out += resolved->validated           ? ", secure"
            : recursor_->validationEnabled() ? ", insecure"
                                             : ", not validated";
        out += ", " + std::to_string(resolved->answer_count) + " answer records";
        if (auto msg = DnsMessage::parse(resolved->packet)) {
            for (const DnsRecord& rec : msg->records) {
                if (rec.section == Section::answer)
                    out += "\n  " + rec.name.toText() + " " + std::to_string(rec.ttl) + " "
                        + typeName(rec.rtype);
            }
        }
    }
    out += "\ntook " + std::to_string(monotonicMs() - started) + " ms";
    return out;
}

std::string RecursorServer::resolverExposition() const
{
    Cache& cache = recursor_->cache();
    DenialCache& denial = recursor_->denialCache();
    InfraCache& infra = recursor_->infra();
    struct Labelled {
        std::string_view cache;
        std::size_t entries;
        std::size_t bytes;
    };
    const std::array<Labelled, 5> caches { {
        { "answers", cache.answerCount(), cache.answerBytes() },
        { "delegations", cache.delegationCount(), 0 },
        { "zone_keys", cache.zoneSecurityCount(), cache.zoneSecurityBytes() },
        { "denial_ranges", denial.rangeCount(), denial.bytes() },
        { "servers", infra.size(), infra.size() * InfraCache::slot_bytes },
    } };
    std::string out;
    const auto family = [&](std::string_view name, std::string_view help, std::string_view type) {
        appendMetricFamily(out, name, help, type);
    };
    family("dns_cache_entries", "Entries held per cache", "gauge");
    for (const Labelled& c : caches)
        out.append("dns_cache_entries{cache=\"")
            .append(c.cache)
            .append("\"} ")
            .append(std::to_string(c.entries) + "\n");
    family("dns_cache_bytes", "Bytes held per cache (the delegations are bounded by count instead)", "gauge");
    for (const Labelled& c : caches) {
        if (c.cache != "delegations")
            out.append("dns_cache_bytes{cache=\"")
                .append(c.cache)
                .append("\"} ")
                .append(std::to_string(c.bytes) + "\n");
    }
    family("dns_upstream_queries_total", "Queries sent to authoritative servers", "counter");
    out.append("dns_upstream_queries_total ").append(std::to_string(infra.queriesSent()) + "\n");
    family("dns_upstream_timeouts_total", "Queries to authoritative servers that timed out", "counter");
    out.append("dns_upstream_timeouts_total ").append(std::to_string(infra.queriesTimedOut()) + "\n");
    family("dns_upstream_stray_datagrams_total",
        "Datagrams from authoritative servers asked that answered no query (another ID or question, no DNS "
        "message)",
        "counter");
    out.append("dns_upstream_stray_datagrams_total ").append(std::to_string(upstreamStrayDatagrams()) + "\n");
    family("dns_build_info", "The version running, as a label; always 1", "gauge");
    out.append("dns_build_info{version=\"").append(program_version).append("\"} 1\n");
    return out;
}

bool RecursorServer::replaceTrustAnchors(dnssec::TrustAnchorStore anchors)
{
    return recursor_->replaceTrustAnchors(std::move(anchors));
}

ServerResult<void> RecursorServer::startSideServers()
{
    metrics_->setMoreExposition([this] { return resolverExposition(); });
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
        http_server_ = std::make_unique<HttpServer>([this]() -> const Metrics& { return *metrics_; },
            HttpServer::ZonesLister {}, *http_listen_addr_, std::move(http_config));
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
        for (UdpSocket& socket : loop->sockets) {
            if (socket.fd >= 0)
                ::close(std::exchange(socket.fd, -1));
        }
        for (int& listener : loop->stream_listeners)
            ::close(std::exchange(listener, -1));
    }
}

ServerResult<int> RecursorServer::bindStreamListener(const SocketAddress& address, bool ipv6_only)
{
    UniqueFd fd(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        return std::unexpected(ServerError::SocketFailed);
    const int one = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0
        || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0
        || !setIpv6Only(fd.get(), address, ipv6_only))
        return std::unexpected(ServerError::SocketFailed);
    if (::bind(fd.get(), address.sockaddrPtr(), address.sockaddrLen()) != 0) {
        const ServerError e = fromErrno(errno);
        return std::unexpected(e == ServerError::Unexpected ? ServerError::BindFailed : e);
    }
    if (::listen(fd.get(), 1024) != 0)
        return std::unexpected(ServerError::ListenFailed);
    return fd.release();
}

// TCP on each of the UDP service's addresses and ports (RFC 7766 §5), and TLS where configured; each loop
// has its own listening sockets, like its UDP sockets.
ServerResult<void> RecursorServer::listenForStreams(Loop& loop)
{
    struct Wanted {
        SocketAddress address;
        bool tls;
    };
    std::vector<Wanted> wanted;
    for (const SocketAddress& address : listen_addrs_)
        wanted.push_back({ address, false });
    if (options_.tls_listen_addr)
        wanted.push_back({ *options_.tls_listen_addr, true });
    for (Wanted& w : wanted) {
        // The ports are known (claimAddress), so every loop's listener joins the same group.
        const int listener = TRY(bindStreamListener(w.address, !w.tls && ipv6_only_));
        loop.stream_listeners.push_back(listener);
        const bool tls = w.tls;
        if (!loop.events->watch(
                listener, [this, &loop, listener, tls] { acceptStreams(loop, listener, tls); }))
            return std::unexpected(ServerError::SocketFailed);
    }
    return {};
}

// A peer outside the access list is closed at once, before it holds a slot, a fiber or a TLS object:
// otherwise it could take every slot and make the loops do its handshakes, and be refused only per
// message. A client over its share, or finding every slot busy, is closed at once too: it retries
// elsewhere or later, and the backlog never fills with connections that will not be served.
void RecursorServer::acceptStreams(Loop& loop, int listener, bool tls)
{
    constexpr int max_accepts_per_wakeup = 64;
    for (int i = 0; i < max_accepts_per_wakeup; ++i) {
        sockaddr_storage from {};
        socklen_t from_len = sizeof from;
        UniqueFd fd(
            ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &from_len, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid())
            return;
        auto peer = SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&from), from_len);
        if (!peer || !options_.allowed_clients.allows(*peer)) {
            metrics_->recordStreamRefused(StreamRefusal::not_allowed);
            continue;
        }
        const auto slot = stream_slots_.acquire(*peer, fd.get());
        if (!slot) {
            if (slot.error() != SlotRefusal::OutOfMemory)
                metrics_->recordStreamRefused(slot.error() == SlotRefusal::ClientAtLimit
                        ? StreamRefusal::client_at_limit
                        : StreamRefusal::all_busy);
            continue;
        }
        startStream(loop, std::move(fd), *peer, *slot, tls);
    }
}

// The connection's fiber, which owns the slot from here on. A connection that cannot be set up gives
// its slot back before its descriptor closes.
void RecursorServer::startStream(
    Loop& loop, UniqueFd fd, const SocketAddress& peer, StreamSlots::Id slot, bool tls)
{
    SSL* ssl = nullptr;
    if (tls) {
        ssl = SSL_new(tls_context_.get());
        if (ssl == nullptr || SSL_set_fd(ssl, fd.get()) != 1) {
            SSL_free(ssl);
            return stream_slots_.release(slot);
        }
    }
    std::shared_ptr<ClientStream> stream;
    try {
        stream = std::make_shared<ClientStream>(
            std::move(fd), peer, ssl, options_.stream_limits, stream_slots_, slot);
    } catch (const std::bad_alloc&) {
        SSL_free(ssl);
        return stream_slots_.release(slot);
    }
    loop.events->spawnDetached([this, &loop, stream] {
        stream->serve(
            [this, &loop](const std::shared_ptr<ClientStream>& source, std::span<const std::uint8_t> packet) {
                return handleStreamMessage(loop, source, packet);
            });
    });
}

bool RecursorServer::handleStreamMessage(
    Loop& loop, const std::shared_ptr<ClientStream>& stream, std::span<const std::uint8_t> packet)
{
    const std::int64_t received_us = monotonicUs();
    std::optional<QueryParseContext> ctx;
    auto front = answerFront(
        packet, ctx, ReplyChannel::stream, admission(loop, stream->peer(), ReplyChannel::stream));
    if (!front) {
        logWarningWithError("recursor query error: ", front.error());
        return false;
    }
    switch (front->kind) {
    case FrontAnswer::Kind::drop:
        return false;
    case FrontAnswer::Kind::reply:
        recordReply(front->reply,
            { stream->peer(), stream->tls() ? Transport::tls : Transport::tcp, front->outcome, received_us });
        stream->send(front->reply);
        return true;
    case FrontAnswer::Kind::resolve:
        break;
    }
    PendingQuery query { { packet.begin(), packet.end() }, {}, stream->peer(), {}, stream, received_us };
    auto own = parseQueryForAuthoritativeAnswer(query.packet);
    if (!own)
        return false;
    query.ctx = std::move(*own);
    startResolution(loop, std::move(query));
    return true;
}

// Readable: takes what has arrived, a batch at a time, and answers what it can at once. A few batches
// per wake-up, so that resolutions waiting to go on are not starved by a flood.
void RecursorServer::receiveBatches(Loop& loop, const UdpSocket& socket)
{
    constexpr int max_batches_per_wakeup = 8;
    for (int i = 0; i < max_batches_per_wakeup && receiveBatch(loop, socket); ++i) { }
}

bool RecursorServer::receiveBatch(Loop& loop, const UdpSocket& socket)
{
    Batch& batch = *loop.batch;
    batch.prepare(socket.wildcard);
    const int received = ::recvmmsg(socket.fd, batch.msgs.data(), Batch::capacity, MSG_DONTWAIT, nullptr);
    if (received <= 0) {
        const int err = errno;
        if (received < 0 && err != EAGAIN && err != EWOULDBLOCK && err != EINTR)
            logWarningWithError("recursor recv error: ", fromErrno(err));
        return false;
    }
    const std::int64_t received_us = monotonicUs();
    for (int i = 0; i < received; ++i) {
        msghdr& msg = batch.msgs[i].msg_hdr;
        const std::size_t length = batch.msgs[i].msg_len; // a datagram over 4096 bytes arrives cut
        if (length == 0)
            continue;
        auto client
            = SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&batch.from[i]), msg.msg_namelen);
        if (!client)
            continue;
        ReplySource source = socket.wildcard ? replySourceFrom(msg) : ReplySource {};
        source.socket = socket.fd;
        const std::span<const std::uint8_t> packet(batch.buffers.data() + i * receive_buffer_size, length);
        runGuarded(
            "recursor query error", [&] { handleDatagram(packet, *client, source, loop, received_us); });
    }
    sendReplies(loop);
    return received == static_cast<int>(Batch::capacity);
}

void RecursorServer::recordReply(std::span<const std::uint8_t> reply, const ReplyNote& note)
{
    const std::int64_t elapsed_us = std::max<std::int64_t>(0, monotonicUs() - note.received_us);
    if (note.outcome != CacheOutcome::not_applicable)
        metrics_->recordAnswerTime(note.outcome, static_cast<std::uint64_t>(elapsed_us));
    if (reply.size() < Header::size)
        return;
    metrics_->recordAnswer(note.transport, reply[3] & 0x0F);
    if (options_.log_queries)
        logQuery(reply, note, elapsed_us);
}

// One line per reply: "query <client> <name> <type> <transport> <rcode> <cache|miss|-> <ms> ms". The
// question is read back from the reply, which echoes it (a FORMERR may have none: "-").
void RecursorServer::logQuery(
    std::span<const std::uint8_t> reply, const ReplyNote& note, std::int64_t elapsed_us)
{
    std::string question = "- -";
    if ((reply[4] != 0 || reply[5] != 0)) {
        PacketReader reader(reply);
        auto name = reader.readName();
        auto type = reader.readU16();
        if (name && type)
            question = name->toText() + " " + typeName(static_cast<QType>(*type));
    }
    const std::string_view cache = note.outcome == CacheOutcome::hit ? "hit"
        : note.outcome == CacheOutcome::miss                         ? "miss"
                                                                     : "-";
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.3f ms", static_cast<double>(elapsed_us) / 1000.0);
    logInfo("query " + note.client.toString() + " " + question + " "
        + std::string(transportName(note.transport)) + " " + rcodeName(reply[3] & 0x0F) + " "
        + std::string(cache) + " " + elapsed);
}

void RecursorServer::handleDatagram(std::span<const std::uint8_t> packet, const SocketAddress& client,
    const ReplySource& source, Loop& loop, std::int64_t received_us)
{
    std::optional<QueryParseContext> ctx;
    auto front
        = answerFront(packet, ctx, ReplyChannel::datagram, admission(loop, client, ReplyChannel::datagram));
    if (!front) {
        logWarningWithError("recursor query error: ", front.error());
        return;
    }
    switch (front->kind) {
    case FrontAnswer::Kind::drop:
        return;
    case FrontAnswer::Kind::reply:
        recordReply(front->reply, { client, Transport::udp, front->outcome, received_us });
        loop.batch->replies.push_back({ std::move(front->reply), client, source });
        return;
    case FrontAnswer::Kind::resolve:
        break;
    }
    // A question that waits needs a packet of its own; its context is parsed again to view into it.
    PendingQuery query { { packet.begin(), packet.end() }, {}, client, source, {}, received_us };
    auto own = parseQueryForAuthoritativeAnswer(query.packet);
    if (!own)
        return;
    query.ctx = std::move(*own);
    startResolution(loop, std::move(query));
}

void RecursorServer::sendReplies(Loop& loop)
{
    Batch& batch = *loop.batch;
    std::array<mmsghdr, Batch::capacity> msgs {};
    std::array<iovec, Batch::capacity> iovs {};
    // Each reply leaves through the socket its question came in on, so from the address asked.
    for (const UdpSocket& socket : loop.sockets) {
        const bool first_socket = &socket == &loop.sockets.front();
        std::size_t next = 0;
        while (next < batch.replies.size()) {
            std::size_t count = 0;
            for (; next < batch.replies.size() && count < Batch::capacity; ++next) {
                Batch::Reply& reply = batch.replies[next];
                if (reply.source.socket != socket.fd && !(first_socket && reply.source.socket < 0))
                    continue;
                msgs[count] = {};
                fillSendHeader(msgs[count].msg_hdr, iovs[count], reply.bytes, reply.to, reply.source);
                ++count;
            }
            // Send errors are the clients' problem: a failed reply is skipped and the rest still go.
            for (std::size_t sent = 0; sent < count;) {
                const int n
                    = ::sendmmsg(socket.fd, msgs.data() + sent, static_cast<unsigned>(count - sent), 0);
                if (n < 0 && errno == EINTR)
                    continue;
                sent += n > 0 ? static_cast<std::size_t>(n) : 1;
            }
        }
    }
    batch.replies.clear();
}

// Beyond its rate a client's datagrams are dropped (a reply would serve a reflection attack with a
// spoofed source), while a connection, whose source is real, is told REFUSED. The rate counts refused
// clients too: a REFUSED reply to a spoofed source reflects as well as an answer does. Outside the
// access list a question is refused without any work on its behalf.
RecursorServer::Admission RecursorServer::admission(
    Loop& loop, const SocketAddress& client, ReplyChannel channel)
{
    if (loop.rate_limit && !loop.rate_limit->admit(client, monotonicSeconds())) {
        metrics_->recordRateLimited();
        return channel == ReplyChannel::datagram ? Admission::drop : Admission::refuse;
    }
    if (!options_.allowed_clients.allows(client))
        return Admission::refuse;
    return Admission::answer;
}

ServerResult<RecursorServer::FrontAnswer> RecursorServer::answerFront(std::span<const std::uint8_t> packet,
    std::optional<QueryParseContext>& ctx, ReplyChannel channel, Admission admitted)
{
    if (admitted == Admission::drop)
        return FrontAnswer {};
    // A message with QR set is a response, not a question. Answering it would let one spoofed packet
    // set two resolvers (or one resolver and itself) answering each other forever.
    if (packet.size() >= Header::size && (packet[2] & flag_qr) != 0)
        return FrontAnswer {};

    auto formErr = [&]() -> ServerResult<FrontAnswer> {
        metrics_->recordQuery(RCode::form_err, CacheOutcome::not_applicable);
        auto reply = buildFormErrResponse(packet, options_.edns_buffer_size);
        if (!reply)
            return std::unexpected(replyBuildError(reply.error()));
        return FrontAnswer { FrontAnswer::Kind::reply, std::move(*reply) };
    };

    auto parsed = parseQueryForAuthoritativeAnswer(packet);
    if (!parsed) {
        if (parsed.error() == WireError::OutOfMemory)
            return std::unexpected(ServerError::OutOfMemory);
        return admitted == Admission::answer ? formErr() : FrontAnswer {};
    }
    if (!parsed->valid_question)
        return admitted == Admission::answer ? formErr() : FrontAnswer {};
    if (admitted == Admission::refuse) {
        metrics_->recordQuery(RCode::refused, CacheOutcome::not_applicable);
        return FrontAnswer { FrontAnswer::Kind::reply,
            TRY(rcodeReply(*parsed, static_cast<std::uint16_t>(RCode::refused), extended_error_prohibited)) };
    }
    if (const auto rcode = refusal(*parsed)) {
        metrics_->recordQuery(*rcode == rcode_badvers ? RCode::form_err : static_cast<RCode>(*rcode),
            CacheOutcome::not_applicable);
        return FrontAnswer { FrontAnswer::Kind::reply, TRY(rcodeReply(*parsed, *rcode)) };
    }
    auto hit = recursor_->cache().getAnswerCopy(parsed->qname, parsed->qtype);
    if (!hit)
        return std::unexpected(ServerError::OutOfMemory);
    if (*hit && !((*hit)->meta.bogus && checkingDisabled(*parsed)))
        return FrontAnswer { FrontAnswer::Kind::reply,
            TRY(replyFromCache(*parsed, std::move(**hit), channel)), CacheOutcome::hit };
    if (*hit) { // bogus, and this client takes the data unchecked: kept apart, or resolved apart
        auto kept = recursor_->keptUncheckedAnswer(parsed->qname, parsed->qtype);
        if (!kept)
            return std::unexpected(ServerError::OutOfMemory);
        if (*kept)
            return FrontAnswer { FrontAnswer::Kind::reply,
                TRY(replyFromResolution(*parsed, std::move(**kept), channel)), CacheOutcome::hit };
        ctx = std::move(*parsed);
        return FrontAnswer { FrontAnswer::Kind::resolve, {} };
    }
    auto proven = recursor_->answerFromValidatedRanges(parsed->qname, parsed->qtype);
    if (!proven)
        return std::unexpected(ServerError::OutOfMemory);
    if (*proven)
        return FrontAnswer { FrontAnswer::Kind::reply,
            TRY(replyFromResolution(*parsed, std::move(**proven), channel)), CacheOutcome::hit };
    ctx = std::move(*parsed);
    return FrontAnswer { FrontAnswer::Kind::resolve, {} };
}

namespace {

    // What a question for a meta-type gets (RFC 6895 §3.1), or nothing for a type that is looked up.
    // TYPE0, OPT, TKEY, TSIG and the unassigned meta codes name nothing one can ask for: FORMERR. A
    // resolver transfers no zones, so AXFR and IXFR are refused as a policy, not as something unknown.
    // MAILA and MAILB (RFC 1035 §3.2.3) are obsolete and not implemented. ANY is resolved.
    std::optional<RCode> metaTypeRefusal(QType qtype)
    {
        if (!isMetaType(qtype) || qtype == QType::any)
            return std::nullopt;
        switch (qtype) {
        case QType::axfr:
        case QType::ixfr:
            return RCode::refused;
        case QType::maila:
        case QType::mailb:
            return RCode::not_imp;
        default: // an open 16-bit code: every other meta value
            return RCode::form_err;
        }
    }

} // namespace

// Only standard queries are resolved (RFC 1035 §4.1.1; NOTIFY and UPDATE are for authoritative
// servers), only EDNS version 0 is spoken (RFC 6891 §6.1.3), and only the Internet class is looked up:
// a CH question resolved as IN would answer something nobody asked. Meta-type questions never go
// upstream.
std::optional<std::uint16_t> RecursorServer::refusal(const QueryParseContext& ctx) const
{
    if (((ctx.msg.header.bytes[2] >> 3) & 0x0F) != 0)
        return static_cast<std::uint16_t>(RCode::not_imp);
    if (ctx.edns_info && ctx.edns_info->version != 0)
        return rcode_badvers;
    if (const auto rcode = metaTypeRefusal(ctx.qtype))
        return static_cast<std::uint16_t>(*rcode);
    if (ctx.qclass != QClass::in)
        return static_cast<std::uint16_t>(RCode::refused);
    return std::nullopt;
}

ServerResult<std::vector<std::uint8_t>> RecursorServer::replyFromCache(
    const QueryParseContext& ctx, CacheHit hit, ReplyChannel channel)
{
    if (hit.meta.bogus) {
        metrics_->recordDnssecValidation(DnssecValidationResult::bogus);
        return servFail(ctx, hit.meta.bogus_reason);
    }
    metrics_->recordQuery(hit.meta.rcode, CacheOutcome::hit);
    recordDnssecOutcome(*metrics_, hit.meta.validated, hit.meta.has_dnssec_records);
    return shapeReply(
        std::move(hit.packet), ctx, hit.meta.has_dnssec_records, channel, options_.edns_buffer_size);
}

ServerResult<std::vector<std::uint8_t>> RecursorServer::rcodeReply(
    const QueryParseContext& ctx, std::uint16_t rcode, std::optional<std::uint16_t> extended_error)
{
    auto reply = buildRcodeReply(ctx, rcode, options_.edns_buffer_size, extended_error);
    if (!reply)
        return std::unexpected(replyBuildError(reply.error()));
    if (extended_error && ctx.edns_info)
        metrics_->recordExtendedError(*extended_error);
    return std::move(*reply);
}

ServerResult<std::vector<std::uint8_t>> RecursorServer::servFail(
    const QueryParseContext& ctx, ResolveError why)
{
    metrics_->recordQuery(RCode::serv_fail, CacheOutcome::not_applicable);
    logServFail(ctx, why);
    return rcodeReply(ctx, static_cast<std::uint16_t>(RCode::serv_fail), extendedErrorFor(why));
}

// Each with its reason, so the operator can tell a dead zone from a forged one; at most
// servfail_lines_per_second lines, since strangers choose the names that fail.
void RecursorServer::logServFail(const QueryParseContext& ctx, ResolveError why)
{
    const auto suppressed = servfail_log_.take(monotonicSeconds());
    if (!suppressed)
        return;
    std::string line = "SERVFAIL for " + ctx.qname.toText() + " " + typeName(ctx.qtype) + ": error."
        + std::string(errorName(why));
    if (*suppressed != 0)
        line += " (" + std::to_string(*suppressed) + " more SERVFAIL lines held back)";
    logInfo(line);
}

ServerResult<std::vector<std::uint8_t>> RecursorServer::replyFromResolution(
    const QueryParseContext& ctx, const ResolveResultOr<ResolveResult>& resolved, ReplyChannel channel)
{
    if (!resolved) {
        if (resolved.error() == ResolveError::OutOfMemory)
            return std::unexpected(ServerError::OutOfMemory);
        if (isBogus(resolved.error()))
            metrics_->recordDnssecValidation(DnssecValidationResult::bogus);
        return servFail(ctx, resolved.error());
    }
    metrics_->recordQuery(resolved->rcode, resolved->from_cache ? CacheOutcome::hit : CacheOutcome::miss);
    recordDnssecOutcome(*metrics_, resolved->validated, resolved->has_dnssec_records);
    std::vector<std::uint8_t> packet;
    try {
        packet = resolved->packet;
    } catch (const std::bad_alloc&) {
        return std::unexpected(ServerError::OutOfMemory);
    }
    return shapeReply(
        std::move(packet), ctx, resolved->has_dnssec_records, channel, options_.edns_buffer_size);
}

ServerResult<std::optional<std::vector<std::uint8_t>>> RecursorServer::handleQuery(
    std::span<const std::uint8_t> packet)
{
    std::optional<QueryParseContext> ctx;
    FrontAnswer front = TRY(answerFront(packet, ctx, ReplyChannel::datagram));
    switch (front.kind) {
    case FrontAnswer::Kind::drop:
        return std::nullopt;
    case FrontAnswer::Kind::reply:
        return std::move(front.reply);
    case FrontAnswer::Kind::resolve:
        break;
    }
    auto resolved = resolveChecked(*recursor_, options_.upstream, *ctx);
    if (!resolved && isBogus(resolved.error()) && checkingDisabled(*ctx))
        resolved = kindOnly(recursor_->resolveUnchecked(options_.upstream, ctx->qname, ctx->qtype));
    return TRY(replyFromResolution(*ctx, resolved, ReplyChannel::datagram));
}

// A new question starts a resolution on a fiber of this loop; one already in flight is joined.
void RecursorServer::startResolution(Loop& loop, PendingQuery query)
{
    CacheKey key(query.ctx.qtype, query.ctx.qname);
    if (auto joined = loop.in_flight.find(key); joined != loop.in_flight.end()) {
        if (joined->second.size() < max_waiters_per_question) {
            joined->second.push_back(std::move(query));
            return;
        }
    } else if (loop.resolving.load() < options_.resolution_capacity) {
        // The fiber's own copy: the views of a moved packet stay valid, those of a copied one would not.
        auto leader = std::make_shared<PendingQuery>(std::move(query));
        loop.in_flight.try_emplace(key);
        ++loop.resolving;
        // Detached: a question from a connection outlives the connection's fiber that read it.
        if (loop.events->spawnDetached([this, &loop, leader] {
                runGuarded("recursor query error", [&] { resolveAndAnswer(loop, *leader); });
            }))
            return;
        --loop.resolving;
        loop.in_flight.erase(key);
    }
    metrics_->recordShed();
    if (query.stream) // a connection waits for every answer it is owed
        queueReply(loop, query, servFail(query.ctx, ResolveError::BudgetExhausted));
}

// Resolves one question and answers it, and every client that asked the same meanwhile, each with its
// own ID, RD bit, EDNS size and spelling of the name.
void RecursorServer::resolveAndAnswer(Loop& loop, const PendingQuery& leader)
{
    const CacheKey key(leader.ctx.qtype, leader.ctx.qname);
    std::vector<PendingQuery> joined;
    auto collectJoined = [&] {
        if (auto it = loop.in_flight.find(key); it != loop.in_flight.end()) {
            joined = std::move(it->second);
            loop.in_flight.erase(it);
        }
        --loop.resolving;
    };
    try {
        const DnsName& qname = leader.ctx.qname;
        const QType qtype = leader.ctx.qtype;
        const auto resolved = resolveChecked(*recursor_, options_.upstream, leader.ctx);
        collectJoined();
        // Clients that set CD get bogus data as it is; the others SERVFAIL. The unchecked copy is
        // fetched once for all of them and kept only apart from the answer cache, for CD clients.
        std::optional<ResolveResultOr<ResolveResult>> unchecked;
        auto resultFor = [&](const PendingQuery& query) -> const ResolveResultOr<ResolveResult>& {
            if (resolved || !isBogus(resolved.error()) || !checkingDisabled(query.ctx))
                return resolved;
            if (!unchecked)
                unchecked = kindOnly(recursor_->resolveUnchecked(options_.upstream, qname, qtype));
            return *unchecked;
        };
        queueReply(loop, leader, replyFromResolution(leader.ctx, resultFor(leader), channelOf(leader)));
        for (const PendingQuery& other : joined)
            queueReply(loop, other, replyFromResolution(other.ctx, resultFor(other), channelOf(other)));
    } catch (...) {
        if (loop.in_flight.contains(key))
            collectJoined(); // the question must not stay in flight for ever
        throw;
    }
}

// The reply goes out with the others of this round of the loop, in one sendmmsg (see startLoops).
void RecursorServer::queueReply(
    Loop& loop, const PendingQuery& query, ServerResult<std::vector<std::uint8_t>> reply)
{
    if (!reply) {
        logWarningWithError("recursor query error: ", reply.error());
        if (query.stream)
            query.stream->send({}); // nothing to send, but nothing owed any more either
        return;
    }
    const Transport transport = !query.stream ? Transport::udp
        : query.stream->tls()                 ? Transport::tls
                                              : Transport::tcp;
    recordReply(*reply, { query.client_addr, transport, CacheOutcome::miss, query.received_us });
    if (query.stream)
        query.stream->send(*reply);
    else
        loop.batch->replies.push_back({ std::move(*reply), query.client_addr, query.reply_source });
}

namespace {

    // The control socket's commands, as HELP lists them.
    struct ControlCommandHelp {
        std::string_view usage;
        std::string_view meaning;
    };
    constexpr std::array<ControlCommandHelp, 6> control_commands { {
        { "PING", "answers OK while the server runs" },
        { "STATS", "the counters, as one JSON line after OK" },
        { "FLUSH <name>", "drops every cached entry at or below the name" },
        { "TRACE <name> <type>",
            "resolves afresh from the root servers, caches untouched, and shows each step" },
        { "SHUTDOWN", "stops the server in order, as SIGTERM does" },
        { "HELP", "this list" },
    } };

    std::string controlHelp()
    {
        std::string out = "OK";
        for (const ControlCommandHelp& command : control_commands)
            out.append("\n").append(command.usage).append(" - ").append(command.meaning);
        return out;
    }

} // namespace

OpsResult<std::string> RecursorServer::controlHandler(
    std::string_view command, std::span<const std::string_view> args)
{
    try {
        if (command == "TRACE") {
            if (args.size() != 2)
                return std::string("ERROR: Usage: TRACE <name> <type>");
            auto name = DnsName::fromText(args[0]);
            const auto type = typeFromText(args[1]);
            if (!name || !type)
                return std::string("ERROR: Invalid name or type");
            return traceResolution(*name, *type);
        }
        if (command == "FLUSH") {
            if (args.size() != 1)
                return std::string("ERROR: Usage: FLUSH <name>");
            auto name = DnsName::fromText(args[0]);
            if (!name)
                return std::string("ERROR: Invalid name");
            return "OK " + std::to_string(recursor_->flush(*name)) + " entries dropped";
        }
        if (command == "PING")
            return std::string("OK");
        if (command == "STATS")
            return renderStatsOk(metrics_->snapshot());
        if (command == "SHUTDOWN") {
            requestStop();
            return std::string("OK");
        }
        if (command == "HELP")
            return controlHelp();
        return std::string("ERROR: Unknown command");
    } catch (const std::bad_alloc&) {
        return std::unexpected(OpsError::OutOfMemory);
    }
}

} // namespace recursor
