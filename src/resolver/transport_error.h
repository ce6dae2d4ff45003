// The closed set of errors of one upstream exchange. ErrorReply: the server asked sent only a header with
// an error RCODE (no question), which counts as its failure without waiting out the timeout.
#pragma once

#include "base/error.h"

#define RECURSOR_TRANSPORT_ERRORS(X)                                                                         \
    X(OutOfMemory)                                                                                           \
    X(QueryBuildError)                                                                                       \
    X(NetworkError)                                                                                          \
    X(Timeout)                                                                                               \
    X(Truncated)                                                                                             \
    X(ErrorReply)                                                                                            \
    X(ParseError)                                                                                            \
    X(Cancelled)

namespace recursor {
RECURSOR_DEFINE_ERROR_ENUM(TransportError, RECURSOR_TRANSPORT_ERRORS)

template <typename T> using TransportResult = std::expected<T, TransportError>;
} // namespace recursor
