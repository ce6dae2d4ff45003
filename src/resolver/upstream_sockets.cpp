#include "resolver/upstream_sockets.h"

#include "base/event_loop.h"
#include "base/unique_fd.h"
#include "resolver/upstream_cookies.h"
#include "wire/header.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace recursor {

namespace {

    using Clock = std::chrono::steady_clock;

    // What the query's OPT record offers (see prepareUpstreamRequest); a larger datagram is cut here
    // and then fails to parse.
    constexpr std::size_t udp_receive_buffer_bytes = 4096;
    // Datagrams read from one ready socket per wake-up, so a flood on one socket cannot starve the rest.
    constexpr int max_datagrams_per_visit = 16;
    constexpr std::size_t max_tcp_message = 0xFFFF;
    // What a fresh socket can have caught in the moment between its port and its peer being set: a few
    // datagrams at most. More means something keeps it flooded: the socket is given up.
    constexpr int max_datagrams_drained = 64;
    // RFC 1035 §4.1.1: OPCODE 0 is a standard query, the only kind we send.
    constexpr std::uint8_t opcode_mask = 0x78;

    // Every exchange in flight holds a descriptor: up to three per resolution, a thousand resolutions per
    // event loop, one loop per CPU. The service unit's LimitNOFILE gives as much.
    constexpr rlim_t wanted_descriptors = 65536;

    std::atomic<std::uint64_t> stray_datagrams { 0 };

    // Milliseconds left until `deadline`, rounded up so poll never wakes just short of it and spins.
    int msUntil(Clock::time_point deadline)
    {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return 0;
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
    }

    // A wait that failed: the event loop stopping, or poll itself.
    TransportError failedWait()
    {
        return errno == ECANCELED ? TransportError::Cancelled : TransportError::NetworkError;
    }

    Clock::time_point deadlineAfter(std::uint32_t timeout_ms)
    {
        return Clock::now() + std::chrono::milliseconds(timeout_ms);
    }

    bool sendDatagram(int fd, std::span<const std::uint8_t> packet)
    {
        ssize_t sent;
        do {
            sent = ::send(fd, packet.data(), packet.size(), 0);
        } while (sent < 0 && errno == EINTR);
        return sent == static_cast<ssize_t>(packet.size());
    }

    // Reads away whatever is queued; false when the queue does not run dry.
    bool drainQueued(int fd)
    {
        std::array<std::uint8_t, 1> discard;
        for (int n = 0; n < max_datagrams_drained; ++n) {
            // MSG_TRUNC: each datagram goes whole, however little of it is copied.
            if (::recv(fd, discard.data(), discard.size(), MSG_DONTWAIT | MSG_TRUNC) < 0 && errno != EINTR)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED;
        }
        return false;
    }

    TransportResult<QueryResult> parseReply(std::vector<std::uint8_t> packet, const SocketAddress& from)
    {
        QueryResult out;
        out.packet = std::move(packet);
        auto parsed = DnsMessage::parse(out.packet);
        if (!parsed) {
            return std::unexpected(parsed.error() == WireError::OutOfMemory ? TransportError::OutOfMemory
                                                                            : TransportError::ParseError);
        }
        out.response = std::move(*parsed);
        out.from = from;
        return out;
    }

    // One server of an exchange and the socket its query went out on.
    struct UdpLeg {
        UniqueFd socket;
        SocketAddress server;
    };

    struct Exchange {
        std::span<const std::uint8_t> packet;
        std::uint16_t query_id;
        const ExpectedQuestion& question;
        const UpstreamSettings& options;
    };

    // Sends the query on every leg; a leg whose send fails is dropped. NetworkError when none is left.
    TransportResult<void> sendOnEveryLeg(std::vector<UdpLeg>& legs, std::span<const std::uint8_t> packet)
    {
        std::erase_if(legs, [&](const UdpLeg& leg) { return !sendDatagram(leg.socket.get(), packet); });
        if (legs.empty())
            return std::unexpected(TransportError::NetworkError);
        return {};
    }

    // A datagram that ends the wait on its socket: a reply, or a bare error from the server.
    struct Arrival {
        ReplyVerdict verdict;
        std::size_t length;
    };

    // RFC 7873 §5.3: a reply that carries a client cookie other than the one we send its server was not
    // written for our query (an off-path forger guessed the ID and port, but cannot know the cookie).
    // A reply without a COOKIE option is taken: not every server speaks cookies. One we cannot parse is
    // left for the parser to refuse.
    bool echoesOurCookie(std::span<const std::uint8_t> datagram, const SocketAddress& server)
    {
        const auto message = DnsMessage::parse(datagram);
        if (!message)
            return true;
        for (const DnsRecord& rec : message->records) {
            if (rec.rtype != QType::opt || rec.section != Section::additional)
                continue;
            const auto* raw = rec.rdata.getIf<RData::Unknown>();
            const auto options = raw ? raw->data : std::span<const std::uint8_t> {};
            return UpstreamCookies::process().takeReply(server, options) != UpstreamCookies::Echo::forged;
        }
        return true;
    }

