#include "server/doh_connection.h"

#include "base/clock.h"
#include "base/event_loop.h"

#include <nghttp2/nghttp2.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <new>
#include <poll.h>
#include <string>
#include <sys/socket.h>

namespace recursor {

namespace {

    constexpr std::size_t read_chunk = 16 * 1024;
    // nghttp2's frames are taken into the unsent buffer only while it holds less than this, so that a
    // client that does not read leaves its replies queued in the session, where they are counted.
    constexpr std::size_t unsent_high_water = 64 * 1024;

    std::int64_t deadlineIn(std::uint32_t ms)
    {
        return monotonicMs() + ms;
    }

    // POLLIN or POLLOUT for a TLS call that would block; 0 when the connection failed.
    short tlsWait(SSL* ssl, int result)
    {
        switch (SSL_get_error(ssl, result)) {
        case SSL_ERROR_WANT_READ:
            return POLLIN;
        case SSL_ERROR_WANT_WRITE:
            return POLLOUT;
        default:
            ERR_clear_error();
            return 0;
        }
    }

    nghttp2_nv header(std::string_view name, std::string_view value)
    {
        // nghttp2 copies both (no NGHTTP2_NV_FLAG_NO_COPY_*), so views of temporaries are safe here.
        return { reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
            reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(),
            NGHTTP2_NV_FLAG_NONE };
    }

} // namespace

// nghttp2 calls these from inside nghttp2_session_mem_recv and _mem_send, on the connection's thread.
struct DohConnection::Callbacks {
    static DohConnection& self(void* user_data) { return *static_cast<DohConnection*>(user_data); }

    static int onBeginHeaders(nghttp2_session* session, const nghttp2_frame* frame, void* user_data)
    {
        DohConnection& c = self(user_data);
        if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST)
            return 0;
        // Every stream opened counts, reset or not: opening and resetting streams costs the client
        // nothing, so they cannot be free for it (RFC 9113 §10.5).
        if (++c.requests_ == c.limits_.max_queries)
            nghttp2_submit_goaway(
                session, NGHTTP2_FLAG_NONE, frame->hd.stream_id, NGHTTP2_NO_ERROR, nullptr, 0);
        // nghttp2 refuses streams beyond the advertised limit itself; this holds should it not.
        if (c.requests_ > c.limits_.max_queries || c.streams_.size() >= c.max_streams_) {
            nghttp2_submit_rst_stream(
                session, NGHTTP2_FLAG_NONE, frame->hd.stream_id, NGHTTP2_REFUSED_STREAM);
            return 0; // untracked: the rest of its frames are ignored
        }
        try {
            c.streams_.try_emplace(frame->hd.stream_id);
        } catch (const std::bad_alloc&) {
            return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
        }
        c.noteIdleness();
        return 0;
    }

    static int onHeader(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
        std::size_t name_length, const std::uint8_t* value, std::size_t value_length, std::uint8_t,
        void* user_data)
    {
        DohConnection& c = self(user_data);
        const auto found = c.streams_.find(frame->hd.stream_id);
        if (found != c.streams_.end())
            found->second.request.addHeader({ reinterpret_cast<const char*>(name), name_length },
                { reinterpret_cast<const char*>(value), value_length });
        return 0;
    }

    static int onDataChunk(nghttp2_session*, std::uint8_t, std::int32_t stream_id, const std::uint8_t* data,
        std::size_t length, void* user_data)
    {
        DohConnection& c = self(user_data);
        const auto found = c.streams_.find(stream_id);
        // The body of a request refused already is not wanted; it is dropped, and its stream does not
        // keep the connection (see serve). Resetting the stream instead breaks clients such as curl.
        if (found == c.streams_.end() || found->second.answered)
            return 0;
        Stream& stream = found->second;
        if (c.request_bytes_ + length > max_request_bytes) {
            c.resetStream(stream_id, stream, NGHTTP2_REFUSED_STREAM);
            return 0;
        }
        const std::size_t before = stream.request.bodySize();
        stream.request.addBody({ data, length });
        c.request_bytes_ += stream.request.bodySize() - before;
        if (const auto refusal = stream.request.earlyRefusal())
            c.respondWithStatus(stream_id, stream, *refusal);
        return 0;
    }

