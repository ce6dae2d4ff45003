#include "server/doh_listener.h"

#include "base/clock.h"
#include "base/log.h"
#include "server/doh_connection.h"
#include "server/listen_socket.h"

#include <openssl/ssl.h>

#include <new>
#include <sys/socket.h>

namespace recursor {

namespace {

    constexpr unsigned char alpn_h2[] = { 2, 'h', '2' };

    // The reply to one request stream of a connection.
    class DohSink final : public ReplySink {
    public:
        DohSink(std::shared_ptr<DohConnection> connection, std::int32_t stream_id)
            : connection_(std::move(connection))
            , stream_id_(stream_id)
        {
        }
        const SocketAddress& client() const override { return connection_->peer(); }
        Transport transport() const override { return Transport::https; }
        void send(std::vector<std::uint8_t> reply) override { connection_->reply(stream_id_, reply); }
        void abandon() override { connection_->reply(stream_id_, {}); }
        std::shared_ptr<ReplySink> keep() const override { return std::make_shared<DohSink>(*this); }

    private:
        std::shared_ptr<DohConnection> connection_;
        std::int32_t stream_id_;
    };

    int selectH2(SSL*, const unsigned char** out, unsigned char* out_length, const unsigned char* offered,
        unsigned int offered_length, void*)
    {
        unsigned char* selected = nullptr;
        if (SSL_select_next_proto(&selected, out_length, alpn_h2, sizeof alpn_h2, offered, offered_length)
            != OPENSSL_NPN_NEGOTIATED)
            return SSL_TLSEXT_ERR_ALERT_FATAL;
        *out = selected;
        return SSL_TLSEXT_ERR_OK;
    }

} // namespace

std::shared_ptr<SSL_CTX> makeDohTlsContext(const std::string& cert_file, const std::string& key_file)
{
    std::shared_ptr<SSL_CTX> ctx = makeServerTlsContext(cert_file, key_file);
    if (ctx)
        SSL_CTX_set_alpn_select_cb(ctx.get(), selectH2, nullptr);
    return ctx;
}

DohListener::DohListener(Front& front, FrontLoop& loop, const ServerOptions& options, Metrics& metrics,
    StreamSlots& stream_slots, std::shared_ptr<SSL_CTX> tls_context)
    : front_(front)
    , loop_(loop)
    , options_(options)
    , metrics_(&metrics)
    , stream_slots_(stream_slots)
    , tls_context_(std::move(tls_context))
{
}

void DohListener::closeListener()
{
    listener_.reset();
}

ServerResult<void> DohListener::listen(const SocketAddress& address)
{
    UniqueFd fd(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        return std::unexpected(ServerError::SocketFailed);
    const int one = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0
        || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0)
        return std::unexpected(ServerError::SocketFailed);
    TRY_VOID(bindListenSocket(fd.get(), address, false));
    if (::listen(fd.get(), 1024) != 0)
        return std::unexpected(ServerError::ListenFailed);
    listener_ = std::move(fd);
    if (!loop_.events->watch(listener_.get(), [this] { acceptConnections(); }))
        return std::unexpected(ServerError::SocketFailed);
    return {};
}

// As for TCP and TLS (StreamListener::acceptStreams): a peer outside the access list, over its share or
// finding every slot busy is closed at once, before it holds a slot, a fiber or a TLS object.
void DohListener::acceptConnections()
{
    constexpr int max_accepts_per_wakeup = 64;
    for (int i = 0; i < max_accepts_per_wakeup && listener_.valid(); ++i) {
        sockaddr_storage from {};
        socklen_t from_len = sizeof from;
        UniqueFd fd(::accept4(
            listener_.get(), reinterpret_cast<sockaddr*>(&from), &from_len, SOCK_NONBLOCK | SOCK_CLOEXEC));
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
        startConnection(std::move(fd), *peer, *slot);
    }
}

void DohListener::startConnection(UniqueFd fd, const SocketAddress& peer, StreamSlots::Id slot)
{
    SSL* ssl = SSL_new(tls_context_.get());
    if (ssl == nullptr || SSL_set_fd(ssl, fd.get()) != 1) {
        SSL_free(ssl);
        return stream_slots_.release(slot);
    }
    std::shared_ptr<DohConnection> connection;
    try {
        connection = std::make_shared<DohConnection>(
            std::move(fd), peer, ssl, options_.stream_limits, max_concurrent_streams, stream_slots_, slot);
    } catch (const std::bad_alloc&) {
        SSL_free(ssl);
        return stream_slots_.release(slot);
    }
    loop_.events->spawnDetached([this, connection] {
        connection->serve([this](const std::shared_ptr<DohConnection>& source, std::int32_t stream_id,
                              std::span<const std::uint8_t> message) {
            const std::int64_t received_us = monotonicUs();
            DohSink sink(source, stream_id);
            return front_.handleMessage(loop_, message, sink, received_us);
        });
    });
}

} // namespace recursor
