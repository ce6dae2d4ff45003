// One client connection over TCP (RFC 7766) or TLS (RFC 7858), served by a fiber of an event loop:
// two-byte length framing, several questions in flight at once with replies in the order they are
// ready, and limits that keep idle, slow or greedy clients from holding the service.
#pragma once

#include "base/socket_address.h"
#include "base/unique_fd.h"
#include "server/stream_slots.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

namespace recursor {

struct StreamLimits {
    std::uint32_t idle_timeout_ms { 5000 }; // no question pending and nothing arriving
    // From the accept to the first whole message, the TLS handshake included; the idle timeout when
    // that is shorter. A slot is only worth its keep to a client that asks something soon.
    std::uint32_t handshake_timeout_ms { 2000 };
    std::uint32_t max_queries { 1000 }; // per connection; the rest of it is not read
    std::uint32_t max_message_size { 65535 }; // a longer announced length closes the connection
    std::size_t max_unsent_bytes { 256 * 1024 }; // a client that stops reading is cut off here
};

class ClientStream : public std::enable_shared_from_this<ClientStream> {
public:
    // Called for each message; true when a reply will follow through send().
    using OnMessage
        = std::function<bool(const std::shared_ptr<ClientStream>&, std::span<const std::uint8_t>)>;

    // `ssl` (owned) is set for TLS. `slot` was acquired in `slots` for `fd` and is released here.
    ClientStream(UniqueFd fd, SocketAddress peer, SSL* ssl, const StreamLimits& limits, StreamSlots& slots,
        StreamSlots::Id slot);
    ClientStream(const ClientStream&) = delete;
    ClientStream& operator=(const ClientStream&) = delete;
    ~ClientStream();

    // The connection's own fiber: the TLS handshake, then messages until the client closes, goes idle,
    // breaks the framing or reaches the question limit. Replies still due go out after it returns.
    void serve(const OnMessage& on_message);
    // Frames one reply and writes what the socket takes now; the rest leaves from a writer fiber. An
    // empty message settles a reply that cannot be given.
    void send(std::span<const std::uint8_t> message);
    const SocketAddress& peer() const { return peer_; }
    bool tls() const { return ssl_ != nullptr; }
    bool closed() const { return closed_; }

private:
    struct Io {
        std::size_t bytes { 0 };
        short wait_for { 0 }; // POLLIN or POLLOUT when the call would block
        bool ended { false }; // closed by the peer, or failed
    };
    Io readSome(std::span<std::uint8_t> into);
    Io writeSome(std::span<const std::uint8_t> from);
    bool handshake(std::int64_t deadline_ms);
    // Tells the slot table whether this connection could give its slot up: owed nothing, holding no
    // part of a message, and not closing. False when it has been evicted and must stop.
    bool noteIdleness();
    bool waitFor(short events, std::int64_t deadline_ms);
    // Writes until the buffer is empty or the socket would block; false when the connection failed.
    bool flushNow(short& wait_for);
    void drainInFiber();
    void closeWhenDone();
    void close();

    UniqueFd fd_;
    SocketAddress peer_;
    SSL* ssl_;
    StreamLimits limits_;
    StreamSlots& slots_;
    StreamSlots::Id slot_;
    std::vector<std::uint8_t> unsent_;
    std::size_t unsent_offset_ { 0 };
    std::size_t replies_due_ { 0 };
    std::size_t bytes_held_ { 0 }; // received but not yet a whole message
    bool handshake_done_ { false };
    bool marked_idle_ { false };
    bool writer_running_ { false };
    bool reading_done_ { false };
    bool closed_ { false };
};

// A server-side TLS context for DNS over TLS: TLS 1.2 and 1.3 only, no renegotiation. Null with the
// reason logged when the certificate or key cannot be loaded.
std::shared_ptr<SSL_CTX> makeServerTlsContext(const std::string& cert_file, const std::string& key_file);

} // namespace recursor
