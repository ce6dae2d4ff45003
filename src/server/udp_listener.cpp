#include "server/udp_listener.h"

#include "base/clock.h"
#include "base/thread.h"
#include "server/listen_socket.h"

#include <cerrno>
#include <cstring>
#include <linux/filter.h>
#include <sys/socket.h>
#include <unistd.h>

namespace recursor {

namespace {

    // Roomy kernel buffer so bursts wait in the socket rather than being dropped.
    constexpr int socket_receive_buffer_bytes = 4 * 1024 * 1024;

    bool isWildcard(const SocketAddress& address)
    {
        if (address.family() == AF_INET)
            return reinterpret_cast<const sockaddr_in*>(address.sockaddrPtr())->sin_addr.s_addr == INADDR_ANY;
        return address.family() == AF_INET6
            && IN6_IS_ADDR_UNSPECIFIED(
                &reinterpret_cast<const sockaddr_in6*>(address.sockaddrPtr())->sin6_addr);
    }

    // Asks the kernel for each datagram's destination address. An IPv6 socket reports IPv4-mapped
    // destinations through IPV6_PKTINFO as well.
    bool enableDestinationInfo(int fd, int family)
    {
        const int one = 1;
        if (family == AF_INET)
            return ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) == 0;
        return ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one) == 0;
    }

    // Turns the received destination information into the control message that sends the reply from
    // that address. The IPv4 interface is left to routing; an IPv6 one is kept for link-local addresses.
    ReplySource replySourceFrom(msghdr& received)
    {
        ReplySource out;
        for (cmsghdr* c = CMSG_FIRSTHDR(&received); c != nullptr; c = CMSG_NXTHDR(&received, c)) {
            msghdr reply {};
            reply.msg_control = out.control.data();
            reply.msg_controllen = out.control.size();
            cmsghdr* r = CMSG_FIRSTHDR(&reply);
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo dest {};
                std::memcpy(&dest, CMSG_DATA(c), sizeof dest);
                in_pktinfo source {};
                source.ipi_spec_dst = dest.ipi_addr;
                r->cmsg_level = IPPROTO_IP;
                r->cmsg_type = IP_PKTINFO;
                r->cmsg_len = CMSG_LEN(sizeof source);
                std::memcpy(CMSG_DATA(r), &source, sizeof source);
                out.length = CMSG_SPACE(sizeof source);
                return out;
            }
            if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                r->cmsg_level = IPPROTO_IPV6;
                r->cmsg_type = IPV6_PKTINFO;
                r->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
                std::memcpy(CMSG_DATA(r), CMSG_DATA(c), sizeof(in6_pktinfo));
                out.length = CMSG_SPACE(sizeof(in6_pktinfo));
                return out;
            }
        }
        return out;
    }

    // A datagram to `to`, from the address of `source` when there is one.
    void fillSendHeader(msghdr& msg, iovec& data, std::vector<std::uint8_t>& bytes, const SocketAddress& to,
        const ReplySource& source)
    {
        data = { bytes.data(), bytes.size() };
        msg.msg_name = const_cast<sockaddr*>(to.sockaddrPtr());
        msg.msg_namelen = to.sockaddrLen();
        msg.msg_iov = &data;
        msg.msg_iovlen = 1;
        if (source.length != 0) {
            msg.msg_control = const_cast<std::uint8_t*>(source.control.data());
            msg.msg_controllen = source.length;
        }
    }

    // A reply to one datagram: queued with the round's others, from the address it was sent to.
    class DatagramSink final : public ReplySink {
    public:
        DatagramSink(UdpListener& listener, const SocketAddress& client, const ReplySource& source)
            : listener_(&listener)
            , client_(client)
            , source_(source)
        {
        }
        const SocketAddress& client() const override { return client_; }
        Transport transport() const override { return Transport::udp; }
        void send(std::vector<std::uint8_t> reply) override
        {
            listener_->queue(std::move(reply), client_, source_);
        }
        void abandon() override { } // a datagram is owed nothing
        std::shared_ptr<ReplySink> keep() const override { return std::make_shared<DatagramSink>(*this); }

    private:
        UdpListener* listener_;
        SocketAddress client_;
        ReplySource source_;
    };

    // Left to itself the kernel picks a loop's socket by a hash of the client's address and port, so a
    // few busy clients can load one loop and leave the other idle. A question needs nothing from the one
    // before it, so each datagram goes to a loop picked at random instead. Without the filter the hash
    // still works: a failure here costs balance, not service.
    void spreadDatagramsAtRandom(int socket, std::size_t loops)
    {
        if (loops < 2)
            return;
        std::array<sock_filter, 3> code { {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_RANDOM)),
            BPF_STMT(BPF_ALU | BPF_MOD | BPF_K, static_cast<std::uint32_t>(loops)),
            BPF_STMT(BPF_RET | BPF_A, 0),
        } };
        sock_fprog program { static_cast<unsigned short>(code.size()), code.data() };
        if (::setsockopt(socket, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &program, sizeof program) != 0)
            logWarningWithError("recursor: datagrams spread by client hash: ", fromErrno(errno));
    }

} // namespace

