#include "support/stream_client.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace recursor::test {

socklen_t unixSocketAddress(const std::string& path, sockaddr_un& out)
{
    out = {};
    out.sun_family = AF_UNIX;
    std::memcpy(out.sun_path, path.data(), std::min(path.size(), sizeof out.sun_path));
    return static_cast<socklen_t>(
        offsetof(sockaddr_un, sun_path) + std::min(path.size() + 1, sizeof out.sun_path));
}

StreamClient::StreamClient(const SocketAddress& address)
    : fd_(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    setReadTimeout();
    connected_ = ::connect(fd_, address.sockaddrPtr(), address.sockaddrLen()) == 0;
}

StreamClient::StreamClient(const std::string& unix_path)
    : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    setReadTimeout();
    sockaddr_un address;
    const socklen_t length = unixSocketAddress(unix_path, address);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

StreamClient::~StreamClient()
{
    ::close(fd_);
}

void StreamClient::setReadTimeout()
{
    const timeval timeout { .tv_sec = 5, .tv_usec = 0 };
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

void StreamClient::send(std::string_view bytes)
{
    (void)::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void StreamClient::closeWriteSide()
{
    ::shutdown(fd_, SHUT_WR);
}

std::string StreamClient::readUntilClosed()
{
    std::string out;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        closed_cleanly_ = n == 0;
        if (n <= 0)
            return out;
        out.append(chunk, static_cast<std::size_t>(n));
    }
}

} // namespace recursor::test
