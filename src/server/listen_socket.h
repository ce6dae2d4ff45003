// Socket options the listeners and the address claim share.
#pragma once

#include "base/socket_address.h"

namespace recursor {

// IPV6_V6ONLY as asked on an IPv6 socket; IPv4 sockets have nothing to set.
bool setIpv6Only(int fd, const SocketAddress& address, bool only);

} // namespace recursor
