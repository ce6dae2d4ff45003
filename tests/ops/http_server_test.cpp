#include "ops/http_server.h"

#include "ops/stats_json.h"

#include "support/stream_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace recursor {
namespace {

    using test::StreamClient;

    using Clock = std::chrono::steady_clock;
    constexpr std::int64_t start_seconds = 1'700'000'000;

    std::int64_t millisecondsSince(Clock::time_point start)
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    }

    std::string roundTrip(
        const SocketAddress& address, std::string_view request, bool close_write_side = false)
    {
        StreamClient client(address);
        EXPECT_TRUE(client.connected());
        client.send(request);
        if (close_write_side)
            client.closeWriteSide();
        return client.readUntilClosed();
    }

    std::string response(std::string_view status, std::string_view content_type, std::string_view body)
    {
        std::string out = "HTTP/1.1 ";
        out.append(status).append("\r\nContent-Type: ").append(content_type);
        out.append("\r\nContent-Length: ").append(std::to_string(body.size()));
        out.append("\r\nConnection: close\r\n\r\n").append(body);
        return out;
    }

    std::string bodyOf(const std::string& full_response)
    {
        const std::size_t end = full_response.find("\r\n\r\n");
        return end == std::string::npos ? std::string {} : full_response.substr(end + 4);
    }

    const std::string health_bytes = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n"
                                     "Connection: close\r\n\r\nOK\n";
    const std::string not_found = response("404 Not Found", "text/plain", "404 Not Found\n");
    const std::string not_allowed
        = response("405 Method Not Allowed", "text/plain", "405 Method Not Allowed\n");

    bool waitFor(const std::function<bool()>& condition)
    {
        const auto start = Clock::now();
        while (!condition()) {
            if (millisecondsSince(start) > 3000)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds { 5 });
        }
        return true;
    }

    // Metrics on a stepped clock plus a started server on 127.0.0.1, port chosen by the kernel.
    struct RunningServer {
        explicit RunningServer(HttpServerConfig config = {}, HttpServer::ZonesLister lister = {},
            std::string_view host = "127.0.0.1")
        {
            auto created = Metrics::init([now = now] { return now->load(); });
            EXPECT_TRUE(created.has_value());
            metrics = std::move(*created);
            server = std::make_unique<HttpServer>([m = metrics.get()]() -> const Metrics& { return *m; },
                std::move(lister), *SocketAddress::fromIpLiteral(host, 0), config);
            const OpsResult<void> started = server->start();
            EXPECT_TRUE(started.has_value());
            ok = started.has_value();
        }
        const SocketAddress& address() const { return server->boundAddress(); }

        std::shared_ptr<std::atomic<std::int64_t>> now
            = std::make_shared<std::atomic<std::int64_t>>(start_seconds);
        std::unique_ptr<Metrics> metrics;
        std::unique_ptr<HttpServer> server;
        bool ok { false };
    };

    TEST(HttpServer, AnswersHealthWithExactBytes)
    {
        RunningServer running;
        ASSERT_TRUE(running.ok);
        EXPECT_EQ(roundTrip(running.address(), "GET /health HTTP/1.1\r\nHost: x\r\n\r\n"), health_bytes);
    }

    TEST(HttpServer, RendersExpositionFromLiveCounters)
    {
        RunningServer running;
        ASSERT_TRUE(running.ok);
        Metrics& metrics = *running.metrics;
        for (int i = 0; i < 3; ++i)
            metrics.recordQuery(RCode::no_error, CacheOutcome::hit);
        metrics.recordQuery(RCode::nx_domain, CacheOutcome::miss);
        metrics.recordQuery(RCode::serv_fail, CacheOutcome::not_applicable);
        metrics.recordQuery(RCode::serv_fail, CacheOutcome::not_applicable);
        metrics.recordQuery(RCode::refused, CacheOutcome::miss);
        metrics.recordQuery(RCode::form_err, CacheOutcome::not_applicable); // FORMERR is not exposed
        metrics.recordDnssecValidation(DnssecValidationResult::bogus);
        metrics.recordDnssecValidation(DnssecValidationResult::insecure);
        metrics.recordDnssecValidation(DnssecValidationResult::insecure);
        metrics.recordShed();
        metrics.recordRateLimited();
        metrics.recordRateLimited();
        metrics.recordStaleAnswer();
        for (int i = 0; i < 3; ++i)
            metrics.recordBadCookie();
        metrics.recordStreamRefused(StreamRefusal::client_at_limit);
        metrics.setPolicyZoneNames({ "block.rpz.", "allow.rpz." });
        metrics.recordPolicyHit(1);
        metrics.recordPolicyHit(1);
        metrics.recordPolicyHit(Metrics::max_policy_zones); // beyond the table: not counted
        for (const auto& [transport, rcode] :
            { std::pair { Transport::udp, 0 }, std::pair { Transport::udp, 0 },
                std::pair { Transport::tcp, 0 }, std::pair { Transport::udp, 3 },
                std::pair { Transport::tls, 2 }, std::pair { Transport::udp, 5 } })
            metrics.recordAnswer(transport, static_cast<std::uint16_t>(rcode));
        running.now->store(start_seconds + 42);

        const std::string body
            = "# HELP dns_queries_total Total DNS queries received\n"
              "# TYPE dns_queries_total counter\n"
              "dns_queries_total 8\n"
              "\n"
              "# HELP dns_queries_success_total Successful queries (NOERROR)\n"
              "# TYPE dns_queries_success_total counter\n"
              "dns_queries_success_total 3\n"
              "\n"
              "# HELP dns_queries_nxdomain_total NXDOMAIN responses\n"
              "# TYPE dns_queries_nxdomain_total counter\n"
              "dns_queries_nxdomain_total 1\n"
              "\n"
              "# HELP dns_queries_servfail_total SERVFAIL responses\n"
              "# TYPE dns_queries_servfail_total counter\n"
              "dns_queries_servfail_total 2\n"
              "\n"
              "# HELP dns_queries_refused_total REFUSED responses\n"
              "# TYPE dns_queries_refused_total counter\n"
              "dns_queries_refused_total 1\n"
              "\n"
              "# HELP dns_cache_hits_total Cache hits\n"
              "# TYPE dns_cache_hits_total counter\n"
              "dns_cache_hits_total 3\n"
              "\n"
              "# HELP dns_cache_misses_total Cache misses\n"
              "# TYPE dns_cache_misses_total counter\n"
              "dns_cache_misses_total 2\n"
              "\n"
              "# HELP dns_queries_shed_total Questions dropped because the resolution queue was full\n"
              "# TYPE dns_queries_shed_total counter\n"
              "dns_queries_shed_total 1\n"
              "\n"
              "# HELP dns_queries_rate_limited_total Questions over their client's rate: datagrams dropped, "
              "connections refused\n"
              "# TYPE dns_queries_rate_limited_total counter\n"
              "dns_queries_rate_limited_total 2\n"
              "\n"
              "# HELP dns_stale_answers_total Expired answers served because their servers did not answer "
              "(RFC 8767)\n"
              "# TYPE dns_stale_answers_total counter\n"
              "dns_stale_answers_total 1\n"
              "\n"
              "# HELP dns_prefetches_total Answers refreshed in the background near the end of their TTL\n"
              "# TYPE dns_prefetches_total counter\n"
              "dns_prefetches_total 0\n"
              "\n"
              "# HELP dns_replies_badcookie_total Datagrams without a valid server cookie told BADCOOKIE\n"
              "# TYPE dns_replies_badcookie_total counter\n"
              "dns_replies_badcookie_total 3\n"
              "\n"
              "# HELP dns_dnssec_secure_total Answers validated from the trust anchor\n"
              "# TYPE dns_dnssec_secure_total counter\n"
              "dns_dnssec_secure_total 0\n"
              "\n"
              "# HELP dns_dnssec_insecure_total Answers with DNSSEC records that were not "
              "validated\n"
              "# TYPE dns_dnssec_insecure_total counter\n"
              "dns_dnssec_insecure_total 2\n"
              "\n"
              "# HELP dns_dnssec_bogus_total Answers that failed validation (SERVFAIL)\n"
              "# TYPE dns_dnssec_bogus_total counter\n"
              "dns_dnssec_bogus_total 1\n"
              "\n"
              "# HELP dns_uptime_seconds Server uptime in seconds\n"
              "# TYPE dns_uptime_seconds gauge\n"
              "dns_uptime_seconds 42\n";
        // Then the families with labels: empty histograms, the RCODEs seen, no extended error yet.
        std::string labelled
            = "\n# HELP dns_answer_duration_seconds Time from a question's arrival to its answer\n"
              "# TYPE dns_answer_duration_seconds histogram\n";
        for (const char* cache : { "hit", "miss" }) {
            for (const char* le :
                { "0.0001", "0.0005", "0.001", "0.005", "0.01", "0.05", "0.1", "0.5", "1", "2", "5", "+Inf" })
                labelled += std::string("dns_answer_duration_seconds_bucket{cache=\"") + cache + "\",le=\""
                    + le + "\"} 0\n";
            labelled += std::string("dns_answer_duration_seconds_sum{cache=\"") + cache + "\"} 0\n";
            labelled += std::string("dns_answer_duration_seconds_count{cache=\"") + cache + "\"} 0\n";
        }
        // Replies as sent, by transport then RCODE: not the question counters above.
        labelled += "\n# HELP dns_answers_total Replies sent, by transport and RCODE\n"
                    "# TYPE dns_answers_total counter\n"
                    "dns_answers_total{transport=\"udp\",rcode=\"NOERROR\"} 2\n"
                    "dns_answers_total{transport=\"udp\",rcode=\"NXDOMAIN\"} 1\n"
                    "dns_answers_total{transport=\"udp\",rcode=\"REFUSED\"} 1\n"
                    "dns_answers_total{transport=\"tcp\",rcode=\"NOERROR\"} 1\n"
                    "dns_answers_total{transport=\"tls\",rcode=\"SERVFAIL\"} 1\n"
                    "\n# HELP dns_extended_errors_total Extended DNS errors given (RFC 8914), by INFO-CODE\n"
                    "# TYPE dns_extended_errors_total counter\n"
                    "\n# HELP dns_tcp_connections_refused_total TCP and TLS connections closed as they were "
                    "accepted, by reason\n"
                    "# TYPE dns_tcp_connections_refused_total counter\n"
                    "dns_tcp_connections_refused_total{reason=\"client_at_limit\"} 1\n"
                    "\n# HELP dns_rpz_hits_total Questions a response policy zone matched, by zone\n"
                    "# TYPE dns_rpz_hits_total counter\n"
                    "dns_rpz_hits_total{zone=\"allow.rpz.\"} 2\n";
        // Then the process families, whose values move on their own.
        const std::string head
            = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: ";
        for (const char* request : { "GET /metrics HTTP/1.1\r\n\r\n", "GET /metrics?x=1 HTTP/1.1\r\n\r\n" }) {
            SCOPED_TRACE(request); // the query string is ignored
            const std::string reply = roundTrip(running.address(), request);
            EXPECT_TRUE(reply.starts_with(head)) << reply;
            const std::string got = bodyOf(reply);
            ASSERT_TRUE(got.starts_with(body + labelled)) << got;
            std::string process = got.substr(body.size() + labelled.size());
            for (const char* family : { "process_cpu_seconds_total", "process_resident_memory_bytes",
                     "process_start_time_seconds", "process_open_fds", "process_max_fds" }) {
                SCOPED_TRACE(family);
                const std::string help = std::string("\n# HELP ") + family + " ";
                ASSERT_TRUE(process.starts_with(help)) << process;
                const std::size_t sample = process.find(std::string("\n") + family + " ");
                ASSERT_NE(sample, std::string::npos);
                const std::size_t end = process.find('\n', sample + 1);
                const double value = std::strtod(process.c_str() + sample + std::strlen(family) + 2, nullptr);
                // A test process may not have used a whole clock tick of CPU yet.
                if (std::string_view(family) == "process_cpu_seconds_total")
                    EXPECT_GE(value, 0.0);
                else
                    EXPECT_GT(value, 0.0) << "every other one is positive in a running process";
                process = process.substr(end + 1);
            }
            EXPECT_EQ(process, "");
        }

        // A clock stepped back before the start time shows zero uptime, not a wrapped number.
        running.now->store(start_seconds - 10);
        EXPECT_TRUE(bodyOf(roundTrip(running.address(), "GET /metrics HTTP/1.1\r\n\r\n"))
                        .contains("\ndns_uptime_seconds 0\n"));
    }

    TEST(HttpServer, ServesStatsAsJsonSnapshot)
    {
        RunningServer running;
        ASSERT_TRUE(running.ok);
        running.metrics->recordQuery(RCode::nx_domain, CacheOutcome::hit);
        running.now->store(start_seconds + 7);
        const OpsResult<std::string> json = renderStatsJson(running.metrics->snapshot());
        ASSERT_TRUE(json.has_value());
        EXPECT_EQ(roundTrip(running.address(), "GET /stats HTTP/1.1\r\n\r\n"),
            response("200 OK", "application/json", *json));
    }

    TEST(HttpServer, RoutesByExactMethodAndPath)
    {
        struct Case {
            const char* label;
            std::string request;
            bool close_write_side;
            std::string expected;
        };
        const std::vector<Case> cases = {
            { "POST is not allowed", "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", false,
                not_allowed },
            { "HEAD is not allowed", "HEAD /health HTTP/1.1\r\n\r\n", false, not_allowed },
            { "methods are case-sensitive", "get /health HTTP/1.1\r\n\r\n", false, not_allowed },
            { "405 whatever the path", "DELETE /nowhere HTTP/1.1\r\n\r\n", false, not_allowed },
            { "paths are case-sensitive", "GET /Metrics HTTP/1.1\r\n\r\n", false, not_found },
            { "unknown path", "GET / HTTP/1.1\r\n\r\n", false, not_found },
            { "prefix of a known path", "GET /health/ HTTP/1.1\r\n\r\n", false, not_found },
            { "empty path before the query", "GET ?x=1 HTTP/1.1\r\n\r\n", false, not_found },
            { "tab does not separate", "GET /health\tHTTP/1.1\r\n\r\n", false, not_found },
            { "zones without a lister", "GET /zones HTTP/1.1\r\n\r\n", false,
                "HTTP/1.1 501 Not Implemented\r\nContent-Type: application/json\r\nContent-Length: 27\r\n"
                "Connection: close\r\n\r\n{\"error\":\"Not implemented\"}" },
            { "head ended by bare newlines", "GET /health HTTP/1.1\nHost: x\n\n", false, health_bytes },
            { "runs of spaces and leading spaces", "  GET   /health   HTTP/1.1\r\n\r\n", false,
                health_bytes },
            { "headers and body ignored", "GET /health HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde", false,
                health_bytes },
            { "head without end, then end of stream", "GET /health HTTP/1.1\r\n", true, health_bytes },
            { "request line without version", "GET /health", true, health_bytes },
        };
        RunningServer running;
        ASSERT_TRUE(running.ok);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            EXPECT_EQ(roundTrip(running.address(), c.request, c.close_write_side), c.expected);
        }
    }

    // The metrics listener used to serve any peer that could reach it, whatever the DNS service's allow
    // list said.
    TEST(HttpServer, ClosesPeersItDoesNotAdmitBeforeReadingAByte)
    {
        auto seen = std::make_shared<std::atomic<int>>(0);
        HttpServerConfig refusing;
        refusing.admit_peer = [seen](const SocketAddress& peer) {
            ++*seen;
            return peer.toString().starts_with("127.0.0.2:");
        };
        RunningServer running(refusing);
        ASSERT_TRUE(running.ok);
        for (const char* request : { "GET /health HTTP/1.1\r\n\r\n", "GET /metrics HTTP/1.1\r\n\r\n", "" }) {
            SCOPED_TRACE(request);
            EXPECT_EQ(roundTrip(running.address(), request, true), "");
        }
        EXPECT_EQ(seen->load(), 3);
        EXPECT_EQ(running.server->activeHandlers(), 0u) << "a refused peer takes no slot";

        HttpServerConfig admitting;
        admitting.admit_peer
            = [](const SocketAddress& peer) { return peer.toString().starts_with("127.0.0.1:"); };
        RunningServer open(admitting);
        ASSERT_TRUE(open.ok);
        EXPECT_EQ(roundTrip(open.address(), "GET /health HTTP/1.1\r\n\r\n"), health_bytes);
    }

    TEST(HttpServer, ClosesMalformedRequestsWithoutResponse)
    {
        struct Case {
            const char* label;
            std::string request;
        };
        const std::vector<Case> cases = {
            { "blank head", "\r\n\r\n" },
            { "method only", "GET\r\n\r\n" },
            { "spaces only", "     \n\n" },
            { "blank line before the request", "\n\nGET /health HTTP/1.1\r\n\r\n" },
            { "nothing but end of stream", "" },
        };
        RunningServer running;
        ASSERT_TRUE(running.ok);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            EXPECT_EQ(roundTrip(running.address(), c.request, true), "");
        }
    }

    TEST(HttpServer, AnswersOversizedHeadWith413)
    {
        RunningServer running;
        ASSERT_TRUE(running.ok);
        const std::string expected
            = response("413 Payload Too Large", "text/plain", "413 Payload Too Large\n");
        // Exactly 4096 bytes are sent: anything the server leaves unread would turn its close into a reset.
        std::string unfinished = "GET /health HTTP/1.1\r\nX: ";
        unfinished += std::string(4096 - unfinished.size(), 'a');
        EXPECT_EQ(roundTrip(running.address(), unfinished), expected);
        EXPECT_EQ(roundTrip(running.address(), std::string(4096, 'b')), expected);
        // Lone line feeds do not end a head unless two are adjacent.
        std::string spaced_lines;
        while (spaced_lines.size() < 4096)
            spaced_lines += "X: y\n";
        spaced_lines.resize(4096);
        EXPECT_EQ(roundTrip(running.address(), spaced_lines), expected);
        // Ending exactly at byte 4096 is still a complete head.
        std::string exact = "GET /health HTTP/1.1\r\nX: ";
        exact += std::string(4096 - exact.size() - 4, 'c') + "\r\n\r\n";
        ASSERT_EQ(exact.size(), 4096u);
        EXPECT_EQ(roundTrip(running.address(), exact), health_bytes);
    }

    // Bytes left unread when the server closes would make the kernel reset the connection and drop
    // whatever of the reply is still unsent; over loopback the reset shows as ECONNRESET after the reply.
    TEST(HttpServer, EndsCleanlyWhenTheClientSentMoreThanTheHead)
    {
        RunningServer running;
        ASSERT_TRUE(running.ok);
        const std::string body(20000, 'x');
        const struct {
            const char* label;
            std::string request;
            std::string expected;
        } cases[] = {
            { "POST with a body", "POST /metrics HTTP/1.1\r\nContent-Length: 20000\r\n\r\n" + body,
                not_allowed },
            { "GET with pipelined bytes", "GET /health HTTP/1.1\r\n\r\n" + body, health_bytes },
            { "oversized head", "GET /health HTTP/1.1\r\nX: " + body,
                response("413 Payload Too Large", "text/plain", "413 Payload Too Large\n") },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.label);
            StreamClient client(running.address());
            ASSERT_TRUE(client.connected());
            client.send(c.request);
            EXPECT_EQ(client.readUntilClosed(), c.expected);
            EXPECT_TRUE(client.closedCleanly());
        }
    }

    TEST(HttpServer, AssemblesHeadArrivingInPieces)
    {
        RunningServer running;
        ASSERT_TRUE(running.ok);
        StreamClient client(running.address());
        ASSERT_TRUE(client.connected());
        for (std::string_view piece : { "GET /hea", "lth HTTP/1.1\r\n", "\r", "\n" }) {
            client.send(piece);
            std::this_thread::sleep_for(std::chrono::milliseconds { 30 });
        }
        EXPECT_EQ(client.readUntilClosed(), health_bytes);
    }

    TEST(HttpServer, DropsSilentClientAfterOneSecond)
    {
        RunningServer running;
        ASSERT_TRUE(running.ok);
        StreamClient client(running.address());
        ASSERT_TRUE(client.connected());
        client.send("GET /health HTTP/1.1\r\n"); // never finished
        const auto start = Clock::now();
        EXPECT_EQ(client.readUntilClosed(), "");
        EXPECT_GE(millisecondsSince(start), 850);
        EXPECT_LE(millisecondsSince(start), 2500);
    }

    TEST(HttpServer, RejectsConnectionsBeyondTheLimitAtOnce)
    {
        RunningServer running(HttpServerConfig { .max_connections = 2 });
        ASSERT_TRUE(running.ok);
        StreamClient first(running.address());
        StreamClient second(running.address());
        ASSERT_TRUE(waitFor([&] { return running.server->activeHandlers() == 2; }));

        testing::internal::CaptureStderr();
        const auto start = Clock::now();
        StreamClient third(running.address());
        third.send("GET /health HTTP/1.1\r\n\r\n");
        const std::string rejected = third.readUntilClosed();
        const std::int64_t elapsed = millisecondsSince(start);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rejected, "");
        EXPECT_LT(elapsed, 500);
        EXPECT_NE(log.find("warning: HTTP connection limit reached (2/2), rejecting connection\n"),
            std::string::npos)
            << log;

        // The held slots are unaffected and come back once their clients are served.
        first.send("GET /health HTTP/1.1\r\n\r\n");
        EXPECT_EQ(first.readUntilClosed(), health_bytes);
        second.send("GET /nothing HTTP/1.1\r\n\r\n");
        EXPECT_EQ(second.readUntilClosed(), not_found);
        ASSERT_TRUE(waitFor([&] { return running.server->activeHandlers() == 0; }));
        EXPECT_EQ(roundTrip(running.address(), "GET /health HTTP/1.1\r\n\r\n"), health_bytes);
    }

    TEST(HttpServer, StopReturnsWhileAcceptIsBlocked)
    {
        RunningServer running;
        ASSERT_TRUE(running.ok);
        const SocketAddress address = running.address();
        std::this_thread::sleep_for(std::chrono::milliseconds { 50 });
        const auto start = Clock::now();
        running.server->stop();
        EXPECT_LT(millisecondsSince(start), 500);
        StreamClient late(address);
        EXPECT_FALSE(late.connected());
        running.server->stop(); // a second stop has nothing left to do
    }

    TEST(HttpServer, StopWaitsForConnectionsBeingServed)
    {
        RunningServer running;
        ASSERT_TRUE(running.ok);
        StreamClient silent(running.address());
        ASSERT_TRUE(waitFor([&] { return running.server->activeHandlers() == 1; }));
        running.server->stop();
        EXPECT_EQ(running.server->activeHandlers(), 0u);
        EXPECT_EQ(silent.readUntilClosed(), "");
    }

    TEST(HttpServer, ReportsWhyItCannotListen)
    {
        RunningServer first;
        ASSERT_TRUE(first.ok);
        HttpServer same_port(
            [m = first.metrics.get()]() -> const Metrics& { return *m; }, {}, first.address(), {});
        const OpsResult<void> taken = same_port.start();
        ASSERT_FALSE(taken.has_value());
        EXPECT_EQ(taken.error(), OpsError::AddressInUse);

        // 192.0.2.1 (TEST-NET-1) is not an address of this host; nothing is sent anywhere.
        HttpServer foreign([m = first.metrics.get()]() -> const Metrics& { return *m; }, {},
            *SocketAddress::fromIpLiteral("192.0.2.1", 0), {});
        const OpsResult<void> result = foreign.start();
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), OpsError::BindFailed);

        const OpsResult<void> again = first.server->start();
        ASSERT_FALSE(again.has_value());
        EXPECT_EQ(again.error(), OpsError::InvalidArgs);
    }

    TEST(HttpServer, LogsBoundAddressWithIpv6InBrackets)
    {
        testing::internal::CaptureStderr();
        {
            RunningServer running;
            ASSERT_TRUE(running.ok);
            const std::string log = testing::internal::GetCapturedStderr();
            EXPECT_NE(log.find("info: HTTP metrics server listening on 127.0.0.1:"
                          + std::to_string(running.address().port()) + "\n"),
                std::string::npos)
                << log;
        }
        testing::internal::CaptureStderr();
        RunningServer running6({}, {}, "::1");
        const std::string log = testing::internal::GetCapturedStderr();
        if (!running6.ok)
            GTEST_SKIP() << "no IPv6 loopback";
        EXPECT_NE(log.find("HTTP metrics server listening on [::1]:"
                      + std::to_string(running6.address().port()) + "\n"),
            std::string::npos)
            << log;
        EXPECT_EQ(roundTrip(running6.address(), "GET /health HTTP/1.1\r\n\r\n"), health_bytes);
    }

    TEST(HttpServer, ServesZonesThroughTheLister)
    {
        RunningServer listing({}, []() -> OpsResult<std::string> { return R"(["example."])"; });
        ASSERT_TRUE(listing.ok);
        EXPECT_EQ(roundTrip(listing.address(), "GET /zones HTTP/1.1\r\n\r\n"),
            response("200 OK", "application/json", R"(["example."])"));

        RunningServer failing(
            {}, []() -> OpsResult<std::string> { return std::unexpected(OpsError::OutOfMemory); });
        ASSERT_TRUE(failing.ok);
        EXPECT_EQ(roundTrip(failing.address(), "GET /zones HTTP/1.1\r\n\r\n"),
            response("500 Internal Server Error", "text/plain", "500 Internal Server Error\n"));
    }

    TEST(HttpServer, SurvivesRandomHeads)
    {
        RunningServer running;
        ASSERT_TRUE(running.ok);
        std::uint64_t state = 0x9e3779b97f4a7c15u;
        auto next = [&state] {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            return state;
        };
        for (int round = 0; round < 150; ++round) {
            SCOPED_TRACE(round);
            std::string request(next() % 700, '\0');
            for (char& byte : request)
                byte = static_cast<char>(next() % 4 == 0 ? " \r\n/"[next() % 4] : next());
            if (round % 3 == 0)
                request = "GET " + request;
            const std::string reply = roundTrip(running.address(), request, true);
            EXPECT_TRUE(reply.empty() || reply.starts_with("HTTP/1.1 ")) << reply;
        }
        EXPECT_EQ(roundTrip(running.address(), "GET /health HTTP/1.1\r\n\r\n"), health_bytes);
    }

    // promtool lints as well as parses: it used to report seven counters without a "_total" suffix
    // (exit 3). Now it must find nothing at all.
    TEST(HttpServer, ExpositionPassesPromtool)
    {
        if (::access("/usr/bin/promtool", X_OK) != 0)
            GTEST_SKIP() << "promtool not installed";
        RunningServer running;
        ASSERT_TRUE(running.ok);
        running.metrics->recordQuery(RCode::no_error, CacheOutcome::miss);
        running.metrics->recordAnswer(Transport::tcp, 0);
        running.metrics->recordAnswer(Transport::udp, 2);
        running.metrics->recordExtendedError(22);
        const std::string body = bodyOf(roundTrip(running.address(), "GET /metrics HTTP/1.1\r\n\r\n"));
        ASSERT_FALSE(body.empty());

        char input_path[] = "/tmp/recursor-metrics-XXXXXX";
        const int fd = ::mkstemp(input_path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
        ::close(fd);
        const std::string command = std::string("/usr/bin/promtool check metrics < ") + input_path + " 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string output;
        char chunk[512];
        while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
            output.append(chunk, n);
        const int status = ::pclose(pipe);
        ::unlink(input_path);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << output;
        EXPECT_EQ(output, "") << body;
    }

} // namespace
} // namespace recursor
