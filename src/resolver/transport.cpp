#include "resolver/transport.h"

#include "base/clock.h"
#include "base/event_loop.h"
#include "base/random.h"
#include "resolver/upstream_cookies.h"
#include "wire/writer.h"

#include <algorithm>
#include <cerrno>

#include <cstdlib>

namespace recursor {

namespace {

    // EDNS (RFC 6891 §6.1.3): the UDP payload we can take in the CLASS field, DO (RFC 3225) in the TTL.
    // 1232 bytes (DNS flag day 2020): larger replies come over TCP rather than as IP fragments, which an
    // off-path attacker can forge.
    constexpr QClass edns_udp_payload { 1232 };
    constexpr std::uint32_t edns_ttl_do_bit = 0x00008000;

    constexpr std::uint8_t rd_bit_in_flags_high = 0x01; // RFC 1035 §4.1.1: the low bit of the third byte

    TransportError fromWriter(WireError e)
    {
        return e == WireError::OutOfMemory ? TransportError::OutOfMemory : TransportError::QueryBuildError;
    }

    TransportResult<std::vector<std::uint8_t>> writeRequest(const DnsName& qname, QType qtype,
        std::uint16_t id, bool recursion_desired, std::span<const std::uint8_t> cookie)
    {
        auto writer = PacketWriter::init(qname, qtype, QClass::in);
        if (!writer)
            return std::unexpected(fromWriter(writer.error()));
        const auto header = writer->getHeader();
        header[0] = static_cast<std::uint8_t>(id >> 8);
        header[1] = static_cast<std::uint8_t>(id);
        if (recursion_desired)
            header[2] |= rd_bit_in_flags_high;
        // The OPT record carries the COOKIE option when there is one, and nothing else.
        auto opt = writer->startRecord(
            DnsName::root(), QType::opt, edns_udp_payload, edns_ttl_do_bit, Section::additional);
        if (opt && !cookie.empty()) {
            const std::array<std::uint8_t, 4> head { 0, static_cast<std::uint8_t>(option_cookie), 0,
                static_cast<std::uint8_t>(cookie.size()) };
            opt = writer->writeBlob(head);
            if (opt)
                opt = writer->writeBlob(cookie);
        }
        if (!opt)
            return std::unexpected(fromWriter(opt.error()));
        auto packet = writer->finish();
        if (!packet)
            return std::unexpected(fromWriter(packet.error()));
        return std::move(*packet);
    }

} // namespace

bool isBadCookie(const DnsMessage& reply)
{
    for (const DnsRecord& rec : reply.records) {
        if (rec.rtype == QType::opt && rec.section == Section::additional) {
            const std::uint16_t rcode = static_cast<std::uint16_t>((rec.ttl >> 24) << 4)
                | static_cast<std::uint16_t>(reply.header.rcode());
            return rcode == rcode_badcookie;
        }
    }
    return false;
}

TransportResult<UpstreamRequest> prepareUpstreamRequest(
    const DnsName& qname, QType qtype, bool recursion_desired, const SocketAddress* cookie_for)
{
    // The empty name is no name at all; the writer would turn it into the root.
    if (qname.isEmpty())
        return std::unexpected(TransportError::QueryBuildError);
    std::uint8_t id_bytes[2];
    randomBytes(id_bytes);
    const auto id = static_cast<std::uint16_t>((id_bytes[0] << 8) | id_bytes[1]);
    std::vector<std::uint8_t> cookie;
    try {
        if (cookie_for)
            cookie = UpstreamCookies::process().optionFor(*cookie_for);
    } catch (const std::bad_alloc&) {
        return std::unexpected(TransportError::OutOfMemory);
    }
    return UpstreamRequest { .packet = TRY(writeRequest(qname, qtype, id, recursion_desired, cookie)),
        .query_id = id };
}

TransportResult<QueryResult> queryUpstream(
    const UpstreamSettings& upstream, const SocketAddress& address, const DnsName& qname, QType qtype)
{
    const ExpectedQuestion question { .qname = qname, .qtype = qtype, .qclass = QClass::in };
    const UpstreamRequest request
        = TRY(prepareUpstreamRequest(qname, qtype, upstream.recursion_desired, &address));
    auto result = queryWithPacket(address, request.packet, request.query_id, question, upstream);
    if (!result || !isBadCookie(result->response))
        return result;
    // RFC 7873 §5.3: the reply echoed our client cookie and gave a fresh server cookie; one retry with it.
    const UpstreamRequest again
        = TRY(prepareUpstreamRequest(qname, qtype, upstream.recursion_desired, &address));
    return queryWithPacket(address, again.packet, again.query_id, question, upstream);
}

TransportResult<QueryResult> queryUpstreamFanout(const UpstreamSettings& upstream,
    std::span<const SocketAddress> addresses, const DnsName& qname, QType qtype)
{
    const UpstreamRequest request = TRY(prepareUpstreamRequest(qname, qtype, upstream.recursion_desired));
    const ExpectedQuestion question { .qname = qname, .qtype = qtype, .qclass = QClass::in };
    return queryWithPacketFanout(addresses, request.packet, request.query_id, question, upstream);
}

TransportResult<QueryResult> NetworkTransport::exchange(const UpstreamSettings& upstream,
    std::span<const SocketAddress> servers, const DnsName& qname, QType qtype)
{
    if (servers.size() == 1)
        return queryUpstream(upstream, servers[0], qname, qtype);
    return queryUpstreamFanout(upstream, servers, qname, qtype);
}

} // namespace recursor

