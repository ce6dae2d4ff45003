#include "resolver/resolve_error.h"

#include <gtest/gtest.h>

namespace recursor {
namespace {

    // The log and TRACE name the kind, then the zone and server when a failure has them; the client is
    // told the extended error of the kind (RFC 8914), the codes the server has always sent.
    TEST(ResolveFailure, DescribesItsKindZoneAndServerAndCarriesTheExtendedError)
    {
        struct Case {
            ResolveFailure failure;
            const char* text;
            std::uint16_t ede;
        };
        const SocketAddress server = *SocketAddress::fromIpLiteral("192.0.2.1", 53);
        const Case cases[] = {
            { ResolveFailure(ResolveError::NoReachableAuthority, *DnsName::fromText("example.com"), server),
                "error.NoReachableAuthority zone example.com. server 192.0.2.1:53", 22 },
            { ResolveFailure(ResolveError::DsUnavailable, *DnsName::fromText("example.com")),
                "error.DsUnavailable zone example.com.", 22 },
            { ResolveFailure(ResolveError::DnssecBogus, DnsName::root()), "error.DnssecBogus zone .", 6 },
            { ResolveFailure(ResolveError::SignatureExpired), "error.SignatureExpired", 7 },
            { ResolveFailure(ResolveError::DnskeyUnavailable), "error.DnskeyUnavailable", 9 },
            { ResolveFailure(ResolveError::ShuttingDown), "error.ShuttingDown", 14 },
            { ResolveFailure(ResolveError::CnameLoop), "error.CnameLoop", 0 },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.text);
            EXPECT_EQ(describe(c.failure), c.text);
            EXPECT_EQ(c.failure.ede, c.ede);
        }
    }

} // namespace
} // namespace recursor
