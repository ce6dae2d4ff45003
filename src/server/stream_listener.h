// One event loop's TCP and TLS service: a listening socket on each listen address (RFC 7766 §5) and on
// the TLS address (RFC 7858), in SO_REUSEPORT groups with the other loops' ones. Each accepted
// connection gets a slot of the server's table and a fiber of this loop; its messages go to the front.
#pragma once

#include "base/socket_address.h"
#include "base/unique_fd.h"
#include "ops/metrics.h"
#include "server/client_stream.h"
#include "server/front.h"
#include "server/server_error.h"
#include "server/server_options.h"
#include "server/stream_slots.h"

#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace recursor {

class StreamListener {
public:
    // Borrows all but the TLS context (null without TLS) from the server, which outlives its loops.
    StreamListener(Front& front, FrontLoop& loop, const ServerOptions& options, Metrics& metrics,
        StreamSlots& stream_slots, std::shared_ptr<SSL_CTX> tls_context);
    StreamListener(const StreamListener&) = delete;
    StreamListener& operator=(const StreamListener&) = delete;

    // TCP on each of `addresses`, and TLS on the options' address when configured.
    ServerResult<void> listenForStreams(std::span<const SocketAddress> addresses, bool ipv6_only);
    void closeListeners();

private:
    ServerResult<int> bindStreamListener(const SocketAddress& address, bool ipv6_only = false);
    void acceptStreams(int listener, bool tls);
    void startStream(UniqueFd fd, const SocketAddress& peer, StreamSlots::Id slot, bool tls);
    bool handleStreamMessage(
        const std::shared_ptr<ClientStream>& stream, std::span<const std::uint8_t> packet);

    Front& front_;
    FrontLoop& loop_;
    const ServerOptions& options_;
    Metrics* metrics_; // the server's; never null
    StreamSlots& stream_slots_;
    std::shared_ptr<SSL_CTX> tls_context_;
    std::vector<int> stream_listeners_; // TCP on each listen address, then TLS when configured
};

} // namespace recursor
