#include "server/server_error.h"

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

} // namespace recursor
