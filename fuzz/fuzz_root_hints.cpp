// Reads arbitrary bytes as a root hints file. At most 13 addresses come out, each with the port asked
// for, the IPv4 ones before the IPv6 ones; CRLF line ends must not change them; written out as A and
// AAAA lines again, they must read back as the same addresses in the same order.
#include "fuzz_text.h"
#include "resolver/nameserver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using recursor::NameserverSet;
using recursor::parseRootHints;

constexpr std::uint16_t port = 53;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_root_hints: %s\n", what);
    std::abort();
}

// "192.0.2.1:53" and "[2001:db8::1]:53" without the port and the brackets.
std::string literal(const recursor::SocketAddress& address)
{
    std::string text = address.toString();
    text.resize(text.rfind(':'));
    if (address.isIPv6())
        text = text.substr(1, text.size() - 2);
    return text;
}

std::string hintsText(const NameserverSet& roots)
{
    std::string out = ".\t3600000\tNS\tA.ROOT-SERVERS.NET.\n";
    for (const auto& address : roots.slice())
        out += "A.ROOT-SERVERS.NET. 3600000 " + std::string(address.isIPv6() ? "AAAA " : "A ")
            + literal(address) + " ; kept\n";
    return out;
}

bool same(const NameserverSet& a, const NameserverSet& b)
{
    return std::equal(a.slice().begin(), a.slice().end(), b.slice().begin(), b.slice().end());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const NameserverSet roots = parseRootHints(text, port);
    if (roots.count > NameserverSet::capacity)
        fail("more addresses than the set holds");
    bool seen_ipv6 = false;
    for (const auto& address : roots.slice()) {
        if (address.port() != port || (address.family() != AF_INET && address.family() != AF_INET6))
            fail("an address without the port or of another family");
        if (seen_ipv6 && !address.isIPv6())
            fail("an IPv4 address after an IPv6 one");
        seen_ipv6 = seen_ipv6 || address.isIPv6();
    }
    if (!same(roots, parseRootHints(recursor::fuzz::withCrlf(text), port)))
        fail("CRLF line ends change the addresses");
    if (!same(roots, parseRootHints(hintsText(roots), port)))
        fail("the addresses written out read back as other addresses");
    return 0;
}
