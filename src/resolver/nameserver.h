// A fixed-capacity set of nameserver addresses, held by value (no allocation), and the root servers.
#pragma once

#include "base/read_file.h"
#include "base/socket_address.h"
#include "wire/name.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

// NoRootServerAddress  a root hints file without an A or AAAA record of a root server
// and the kinds of RECURSOR_FILE_ERRORS, for a file that could not be read
#define RECURSOR_ROOT_HINTS_ERRORS(X)                                                                        \
    X(NoRootServerAddress)                                                                                   \
    RECURSOR_FILE_ERRORS(X)

namespace recursor {

RECURSOR_DEFINE_ERROR_ENUM(RootHintsError, RECURSOR_ROOT_HINTS_ERRORS)

struct NameserverSet {
    static constexpr std::size_t capacity = 13;

    // Adding to a full set does nothing.
    void append(const SocketAddress& addr)
    {
        if (count < capacity)
            addrs[count++] = addr;
    }
    std::span<const SocketAddress> slice() const { return { addrs.data(), count }; }
    void replace(const NameserverSet& other) { *this = other; }
    // The 13 built-in IPv4 root server addresses, in table order, each with `port`.
    void loadRoots(std::uint16_t port);
    bool empty() const { return count == 0; }

    std::size_t count { 0 };
    std::array<SocketAddress, capacity> addrs {};
};

// The A and then the AAAA records of a root hints file (RFC 1034 master file lines, as in root.hints),
// each as an address with `port`; at most 13, anything else on the lines ignored.
NameserverSet parseRootHints(std::string_view text, std::uint16_t port);
// parseRootHints of the file at `path` (at most `max_size` bytes), each address with port 53.
[[nodiscard]] std::expected<NameserverSet, RootHintsError> loadRootHints(
    std::string_view path, std::size_t max_size);

// At most this many nameserver names of one referral are resolved (the NXNS attack, CVE-2020-12667).
inline constexpr std::size_t max_glueless_names = 5;

// Nameserver names held by value, at most max_glueless_names; adding more does nothing.
struct NameserverNames {
    static constexpr std::size_t capacity = max_glueless_names;

    void append(const DnsName& name)
    {
        if (count < capacity)
            names[count++] = name;
    }
    std::span<const DnsName> span() const { return { names.data(), count }; }
    bool empty() const { return count == 0; }

    std::size_t count { 0 };
    std::array<DnsName, capacity> names {};
};

// A zone and the addresses of its servers.
struct Delegation {
    DnsName zone;
    NameserverSet nameservers; // asked first
    // Names of the zone's servers that came without glue: resolved, and asked, once `nameservers` fail.
    NameserverNames unresolved;
    // Glue the referring server gave for names outside its own zone. It had no say over those names, so
    // the addresses are unvalidated: asked only when nothing else answers, and never taken as the names'
    // addresses (RFC 2181 §5.4.1 ranks glue below everything else).
    NameserverSet fallback;
    // Resolvers of a forward zone rather than authorities: asked with RD=1, their answers final.
    bool recursive { false };
};

} // namespace recursor