// What one loop reads at once, and the replies it sends at once (recvmmsg, sendmmsg).
struct UdpListener::Batch {
    static constexpr std::size_t capacity = 32;

    struct Reply {
        std::vector<std::uint8_t> bytes;
        SocketAddress to;
        ReplySource source;
    };

    Batch()
        : buffers(capacity * receive_buffer_size)
    {
        replies.reserve(capacity);
    }

    // Ready for the next recvmmsg: the kernel writes the lengths back.
    void prepare(bool with_control)
    {
        for (std::size_t i = 0; i < capacity; ++i) {
            iovs[i] = { buffers.data() + i * receive_buffer_size, receive_buffer_size };
            msgs[i].msg_hdr = {};
            msgs[i].msg_hdr.msg_name = &from[i];
            msgs[i].msg_hdr.msg_namelen = sizeof from[i];
            msgs[i].msg_hdr.msg_iov = &iovs[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            if (with_control) {
                msgs[i].msg_hdr.msg_control = control[i].data();
                msgs[i].msg_hdr.msg_controllen = control[i].size();
            }
        }
    }

    std::vector<std::uint8_t> buffers;
    std::array<mmsghdr, capacity> msgs {};
    std::array<iovec, capacity> iovs {};
    std::array<sockaddr_storage, capacity> from {};
    std::array<std::array<std::uint8_t, 256>, capacity> control {};
    std::vector<Reply> replies;
};

UdpListener::UdpListener(Front& front, FrontLoop& loop)
    : front_(front)
    , loop_(loop)
    , batch_(std::make_unique<Batch>())
{
}

UdpListener::~UdpListener() = default;

ServerResult<void> UdpListener::listen(const SocketAddress& address, bool ipv6_only)
{
    const bool wildcard = isWildcard(address);
    sockets_.push_back({ -1, wildcard });
    sockets_.back().fd = TRY(bindUdpSocket(address, wildcard, ipv6_only));
    const UdpSocket socket = sockets_.back();
    if (!loop_.events->watch(socket.fd, [this, socket] { receiveBatches(socket); }))
        return std::unexpected(ServerError::SocketFailed);
    return {};
}

void UdpListener::spreadDatagramsAtRandom(std::size_t loops) const
{
    for (const UdpSocket& socket : sockets_)
        recursor::spreadDatagramsAtRandom(socket.fd, loops);
}

void UdpListener::queue(std::vector<std::uint8_t> bytes, const SocketAddress& to, const ReplySource& source)
{
    batch_->replies.push_back({ std::move(bytes), to, source });
}

bool UdpListener::hasReplies() const
{
    return !batch_->replies.empty();
}

void UdpListener::closeSockets()
{
    for (UdpSocket& socket : sockets_) {
        if (socket.fd >= 0)
            ::close(std::exchange(socket.fd, -1));
    }
}

// A non-blocking socket on `address` that shares it with the other loops' sockets (SO_REUSEPORT).
ServerResult<int> UdpListener::bindUdpSocket(const SocketAddress& address, bool wildcard, bool ipv6_only)
{
    UniqueFd fd(::socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        return std::unexpected(ServerError::SocketFailed);
    const int one = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0)
        return std::unexpected(ServerError::SocketFailed);
    TRY_VOID(bindListenSocket(fd.get(), address, ipv6_only));
    if (wildcard && !enableDestinationInfo(fd.get(), address.family()))
        return std::unexpected(ServerError::SocketFailed);
    // Only a larger buffer: the default still works.
    ::setsockopt(
        fd.get(), SOL_SOCKET, SO_RCVBUF, &socket_receive_buffer_bytes, sizeof socket_receive_buffer_bytes);
    return fd.release();
}

// Readable: takes what has arrived, a batch at a time, and answers what it can at once. A few batches
// per wake-up, so that resolutions waiting to go on are not starved by a flood.
void UdpListener::receiveBatches(const UdpSocket& socket)
{
    constexpr int max_batches_per_wakeup = 8;
    for (int i = 0; i < max_batches_per_wakeup && receiveBatch(socket); ++i) { }
}

bool UdpListener::receiveBatch(const UdpSocket& socket)
{
    Batch& batch = *batch_;
    batch.prepare(socket.wildcard);
    const int received = ::recvmmsg(socket.fd, batch.msgs.data(), Batch::capacity, MSG_DONTWAIT, nullptr);
    if (received <= 0) {
        const int err = errno;
        if (received < 0 && err != EAGAIN && err != EWOULDBLOCK && err != EINTR)
            logWarningWithError("recursor recv error: ", fromErrno(err));
        return false;
    }
    const std::int64_t received_us = monotonicUs();
    for (int i = 0; i < received; ++i) {
        msghdr& msg = batch.msgs[i].msg_hdr;
        const std::size_t length = batch.msgs[i].msg_len; // a datagram over 4096 bytes arrives cut
        if (length == 0)
            continue;
        auto client
            = SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&batch.from[i]), msg.msg_namelen);
        if (!client)
            continue;
        ReplySource source = socket.wildcard ? replySourceFrom(msg) : ReplySource {};
        source.socket = socket.fd;
        const std::span<const std::uint8_t> packet(batch.buffers.data() + i * receive_buffer_size, length);
        runGuarded("recursor query error", [&] { handleDatagram(packet, *client, source, received_us); });
    }
    sendReplies();
    return received == static_cast<int>(Batch::capacity);
}

