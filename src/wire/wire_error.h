// The closed set of errors of the wire format: parsing names, messages and record data, and writing packets.
#pragma once

#include "base/error.h"

#define RECURSOR_WIRE_ERRORS(X)                                                                              \
    X(PacketTooShort)                                                                                        \
    X(NameTooLong)                                                                                           \
    X(LabelTooLong)                                                                                          \
    X(InvalidLabelType)                                                                                      \
    X(InvalidCompressionPointer)                                                                             \
    X(CompressionLoop)                                                                                       \
    X(InvalidQuestion)                                                                                       \
    X(OutOfMemory)                                                                                           \
    X(RdataLengthMismatch)                                                                                   \
    X(TruncatedRecord)                                                                                       \
    X(LengthMismatch)                                                                                        \
    X(InvalidGatewayType)                                                                                    \
    X(UnsupportedVersion)                                                                                    \
    X(RdataTooLong)                                                                                          \
    X(FieldTooLong)                                                                                          \
    X(MalformedEdns)

namespace recursor {
RECURSOR_DEFINE_ERROR_ENUM(WireError, RECURSOR_WIRE_ERRORS)

template <typename T> using WireResult = std::expected<T, WireError>;
} // namespace recursor
