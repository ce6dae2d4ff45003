// The closed set of errors of one upstream exchange.
#pragma once

#include "base/error.h"

#define RECURSOR_TRANSPORT_ERRORS(X)                                                                         \
    X(OutOfMemory)                                                                                           \
    X(QueryBuildError)                                                                                       \
    X(NetworkError)                                                                                          \
    X(Timeout)                                                                                               \
    X(Truncated)                                                                                             \
    X(ParseError)                                                                                            \
    X(Cancelled)

namespace recursor {
RECURSOR_DEFINE_ERROR_ENUM(TransportError, RECURSOR_TRANSPORT_ERRORS)

template <typename T> using TransportResult = std::expected<T, TransportError>;
} // namespace recursor