namespace recursor {

TransportResult<QueryResult> UpstreamTransport::race(const UpstreamSettings& upstream,
    std::span<const ServerAttempt> attempts, const DnsName& qname, QType qtype, std::int64_t deadline_ms,
    RaceObserver& observer)
{
    for (const ServerAttempt& attempt : attempts) {
        const std::int64_t left = deadline_ms - monotonicMs();
        if (left <= 0)
            break;
        observer.asked(attempt.server);
        UpstreamSettings bounded = upstream;
        bounded.timeout_ms = static_cast<std::uint32_t>(std::min<std::int64_t>(attempt.timeout_ms, left));
        const std::int64_t sent_at = monotonicMs();
        auto result = exchange(bounded, { &attempt.server, 1 }, qname, qtype);
        if (!result) {
            if (result.error() == TransportError::OutOfMemory || result.error() == TransportError::Cancelled)
                return result;
            if (result.error() == TransportError::Timeout)
                observer.timedOut(attempt.server);
            continue;
        }
        observer.replied(attempt.server, monotonicMs() - sent_at);
        if (observer.settles(attempt.server, result->response))
            return result;
    }
    return std::unexpected(TransportError::Timeout);
}

namespace {

    // One server of a race: its query, when its own timeout passes (the next server is asked then),
    // and when it is given up altogether.
    struct RaceLeg {
        UdpQuery query;
        std::int64_t sent_ms;
        std::int64_t patience_ms; // sent_ms + the server's adaptive timeout
        std::int64_t give_up_ms; // a late reply is still taken until then
        bool timeout_told { false };
        bool finished { false };
        bool cookie_retried { false }; // asked again after a BADCOOKIE (RFC 7873 §5.3), at most once
    };

