// A blocking stream client for the operator interfaces: loopback TCP or a Unix socket path.
// Every read gives up after five seconds, so a hung server fails the test instead of blocking it.
#pragma once

#include "base/socket_address.h"

#include <string>
#include <string_view>
#include <sys/un.h>

namespace recursor::test {

// Fills `out` for `path`; a path of exactly sizeof(sun_path) bytes goes without its terminating zero.
socklen_t unixSocketAddress(const std::string& path, sockaddr_un& out);

class StreamClient {
public:
    explicit StreamClient(const SocketAddress& address);
    explicit StreamClient(const std::string& unix_path);
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;
    ~StreamClient();

    bool connected() const { return connected_; }
    void send(std::string_view bytes);
    void closeWriteSide();
    std::string readUntilClosed();
    // After readUntilClosed: whether the server ended with an orderly close, not a reset or a timeout.
    bool closedCleanly() const { return closed_cleanly_; }

private:
    void setReadTimeout();

    int fd_;
    bool connected_ { false };
    bool closed_cleanly_ { false };
};

} // namespace recursor::test
