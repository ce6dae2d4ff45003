// The closed set of errors of DNSSEC signature checking.
#pragma once

#include "base/error.h"

#define RECURSOR_DNSSEC_ERRORS(X)                                                                            \
    X(MixedNames)                                                                                            \
    X(MixedTypes)                                                                                            \
    X(MixedClasses)                                                                                          \
    X(InvalidRRSIG)                                                                                          \
    X(AlgorithmNotSupported)                                                                                 \
    X(SignatureNotYetValid)                                                                                  \
    X(SignatureExpired)                                                                                      \
    X(KeyTooLarge)                                                                                           \
    X(InvalidPublicKey)                                                                                      \
    X(InvalidSignature)                                                                                      \
    X(OpenSSLError)                                                                                          \
    X(OutOfMemory)

namespace recursor::dnssec {
RECURSOR_DEFINE_ERROR_ENUM(DnssecError, RECURSOR_DNSSEC_ERRORS)

template <typename T> using DnssecResult = std::expected<T, DnssecError>;
} // namespace recursor::dnssec
