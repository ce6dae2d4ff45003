// The closed set of errors of the resolution engine. Each names why a question failed (the client gets
// SERVFAIL for every one of them), so that the reason can be logged and told to the client.
#pragma once

#include "base/error.h"
#include "base/socket_address.h"
#include "wire/name.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

// NoNameservers       a delegation left no server address to ask
// NoReachableAuthority every server of a step timed out, refused, failed or was lame
// BudgetExhausted     the question's upstream exchanges or time ran out
// NameserverBudgetExhausted  the share of those exchanges that nameserver address lookups may spend
//                     ran out (nested glueless delegations)
// TooManySteps        more referrals and CNAME steps than a question may take
// NameTooLong         a DNAME substitution made a name over 255 bytes (YXDOMAIN, RFC 6672 §2.2)
// UnwritableAnswer    a record could not be written into the answer
// ChainTooLong        the chain of trust climbed more levels than allowed
// DsUnavailable       the DS RRset of a signed zone's child could not be had
// DnskeyUnavailable   a zone's DNSKEY RRset could not be had
// ShuttingDown        the server is stopping: waits on the network end at once
// DnssecBogus and the four after it: data of a signed zone failed validation (RFC 4035 §5.5), in
// general, or because its signatures were missing, expired or not yet valid, or because no DNSKEY of the
// child matched the DS its parent signed
// Each kind with the extended DNS error (RFC 8914 §4) a client is told with its SERVFAIL: 0 Other,
// 6 DNSSEC Bogus, 7 Signature Expired, 8 Signature Not Yet Valid, 9 DNSKEY Missing, 10 RRSIGs Missing,
// 14 Not Ready, 22 No Reachable Authority.
#define RECURSOR_RESOLVE_ERROR_TABLE(Y, X)                                                                   \
    Y(X, NoNameservers, 22)                                                                                  \
    Y(X, NoReachableAuthority, 22)                                                                           \
    Y(X, BudgetExhausted, 22)                                                                                \
    Y(X, NameserverBudgetExhausted, 22)                                                                      \
    Y(X, TooManySteps, 0)                                                                                    \
    Y(X, NameTooLong, 0)                                                                                     \
    Y(X, UnwritableAnswer, 0)                                                                                \
    Y(X, ChainTooLong, 0)                                                                                    \
    Y(X, DsUnavailable, 22)                                                                                  \
    Y(X, DnskeyUnavailable, 9)                                                                               \
    Y(X, CnameLoop, 0)                                                                                       \
    Y(X, MaxDepthExceeded, 0)                                                                                \
    Y(X, DnssecBogus, 6)                                                                                     \
    Y(X, SignaturesMissing, 10)                                                                              \
    Y(X, SignatureExpired, 7)                                                                                \
    Y(X, SignatureNotYetValid, 8)                                                                            \
    Y(X, DnskeyMissing, 9)                                                                                   \
    Y(X, ShuttingDown, 14)                                                                                   \
    Y(X, OutOfMemory, 0)
#define RECURSOR_RESOLVE_ERROR_KIND(X, name, ede) X(name)
#define RECURSOR_RESOLVE_ERRORS(X) RECURSOR_RESOLVE_ERROR_TABLE(RECURSOR_RESOLVE_ERROR_KIND, X)
#define RECURSOR_RESOLVE_ERROR_EDE_CASE(X, name, ede)                                                        \
    case ResolveError::name:                                                                                 \
        return ede;

namespace recursor {
RECURSOR_DEFINE_ERROR_ENUM(ResolveError, RECURSOR_RESOLVE_ERRORS)

template <typename T> using ResolveResultOr = std::expected<T, ResolveError>;

// Whether the error says the data is bogus (whatever the reason), as opposed to unavailable.
constexpr bool isBogus(ResolveError e)
{
    return e == ResolveError::DnssecBogus || e == ResolveError::SignaturesMissing
        || e == ResolveError::SignatureExpired || e == ResolveError::SignatureNotYetValid
        || e == ResolveError::DnskeyMissing;
}

// The extended DNS error code (RFC 8914) a SERVFAIL for this kind carries.
constexpr std::uint16_t extendedErrorOf(ResolveError e)
{
    switch (e) {
        RECURSOR_RESOLVE_ERROR_TABLE(RECURSOR_RESOLVE_ERROR_EDE_CASE, _)
    }
    return 0;
}

// Why a client question failed and where: the zone whose servers all failed or whose DS, DNSKEY or
// signatures were missing or bogus (empty when no zone is at fault), and the last server asked there.
struct ResolveFailure {
    ResolveFailure(ResolveError why = ResolveError::OutOfMemory, DnsName at = {},
        std::optional<SocketAddress> asked = std::nullopt)
        : kind(why)
        , zone(std::move(at))
        , server(asked)
        , ede(extendedErrorOf(why))
    {
    }

    ResolveError kind;
    DnsName zone;
    std::optional<SocketAddress> server;
    std::uint16_t ede; // RFC 8914
};

// "error.NoReachableAuthority zone example.com. server 192.0.2.1:53", for the log and TRACE.
std::string describe(const ResolveFailure& failure);

// The kind alone, for callers that have no use for the detail.
template <typename T> std::expected<T, ResolveError> kindOnly(std::expected<T, ResolveFailure> result)
{
    if (!result)
        return std::unexpected(result.error().kind);
    return std::move(*result);
}

} // namespace recursor