void UdpListener::handleDatagram(std::span<const std::uint8_t> packet, const SocketAddress& client,
    const ReplySource& source, std::int64_t received_us)
{
    DatagramSink sink(*this, client, source);
    front_.handleMessage(loop_, packet, sink, received_us);
}

void UdpListener::sendReplies()
{
    Batch& batch = *batch_;
    std::array<mmsghdr, Batch::capacity> msgs {};
    std::array<iovec, Batch::capacity> iovs {};
    // Each reply leaves through the socket its question came in on, so from the address asked.
    for (const UdpSocket& socket : sockets_) {
        const bool first_socket = &socket == &sockets_.front();
        std::size_t next = 0;
        while (next < batch.replies.size()) {
            std::size_t count = 0;
            for (; next < batch.replies.size() && count < Batch::capacity; ++next) {
                Batch::Reply& reply = batch.replies[next];
                if (reply.source.socket != socket.fd && !(first_socket && reply.source.socket < 0))
                    continue;
                msgs[count] = {};
                fillSendHeader(msgs[count].msg_hdr, iovs[count], reply.bytes, reply.to, reply.source);
                ++count;
            }
            // Send errors are the clients' problem: a failed reply is skipped and the rest still go.
            for (std::size_t sent = 0; sent < count;) {
                const int n
                    = ::sendmmsg(socket.fd, msgs.data() + sent, static_cast<unsigned>(count - sent), 0);
                if (n < 0 && errno == EINTR)
                    continue;
                sent += n > 0 ? static_cast<std::size_t>(n) : 1;
            }
        }
    }
    batch.replies.clear();
}

} // namespace recursor
