#include "server/client_stream.h"

#include "base/clock.h"
#include "base/event_loop.h"
#include "base/log.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

namespace recursor {

namespace {

    constexpr std::size_t read_chunk = 16 * 1024;

    std::int64_t deadlineIn(std::uint32_t ms)
    {
        return monotonicMs() + ms;
    }

    // What a TLS call that did not complete waits for: POLLIN or POLLOUT, or 0 when the connection
    // failed (its errors then cleared).
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

} // namespace

ClientStream::ClientStream(UniqueFd fd, SocketAddress peer, SSL* ssl, const StreamLimits& limits,
    StreamSlots& slots, StreamSlots::Id slot)
    : fd_(std::move(fd))
    , peer_(peer)
    , ssl_(ssl)
    , limits_(limits)
    , slots_(slots)
    , slot_(slot)
{
}

ClientStream::~ClientStream()
{
    close();
    if (ssl_ != nullptr)
        SSL_free(ssl_);
    slots_.release(slot_); // while the descriptor is still open: an eviction may shut it down till then
}

ClientStream::Io ClientStream::readSome(std::span<std::uint8_t> into)
{
    if (ssl_ == nullptr) {
        const ssize_t n = ::recv(fd_.get(), into.data(), into.size(), MSG_DONTWAIT);
        if (n > 0)
            return { static_cast<std::size_t>(n), 0, false };
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return { 0, POLLIN, false };
        return { 0, 0, true };
    }
    std::size_t n = 0;
    if (SSL_read_ex(ssl_, into.data(), into.size(), &n) == 1)
        return { n, 0, false };
    const short wait = tlsWait(ssl_, 0);
    return { 0, wait, wait == 0 };
}

ClientStream::Io ClientStream::writeSome(std::span<const std::uint8_t> from)
{
    if (ssl_ == nullptr) {
        const ssize_t n = ::send(fd_.get(), from.data(), from.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            return { static_cast<std::size_t>(n), 0, false };
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return { 0, POLLOUT, false };
        return { 0, 0, true };
    }
    std::size_t n = 0;
    if (SSL_write_ex(ssl_, from.data(), from.size(), &n) == 1)
        return { n, 0, false };
    const short wait = tlsWait(ssl_, 0);
    return { 0, wait, wait == 0 };
}

// False once the deadline has passed, the wait failed or the loop is stopping.
bool ClientStream::waitFor(short events, std::int64_t deadline_ms)
{
    const std::int64_t left = deadline_ms - monotonicMs();
    if (left <= 0 || closed_)
        return false;
    pollfd p { fd_.get(), events, 0 };
    return waitReady(std::span(&p, 1), static_cast<int>(std::min<std::int64_t>(left, 1 << 30))) > 0;
}

bool ClientStream::handshake(std::int64_t deadline)
{
    for (;;) {
        const int done = SSL_accept(ssl_);
        if (done == 1)
            return true;
        const short events = tlsWait(ssl_, done);
        if (events == 0 || !waitFor(events, deadline))
            return false;
    }
}

void ClientStream::serve(const OnMessage& on_message)
{
    const auto self = shared_from_this();
    // A stranger may open connections and then say nothing, or start a handshake and stall: until the
    // first message it holds a slot for the shorter deadline only.
    std::int64_t idle_deadline = deadlineIn(std::min(limits_.handshake_timeout_ms, limits_.idle_timeout_ms));
    if (ssl_ != nullptr && !handshake(idle_deadline)) {
        close();
        return;
    }
    handshake_done_ = true;
    std::vector<std::uint8_t> received;
    std::array<std::uint8_t, read_chunk> chunk {};
    std::uint32_t questions = 0;
    while (!closed_ && questions < limits_.max_queries) {
        // Every complete message first; a length of 0 or above the limit cannot be answered.
        if (received.size() >= 2) {
            const std::size_t length = (std::size_t { received[0] } << 8) | received[1];
            if (length == 0 || length > limits_.max_message_size)
                break;
            if (received.size() >= 2 + length) {
                ++questions;
                ++replies_due_;
                if (!on_message(self, std::span(received).subspan(2, length)))
                    --replies_due_;
                received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(2 + length));
                bytes_held_ = received.size();
                idle_deadline = deadlineIn(limits_.idle_timeout_ms);
                continue;
            }
        }
        const Io io = readSome(chunk);
        if (io.ended)
            break;
        if (io.bytes > 0) {
            received.insert(
                received.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(io.bytes));
            bytes_held_ = received.size();
            if (!noteIdleness())
                break; // evicted while the bytes were on their way: its slot is another's now
            continue;
        }
        if (!noteIdleness())
            break;
        if (!waitFor(io.wait_for, idle_deadline)) {
            if (EventLoop::current() != nullptr && EventLoop::current()->stopping())
                break;
            // Idle only when nothing is owed: a question still resolving keeps the connection.
            if (monotonicMs() < idle_deadline || (replies_due_ == 0 && unsent_offset_ == unsent_.size()))
                break;
            idle_deadline = deadlineIn(limits_.idle_timeout_ms);
        }
    }
    reading_done_ = true;
    closeWhenDone();
}

bool ClientStream::noteIdleness()
{
    const bool idle = handshake_done_ && !reading_done_ && !closed_ && bytes_held_ == 0 && replies_due_ == 0
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

void ClientStream::send(std::span<const std::uint8_t> message)
{
    if (replies_due_ > 0)
        --replies_due_;
    if (closed_ || message.empty() || message.size() > 0xFFFF)
        return closeWhenDone();
    try {
        unsent_.push_back(static_cast<std::uint8_t>(message.size() >> 8));
        unsent_.push_back(static_cast<std::uint8_t>(message.size()));
        unsent_.insert(unsent_.end(), message.begin(), message.end());
    } catch (const std::bad_alloc&) {
        return close();
    }
    if (unsent_.size() - unsent_offset_ > limits_.max_unsent_bytes)
        return close(); // the client does not read what it asked for
    if (writer_running_)
        return;
    short wait_for = 0;
    if (!flushNow(wait_for))
        return close();
    if (wait_for == 0)
        return closeWhenDone();
    EventLoop* const loop = EventLoop::current();
    writer_running_
        = loop != nullptr && loop->spawnDetached([self = shared_from_this()] { self->drainInFiber(); });
    if (!writer_running_)
        close();
}

bool ClientStream::flushNow(short& wait_for)
{
    wait_for = 0;
    while (unsent_offset_ < unsent_.size()) {
        const Io io = writeSome(std::span(unsent_).subspan(unsent_offset_));
        if (io.ended)
            return false;
        if (io.bytes == 0) {
            wait_for = io.wait_for;
            return true;
        }
        unsent_offset_ += io.bytes;
        // A client that reads steadily but never catches up would otherwise grow the buffer for ever.
        if (unsent_offset_ >= limits_.max_unsent_bytes / 2 && unsent_offset_ * 2 >= unsent_.size()) {
            unsent_.erase(unsent_.begin(), unsent_.begin() + static_cast<std::ptrdiff_t>(unsent_offset_));
            unsent_offset_ = 0;
        }
    }
    unsent_.clear();
    unsent_offset_ = 0;
    return true;
}

// The writer: waits for room until every reply is out. A client that takes nothing for as long as
// the idle timeout is cut off.
void ClientStream::drainInFiber()
{
    short wait_for = 0;
    while (flushNow(wait_for) && wait_for != 0) {
        if (!waitFor(wait_for, deadlineIn(limits_.idle_timeout_ms))) {
            close();
            break;
        }
    }
    if (wait_for != 0 || unsent_offset_ != unsent_.size())
        close();
    writer_running_ = false;
    closeWhenDone();
}

// Also where a connection may have become idle: its last reply gone out. Should it have been evicted
// meanwhile, its reader sees the stream shut down.
void ClientStream::closeWhenDone()
{
    if (reading_done_ && replies_due_ == 0 && !writer_running_ && unsent_offset_ == unsent_.size())
        close();
    else
        noteIdleness();
}

// The descriptor itself is closed with the last reference, so that no fiber still waiting on it can
// see its number reused; shutting it down wakes them.
void ClientStream::close()
{
    if (closed_)
        return;
    closed_ = true;
    if (ssl_ != nullptr && SSL_is_init_finished(ssl_))
        SSL_shutdown(ssl_);
    ERR_clear_error();
    ::shutdown(fd_.get(), SHUT_RDWR);
}

std::shared_ptr<SSL_CTX> makeServerTlsContext(const std::string& cert_file, const std::string& key_file)
{
    std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!ctx)
        return nullptr;
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert_file.c_str()) != 1
        || SSL_CTX_use_PrivateKey_file(ctx.get(), key_file.c_str(), SSL_FILETYPE_PEM) != 1
        || SSL_CTX_check_private_key(ctx.get()) != 1) {
        char reason[256] {};
        ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
        ERR_clear_error();
        logWarning("recursor: TLS certificate or key not usable: " + std::string(reason));
        return nullptr;
    }
    return ctx;
}

} // namespace recursor
