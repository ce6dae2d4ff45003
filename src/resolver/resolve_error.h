// The closed set of errors of the resolution engine.
#pragma once

#include "base/error.h"

#define RECURSOR_RESOLVE_ERRORS(X)                                                                           \
    X(ServFail)                                                                                              \
    X(CnameLoop)                                                                                             \
    X(MaxDepthExceeded)                                                                                      \
    X(DnssecBogus)                                                                                           \
    X(OutOfMemory)

namespace recursor {
RECURSOR_DEFINE_ERROR_ENUM(ResolveError, RECURSOR_RESOLVE_ERRORS)

template <typename T> using ResolveResultOr = std::expected<T, ResolveError>;
} // namespace recursor
