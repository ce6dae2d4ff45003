// The closed set of errors of the resolution engine. Each names why a question failed (the client gets
// SERVFAIL for every one of them), so that the reason can be logged and told to the client.
#pragma once

#include "base/error.h"

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
#define RECURSOR_RESOLVE_ERRORS(X)                                                                           \
    X(NoNameservers)                                                                                         \
    X(NoReachableAuthority)                                                                                  \
    X(BudgetExhausted)                                                                                       \
    X(NameserverBudgetExhausted)                                                                             \
    X(TooManySteps)                                                                                          \
    X(NameTooLong)                                                                                           \
    X(UnwritableAnswer)                                                                                      \
    X(ChainTooLong)                                                                                          \
    X(DsUnavailable)                                                                                         \
    X(DnskeyUnavailable)                                                                                     \
    X(CnameLoop)                                                                                             \
    X(MaxDepthExceeded)                                                                                      \
    X(DnssecBogus)                                                                                           \
    X(SignaturesMissing)                                                                                     \
    X(SignatureExpired)                                                                                      \
    X(SignatureNotYetValid)                                                                                  \
    X(DnskeyMissing)                                                                                         \
    X(ShuttingDown)                                                                                          \
    X(OutOfMemory)

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
} // namespace recursor
