// The closed set of errors of the operator interfaces (HTTP metrics server, control socket).
#pragma once

#include "base/error.h"

#define RECURSOR_OPS_ERRORS(X)                                                                               \
    X(AddressInUse)                                                                                          \
    X(BindFailed)                                                                                            \
    X(ListenFailed)                                                                                          \
    X(SocketFailed)                                                                                          \
    X(PathInUse)                                                                                             \
    X(PathTooLong)                                                                                           \
    X(AccessDenied)                                                                                          \
    X(InvalidArgs)                                                                                           \
    X(OutOfMemory)                                                                                           \
    X(ThreadSpawnFailed)                                                                                     \
    X(Timeout)                                                                                               \
    X(NetworkError)                                                                                          \
    X(EmptyCommand)                                                                                          \
    X(TooManyArguments)

namespace recursor {
RECURSOR_DEFINE_ERROR_ENUM(OpsError, RECURSOR_OPS_ERRORS)

template <typename T> using OpsResult = std::expected<T, OpsError>;
} // namespace recursor
