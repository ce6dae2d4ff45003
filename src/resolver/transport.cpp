#include "resolver/transport.h"

#include "wire/writer.h"

#include <cstdlib>

namespace recursor {

namespace {

    // EDNS (RFC 6891 §6.1.3): the UDP payload we can take in the CLASS field, DO (RFC 3225) in the TTL.
    constexpr QClass edns_udp_payload { 4096 };
    constexpr std::uint32_t edns_ttl_do_bit = 0x00008000;

    TransportError fromWriter(WireError e)
    {
        return e == WireError::OutOfMemory ? TransportError::OutOfMemory : TransportError::QueryBuildError;
    }

    ResolverOptions optionsOf(const UpstreamEngine& engine)
    {
        return ResolverOptions {
            .timeout_ms = engine.timeout_ms,
            .attempts = engine.attempts,
            .tcp_fallback = engine.tcp_fallback,
        };
    }

    TransportResult<std::vector<std::uint8_t>> writeRequest(
        const DnsName& qname, QType qtype, std::uint16_t id)
    {
        auto writer = PacketWriter::init(qname, qtype, QClass::in);
        if (!writer)
            return std::unexpected(fromWriter(writer.error()));
        const auto header = writer->getHeader();
        header[0] = static_cast<std::uint8_t>(id >> 8);
        header[1] = static_cast<std::uint8_t>(id);
        // The OPT record carries no options: RDLENGTH stays zero.
        auto opt = writer->startRecord(
            DnsName::root(), QType::opt, edns_udp_payload, edns_ttl_do_bit, Section::additional);
        if (!opt)
            return std::unexpected(fromWriter(opt.error()));
        auto packet = writer->finish();
        if (!packet)
            return std::unexpected(fromWriter(packet.error()));
        return std::move(*packet);
    }

} // namespace

TransportResult<UpstreamRequest> prepareUpstreamRequest(const DnsName& qname, QType qtype)
{
    // The empty name is no name at all; the writer would turn it into the root.
    if (qname.isEmpty())
        return std::unexpected(TransportError::QueryBuildError);
    std::uint8_t id_bytes[2];
    ::arc4random_buf(id_bytes, sizeof id_bytes);
    const auto id = static_cast<std::uint16_t>((id_bytes[0] << 8) | id_bytes[1]);
    return UpstreamRequest { .packet = TRY(writeRequest(qname, qtype, id)), .query_id = id };
}

TransportResult<QueryResult> queryUpstream(
    const UpstreamEngine& engine, const SocketAddress& address, const DnsName& qname, QType qtype)
{
    const UpstreamRequest request = TRY(prepareUpstreamRequest(qname, qtype));
    const ExpectedQuestion question { .qname = qname, .qtype = qtype, .qclass = QClass::in };
    return queryWithPacket(address, request.packet, request.query_id, question, optionsOf(engine));
}

TransportResult<QueryResult> queryUpstreamFanout(
    const UpstreamEngine& engine, std::span<const SocketAddress> addresses, const DnsName& qname, QType qtype)
{
    const UpstreamRequest request = TRY(prepareUpstreamRequest(qname, qtype));
    const ExpectedQuestion question { .qname = qname, .qtype = qtype, .qclass = QClass::in };
    return queryWithPacketFanout(addresses, request.packet, request.query_id, question, optionsOf(engine));
}

TransportResult<QueryResult> NetworkTransport::exchange(
    const UpstreamEngine& engine, std::span<const SocketAddress> servers, const DnsName& qname, QType qtype)
{
    if (servers.size() == 1)
        return queryUpstream(engine, servers[0], qname, qtype);
    return queryUpstreamFanout(engine, servers, qname, qtype);
}

} // namespace recursor
