// The sockets upstream UDP queries leave from. A fresh socket per exchange costs three system calls
// and a port search; instead each process keeps thousands of sockets on ports the kernel chose at
// random from its ephemeral range, lends one picked at random to each exchange, and replaces each after
// a few uses or a couple of minutes. An off-path attacker must still match an unknown port among
// thousands as well as a random ID (RFC 5452 §9.2). When the descriptor limit leaves no room for
// thousands, every exchange gets a fresh socket, as before.
#pragma once

#include "base/unique_fd.h"
#include "resolver/transport_error.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <sys/socket.h>
#include <vector>

namespace recursor {

class UdpPortPool {
public:
    static constexpr std::size_t target_size = 4096;
    static constexpr std::size_t min_size = 2048; // fewer are too easy to cover: fresh sockets instead
    static constexpr std::uint32_t max_uses = 16;
    static constexpr std::int64_t max_age_ms = 120'000;

    // A socket lent for one exchange; back to the pool (or closed) when it goes.
    class Lease {
    public:
        Lease() = default;
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&& other) noexcept;
        ~Lease();
        int fd() const { return fd_; }

    private:
        friend class UdpPortPool;
        UdpPortPool* pool_ { nullptr }; // null for a fresh socket of the lease's own
        int family_ { 0 };
        std::size_t index_ { 0 };
        int fd_ { -1 };
        UniqueFd own_;
    };

    // The process's pool, sized for the descriptor limit when first used.
    static UdpPortPool& shared();
    explicit UdpPortPool(std::size_t size);

    // A socket of `family` (AF_INET or AF_INET6) on a random port, held by no other exchange.
    // NetworkError when no socket can be opened.
    [[nodiscard]] TransportResult<Lease> acquire(int family);
    // Sockets of `family` open in the pool (for tests).
    std::size_t openCount(int family);

private:
    struct Socket {
        UniqueFd fd;
        std::uint32_t uses { 0 };
        std::int64_t born_ms { 0 };
    };
    struct Family {
        std::vector<Socket> sockets;
        std::vector<std::size_t> idle; // indexes into `sockets`
        bool filled { false };
    };
    Family& family(int af) { return af == AF_INET6 ? inet6_ : inet_; }
    void fill(int af);
    // Replaces the socket at `index` when it is worn out. Without the lock: the caller holds it alone.
    bool renewIfWorn(int af, std::size_t index);
    void release(int af, std::size_t index);

    std::size_t size_;
    std::mutex mutex_;
    Family inet_;
    Family inet6_;
};

// A UDP socket on a kernel-chosen port of the wildcard address of `family`.
[[nodiscard]] TransportResult<UniqueFd> openUdpSocket(int family);

} // namespace recursor
