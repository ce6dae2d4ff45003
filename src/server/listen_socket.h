// Binding the listeners' sockets and those of the address claim.
#pragma once

#include "base/socket_address.h"
#include "server/server_error.h"

namespace recursor {

// IPV6_V6ONLY as asked, then bind(2): AddressInUse, PermissionDenied and the like as errno says, else
// BindFailed.
ServerResult<void> bindListenSocket(int fd, const SocketAddress& address, bool ipv6_only);

} // namespace recursor