    static int onFrameReceived(nghttp2_session*, const nghttp2_frame* frame, void* user_data)
    {
        DohConnection& c = self(user_data);
        if (frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA)
            return 0;
        const auto found = c.streams_.find(frame->hd.stream_id);
        if (found == c.streams_.end())
            return 0;
        Stream& stream = found->second;
        if ((frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) {
            stream.request_ended = true;
            if (!stream.answered)
                c.onRequestEnded(frame->hd.stream_id, stream);
        } else if (frame->hd.type == NGHTTP2_HEADERS && !stream.answered) {
            // A refusal the headers decide is given now, before a body the client may never finish.
            if (const auto refusal = stream.request.earlyRefusal())
                c.respondWithStatus(frame->hd.stream_id, stream, *refusal);
        }
        return 0;
    }

    static int onStreamClosed(nghttp2_session*, std::int32_t stream_id, std::uint32_t, void* user_data)
    {
        DohConnection& c = self(user_data);
        const auto found = c.streams_.find(stream_id);
        if (found == c.streams_.end())
            return 0;
        c.request_bytes_ -= found->second.request.bodySize();
        c.response_bytes_ -= found->second.response.size();
        c.streams_.erase(found);
        return 0;
    }

    static ssize_t readResponse(nghttp2_session*, std::int32_t stream_id, std::uint8_t* into,
        std::size_t length, std::uint32_t* data_flags, nghttp2_data_source*, void* user_data)
    {
        DohConnection& c = self(user_data);
        const auto found = c.streams_.find(stream_id);
        if (found == c.streams_.end())
            return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
        Stream& stream = found->second;
        const std::size_t n = std::min(length, stream.response.size() - stream.response_sent);
        std::copy_n(stream.response.begin() + static_cast<std::ptrdiff_t>(stream.response_sent), n, into);
        stream.response_sent += n;
        if (stream.response_sent == stream.response.size())
            *data_flags |= NGHTTP2_DATA_FLAG_EOF;
        return static_cast<ssize_t>(n);
    }
};

DohConnection::DohConnection(UniqueFd fd, SocketAddress peer, SSL* ssl, const StreamLimits& limits,
    std::uint32_t max_streams, StreamSlots& slots, StreamSlots::Id slot)
    : fd_(std::move(fd))
    , peer_(peer)
    , ssl_(ssl)
    , limits_(limits)
    , max_streams_(max_streams)
    , slots_(slots)
    , slot_(slot)
{
}

DohConnection::~DohConnection()
{
    close();
    nghttp2_session_del(session_);
    SSL_free(ssl_);
    slots_.release(slot_); // while the descriptor is still open: an eviction may shut it down till then
}

bool DohConnection::waitFor(short events, std::int64_t deadline_ms)
{
    const std::int64_t left = deadline_ms - monotonicMs();
    if (left <= 0 || closed_)
        return false;
    pollfd p { fd_.get(), events, 0 };
    return waitReady(std::span(&p, 1), static_cast<int>(std::min<std::int64_t>(left, 1 << 30))) > 0;
}

bool DohConnection::handshake(std::int64_t deadline_ms)
{
    for (;;) {
        const int done = SSL_accept(ssl_);
        if (done == 1)
            return true;
        const short events = tlsWait(ssl_, done);
        if (events == 0 || !waitFor(events, deadline_ms))
            return false;
    }
}

bool DohConnection::startSession()
{
    nghttp2_session_callbacks* callbacks = nullptr;
    if (nghttp2_session_callbacks_new(&callbacks) != 0)
        return false;
    nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, Callbacks::onBeginHeaders);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, Callbacks::onHeader);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, Callbacks::onDataChunk);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, Callbacks::onFrameReceived);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, Callbacks::onStreamClosed);
    const int made = nghttp2_session_server_new(&session_, callbacks, this);
    nghttp2_session_callbacks_del(callbacks);
    if (made != 0)
        return false;
    const std::array<nghttp2_settings_entry, 2> settings { {
        { NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, max_streams_ },
        { NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, static_cast<std::uint32_t>(DohRequest::max_header_bytes) },
    } };
    return nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, settings.data(), settings.size()) == 0;
}

