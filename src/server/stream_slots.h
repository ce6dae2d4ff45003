// Who holds the server's TCP and TLS connection slots, shared by every event loop. A client (an
// address, or a /64 for IPv6, as one host is given a whole /64) holds at most a few of them; when every
// slot is taken, the connection idle the longest gives its slot up to the newcomer (RFC 7766 §6.2.3),
// and only when none is idle is the newcomer turned away.
#pragma once

#include "base/error.h"
#include "base/socket_address.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <list>
#include <mutex>
#include <unordered_map>

namespace recursor {

#define RECURSOR_SLOT_REFUSAL_LIST(X)                                                                        \
    X(ClientAtLimit) /* the client holds its share already */                                                \
    X(AllBusy) /* every slot is taken and none is idle */                                                    \
    X(OutOfMemory)
RECURSOR_DEFINE_ERROR_ENUM(SlotRefusal, RECURSOR_SLOT_REFUSAL_LIST)

// The key a client's connections are counted under: the IPv4 address (an IPv4-mapped IPv6 one too),
// or the first 64 bits of an IPv6 address.
using StreamClientKey = std::array<std::uint8_t, 16>;
StreamClientKey streamClientKey(const SocketAddress& peer);

struct StreamClientKeyHash {
    std::size_t operator()(const StreamClientKey& key) const noexcept;
};

class StreamSlots {
public:
    using Id = std::uint64_t;

    StreamSlots(std::size_t capacity, std::size_t per_client);
    StreamSlots(const StreamSlots&) = delete;
    StreamSlots& operator=(const StreamSlots&) = delete;

    // A slot for a connection just accepted on `fd`, busy until markIdle. When every slot is taken, the
    // connection idle the longest is shut down (its descriptor, both ways) and loses its slot; its own
    // fiber then sees the end of the stream. The descriptor must stay open until release().
    std::expected<Id, SlotRefusal> acquire(const SocketAddress& peer, int fd);
    // Idle: owed no reply and holding no part of a message. Such a connection may be evicted.
    void markIdle(Id id);
    // False when the slot is gone: the connection was evicted and must stop.
    bool markBusy(Id id);
    // Before the descriptor closes. Nothing for a slot already evicted.
    void release(Id id);

    std::size_t size() const;
    std::size_t capacity() const { return capacity_; }

private:
    struct Holder {
        StreamClientKey client;
        int fd;
        bool idle { false };
        std::list<Id> parked; // the holder's node while busy
        std::list<Id>::iterator idle_position; // the node, in `parked` or in idle_order_
    };
    void dropLocked(std::unordered_map<Id, Holder>::iterator holder);

    const std::size_t capacity_;
    const std::size_t per_client_;
    mutable std::mutex mutex_;
    Id next_id_ { 1 };
    std::unordered_map<Id, Holder> holders_;
    std::unordered_map<StreamClientKey, std::size_t, StreamClientKeyHash> per_client_count_;
    std::list<Id> idle_order_; // the longest idle first
};

} // namespace recursor
