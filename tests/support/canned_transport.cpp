#include "support/canned_transport.h"

#include "base/event_loop.h"
#include "support/packet_builder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace recursor::test {

std::vector<std::uint8_t> ipv4(const char* text)
{
    std::vector<std::uint8_t> addr(4);
    EXPECT_EQ(inet_pton(AF_INET, text, addr.data()), 1) << text;
    return addr;
}

Reply address(const char* owner, const char* addr, std::uint16_t flags)
{
    return { flags, { { owner, QType::a, ipv4(addr) } } };
}

Reply delegation(const char* zone, const char* ns, const char* glue)
{
    return { not_authoritative, {}, { { zone, QType::ns, wireName(ns) } }, { { ns, QType::a, ipv4(glue) } } };
}

Reply nodata(const char* zone)
{
    PacketBuilder soa;
    soa.name(zone).name(zone).u32(1).u32(3600).u32(600).u32(86400).u32(300);
    return { authoritative, {}, { { zone, QType::soa, soa.bytes() } } };
}

std::string ask(const std::vector<std::string>& servers, std::string_view qname, QType qtype)
{
    std::string text = std::string(qname) + ' ' + std::to_string(toU16(qtype)) + " @";
    for (const std::string& server : servers)
        text += ' ' + server;
    return text;
}

void CannedTransport::on(const char* server, const char* qname, QType qtype, std::optional<Reply> reply)
{
    table_[{ std::string(server) + ":53", qname, qtype }] = std::move(reply);
}

TransportResult<QueryResult> CannedTransport::exchange(const UpstreamSettings& upstream,
    std::span<const SocketAddress> servers, const DnsName& qname, QType qtype)
{
    std::vector<std::string> addrs;
    for (const SocketAddress& server : servers)
        addrs.push_back(server.toString());
    const std::string asked = ask(addrs, qname.toText(), qtype);
    exchanges.push_back(upstream.recursion_desired ? asked + " +rd" : asked);
    if (yield) {
        most_in_flight = std::max(most_in_flight, ++in_flight_);
        waitReady({}, 1);
        --in_flight_;
    }
    for (std::size_t i = 0; i < addrs.size(); ++i) {
        const auto entry = table_.find({ addrs[i], qname.toText(), qtype });
        std::optional<Reply> made;
        if (entry == table_.end() && otherwise)
            made = otherwise(addrs[i], qname.toText(), qtype);
        else if (entry == table_.end())
            continue;
        else if (!entry->second)
            return std::unexpected(TransportError::Timeout);
        const Reply& r = made ? *made : *entry->second;
        PacketBuilder b;
        b.header(0, r.flags, 1, static_cast<std::uint16_t>(r.answer.size()),
            static_cast<std::uint16_t>(r.authority.size()), static_cast<std::uint16_t>(r.additional.size()));
        b.question(qname.toText(), qtype, QClass::in);
        for (const Rrs* section : { &r.answer, &r.authority, &r.additional }) {
            for (const Rr& rr : *section)
                b.record(rr.owner, rr.type, QClass::in, 3600, rr.rdata);
        }
        QueryResult result;
        result.packet = b.bytes();
        result.response = DnsMessage::parse(result.packet).value();
        result.from = servers[i];
        return result;
    }
    ADD_FAILURE() << "no reply canned for " << asked;
    return std::unexpected(TransportError::NetworkError);
}

} // namespace recursor::test