void DohConnection::serve(const OnQuery& on_query)
{
    const auto self = shared_from_this();
    on_query_ = &on_query;
    // Until the first request, the shorter deadline: a slot is only worth its keep to a client that
    // asks something soon.
    idle_deadline_ms_ = deadlineIn(std::min(limits_.handshake_timeout_ms, limits_.idle_timeout_ms));
    if (!handshake(idle_deadline_ms_) || !startSession() || !flush()) {
        on_query_ = nullptr;
        close();
        return;
    }
    handshake_done_ = true;
    std::array<std::uint8_t, read_chunk> chunk {};
    while (
        !closed_ && (nghttp2_session_want_read(session_) != 0 || nghttp2_session_want_write(session_) != 0)) {
        std::size_t n = 0;
        if (SSL_read_ex(ssl_, chunk.data(), chunk.size(), &n) == 1) {
            in_callback_ = true;
            const ssize_t taken = nghttp2_session_mem_recv(session_, chunk.data(), n);
            in_callback_ = false;
            // On a protocol error nghttp2 has queued a GOAWAY, which is sent before the end.
            const bool broken = taken < 0;
            if (!flush() || broken || !noteIdleness())
                break;
            continue;
        }
        const short wait_for = tlsWait(ssl_, 0);
        if (wait_for == 0 || !noteIdleness())
            break;
        // The deadline moves with whole requests only, so frames that trickle in (PINGs, a request
        // that never ends, the body of one refused already) do not keep a connection owed nothing.
        if (!waitFor(wait_for, idle_deadline_ms_)) {
            if (EventLoop::current() != nullptr && EventLoop::current()->stopping())
                break;
            // Idle only when nothing is owed: a question still resolving keeps the connection.
            if (monotonicMs() < idle_deadline_ms_ || replies_due_ == 0)
                break;
            idle_deadline_ms_ = deadlineIn(limits_.idle_timeout_ms);
        }
    }
    on_query_ = nullptr;
    reading_done_ = true;
    closeWhenDone();
}

void DohConnection::onRequestEnded(std::int32_t stream_id, Stream& stream)
{
    idle_deadline_ms_ = deadlineIn(limits_.idle_timeout_ms);
    request_bytes_ -= stream.request.bodySize(); // finish() takes the body out
    DohVerdict verdict = stream.request.finish();
    if (verdict.status != 0)
        return respondWithStatus(stream_id, stream, verdict.status);
    stream.answered = true;
    ++replies_due_;
    if (on_query_ == nullptr || !(*on_query_)(shared_from_this(), stream_id, verdict.message)) {
        --replies_due_;
        // Nothing will be said: a question the front drops. The stream is reset rather than left open.
        const auto found = streams_.find(stream_id);
        if (found != streams_.end())
            resetStream(stream_id, found->second, NGHTTP2_REFUSED_STREAM);
    }
}

void DohConnection::reply(std::int32_t stream_id, std::span<const std::uint8_t> message)
{
    if (replies_due_ > 0)
        --replies_due_;
    const auto found = streams_.find(stream_id);
    if (!closed_ && found != streams_.end()) {
        if (message.empty())
            resetStream(stream_id, found->second, NGHTTP2_CANCEL);
        else
            submitResponse(
                stream_id, found->second, 200, { message.begin(), message.end() }, dohMaxAge(message));
    }
    if (!in_callback_ && !closed_ && !flush())
        return close();
    closeWhenDone();
}

void DohConnection::respondWithStatus(std::int32_t stream_id, Stream& stream, int status)
{
    forgetRequest(stream);
    submitResponse(stream_id, stream, status, {}, 0);
}

// A refused request's body is not needed, though its stream may stay open until the client ends it.
void DohConnection::forgetRequest(Stream& stream)
{
    request_bytes_ -= stream.request.bodySize();
    stream.request = DohRequest {};
}