    // Reads the socket's queued datagrams, all from its server, until one is not a stray; none when
    // only strays came. An error the kernel reports on the socket (ICMP: nothing listens) is cleared by
    // the read and waited past, as silence would be.
    std::optional<Arrival> receiveReply(
        int fd, std::span<std::uint8_t> buf, const Exchange& ex, const SocketAddress& server)
    {
        for (int n = 0; n < max_datagrams_per_visit; ++n) {
            const ssize_t got = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                return std::nullopt; // EAGAIN, or a pending socket error that this read has now cleared
            }
            const auto datagram = buf.first(static_cast<std::size_t>(got));
            const ReplyVerdict verdict = judgeReply(datagram, ex.query_id, ex.question);
            if (verdict == ReplyVerdict::reply && !echoesOurCookie(datagram, server)) {
                countUpstreamCookieMismatch();
                continue;
            }
            if (verdict != ReplyVerdict::stray)
                return Arrival { verdict, datagram.size() };
            stray_datagrams.fetch_add(1, std::memory_order_relaxed);
        }
        return std::nullopt;
    }

    // The accepted datagram becomes the result, or sends the query again over TCP when it is truncated.
    TransportResult<QueryResult> takeReply(
        std::span<const std::uint8_t> datagram, const SocketAddress& server, const Exchange& ex)
    {
        if (Header::fromSlice(datagram).tc()) {
            if (!ex.options.tcp_fallback)
                return std::unexpected(TransportError::Truncated);
            return queryTcp(server, ex.packet, ex.query_id, ex.question, ex.options.timeout_ms);
        }
        std::vector<std::uint8_t> packet;
        try {
            packet.assign(datagram.begin(), datagram.end());
        } catch (const std::bad_alloc&) {
            return std::unexpected(TransportError::OutOfMemory);
        }
        return parseReply(std::move(packet), server);
    }

    // Waits for an acceptable reply on any leg until `deadline`; none when the deadline passes first.
    // A leg whose server sends a bare error is done; ErrorReply once every leg is.
    TransportResult<std::optional<QueryResult>> awaitReply(
        const std::vector<UdpLeg>& legs, Clock::time_point deadline, const Exchange& ex)
    {
        std::vector<pollfd> fds;
        std::vector<const UdpLeg*> waiting;
        try {
            fds.reserve(legs.size());
            waiting.reserve(legs.size());
        } catch (const std::bad_alloc&) {
            return std::unexpected(TransportError::OutOfMemory);
        }
        for (const UdpLeg& leg : legs)
            waiting.push_back(&leg);

        std::array<std::uint8_t, udp_receive_buffer_bytes> buf;
        while (!waiting.empty()) {
            const int wait_ms = msUntil(deadline);
            if (wait_ms == 0)
                return std::nullopt;
            fds.clear();
            for (const UdpLeg* leg : waiting)
                fds.push_back(pollfd { .fd = leg->socket.get(), .events = POLLIN, .revents = 0 });
            const int ready = waitReady(fds, wait_ms);
            if (ready < 0 && errno != EINTR)
                return std::unexpected(failedWait());
            if (ready <= 0)
                continue;
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents == 0)
                    continue;
                const auto arrival = receiveReply(fds[i].fd, buf, ex, waiting[i]->server);
                if (!arrival)
                    continue;
                if (arrival->verdict == ReplyVerdict::error_without_question) {
                    waiting[i] = nullptr;
                    continue;
                }
                auto result = TRY(takeReply(std::span(buf).first(arrival->length), waiting[i]->server, ex));
                return std::optional<QueryResult>(std::move(result));
            }
            std::erase(waiting, nullptr);
        }
        return std::unexpected(TransportError::ErrorReply);
    }

    // The UDP exchange shared by the single-server and fan-out queries: every attempt resends on every
    // leg still usable and waits until a deadline fixed when it began.
    TransportResult<QueryResult> exchangeUdp(std::vector<UdpLeg>& legs, const Exchange& ex)
    {
        if (legs.empty())
            return std::unexpected(TransportError::NetworkError);
        for (std::uint8_t attempt = 0; attempt < ex.options.attempts; ++attempt) {
            TRY_VOID(sendOnEveryLeg(legs, ex.packet));
            auto reply = TRY(awaitReply(legs, deadlineAfter(ex.options.timeout_ms), ex));
            if (reply)
                return std::move(*reply);
        }
        return std::unexpected(TransportError::Timeout);
    }

    // TCP helpers (RFC 7766). The socket is non-blocking; every wait is bounded by a deadline.

    TransportResult<void> waitFor(const UniqueFd& fd, short events, Clock::time_point deadline)
    {
        pollfd p { .fd = fd.get(), .events = events, .revents = 0 };
        for (;;) {
            const int wait_ms = msUntil(deadline);
            if (wait_ms == 0)
                return std::unexpected(TransportError::Timeout);
            const int ready = waitReady({ &p, 1 }, wait_ms);
            if (ready > 0)
                return {};
            if (ready < 0 && errno != EINTR)
                return std::unexpected(failedWait());
        }
    }

    TransportResult<UniqueFd> connectTcp(const SocketAddress& server, std::uint32_t timeout_ms)
    {
        UniqueFd fd(::socket(server.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd.valid())
            return std::unexpected(TransportError::NetworkError);
        if (::connect(fd.get(), server.sockaddrPtr(), server.sockaddrLen()) == 0)
            return fd;
        if (errno != EINPROGRESS)
            return std::unexpected(TransportError::NetworkError);
        TRY_VOID(waitFor(fd, POLLOUT, deadlineAfter(timeout_ms)));
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
            return std::unexpected(TransportError::NetworkError);
        return fd;
    }

    TransportResult<void> writeAll(
        const UniqueFd& fd, std::span<const std::uint8_t> bytes, Clock::time_point deadline)
    {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent > 0) {
                bytes = bytes.subspan(static_cast<std::size_t>(sent));
            } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                TRY_VOID(waitFor(fd, POLLOUT, deadline));
            } else if (sent < 0 && errno != EINTR) {
                return std::unexpected(TransportError::NetworkError);
            }
        }
        return {};
    }

    // Fills `out` completely; the peer closing first is a NetworkError.
    TransportResult<void> readExactly(
        const UniqueFd& fd, std::span<std::uint8_t> out, Clock::time_point deadline)
    {
        while (!out.empty()) {
            const ssize_t got = ::recv(fd.get(), out.data(), out.size(), 0);
            if (got > 0) {
                out = out.subspan(static_cast<std::size_t>(got));
            } else if (got == 0) {
                return std::unexpected(TransportError::NetworkError);
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                TRY_VOID(waitFor(fd, POLLIN, deadline));
            } else if (errno != EINTR) {
                return std::unexpected(TransportError::NetworkError);
            }
        }
        return {};
    }

    TransportResult<std::vector<std::uint8_t>> framed(std::span<const std::uint8_t> packet)
    {
        std::vector<std::uint8_t> out;
        try {
            out.reserve(packet.size() + 2);
        } catch (const std::bad_alloc&) {
            return std::unexpected(TransportError::OutOfMemory);
        }
        out.push_back(static_cast<std::uint8_t>(packet.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(packet.size()));
        out.insert(out.end(), packet.begin(), packet.end());
        return out;
    }

    TransportResult<std::vector<std::uint8_t>> readFramedReply(const UniqueFd& fd, Clock::time_point deadline)
    {
        std::array<std::uint8_t, 2> prefix {};
        TRY_VOID(readExactly(fd, prefix, deadline));
        const std::size_t length = readU16(prefix);
        if (length < Header::size)
            return std::unexpected(TransportError::ParseError);
        std::vector<std::uint8_t> reply;
        try {
            reply.resize(length);
        } catch (const std::bad_alloc&) {
            return std::unexpected(TransportError::OutOfMemory);
        }
        TRY_VOID(readExactly(fd, reply, deadline));
        return reply;
    }

} // namespace

