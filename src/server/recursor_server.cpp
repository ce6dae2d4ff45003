#include "server/recursor_server.h"

#include "base/log.h"
#include "ops/authoritative_format.h"
#include "server/query.h"
#include "server/udp_response.h"

#include <cerrno>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace recursor {

namespace {

    // Roomy kernel buffer so bursts wait in the socket rather than being dropped.
    constexpr int socket_receive_buffer_bytes = 4 * 1024 * 1024;

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

} // namespace

WireResult<std::vector<std::uint8_t>> buildFormErrResponse(std::span<const std::uint8_t> packet)
{
    auto reply = TRY(buildErrorResponse(packet, RCode::form_err));
    if (reply.size() >= Header::size)
        setHeaderBit(reply, 3, 0x80, true); // RA
    return reply;
}

WireResult<std::vector<std::uint8_t>> buildServfailResponse(const QueryParseContext& ctx)
{
    return buildResponse(ctx,
        ResponseOptions {
            .qclass = ctx.qclass,
            .authoritative = false,
            .recursion_desired = ctx.msg.header.rd(),
            .recursion_available = true,
        },
        RCode::serv_fail);
}

ServerResult<std::unique_ptr<RecursorServer>> RecursorServer::init(InitOptions options)
{
    auto recursor = Recursor::init(options.enable_dnssec);
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
    , listen_addr_(options_.listen_addr)
    , http_listen_addr_(options_.http_listen_addr)
{
}

RecursorServer::~RecursorServer()
{
    stop();
    // Members go in reverse order: the queue, the side servers, the metrics, then the resolver core.
}

std::size_t RecursorServer::computeWorkerCount() const
{
    if (options_.worker_count)
        return std::max<std::size_t>(*options_.worker_count, 1);
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 2;
    return std::max<std::size_t>(static_cast<std::size_t>(CPU_COUNT(&set)), 2);
}

ServerResult<void> RecursorServer::bindUdpSocket()
{
    const int fd = ::socket(listen_addr_.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::unexpected(ServerError::SocketFailed);
    if (::bind(fd, listen_addr_.sockaddrPtr(), listen_addr_.sockaddrLen()) != 0) {
        const int err = errno;
        ::close(fd);
        const ServerError e = fromErrno(err);
        return std::unexpected(e == ServerError::Unexpected ? ServerError::BindFailed : e);
    }
    sockaddr_storage bound {};
    socklen_t bound_len = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len) == 0) {
        if (auto addr = SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&bound), bound_len))
            listen_addr_ = *addr;
    }
    const timeval wait { 0, receive_timeout_ms * 1000 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &socket_receive_buffer_bytes, sizeof socket_receive_buffer_bytes);
    socket_ = fd;
    return {};
}

ServerResult<void> RecursorServer::startSideServers()
{
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
        http_server_ = std::make_unique<HttpServer>([this]() -> const Metrics& { return *metrics_; },
            HttpServer::ZonesLister {}, *http_listen_addr_, options_.http_config);
        if (auto started = http_server_->start(); !started)
            return std::unexpected(toServerError(started.error()));
        http_listen_addr_ = http_server_->boundAddress();
    }
    return {};
}

ServerResult<void> RecursorServer::start()
{
    TRY_VOID(bindUdpSocket());
    auto started = [&]() -> ServerResult<void> {
        TRY_VOID(startSideServers());
        try {
            std::lock_guard lock(work_mutex_);
            work_queue_.clear();
        } catch (const std::bad_alloc&) {
            return std::unexpected(ServerError::OutOfMemory);
        }
        TRY_VOID(startWorkers());
        if (receiver_thread_.start([this] { receiverLoop(); }) != 0)
            return std::unexpected(ServerError::ThreadSpawnFailed);
        return {};
    }();
    if (!started) {
        stop();
        return started;
    }
    logInfo("recursor listening on " + listen_addr_.toString());
    return started;
}

ServerResult<void> RecursorServer::startWorkers()
{
    worker_stop_.store(false);
    const std::size_t count = computeWorkerCount();
    try {
        worker_threads_.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            Thread worker;
            if (worker.start([this] { workerLoop(); }) != 0) {
                stopWorkers();
                return std::unexpected(ServerError::ThreadSpawnFailed);
            }
            worker_threads_.push_back(std::move(worker));
        }
    } catch (const std::bad_alloc&) {
        stopWorkers();
        return std::unexpected(ServerError::OutOfMemory);
    }
    return {};
}

void RecursorServer::stopWorkers()
{
    {
        // Under the mutex, so a worker between its emptiness check and its wait cannot miss the wake-up.
        std::lock_guard lock(work_mutex_);
        worker_stop_.store(true);
    }
    work_cond_.notify_all();
    for (Thread& worker : worker_threads_)
        worker.join();
    worker_threads_.clear();
}

void RecursorServer::stop()
{
    {
        std::lock_guard lock(work_mutex_);
        should_stop_.store(true);
    }
    work_cond_.notify_all();
    receiver_thread_.join();
    stopWorkers(); // workers drain the queue before they leave
    closeSocket();
    if (http_server_)
        http_server_->stop();
    if (control_socket_)
        control_socket_->stop();
}

void RecursorServer::closeSocket()
{
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
}

void RecursorServer::receiverLoop()
{
    if (socket_ < 0)
        return;
    std::vector<std::uint8_t> buffer(receive_buffer_size);
    while (!should_stop_.load()) {
        sockaddr_storage from {};
        socklen_t from_len = sizeof from;
        const ssize_t n = ::recvfrom(
            socket_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < 0) {
            const int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || should_stop_.load())
                continue;
            logWarningWithError("recursor recv error: ", fromErrno(err));
            continue;
        }
        if (n == 0)
            continue;
        auto client = SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&from), from_len);
        if (!client)
            continue;
        std::vector<std::uint8_t> copy;
        try {
            copy.assign(buffer.begin(), buffer.begin() + n); // a datagram over 4096 bytes arrives cut
        } catch (const std::bad_alloc&) {
            continue;
        }
        enqueueWork(std::move(copy), *client);
    }
}