void DohConnection::submitResponse(
    std::int32_t stream_id, Stream& stream, int status, std::vector<std::uint8_t> body, std::uint32_t max_age)
{
    stream.answered = true;
    stream.response = std::move(body);
    response_bytes_ += stream.response.size(); // until the stream closes
    // A client that lets its replies pile up (a closed flow-control window) is cut off here.
    if (response_bytes_ > limits_.max_unsent_bytes)
        return close();
    const std::string status_text = std::to_string(status);
    const std::string length_text = std::to_string(stream.response.size());
    const std::string cache_text = "max-age=" + std::to_string(max_age);
    std::vector<nghttp2_nv> headers { header(":status", status_text), header("content-length", length_text) };
    if (status == 200) {
        headers.push_back(header("content-type", doh_media_type));
        headers.push_back(header("cache-control", cache_text)); // RFC 8484 §5.1
    }
    nghttp2_data_provider body_source {};
    body_source.read_callback = Callbacks::readResponse;
    if (nghttp2_submit_response(session_, stream_id, headers.data(), headers.size(),
            stream.response.empty() ? nullptr : &body_source)
        != 0)
        close();
}

void DohConnection::resetStream(std::int32_t stream_id, Stream& stream, std::uint32_t error_code)
{
    stream.answered = true;
    forgetRequest(stream);
    nghttp2_submit_rst_stream(session_, NGHTTP2_FLAG_NONE, stream_id, error_code);
}

bool DohConnection::flush()
{
    if (closed_)
        return false;
    short wait_for = 0;
    if (!flushNow(wait_for))
        return false;
    if (wait_for == 0 || writer_running_)
        return true;
    EventLoop* const loop = EventLoop::current();
    writer_running_
        = loop != nullptr && loop->spawnDetached([self = shared_from_this()] { self->drainInFiber(); });
    return writer_running_;
}

bool DohConnection::flushNow(short& wait_for)
{
    wait_for = 0;
    for (;;) {
        while (unsent_.size() - unsent_offset_ < unsent_high_water) {
            const std::uint8_t* data = nullptr;
            in_callback_ = true;
            const ssize_t n = nghttp2_session_mem_send(session_, &data);
            in_callback_ = false;
            if (n < 0)
                return false;
            if (n == 0)
                break;
            try {
                unsent_.insert(unsent_.end(), data, data + n);
            } catch (const std::bad_alloc&) {
                return false;
            }
        }
        if (unsent_offset_ == unsent_.size())
            return true;
        std::size_t n = 0;
        const auto pending = std::span(unsent_).subspan(unsent_offset_);
        if (SSL_write_ex(ssl_, pending.data(), pending.size(), &n) != 1) {
            wait_for = tlsWait(ssl_, 0);
            return wait_for != 0;
        }
        unsent_offset_ += n;
        if (unsent_offset_ == unsent_.size()) {
            unsent_.clear();
            unsent_offset_ = 0;
        }
    }
}

// The writer: waits for room until the session has nothing more to send. A client that takes nothing
// for as long as the idle timeout is cut off.
void DohConnection::drainInFiber()
{
    short wait_for = POLLOUT;
    while (!closed_ && wait_for != 0) {
        if (!waitFor(wait_for, deadlineIn(limits_.idle_timeout_ms)) || !flushNow(wait_for)) {
            close();
            break;
        }
    }
    writer_running_ = false;
    closeWhenDone();
}

bool DohConnection::noteIdleness()
{
    const bool idle = handshake_done_ && !reading_done_ && !closed_ && streams_.empty() && replies_due_ == 0
        && unsent_offset_ == unsent_.size();
    if (idle == marked_idle_)
        return true;
    marked_idle_ = idle;
    if (idle) {
        slots_.markIdle(slot_);
        return true;
    }
    return slots_.markBusy(slot_);
}

void DohConnection::closeWhenDone()
{
    if (reading_done_ && replies_due_ == 0 && !writer_running_)
        close();
    else
        noteIdleness();
}

// The descriptor itself is closed with the last reference, so that no fiber still waiting on it can
// see its number reused; shutting it down wakes them.
void DohConnection::close()
{
    if (closed_)
        return;
    closed_ = true;
    if (SSL_is_init_finished(ssl_))
        SSL_shutdown(ssl_);
    ERR_clear_error();
    ::shutdown(fd_.get(), SHUT_RDWR);
}

} // namespace recursor
