// The closed set of errors of the server front end: command line, configuration, start-up and queries.
#pragma once

#include "base/error.h"
#include "ops/ops_error.h"
#include "wire/wire_error.h"

#include <string_view>

#define RECURSOR_SERVER_ERRORS(X)                                                                            \
    X(InvalidArgs)                                                                                           \
    X(OutOfMemory)                                                                                           \
    /* configuration file and environment */                                                                 \
    X(FileNotFound)                                                                                          \
    X(AccessDenied)                                                                                          \
    X(IsDir)                                                                                                 \
    X(ReadFailed)                                                                                            \
    X(StreamTooLong)                                                                                         \
    X(UnknownConfigSection)                                                                                  \
    X(UnknownConfigKey)                                                                                      \
    X(InvalidBoolean)                                                                                        \
    X(InvalidLogLevel)                                                                                       \
    X(InvalidCacheStrategy)                                                                                  \
    X(InvalidCharacter)                                                                                      \
    X(Overflow)                                                                                              \
    X(NoListenAddress)                                                                                       \
    X(InvalidListenAddress)                                                                                  \
    X(InvalidZoneName)                                                                                       \
    X(InvalidZoneFile)                                                                                       \
    X(InvalidSetting)                                                                                        \
    X(InvalidRootHints)                                                                                      \
    X(InvalidTrustAnchor)                                                                                    \
    X(InvalidAddress)                                                                                        \
    /* sockets and threads at start-up */                                                                    \
    X(AddressInUse)                                                                                          \
    X(AddressNotAvailable)                                                                                   \
    X(BindFailed)                                                                                            \
    X(ListenFailed)                                                                                          \
    X(SocketFailed)                                                                                          \
    X(PathInUse)                                                                                             \
    X(PathTooLong)                                                                                           \
    X(ThreadSpawnFailed)                                                                                     \
    X(UnknownUser)                                                                                           \
    X(PrivilegeDropFailed)                                                                                   \
    X(Timeout)                                                                                               \
    X(NetworkError)                                                                                          \
    X(ConnectionRefused)                                                                                     \
    X(ConnectionResetByPeer)                                                                                 \
    X(SystemResources)                                                                                       \
    X(Unexpected)                                                                                            \
    /* shaping replies */                                                                                    \
    X(MalformedEdns)                                                                                         \
    X(BufferTooSmall)

namespace recursor {
RECURSOR_DEFINE_ERROR_ENUM(ServerError, RECURSOR_SERVER_ERRORS)

template <typename T> using ServerResult = std::expected<T, ServerError>;

ServerError toServerError(OpsError e);
// OutOfMemory stays itself; every other failure to build a reply is BufferTooSmall.
ServerError replyBuildError(WireError e);
// The kind a socket call's errno stands for.
ServerError fromErrno(int err);
// A warning line: `prefix` followed by the error's dotted name.
void logWarningWithError(std::string_view prefix, ServerError e);
} // namespace recursor
