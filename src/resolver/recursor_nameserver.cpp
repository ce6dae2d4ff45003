#include "resolver/recursor_nameserver.h"

#include <string_view>

namespace recursor {

namespace {

    // a.root-servers.net to m.root-servers.net.
    constexpr std::array<std::string_view, NameserverSet::capacity> root_server_addresses {
        "198.41.0.4",
        "170.247.170.2",
        "192.33.4.12",
        "199.7.91.13",
        "192.203.230.10",
        "192.5.5.241",
        "192.112.36.4",
        "198.97.190.53",
        "192.36.148.17",
        "192.58.128.30",
        "193.0.14.129",
        "199.7.83.42",
        "202.12.27.33",
    };

} // namespace

void NameserverSet::loadRoots(std::uint16_t port)
{
    count = 0;
    for (std::string_view ip : root_server_addresses) {
        if (auto addr = SocketAddress::fromIpLiteral(ip, port))
            append(*addr);
    }
}

} // namespace recursor
