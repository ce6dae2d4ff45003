#include "ops/http_server.h"

#include "base/log.h"
#include "ops/connection_io.h"
#include "ops/process_metrics.h"
#include "ops/stats_json.h"
#include "wire/type_names.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <new>
#include <optional>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace recursor {

using ops_io::monotonicMs;
using ops_io::UniqueFd;
using ops_io::warn;

std::optional<std::size_t> findHttpHeadEnd(std::string_view data)
{
    if (std::size_t pos = data.find("\r\n\r\n"); pos != std::string_view::npos)
        return pos + 4;
    if (std::size_t pos = data.find("\n\n"); pos != std::string_view::npos)
        return pos + 2;
    return std::nullopt;
}

void appendMetricFamily(std::string& out, std::string_view name, std::string_view help, std::string_view type)
{
    out.append("\n# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

namespace {

    constexpr std::size_t request_buffer_size = 4096;
    constexpr std::int64_t request_deadline_ms = 1000;
    constexpr int listen_backlog = 128;
    constexpr std::size_t exposition_initial_capacity = 1536;
    // What a client sent beyond the request head is read and dropped for at most this long and this much
    // after the reply, so that closing does not reset the connection under the reply.
    constexpr std::int64_t linger_ms = 1000;
    constexpr std::size_t linger_max_bytes = 64 * 1024;

    constexpr std::string_view health_response = "HTTP/1.1 200 OK\r\n"
                                                 "Content-Type: text/plain\r\n"
                                                 "Content-Length: 3\r\n"
                                                 "Connection: close\r\n"
                                                 "\r\n"
                                                 "OK\n";

    // Best effort: the connection is closed right after, whatever happens here.
    void sendAll(int fd, std::string_view data, int flags = 0)
    {
        while (!data.empty()) {
            const ssize_t sent = ::send(fd, data.data(), data.size(), flags | MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0)
                return;
            data.remove_prefix(static_cast<std::size_t>(sent));
        }
    }

    void sendResponse(int fd, std::string_view status, std::string_view content_type, std::string_view body)
    {
        char head[256];
        const int length = std::snprintf(head, sizeof head,
            "HTTP/1.1 %.*s\r\nContent-Type: %.*s\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n",
            static_cast<int>(status.size()), status.data(), static_cast<int>(content_type.size()),
            content_type.data(), body.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof head)
            return;
        // MSG_MORE lets head and body leave in one segment.
        sendAll(fd, std::string_view(head, static_cast<std::size_t>(length)), MSG_MORE);
        sendAll(fd, body);
    }

    void send404(int fd)
    {
        sendResponse(fd, "404 Not Found", "text/plain", "404 Not Found\n");
    }
    void send405(int fd)
    {
        sendResponse(fd, "405 Method Not Allowed", "text/plain", "405 Method Not Allowed\n");
    }
    void send413(int fd)
    {
        sendResponse(fd, "413 Payload Too Large", "text/plain", "413 Payload Too Large\n");
    }
    void send500(int fd)
    {
        sendResponse(fd, "500 Internal Server Error", "text/plain", "500 Internal Server Error\n");
    }

    enum class HeadOutcome : std::uint8_t { complete, too_large, dropped };

    struct HeadRead {
        HeadOutcome outcome;
        std::string_view head;
    };

    // A head that never ends counts whole once the peer closes its side.
    HeadRead readRequestHead(int fd, std::span<char> buffer, std::int64_t deadline_ms)
    {
        std::size_t length = 0;
        for (;;) {
            if (!ops_io::waitUntil(fd, POLLIN, deadline_ms))
                return { HeadOutcome::dropped, {} };
            const ssize_t n = ::recv(fd, buffer.data() + length, buffer.size() - length, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return { HeadOutcome::dropped, {} };
            if (n == 0)
                break;
            length += static_cast<std::size_t>(n);
            const std::string_view data(buffer.data(), length);
            if (std::optional<std::size_t> end = findHttpHeadEnd(data))
                return { HeadOutcome::complete, data.substr(0, *end) };
            if (length == buffer.size())
                return { HeadOutcome::too_large, {} };
        }
        if (length == 0)
            return { HeadOutcome::dropped, {} };
        return { HeadOutcome::complete, std::string_view(buffer.data(), length) };
    }

    // Closing a socket with unread bytes makes Linux send a reset at once and discard whatever of the
    // reply has not left yet (RFC 9112 §9.6). Half-close instead, so the reply and our FIN go out in
    // order, and read what the client still sends until it closes, or the bounds are reached.
    void lingeringClose(int fd)
    {
        if (::shutdown(fd, SHUT_WR) != 0)
            return;
        const std::int64_t deadline = monotonicMs() + linger_ms;
        std::array<char, 4096> sink;
        std::size_t drained = 0;
        while (drained < linger_max_bytes && ops_io::waitUntil(fd, POLLIN, deadline)) {
            const ssize_t n = ::recv(fd, sink.data(), sink.size(), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            drained += static_cast<std::size_t>(n);
        }
    }

    struct ExpositionBlock {
        std::string_view name;
        std::string_view help;
        std::string_view type;
        std::uint64_t value;
    };

    // One counter family with a label; only the label values counted so far are shown.
    template <std::size_t N, typename LabelOf>
    void appendLabelled(std::string& out, std::string_view name, std::string_view help,
        std::string_view label, const std::array<std::atomic<std::uint64_t>, N>& counts, LabelOf labelOf)
    {
        appendMetricFamily(out, name, help, "counter");
        for (std::size_t i = 0; i < N; ++i) {
            if (const std::uint64_t n = counts[i].load(); n != 0) {
                out.append(name).append("{").append(label).append("=\"").append(labelOf(i)).append("\"} ");
                out.append(std::to_string(n)).append("\n");
            }
        }
    }

    // Replies by transport and RCODE; only the pairs counted so far are shown.
    void appendAnswers(std::string& out, const Metrics& metrics)
    {
        constexpr std::string_view name = "dns_answers_total";
        appendMetricFamily(out, name, "Replies sent, by transport and RCODE", "counter");
        for (std::size_t t = 0; t < transport_count; ++t) {
            for (std::size_t rcode = 0; rcode < metrics.answers_by_rcode[t].size(); ++rcode) {
                const std::uint64_t n = metrics.answers_by_rcode[t][rcode].load(std::memory_order_relaxed);
                if (n == 0)
                    continue;
                out.append(name).append("{transport=\"").append(transportName(static_cast<Transport>(t)));
                out.append("\",rcode=\"").append(rcodeName(static_cast<std::uint16_t>(rcode))).append("\"} ");
                out.append(std::to_string(n)).append("\n");
            }
        }
    }

    std::string secondsText(std::uint64_t microseconds)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%.6g", static_cast<double>(microseconds) / 1e6);
        return text;
    }

    void appendAnswerTimes(std::string& out, const Metrics& metrics)
    {
        constexpr std::string_view name = "dns_answer_duration_seconds";
        appendMetricFamily(out, name, "Time from a question's arrival to its answer", "histogram");
        for (const auto& [cache, histogram] : { std::pair { "hit", &metrics.answer_time_hit },
                 std::pair { "miss", &metrics.answer_time_miss } }) {
            std::uint64_t cumulative = 0;
            for (std::size_t i = 0; i < histogram->buckets.size(); ++i) {
                cumulative += histogram->buckets[i].load();
                const std::string le = i < LatencyHistogram::bounds_us.size()
                    ? secondsText(LatencyHistogram::bounds_us[i])
                    : "+Inf";
                out.append(name).append("_bucket{cache=\"").append(cache).append("\",le=\"").append(le);
                out.append("\"} ").append(std::to_string(cumulative)).append("\n");
            }
            out.append(name).append("_sum{cache=\"").append(cache).append("\"} ");
            out.append(secondsText(histogram->sum_us.load())).append("\n");
            out.append(name).append("_count{cache=\"").append(cache).append("\"} ");
            out.append(std::to_string(cumulative)).append("\n");
        }
    }

    // Prometheus text format 0.0.4. The counters are loaded one by one, not as a consistent set.
    std::string renderExposition(const Metrics& metrics, std::uint64_t uptime)
    {
        const std::array<ExpositionBlock, 16> blocks { {
            { "dns_queries_total", "Total DNS queries received", "counter", metrics.queries_total.load() },
            { "dns_queries_success_total", "Successful queries (NOERROR)", "counter",
                metrics.queries_success.load() },
            { "dns_queries_nxdomain_total", "NXDOMAIN responses", "counter",
                metrics.queries_nxdomain.load() },
            { "dns_queries_servfail_total", "SERVFAIL responses", "counter",
                metrics.queries_servfail.load() },
            { "dns_queries_refused_total", "REFUSED responses", "counter", metrics.queries_refused.load() },
            { "dns_cache_hits_total", "Cache hits", "counter", metrics.cache_hits.load() },
            { "dns_cache_misses_total", "Cache misses", "counter", metrics.cache_misses.load() },
            { "dns_queries_shed_total", "Questions dropped because the resolution queue was full", "counter",
                metrics.queries_shed.load() },
            { "dns_queries_rate_limited_total",
                "Questions over their client's rate: datagrams dropped, connections refused", "counter",
                metrics.queries_rate_limited.load() },
            { "dns_stale_answers_total",
                "Expired answers served because their servers did not answer (RFC 8767)", "counter",
                metrics.stale_answers.load() },
            { "dns_prefetches_total", "Answers refreshed in the background near the end of their TTL",
                "counter", metrics.prefetches_started.load() },
            { "dns_replies_badcookie_total", "Datagrams without a valid server cookie told BADCOOKIE",
                "counter", metrics.replies_badcookie.load() },
            { "dns_dnssec_secure_total", "Answers validated from the trust anchor", "counter",
                metrics.dnssec_validations_success.load() },
            { "dns_dnssec_insecure_total", "Answers with DNSSEC records that were not validated", "counter",
                metrics.dnssec_validations_insecure.load() },
            { "dns_dnssec_bogus_total", "Answers that failed validation (SERVFAIL)", "counter",
                metrics.dnssec_validations_bogus.load() },
            { "dns_uptime_seconds", "Server uptime in seconds", "gauge", uptime },
        } };
        std::string out;
        out.reserve(exposition_initial_capacity);
        for (const ExpositionBlock& block : blocks) {
            if (!out.empty())
                out += '\n';
            out.append("# HELP ").append(block.name).append(" ").append(block.help).append("\n");
            out.append("# TYPE ").append(block.name).append(" ").append(block.type).append("\n");
            out.append(block.name).append(" ").append(std::to_string(block.value)).append("\n");
        }
        appendAnswerTimes(out, metrics);
        appendAnswers(out, metrics);
        appendLabelled(out, "dns_extended_errors_total", "Extended DNS errors given (RFC 8914), by INFO-CODE",
            "code", metrics.extended_errors, [](std::size_t code) { return std::to_string(code); });
        appendLabelled(out, "dns_tcp_connections_refused_total",
            "TCP and TLS connections closed as they were accepted, by reason", "reason",
            metrics.streams_refused,
            [](std::size_t why) { return std::string(streamRefusalName(static_cast<StreamRefusal>(why))); });
        appendLabelled(out, "dns_rpz_hits_total", "Questions a response policy zone matched, by zone", "zone",
            metrics.policy_hits, [&](std::size_t zone) { return metrics.policyZoneName(zone); });
        out += metrics.moreExposition();
        appendProcessExposition(out);
        return out;
    }

    // SO_REUSEADDR only: no port sharing, so a second server on the same port fails with AddressInUse.
    OpsResult<int> listenReuseAddrOnly(SocketAddress& address)
    {
        if (address.family() != AF_INET && address.family() != AF_INET6)
            return std::unexpected(OpsError::InvalidArgs);
        UniqueFd fd(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.get() < 0)
            return std::unexpected(OpsError::SocketFailed);
        const int one = 1;
        if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
            return std::unexpected(OpsError::SocketFailed);
        if (::bind(fd.get(), address.sockaddrPtr(), address.sockaddrLen()) != 0)
            return std::unexpected(errno == EADDRINUSE ? OpsError::AddressInUse : OpsError::BindFailed);
        if (::listen(fd.get(), listen_backlog) != 0)
            return std::unexpected(OpsError::ListenFailed);
        sockaddr_storage bound {};
        socklen_t bound_len = sizeof bound;
        if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &bound_len) != 0)
            return std::unexpected(OpsError::ListenFailed);
        std::optional<SocketAddress> parsed
            = SocketAddress::fromSockaddr(reinterpret_cast<const sockaddr*>(&bound), bound_len);
        if (!parsed)
            return std::unexpected(OpsError::ListenFailed);
        address = *parsed;
        return fd.release();
    }

    // A blocked accept() on a listener that was shut down returns at once on Linux; the connection
    // covers kernels where it does not.
    void wakeAcceptor(const SocketAddress& address)
    {
        UniqueFd fd(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.get() >= 0)
            (void)::connect(fd.get(), address.sockaddrPtr(), address.sockaddrLen());
    }

} // namespace

std::optional<HttpRequestLine> parseHttpRequest(std::string_view head)
{
    const std::string_view line = head.substr(0, head.find('\n'));
    std::size_t pos = 0;
    const std::string_view method = ops_io::nextWord(line, pos);
    const std::string_view target = ops_io::nextWord(line, pos);
    if (method.empty() || target.empty())
        return std::nullopt;
    return HttpRequestLine { method, target.substr(0, target.find('?')) };
}

HttpServer::HttpServer(
    MetricsGetter metrics_getter, ZonesLister zones_lister, SocketAddress address, HttpServerConfig config)
    : metrics_getter_(std::move(metrics_getter))
    , zones_lister_(std::move(zones_lister))
    , address_(address)
    , config_(config)
{
}

HttpServer::~HttpServer()
{
    stop();
}

OpsResult<void> HttpServer::start()
{
    if (listener_fd_ >= 0 || !metrics_getter_)
        return std::unexpected(OpsError::InvalidArgs);
    listener_fd_ = TRY(listenReuseAddrOnly(address_));
    should_stop_.store(false);
    if (accept_thread_.start([this] { acceptLoop(); }) != 0) {
        ::close(std::exchange(listener_fd_, -1));
        return std::unexpected(OpsError::ThreadSpawnFailed);
    }
    try {
        logInfo("HTTP metrics server listening on " + address_.toString());
    } catch (const std::bad_alloc&) {
    }
    return {};
}

void HttpServer::stop()
{
    should_stop_.store(true);
    if (listener_fd_ >= 0) {
        ::shutdown(listener_fd_, SHUT_RDWR);
        wakeAcceptor(address_);
    }
    accept_thread_.join();
    if (listener_fd_ >= 0)
        ::close(std::exchange(listener_fd_, -1));
    ops_io::waitUntilIdle(active_handlers_);
}

void HttpServer::acceptLoop()
{
    // A peer outside the allowed prefixes is closed before anything is read: no slot, no thread, and
    // nothing in the log that a stranger could flood.
    auto admit = [this](int fd) {
        sockaddr_storage peer {};
        socklen_t peer_len = sizeof peer;
        const bool allowed = ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) == 0 && [&] {
            const auto address = SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&peer), peer_len);
            return address && config_.admit_peer(*address);
        }();
        if (!allowed)
            ::close(fd);
        return allowed;
    };
    ops_io::acceptConnections(listener_fd_, should_stop_, active_handlers_, config_.max_connections,
        { .name = "HTTP", .thread_noun = "HTTP handler" },
        config_.admit_peer ? std::function<bool(int)>(admit) : std::function<bool(int)> {},
        [this](int fd) { handleClient(fd); });
}

