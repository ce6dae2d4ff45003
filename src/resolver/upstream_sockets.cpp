#include "resolver/upstream_sockets.h"

#include "base/event_loop.h"
#include "base/unique_fd.h"
#include "resolver/port_pool.h"
#include "wire/header.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <new>
#include <optional>
#include <poll.h>
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

    // Family, address and port; the IPv6 flow label and scope the kernel fills in do not count.
    bool sameEndpoint(const SocketAddress& a, const SocketAddress& b)
    {
        if (a.family() != b.family() || a.port() != b.port())
            return false;
        if (a.family() == AF_INET) {
            return reinterpret_cast<const sockaddr_in*>(a.sockaddrPtr())->sin_addr.s_addr
                == reinterpret_cast<const sockaddr_in*>(b.sockaddrPtr())->sin_addr.s_addr;
        }
        if (a.family() == AF_INET6) {
            return IN6_ARE_ADDR_EQUAL(&reinterpret_cast<const sockaddr_in6*>(a.sockaddrPtr())->sin6_addr,
                &reinterpret_cast<const sockaddr_in6*>(b.sockaddrPtr())->sin6_addr);
        }
        return false;
    }

    bool sendDatagram(int fd, const SocketAddress& server, std::span<const std::uint8_t> packet)
    {
        ssize_t sent;
        do {
            sent = ::sendto(fd, packet.data(), packet.size(), 0, server.sockaddrPtr(), server.sockaddrLen());
        } while (sent < 0 && errno == EINTR);
        return sent == static_cast<ssize_t>(packet.size());
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
        UdpPortPool::Lease socket;
        SocketAddress server;
    };

    struct Exchange {
        std::span<const std::uint8_t> packet;
        std::uint16_t query_id;
        const ExpectedQuestion& question;
        const ResolverOptions& options;
    };

    // Sends the query on every leg; a leg whose send fails is dropped. NetworkError when none is left.
    TransportResult<void> sendOnEveryLeg(std::vector<UdpLeg>& legs, std::span<const std::uint8_t> packet)
    {
        std::erase_if(
            legs, [&](const UdpLeg& leg) { return !sendDatagram(leg.socket.fd(), leg.server, packet); });
        if (legs.empty())
            return std::unexpected(TransportError::NetworkError);
        return {};
    }

    // Reads the socket's queued datagrams until one from `server` answers the query; its length, or none.
    std::optional<std::size_t> receiveReply(
        int fd, const SocketAddress& server, std::span<std::uint8_t> buf, const Exchange& ex)
    {
        for (int n = 0; n < max_datagrams_per_visit; ++n) {
            sockaddr_storage source {};
            socklen_t source_len = sizeof source;
            const ssize_t got = ::recvfrom(
                fd, buf.data(), buf.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&source), &source_len);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                return std::nullopt; // EAGAIN, or a pending socket error that this read has now cleared
            }
            const auto datagram = buf.first(static_cast<std::size_t>(got));
            const auto from = SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&source), source_len);
            if (datagram.size() >= Header::size && from && sameEndpoint(*from, server)
                && isReplyTo(datagram, ex.query_id, ex.question))
                return datagram.size();
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
    TransportResult<std::optional<QueryResult>> awaitReply(
        const std::vector<UdpLeg>& legs, Clock::time_point deadline, const Exchange& ex)
    {
        std::vector<pollfd> fds;
        try {
            fds.reserve(legs.size());
        } catch (const std::bad_alloc&) {
            return std::unexpected(TransportError::OutOfMemory);
        }
        for (const UdpLeg& leg : legs)
            fds.push_back(pollfd { .fd = leg.socket.fd(), .events = POLLIN, .revents = 0 });

        std::array<std::uint8_t, udp_receive_buffer_bytes> buf;
        for (;;) {
            const int wait_ms = msUntil(deadline);
            if (wait_ms == 0)
                return std::nullopt;
            const int ready = waitReady(fds, wait_ms);
            if (ready < 0 && errno != EINTR)
                return std::unexpected(failedWait());
            if (ready <= 0)
                continue;
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents == 0)
                    continue;
                if (const auto len = receiveReply(legs[i].socket.fd(), legs[i].server, buf, ex)) {
                    auto result = TRY(takeReply(std::span(buf).first(*len), legs[i].server, ex));
                    return std::optional<QueryResult>(std::move(result));
                }
            }
        }
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

bool isReplyTo(std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question)
{
    if (packet.size() < Header::size || readU16(packet.subspan(0, 2)) != query_id
        || readU16(packet.subspan(4, 2)) != 1)
        return false;
    const auto decoded = DnsName::fromPacket(packet, Header::size, Header::size);
    if (!decoded)
        return false;
    const std::size_t fixed = Header::size + decoded->consumed;
    if (packet.size() < fixed + 4)
        return false;
    return decoded->name.eql(question.qname) && readU16(packet.subspan(fixed, 2)) == toU16(question.qtype)
        && readU16(packet.subspan(fixed + 2, 2)) == toU16(question.qclass);
}

TransportResult<QueryResult> queryWithPacket(const SocketAddress& address,
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question,
    const ResolverOptions& options)
{
    return queryWithPacketFanout(std::span(&address, 1), packet, query_id, question, options);
}

TransportResult<QueryResult> queryWithPacketFanout(std::span<const SocketAddress> addresses,
    std::span<const std::uint8_t> packet, std::uint16_t query_id, const ExpectedQuestion& question,
    const ResolverOptions& options)
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
        if (auto socket = UdpPortPool::shared().acquire(address.family()))
            legs.push_back(UdpLeg { std::move(*socket), address });
    }
    return exchangeUdp(legs, Exchange { packet, query_id, question, options });
}

UdpQuery::UdpQuery(UdpPortPool::Lease socket, const SocketAddress& server, std::vector<std::uint8_t> packet,
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
    UdpPortPool::Lease socket = TRY(UdpPortPool::shared().acquire(server.family()));
    if (!sendDatagram(socket.fd(), server, packet))
        return std::unexpected(TransportError::NetworkError);
    return UdpQuery(std::move(socket), server, std::move(packet), query_id, std::move(question));
}

TransportResult<std::optional<QueryResult>> UdpQuery::receive(const ResolverOptions& options)
{
    std::array<std::uint8_t, udp_receive_buffer_bytes> buf;
    const Exchange ex { packet_, query_id_, question_, options };
    const auto len = receiveReply(socket_.fd(), server_, buf, ex);
    if (!len)
        return std::nullopt;
    return TRY(takeReply(std::span(buf).first(*len), server_, ex));
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
    if (!isReplyTo(reply, query_id, question))
        return std::unexpected(TransportError::ParseError);
    return parseReply(std::move(reply), address);
}

} // namespace recursor