std::uint64_t raiseDescriptorLimit(std::uint64_t wanted)
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < wanted && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = std::min<rlim_t>(wanted, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur;
}

TransportResult<UniqueFd> openConnectedUdpSocket(const SocketAddress& server)
{
    static std::once_flag descriptors_raised;
    std::call_once(descriptors_raised, [] { (void)raiseDescriptorLimit(wanted_descriptors); });
    if ((server.family() != AF_INET && server.family() != AF_INET6) || server.port() == 0)
        return std::unexpected(TransportError::NetworkError);
    UniqueFd fd(::socket(server.family(), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid() || ::connect(fd.get(), server.sockaddrPtr(), server.sockaddrLen()) != 0
        || !drainQueued(fd.get()))
        return std::unexpected(TransportError::NetworkError);
    return fd;
}

ReplyVerdict judgeReply(
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question)
{
    if (packet.size() < Header::size)
        return ReplyVerdict::stray;
    const Header header = Header::fromSlice(packet);
    if (header.id() != query_id || !header.qr() || (header.bytes[2] & opcode_mask) != 0)
        return ReplyVerdict::stray;
    if (header.qdCount() == 0) {
        return header.rcode() == RCode::no_error ? ReplyVerdict::stray : ReplyVerdict::error_without_question;
    }
    if (header.qdCount() != 1)
        return ReplyVerdict::stray;
    const auto decoded = DnsName::fromPacket(packet, Header::size, Header::size);
    if (!decoded)
        return ReplyVerdict::stray;
    const std::size_t fixed = Header::size + decoded->consumed;
    if (packet.size() < fixed + 4)
        return ReplyVerdict::stray;
    const bool same = decoded->name.eql(question.qname)
        && readU16(packet.subspan(fixed, 2)) == toU16(question.qtype)
        && readU16(packet.subspan(fixed + 2, 2)) == toU16(question.qclass);
    return same ? ReplyVerdict::reply : ReplyVerdict::stray;
}

bool isReplyTo(std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question)
{
    return judgeReply(packet, query_id, question) == ReplyVerdict::reply;
}

std::uint64_t upstreamStrayDatagrams()
{
    return stray_datagrams.load(std::memory_order_relaxed);
}

TransportResult<QueryResult> queryWithPacket(const SocketAddress& address,
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question,
    const UpstreamSettings& options)
{
    return queryWithPacketFanout(std::span(&address, 1), packet, query_id, question, options);
}

TransportResult<QueryResult> queryWithPacketFanout(std::span<const SocketAddress> addresses,
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question,
    const UpstreamSettings& options)
{
    if (options.attempts == 0)
        return std::unexpected(TransportError::Timeout);
    std::vector<UdpLeg> legs;
    try {
        legs.reserve(addresses.size());
    } catch (const std::bad_alloc&) {
        return std::unexpected(TransportError::OutOfMemory);
    }
    for (const SocketAddress& address : addresses) {
        if (auto socket = openConnectedUdpSocket(address))
            legs.push_back(UdpLeg { std::move(*socket), address });
    }
    return exchangeUdp(legs, Exchange { packet, query_id, question, options });
}

UdpQuery::UdpQuery(UniqueFd socket, const SocketAddress& server, std::vector<std::uint8_t> packet,
    std::uint16_t query_id, ExpectedQuestion question)
    : socket_(std::move(socket))
    , server_(server)
    , packet_(std::move(packet))
    , query_id_(query_id)
    , question_(std::move(question))
{
}

TransportResult<UdpQuery> UdpQuery::send(const SocketAddress& server, std::vector<std::uint8_t> packet,
    std::uint16_t query_id, ExpectedQuestion question)
{
    UniqueFd socket = TRY(openConnectedUdpSocket(server));
    if (!sendDatagram(socket.get(), packet))
        return std::unexpected(TransportError::NetworkError);
    return UdpQuery(std::move(socket), server, std::move(packet), query_id, std::move(question));
}

TransportResult<std::optional<QueryResult>> UdpQuery::receive(const UpstreamSettings& options)
{
    std::array<std::uint8_t, udp_receive_buffer_bytes> buf;
    const Exchange ex { packet_, query_id_, question_, options };
    const auto arrival = receiveReply(socket_.get(), buf, ex, server_);
    if (!arrival)
        return std::nullopt;
    if (arrival->verdict == ReplyVerdict::error_without_question)
        return std::unexpected(TransportError::ErrorReply);
    return TRY(takeReply(std::span(buf).first(arrival->length), server_, ex));
}

TransportResult<QueryResult> queryTcp(const SocketAddress& address, std::span<const std::uint8_t> packet,
    std::uint16_t query_id, const ExpectedQuestion& question, std::uint32_t timeout_ms)
{
    if (packet.size() > max_tcp_message)
        return std::unexpected(TransportError::QueryBuildError);
    const auto request = TRY(framed(packet));
    const UniqueFd fd = TRY(connectTcp(address, timeout_ms));
    TRY_VOID(writeAll(fd, request, deadlineAfter(timeout_ms)));
    auto reply = TRY(readFramedReply(fd, deadlineAfter(timeout_ms)));
    switch (judgeReply(reply, query_id, question)) {
    case ReplyVerdict::reply:
        break;
    case ReplyVerdict::error_without_question:
        return std::unexpected(TransportError::ErrorReply);
    case ReplyVerdict::stray: // a stream has no room for strays: the connection itself is bad
        return std::unexpected(TransportError::ParseError);
    }
    return parseReply(std::move(reply), address);
}

} // namespace recursor