void RecursorServer::enqueueWork(std::vector<std::uint8_t> packet, const SocketAddress& client)
{
    std::unique_lock lock(work_mutex_);
    work_cond_.wait(lock, [this] {
        return work_queue_.size() < options_.queue_capacity || should_stop_.load() || worker_stop_.load();
    });
    if (should_stop_.load() || worker_stop_.load())
        return;
    try {
        work_queue_.push_back(PendingQuery { std::move(packet), client });
    } catch (const std::bad_alloc&) {
        return;
    }
    lock.unlock();
    work_cond_.notify_all();
}

std::optional<PendingQuery> RecursorServer::takeWork()
{
    std::unique_lock lock(work_mutex_);
    work_cond_.wait(lock, [this] { return !work_queue_.empty() || worker_stop_.load(); });
    if (work_queue_.empty())
        return std::nullopt;
    PendingQuery query = std::move(work_queue_.front());
    work_queue_.pop_front();
    lock.unlock();
    work_cond_.notify_all(); // the receiver may be waiting for room
    return query;
}

void RecursorServer::workerLoop()
{
    if (socket_ < 0)
        return;
    while (auto query = takeWork())
        answer(*query);
}

std::size_t RecursorServer::queuedCount()
{
    std::lock_guard lock(work_mutex_);
    return work_queue_.size();
}

void RecursorServer::answer(const PendingQuery& query)
{
    if (options_.before_answer)
        options_.before_answer();
    auto reply = handleQuery(query.packet);
    if (!reply) {
        logWarningWithError("recursor query error: ", reply.error());
        return;
    }
    if (!*reply)
        return;
    const auto& bytes = **reply;
    // Send errors are the client's problem; the worker carries on.
    (void)::sendto(socket_, bytes.data(), bytes.size(), 0, query.client_addr.sockaddrPtr(),
        query.client_addr.sockaddrLen());
}

ServerResult<std::optional<std::vector<std::uint8_t>>> RecursorServer::handleQuery(
    std::span<const std::uint8_t> packet)
{
    // A message with QR set is a response, not a question. Answering it would let one spoofed packet
    // set two resolvers (or one resolver and itself) answering each other forever.
    if (packet.size() >= Header::size && (packet[2] & flag_qr) != 0)
        return std::nullopt;

    auto formErr = [&]() -> ServerResult<std::optional<std::vector<std::uint8_t>>> {
        metrics_->recordQuery(RCode::form_err, CacheOutcome::not_applicable);
        auto reply = buildFormErrResponse(packet);
        if (!reply)
            return std::unexpected(replyBuildError(reply.error()));
        return std::move(*reply);
    };

    auto parsed = parseQueryForAuthoritativeAnswer(packet);
    if (!parsed) {
        if (parsed.error() == WireError::OutOfMemory)
            return std::unexpected(ServerError::OutOfMemory);
        return formErr();
    }
    const QueryParseContext& ctx = *parsed;
    if (!ctx.valid_question)
        return formErr();

    auto servFail = [&]() -> ServerResult<std::optional<std::vector<std::uint8_t>>> {
        metrics_->recordQuery(RCode::serv_fail, CacheOutcome::not_applicable);
        auto reply = buildServfailResponse(ctx);
        if (!reply)
            return std::unexpected(replyBuildError(reply.error()));
        return std::move(*reply);
    };

    auto resolved = recursor_->resolveWithTransport(upstream_, ctx.qname, ctx.qtype);
    if (!resolved) {
        switch (resolved.error()) {
        case ResolveError::OutOfMemory:
            return std::unexpected(ServerError::OutOfMemory);
        case ResolveError::DnssecBogus:
            metrics_->recordDnssecValidation(DnssecValidationResult::bogus);
            return servFail();
        case ResolveError::ServFail:
        case ResolveError::CnameLoop:
        case ResolveError::MaxDepthExceeded:
            return servFail();
        }
        return servFail();
    }
    ResolveResult& result = *resolved;
    if (result.packet.size() < Header::size)
        return servFail(); // cannot happen with a sound resolver; never send a headerless reply

    metrics_->recordQuery(result.rcode, result.from_cache ? CacheOutcome::hit : CacheOutcome::miss);
    if (result.validated || result.has_dnssec_records) {
        metrics_->recordDnssecValidation(
            result.validated ? DnssecValidationResult::secure : DnssecValidationResult::insecure);
    }

    std::vector<std::uint8_t>& reply = result.packet; // ours to change: the result is a private copy
    reply[0] = static_cast<std::uint8_t>(ctx.query_id >> 8);
    reply[1] = static_cast<std::uint8_t>(ctx.query_id);
    setHeaderBit(reply, 2, 0x01, ctx.msg.header.rd());
    auto shaped = buildUdpResponse(reply, ctx.edns_info, ctx.qname);
    if (!shaped)
        return std::unexpected(shaped.error());
    return std::move(*shaped);
}

OpsResult<std::string> RecursorServer::controlHandler(
    std::string_view command, std::span<const std::string_view>)
{
    try {
        if (command == "PING")
            return std::string("OK");
        if (command == "STATS")
            return renderStatsOk(metrics_->snapshot());
        if (command == "SHUTDOWN") {
            requestStop();
            return std::string("OK");
        }
        return std::string("ERROR: Unknown command");
    } catch (const std::bad_alloc&) {
        return std::unexpected(OpsError::OutOfMemory);
    }
}

} // namespace recursor
