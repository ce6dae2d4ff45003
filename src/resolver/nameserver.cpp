#include "resolver/nameserver.h"

#include "base/text.h"

#include <algorithm>
#include <optional>
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

namespace {

    // The address of an "owner [ttl] [class] A|AAAA address" line whose type is `type`.
    std::optional<std::string_view> addressOfType(std::string_view line, std::string_view type)
    {
        line = line.substr(0, line.find(';'));
        nextToken(line); // owner
        for (std::string_view token = nextToken(line); !token.empty(); token = nextToken(line)) {
            if (equalsIgnoringAsciiCase(token, type))
                return nextToken(line);
            if (equalsIgnoringAsciiCase(token, "A") || equalsIgnoringAsciiCase(token, "AAAA")
                || equalsIgnoringAsciiCase(token, "NS"))
                return std::nullopt;
        }
        return std::nullopt;
    }

} // namespace

NameserverSet parseRootHints(std::string_view text, std::uint16_t port)
{
    NameserverSet roots;
    for (std::string_view type : { "A", "AAAA" }) {
        std::string_view rest = text;
        while (!rest.empty()) {
            const std::size_t end = std::min(rest.find('\n'), rest.size());
            const std::string_view line = rest.substr(0, end);
            rest.remove_prefix(std::min(end + 1, rest.size()));
            const auto address = addressOfType(line, type);
            if (!address)
                continue;
            if (auto parsed = SocketAddress::fromIpLiteral(*address, port);
                parsed && parsed->family() == (type == "A" ? AF_INET : AF_INET6))
                roots.append(*parsed);
        }
    }
    return roots;
}

std::expected<NameserverSet, RootHintsError> loadRootHints(std::string_view path, std::size_t max_size)
{
    const auto text = readWholeFile(path, max_size);
    if (!text)
        return std::unexpected(fileErrorAs<RootHintsError>(text.error()));
    NameserverSet roots = parseRootHints(*text, 53);
    if (roots.empty())
        return std::unexpected(RootHintsError::NoRootServerAddress);
    return roots;
}

void NameserverSet::loadRoots(std::uint16_t port)
{
    count = 0;
    for (std::string_view ip : root_server_addresses) {
        if (auto addr = SocketAddress::fromIpLiteral(ip, port))
            append(*addr);
    }
}

} // namespace recursor
