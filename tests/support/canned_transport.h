// The transport seam for resolver tests: replies canned by (server, qname, qtype), built into packets as a
// server would send them, and every exchange recorded. No socket is opened.
#pragma once

#include "resolver/transport.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace recursor::test {

inline constexpr std::uint16_t not_authoritative = 0x8000; // QR alone: referrals, lame answers
inline constexpr std::uint16_t authoritative = 0x8400; // QR and AA

struct Rr {
    std::string owner;
    QType type;
    std::vector<std::uint8_t> rdata;
};
using Rrs = std::vector<Rr>;
struct Reply {
    std::uint16_t flags { authoritative };
    Rrs answer, authority, additional;
};

std::vector<std::uint8_t> ipv4(const char* text);
Reply address(const char* owner, const char* addr, std::uint16_t flags = authoritative);
// `zone` delegated to `ns`, with an address for it in the additional section.
Reply delegation(const char* zone, const char* ns, const char* glue);
// An authoritative NODATA with `zone`'s SOA.
Reply nodata(const char* zone);

// One exchange as the transport records it: "www.example. 1 @ 192.0.2.1:53 192.0.2.2:53", with " +rd"
// after it when the query asked for recursion.
std::string ask(const std::vector<std::string>& servers, std::string_view qname, QType qtype);
using Exchanges = std::vector<std::string>;

// Replies by (server, qname, qtype); a fan-out is answered by the first of its servers with an entry,
// an entry without a reply is a silent server, and a question without an entry fails the test.
class CannedTransport final : public UpstreamTransport {
public:
    void on(const char* server, const char* qname, QType qtype, std::optional<Reply> reply);

    TransportResult<QueryResult> exchange(const UpstreamSettings& upstream,
        std::span<const SocketAddress> servers, const DnsName& qname, QType qtype) override;

    Exchanges exchanges;
    bool yield { false }; // inside a fiber: others run meanwhile, as on the network
    // The most exchanges waiting for their replies at once (with `yield`: questions asked side by side).
    int most_in_flight { 0 };
    // The reply to any question the table has no entry for (a server that answers everything).
    std::function<Reply(std::string_view server, std::string_view qname, QType)> otherwise;

private:
    std::map<std::tuple<std::string, std::string, QType>, std::optional<Reply>> table_;
    int in_flight_ { 0 };
};

} // namespace recursor::test
