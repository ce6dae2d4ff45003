#include "server/listen_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace recursor {

bool setIpv6Only(int fd, const SocketAddress& address, bool only)
{
    const int value = only ? 1 : 0;
    return address.family() != AF_INET6
        || ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &value, sizeof value) == 0;
}

} // namespace recursor
