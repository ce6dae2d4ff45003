#include "server/listen_socket.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace recursor {

namespace {

    // IPV6_V6ONLY as asked on an IPv6 socket; IPv4 sockets have nothing to set.
    bool setIpv6Only(int fd, const SocketAddress& address, bool only)
    {
        const int value = only ? 1 : 0;
        return address.family() != AF_INET6
            || ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &value, sizeof value) == 0;
    }

} // namespace

ServerResult<void> bindListenSocket(int fd, const SocketAddress& address, bool ipv6_only)
{
    if (!setIpv6Only(fd, address, ipv6_only))
        return std::unexpected(ServerError::SocketFailed);
    if (::bind(fd, address.sockaddrPtr(), address.sockaddrLen()) != 0) {
        const ServerError e = fromErrno(errno);
        return std::unexpected(e == ServerError::Unexpected ? ServerError::BindFailed : e);
    }
    return {};
}

} // namespace recursor
