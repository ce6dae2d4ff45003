#include "server/stream_listener.h"

#include "base/clock.h"
#include "server/listen_socket.h"

#include <openssl/ssl.h>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace recursor {

namespace {

    // A reply to one message of a connection, which counts the replies it is owed.
    class StreamSink final : public ReplySink {
    public:
        explicit StreamSink(std::shared_ptr<ClientStream> stream)
            : stream_(std::move(stream))
        {
        }
        const SocketAddress& client() const override { return stream_->peer(); }
        Transport transport() const override { return stream_->tls() ? Transport::tls : Transport::tcp; }
        void send(std::vector<std::uint8_t> reply) override { stream_->send(reply); }
        void abandon() override { stream_->send({}); } // nothing to send, but nothing owed any more either
        std::shared_ptr<ReplySink> keep() const override { return std::make_shared<StreamSink>(*this); }

    private:
        std::shared_ptr<ClientStream> stream_;
    };

} // namespace

StreamListener::StreamListener(Front& front, FrontLoop& loop, const ServerOptions& options, Metrics& metrics,
    StreamSlots& stream_slots, std::shared_ptr<SSL_CTX> tls_context)
    : front_(front)
    , loop_(loop)
    , options_(options)
    , metrics_(&metrics)
    , stream_slots_(stream_slots)
    , tls_context_(std::move(tls_context))
{
}

void StreamListener::closeListeners()
{
    for (int& listener : stream_listeners_)
        ::close(std::exchange(listener, -1));
}

ServerResult<int> StreamListener::bindStreamListener(const SocketAddress& address, bool ipv6_only)
{
    UniqueFd fd(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        return std::unexpected(ServerError::SocketFailed);
    const int one = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0
        || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0)
        return std::unexpected(ServerError::SocketFailed);
    TRY_VOID(bindListenSocket(fd.get(), address, ipv6_only));
    if (::listen(fd.get(), 1024) != 0)
        return std::unexpected(ServerError::ListenFailed);
    return fd.release();
}

// TCP on each of the UDP service's addresses and ports (RFC 7766 §5), and TLS where configured; each loop
// has its own listening sockets, like its UDP sockets.
ServerResult<void> StreamListener::listenForStreams(std::span<const SocketAddress> addresses, bool ipv6_only)
{
    struct Wanted {
        SocketAddress address;
        bool tls;
    };
    std::vector<Wanted> wanted;
    for (const SocketAddress& address : addresses)
        wanted.push_back({ address, false });
    if (options_.tls_listen_addr)
        wanted.push_back({ *options_.tls_listen_addr, true });
    for (Wanted& w : wanted) {
        // The ports are known (claimAddress), so every loop's listener joins the same group.
        const int listener = TRY(bindStreamListener(w.address, !w.tls && ipv6_only));
        stream_listeners_.push_back(listener);
        const bool tls = w.tls;
        if (!loop_.events->watch(listener, [this, listener, tls] { acceptStreams(listener, tls); }))
            return std::unexpected(ServerError::SocketFailed);
    }
    return {};
}

// A peer outside the access list is closed at once, before it holds a slot, a fiber or a TLS object:
// otherwise it could take every slot and make the loops do its handshakes, and be refused only per
// message. A client over its share, or finding every slot busy, is closed at once too: it retries
// elsewhere or later, and the backlog never fills with connections that will not be served.
void StreamListener::acceptStreams(int listener, bool tls)
{
    constexpr int max_accepts_per_wakeup = 64;
    for (int i = 0; i < max_accepts_per_wakeup; ++i) {
        sockaddr_storage from {};
        socklen_t from_len = sizeof from;
        UniqueFd fd(
            ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &from_len, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid())
            return;
        auto peer = SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&from), from_len);
        if (!peer || !options_.allowed_clients.allows(*peer)) {
            metrics_->recordStreamRefused(StreamRefusal::not_allowed);
            continue;
        }
        const auto slot = stream_slots_.acquire(*peer, fd.get());
        if (!slot) {
            if (slot.error() != SlotRefusal::OutOfMemory)
                metrics_->recordStreamRefused(slot.error() == SlotRefusal::ClientAtLimit
                        ? StreamRefusal::client_at_limit
                        : StreamRefusal::all_busy);
            continue;
        }
        startStream(std::move(fd), *peer, *slot, tls);
    }
}

// The connection's fiber, which owns the slot from here on. A connection that cannot be set up gives
// its slot back before its descriptor closes.
void StreamListener::startStream(UniqueFd fd, const SocketAddress& peer, StreamSlots::Id slot, bool tls)
{
    SSL* ssl = nullptr;
    if (tls) {
        ssl = SSL_new(tls_context_.get());
        if (ssl == nullptr || SSL_set_fd(ssl, fd.get()) != 1) {
            SSL_free(ssl);
            return stream_slots_.release(slot);
        }
    }
    std::shared_ptr<ClientStream> stream;
    try {
        stream = std::make_shared<ClientStream>(
            std::move(fd), peer, ssl, options_.stream_limits, stream_slots_, slot);
    } catch (const std::bad_alloc&) {
        SSL_free(ssl);
        return stream_slots_.release(slot);
    }
    loop_.events->spawnDetached([this, stream] {
        stream->serve(
            [this](const std::shared_ptr<ClientStream>& source, std::span<const std::uint8_t> packet) {
                return handleStreamMessage(source, packet);
            });
    });
}

bool StreamListener::handleStreamMessage(
    const std::shared_ptr<ClientStream>& stream, std::span<const std::uint8_t> packet)
{
    const std::int64_t received_us = monotonicUs();
    StreamSink sink(stream);
    return front_.handleMessage(loop_, packet, sink, received_us);
}

} // namespace recursor