    // A socket that the attempt can be sent on; none (the next is tried) when the send fails.
    TransportResult<std::optional<UdpQuery>> launch(
        const DnsName& qname, QType qtype, const SocketAddress& server, bool recursion_desired)
    {
        UpstreamRequest request = TRY(prepareUpstreamRequest(qname, qtype, recursion_desired, &server));
        auto query = UdpQuery::send(server, std::move(request.packet), request.query_id,
            ExpectedQuestion { .qname = qname, .qtype = qtype, .qclass = QClass::in });
        if (!query) {
            if (query.error() == TransportError::OutOfMemory)
                return std::unexpected(TransportError::OutOfMemory);
            return std::nullopt;
        }
        return std::optional<UdpQuery>(std::move(*query));
    }

} // namespace

TransportResult<QueryResult> NetworkTransport::race(const UpstreamSettings& upstream,
    std::span<const ServerAttempt> attempts, const DnsName& qname, QType qtype, std::int64_t deadline_ms,
    RaceObserver& observer)
{
    const UpstreamSettings& options = upstream;
    std::vector<RaceLeg> legs;
    std::vector<pollfd> fds;
    try {
        legs.reserve(max_servers_in_flight);
        fds.reserve(max_servers_in_flight);
    } catch (const std::bad_alloc&) {
        return std::unexpected(TransportError::OutOfMemory);
    }
    std::size_t next = 0;
    bool ask_next_now = true;
    for (;;) {
        std::int64_t now = monotonicMs();
        for (RaceLeg& leg : legs) {
            if (!leg.timeout_told && now >= leg.patience_ms) {
                leg.timeout_told = true;
                observer.timedOut(leg.query.server());
            }
        }
        while (next < attempts.size() && legs.size() < max_servers_in_flight
            && (ask_next_now || legs.empty() || now >= legs.back().patience_ms)) {
            const ServerAttempt& attempt = attempts[next++];
            observer.asked(attempt.server);
            auto query = TRY(launch(qname, qtype, attempt.server, upstream.recursion_desired));
            ask_next_now = !query; // a server that cannot be sent to is passed over at once
            if (query) {
                const std::int64_t patience = std::min<std::int64_t>(attempt.timeout_ms, upstream.timeout_ms);
                legs.push_back(RaceLeg { std::move(*query), now, now + patience,
                    now + std::max<std::int64_t>(upstream.timeout_ms, patience) });
            }
        }
        std::erase_if(legs, [&](const RaceLeg& leg) { return leg.finished || now >= leg.give_up_ms; });
        if (now >= deadline_ms || (legs.empty() && next == attempts.size()))
            return std::unexpected(TransportError::Timeout);
        if (legs.empty()) {
            ask_next_now = true;
            continue;
        }

        std::int64_t wake = deadline_ms;
        fds.clear();
        for (const RaceLeg& leg : legs) {
            wake = std::min(wake, leg.timeout_told ? leg.give_up_ms : leg.patience_ms);
            fds.push_back(pollfd { .fd = leg.query.fd(), .events = POLLIN, .revents = 0 });
        }
        const int ready = waitReady(fds, static_cast<int>(std::max<std::int64_t>(wake - now, 1)));
        if (ready < 0 && errno == ECANCELED)
            return std::unexpected(TransportError::Cancelled);
        if (ready < 0 && errno != EINTR)
            return std::unexpected(TransportError::NetworkError);
        for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            RaceLeg& leg = legs[i];
            auto reply = leg.query.receive(options);
            if (!reply && reply.error() == TransportError::OutOfMemory)
                return std::unexpected(TransportError::OutOfMemory);
            if (reply && !*reply)
                continue; // only strays so far
            if (reply && isBadCookie((**reply).response) && !leg.cookie_retried) {
                auto again = TRY(launch(qname, qtype, leg.query.server(), upstream.recursion_desired));
                if (again) {
                    leg.query = std::move(*again);
                    leg.cookie_retried = true;
                    continue;
                }
            }
            leg.finished = true;
            ask_next_now = true;
            if (!reply)
                continue; // unusable (a bare error, truncated, or its TCP retry failed): the next server
            observer.replied(leg.query.server(), monotonicMs() - leg.sent_ms);
            if (observer.settles(leg.query.server(), (*reply)->response))
                return std::move(**reply);
        }
    }
}

} // namespace recursor
