// One event loop's UDP service: a socket on each listen address, in a SO_REUSEPORT group with the other
// loops' sockets on it. Datagrams are read a batch at a time (recvmmsg) and handed to the front; the
// replies of one round of the loop leave together (sendmmsg), each from the address its question was
// sent to.
#pragma once

#include "base/socket_address.h"
#include "server/front.h"
#include "server/server_error.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <span>
#include <vector>

namespace recursor {

// Where a UDP reply leaves from: the socket its question came in on (one per listen address) and, on a
// wildcard socket, the address the question was sent to, as the ancillary data (IP_PKTINFO or
// IPV6_PKTINFO) that makes the reply leave from that same address.
struct ReplySource {
    alignas(cmsghdr) std::array<std::uint8_t, CMSG_SPACE(sizeof(in6_pktinfo))> control {};
    std::size_t length { 0 };
    int socket { -1 };
};

class UdpListener {
public:
    static constexpr std::size_t receive_buffer_size = 4096;

    // Borrows both: the server's front, and the loop's part of it, whose event loop watches the sockets.
    UdpListener(Front& front, FrontLoop& loop);
    UdpListener(const UdpListener&) = delete;
    UdpListener& operator=(const UdpListener&) = delete;
    ~UdpListener(); // the sockets are closed by closeSockets, once the loop has stopped

    // A socket on `address` (its port known), watched by the loop.
    ServerResult<void> listen(const SocketAddress& address, bool ipv6_only);
    // With several loops, each datagram goes to one picked at random; set on one socket of each group.
    void spreadDatagramsAtRandom(std::size_t loops) const;
    // The reply goes out with the others of this round of the loop, in one sendmmsg.
    void queue(std::vector<std::uint8_t> bytes, const SocketAddress& to, const ReplySource& source);
    bool hasReplies() const;
    void sendReplies();
    void closeSockets();

private:
    struct Batch;
    struct UdpSocket {
        int fd { -1 };
        bool wildcard { false }; // replies need the address each question was sent to
    };

    ServerResult<int> bindUdpSocket(const SocketAddress& address, bool wildcard, bool ipv6_only);
    void receiveBatches(const UdpSocket& socket);
    // Whether the socket had datagrams.
    bool receiveBatch(const UdpSocket& socket);
    void handleDatagram(std::span<const std::uint8_t> packet, const SocketAddress& client,
        const ReplySource& source, std::int64_t received_us);

    Front& front_;
    FrontLoop& loop_;
    std::vector<UdpSocket> sockets_; // one per listen address, in the server's order
    std::unique_ptr<Batch> batch_;
};

} // namespace recursor