void HttpServer::handleClient(int client_fd)
{
    {
        UniqueFd fd(client_fd);
        runGuarded("HTTP handler", [&] { serveConnection(fd.get()); });
    }
    // The last touch of `this`: stop() may destroy the server as soon as the count reaches zero.
    active_handlers_.fetch_sub(1);
}

void HttpServer::serveConnection(int client_fd)
{
    const std::int64_t deadline = monotonicMs() + request_deadline_ms;
    std::array<char, request_buffer_size> buffer;
    const HeadRead read = readRequestHead(client_fd, buffer, deadline);
    switch (read.outcome) {
    case HeadOutcome::dropped:
        break;
    case HeadOutcome::too_large:
        send413(client_fd);
        lingeringClose(client_fd);
        break;
    case HeadOutcome::complete:
        if (std::optional<HttpRequestLine> request = parseHttpRequest(read.head))
            route(client_fd, request->method, request->path);
        lingeringClose(client_fd);
        break;
    }
}

void HttpServer::route(int client_fd, std::string_view method, std::string_view path)
{
    if (method != "GET")
        send405(client_fd);
    else if (path == "/metrics")
        handleMetrics(client_fd);
    else if (path == "/stats")
        handleStats(client_fd);
    else if (path == "/health")
        sendAll(client_fd, health_response);
    else if (path == "/zones")
        handleZones(client_fd);
    else
        send404(client_fd);
}

void HttpServer::handleMetrics(int client_fd)
{
    const Metrics& metrics = metrics_getter_();
    const std::uint64_t uptime = metrics.uptimeSeconds(metrics.wallClockSeconds());
    try {
        const std::string body = renderExposition(metrics, uptime);
        sendResponse(client_fd, "200 OK", "text/plain; version=0.0.4", body);
    } catch (const std::bad_alloc&) {
        send500(client_fd);
    }
}

void HttpServer::handleStats(int client_fd)
{
    const OpsResult<std::string> body = renderStatsJson(metrics_getter_().snapshot());
    if (body)
        sendResponse(client_fd, "200 OK", "application/json", *body);
    else
        send500(client_fd);
}

void HttpServer::handleZones(int client_fd)
{
    if (!zones_lister_) {
        sendResponse(client_fd, "501 Not Implemented", "application/json", R"({"error":"Not implemented"})");
        return;
    }
    OpsResult<std::string> body = std::unexpected(OpsError::OutOfMemory);
    try {
        body = zones_lister_();
    } catch (const std::bad_alloc&) {
    }
    if (body)
        sendResponse(client_fd, "200 OK", "application/json", *body);
    else
        send500(client_fd);
}

} // namespace recursor
