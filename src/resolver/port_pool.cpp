#include "resolver/port_pool.h"

#include "base/clock.h"
#include "base/random.h"
#include "base/socket_address.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <optional>
#include <sys/resource.h>
#include <utility>

namespace recursor {

namespace {

    // A reply is at most the 1232 bytes our queries offer (a server may send more); a few fit, and a flood of
    // strays at a known port queues no more than this.
    constexpr int pooled_receive_buffer_bytes = 32 * 1024;
    // Descriptors kept free for everything else: clients, the side servers, TCP.
    constexpr rlim_t reserved_descriptors = 1024;

    std::optional<SocketAddress> unspecifiedAddress(int family)
    {
        if (family == AF_INET)
            return SocketAddress::fromIpLiteral("0.0.0.0", 0);
        if (family == AF_INET6)
            return SocketAddress::fromIpLiteral("::", 0);
        return std::nullopt;
    }

    // Room for a full pool of each family: the soft descriptor limit is raised towards the hard one
    // when it falls short; what is left after the reserve decides the size.
    std::size_t sizeForDescriptorLimit()
    {
        rlimit limit {};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
            return 0;
        const rlim_t wanted = 2 * UdpPortPool::target_size + reserved_descriptors;
        if (limit.rlim_cur < wanted && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = std::min(wanted, limit.rlim_max);
            ::setrlimit(RLIMIT_NOFILE, &limit);
            ::getrlimit(RLIMIT_NOFILE, &limit);
        }
        if (limit.rlim_cur <= reserved_descriptors)
            return 0;
        const auto room = static_cast<std::size_t>((limit.rlim_cur - reserved_descriptors) / 2);
        const std::size_t size = std::min(room, UdpPortPool::target_size);
        return size >= UdpPortPool::min_size ? size : 0;
    }

} // namespace

TransportResult<UniqueFd> openUdpSocket(int family)
{
    const auto local = unspecifiedAddress(family);
    if (!local)
        return std::unexpected(TransportError::NetworkError);
    UniqueFd fd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() || ::bind(fd.get(), local->sockaddrPtr(), local->sockaddrLen()) != 0)
        return std::unexpected(TransportError::NetworkError);
    return fd;
}

namespace {

    TransportResult<UniqueFd> openPooledSocket(int family)
    {
        UniqueFd fd = TRY(openUdpSocket(family));
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &pooled_receive_buffer_bytes,
            sizeof pooled_receive_buffer_bytes);
        return fd;
    }

} // namespace

UdpPortPool::Lease::Lease(Lease&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr))
    , family_(other.family_)
    , index_(other.index_)
    , fd_(std::exchange(other.fd_, -1))
    , own_(std::move(other.own_))
{
}

UdpPortPool::Lease& UdpPortPool::Lease::operator=(Lease&& other) noexcept
{
    if (this != &other) {
        if (pool_ != nullptr)
            pool_->release(family_, index_);
        pool_ = std::exchange(other.pool_, nullptr);
        family_ = other.family_;
        index_ = other.index_;
        fd_ = std::exchange(other.fd_, -1);
        own_ = std::move(other.own_);
    }
    return *this;
}

UdpPortPool::Lease::~Lease()
{
    if (pool_ != nullptr)
        pool_->release(family_, index_);
}

UdpPortPool& UdpPortPool::shared()
{
    static UdpPortPool pool(sizeForDescriptorLimit());
    return pool;
}

UdpPortPool::UdpPortPool(std::size_t size)
    : size_(size)
{
}

void UdpPortPool::fill(int af)
{
    Family& f = family(af);
    f.filled = true;
    try {
        f.sockets.resize(size_);
        f.idle.reserve(size_);
    } catch (const std::bad_alloc&) {
        f.sockets.clear();
        return;
    }
    const std::int64_t now = monotonicMs();
    for (std::size_t i = 0; i < f.sockets.size(); ++i) {
        auto fd = openPooledSocket(af);
        if (!fd)
            break;
        f.sockets[i] = Socket { std::move(*fd), 0, now };
        f.idle.push_back(i);
    }
    if (f.idle.size() < min_size) { // too few ports to hide among: none at all
        f.idle.clear();
        f.sockets.clear();
    }
}

bool UdpPortPool::renewIfWorn(int af, std::size_t index)
{
    Socket& socket = family(af).sockets[index];
    const std::int64_t now = monotonicMs();
    if (socket.fd.valid() && socket.uses < max_uses && now - socket.born_ms < max_age_ms)
        return true;
    socket.fd = UniqueFd(); // the old port goes before the new one is chosen
    auto fd = openPooledSocket(af);
    if (!fd)
        return false;
    socket = Socket { std::move(*fd), 0, now };
    return true;
}

TransportResult<UdpPortPool::Lease> UdpPortPool::acquire(int af)
{
    std::optional<std::size_t> index;
    {
        std::lock_guard lock(mutex_);
        Family& f = family(af);
        if (!f.filled && (af == AF_INET || af == AF_INET6))
            fill(af);
        if (!f.idle.empty()) {
            const std::size_t pick = randomBelow(static_cast<std::uint32_t>(f.idle.size()));
            index = f.idle[pick];
            f.idle[pick] = f.idle.back();
            f.idle.pop_back();
        }
    }
    Lease lease;
    lease.family_ = af;
    if (index) {
        lease.pool_ = this;
        lease.index_ = *index;
        if (!renewIfWorn(af, *index))
            return std::unexpected(TransportError::NetworkError); // the lease puts the slot back
        Socket& socket = family(af).sockets[*index];
        ++socket.uses;
        lease.fd_ = socket.fd.get();
        return lease;
    }
    lease.own_ = TRY(openUdpSocket(af));
    lease.fd_ = lease.own_.get();
    return lease;
}

void UdpPortPool::release(int af, std::size_t index)
{
    std::lock_guard lock(mutex_);
    family(af).idle.push_back(index); // reserved in fill(): never allocates
}

std::size_t UdpPortPool::openCount(int af)
{
    std::lock_guard lock(mutex_);
    const Family& f = family(af);
    return static_cast<std::size_t>(
        std::ranges::count_if(f.sockets, [](const Socket& socket) { return socket.fd.valid(); }));
}

} // namespace recursor
