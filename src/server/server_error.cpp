#include "server/server_error.h"

#include "base/log.h"

#include <cerrno>
#include <string>

namespace recursor {

ServerError toServerError(OpsError e)
{
    switch (e) {
    case OpsError::AddressInUse:
        return ServerError::AddressInUse;
    case OpsError::BindFailed:
        return ServerError::BindFailed;
    case OpsError::ListenFailed:
        return ServerError::ListenFailed;
    case OpsError::SocketFailed:
        return ServerError::SocketFailed;
    case OpsError::PathInUse:
        return ServerError::PathInUse;
    case OpsError::PathTooLong:
        return ServerError::PathTooLong;
    case OpsError::AccessDenied:
        return ServerError::AccessDenied;
    case OpsError::InvalidArgs:
    case OpsError::EmptyCommand: // a control command line's faults: never a server's
    case OpsError::TooManyArguments:
        return ServerError::InvalidArgs;
    case OpsError::OutOfMemory:
        return ServerError::OutOfMemory;
    case OpsError::ThreadSpawnFailed:
        return ServerError::ThreadSpawnFailed;
    case OpsError::Timeout:
        return ServerError::Timeout;
    case OpsError::NetworkError:
        return ServerError::NetworkError;
    }
    return ServerError::NetworkError;
}

ServerError replyBuildError(WireError e)
{
    return e == WireError::OutOfMemory ? ServerError::OutOfMemory : ServerError::BufferTooSmall;
}

ServerError fromErrno(int err)
{
    switch (err) {
    case EADDRINUSE:
        return ServerError::AddressInUse;
    case EADDRNOTAVAIL:
        return ServerError::AddressNotAvailable;
    case EACCES:
    case EPERM:
        return ServerError::AccessDenied;
    case ECONNREFUSED:
        return ServerError::ConnectionRefused;
    case ECONNRESET:
        return ServerError::ConnectionResetByPeer;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
        return ServerError::SystemResources;
    case ETIMEDOUT:
        return ServerError::Timeout;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
        return ServerError::NetworkError;
    default:
        return ServerError::Unexpected;
    }
}

} // namespace recursor

namespace recursor {

void logWarningWithError(std::string_view prefix, ServerError e)
{
    std::string message(prefix);
    message += dottedErrorName(e);
    logWarning(message);
}

} // namespace recursor
