// One DNS over HTTPS client connection: TLS, then an HTTP/2 server session (nghttp2) served by a fiber
// of an event loop. Each request stream is bounded (DohRequest) and handed on once whole; its reply may
// come at once or from a resolution's fiber much later, while the other streams go on. Limits keep an
// idle, slow or greedy client from holding more than its streams, its slot and a bounded memory.
#pragma once

#include "base/socket_address.h"
#include "base/unique_fd.h"
#include "server/client_stream.h"
#include "server/doh_request.h"
#include "server/stream_slots.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

using nghttp2_session = struct nghttp2_session;

namespace recursor {

class DohConnection : public std::enable_shared_from_this<DohConnection> {
public:
    // Called for each request carrying a DNS query; true when reply() will follow for `stream_id`.
    using OnQuery = std::function<bool(
        const std::shared_ptr<DohConnection>&, std::int32_t stream_id, std::span<const std::uint8_t>)>;

    // Request bodies held at once over all the connection's streams; a stream that would pass it is
    // refused (REFUSED_STREAM, so that the client may ask again).
    static constexpr std::size_t max_request_bytes = 256 * 1024;

    // `ssl` (owned) is a TLS object of the DoH context; `slot` was acquired in `slots` for `fd` and
    // is released here.
    DohConnection(UniqueFd fd, SocketAddress peer, SSL* ssl, const StreamLimits& limits,
        std::uint32_t max_streams, StreamSlots& slots, StreamSlots::Id slot);
    DohConnection(const DohConnection&) = delete;
    DohConnection& operator=(const DohConnection&) = delete;
    ~DohConnection();

    // The connection's own fiber: the handshake, then requests until the client closes, goes idle,
    // breaks the protocol or reaches the question limit. Replies still due go out after it returns.
    void serve(const OnQuery& on_query);
    // The DNS reply for a request stream, sent as 200 application/dns-message; an empty one resets the
    // stream (nothing may be said). Nothing when the client has closed the stream meanwhile.
    void reply(std::int32_t stream_id, std::span<const std::uint8_t> message);
    const SocketAddress& peer() const { return peer_; }

private:
    struct Stream {
        DohRequest request;
        std::vector<std::uint8_t> response; // the body being sent
        std::size_t response_sent { 0 };
        bool request_ended { false };
        bool answered { false }; // a response (or a reset) has been submitted
    };
    struct Callbacks; // nghttp2's, which reach the connection through their user data

    bool handshake(std::int64_t deadline_ms);
    bool startSession();
    bool waitFor(short events, std::int64_t deadline_ms);
    // nghttp2's frames into the unsent buffer, then as much of it as the socket takes; false when the
    // connection failed. The writer fiber takes over when the socket is full.
    bool flush();
    bool flushNow(short& wait_for);
    void drainInFiber();
    void onRequestEnded(std::int32_t stream_id, Stream& stream);
    void respondWithStatus(std::int32_t stream_id, Stream& stream, int status);
    void submitResponse(std::int32_t stream_id, Stream& stream, int status, std::vector<std::uint8_t> body,
        std::uint32_t max_age);
    void resetStream(std::int32_t stream_id, Stream& stream, std::uint32_t error_code);
    void forgetRequest(Stream& stream);
    bool noteIdleness();
    void closeWhenDone();
    void close();

    UniqueFd fd_;
    SocketAddress peer_;
    SSL* ssl_;
    StreamLimits limits_;
    std::uint32_t max_streams_;
    StreamSlots& slots_;
    StreamSlots::Id slot_;
    nghttp2_session* session_ { nullptr };
    const OnQuery* on_query_ { nullptr }; // while serve() runs
    std::unordered_map<std::int32_t, Stream> streams_;
    std::vector<std::uint8_t> unsent_;
    std::size_t unsent_offset_ { 0 };
    std::size_t request_bytes_ { 0 }; // held in streams' request bodies
    std::size_t response_bytes_ { 0 }; // held in streams' response bodies
    std::uint32_t requests_ { 0 };
    std::size_t replies_due_ { 0 };
    std::int64_t idle_deadline_ms_ { 0 };
    bool in_callback_ { false }; // nghttp2 forbids sending from inside its own calls
    bool handshake_done_ { false };
    bool marked_idle_ { false };
    bool writer_running_ { false };
    bool reading_done_ { false };
    bool closed_ { false };
};

} // namespace recursor
