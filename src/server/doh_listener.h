// One event loop's DNS over HTTPS service (RFC 8484): a listening socket on the DoH address, in an
// SO_REUSEPORT group with the other loops' ones, speaking HTTP/2 over TLS (ALPN "h2", RFC 9113 §3.2)
// through nghttp2. Connections are admitted as TCP and TLS ones are (the access list, then a slot of the
// server's table, within the client's share) and each question goes to the front, whose reply leaves
// on the stream that asked: a slow resolution holds its own stream only.
#pragma once

#include "base/socket_address.h"
#include "base/unique_fd.h"
#include "ops/metrics.h"
#include "server/client_stream.h"
#include "server/front.h"
#include "server/server_error.h"
#include "server/server_options.h"
#include "server/stream_slots.h"

#include <cstdint>
#include <memory>
#include <string>

namespace recursor {

class DohConnection;

class DohListener {
public:
    // Streams a connection may have open at once (SETTINGS_MAX_CONCURRENT_STREAMS, RFC 9113 §6.5.2).
    static constexpr std::uint32_t max_concurrent_streams = 100;

    // Borrows all but the TLS context (made by makeDohTlsContext) from the server, which outlives its loops.
    DohListener(Front& front, FrontLoop& loop, const ServerOptions& options, Metrics& metrics,
        StreamSlots& stream_slots, std::shared_ptr<SSL_CTX> tls_context);
    DohListener(const DohListener&) = delete;
    DohListener& operator=(const DohListener&) = delete;

    ServerResult<void> listen(const SocketAddress& address);
    void closeListener();

private:
    void acceptConnections();
    void startConnection(UniqueFd fd, const SocketAddress& peer, StreamSlots::Id slot);

    Front& front_;
    FrontLoop& loop_;
    const ServerOptions& options_;
    Metrics* metrics_; // the server's; never null
    StreamSlots& stream_slots_;
    std::shared_ptr<SSL_CTX> tls_context_;
    UniqueFd listener_;
};

// The DNS over TLS context's settings with the same certificate and key, offering HTTP/2 alone: a client
// that cannot speak it fails the handshake (no_application_protocol, RFC 7301 §3.2) rather than being
// answered in a protocol it did not ask for. Null with the reason logged when the files are not usable.
std::shared_ptr<SSL_CTX> makeDohTlsContext(const std::string& cert_file, const std::string& key_file);

} // namespace recursor
