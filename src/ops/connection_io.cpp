#include "ops/connection_io.h"

#include "base/log.h"
#include "base/thread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <new>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace recursor::ops_io {

OpsResult<void> waitUntil(int fd, short events, std::int64_t deadline_ms)
{
    for (;;) {
        const std::int64_t remaining = deadline_ms - monotonicMs();
        if (remaining <= 0)
            return std::unexpected(OpsError::Timeout);
        pollfd entry { .fd = fd, .events = events, .revents = 0 };
        const int rc = ::poll(&entry, 1, static_cast<int>(std::min<std::int64_t>(remaining, INT_MAX)));
        if (rc > 0)
            return {};
        if (rc == 0)
            return std::unexpected(OpsError::Timeout);
        if (errno != EINTR)
            return std::unexpected(OpsError::NetworkError);
    }
}

bool reserveSlot(std::atomic<std::uint32_t>& active, std::uint32_t limit, std::uint32_t& observed)
{
    observed = active.load();
    while (observed < limit) {
        if (active.compare_exchange_weak(observed, observed + 1))
            return true;
    }
    return false;
}

void waitUntilIdle(const std::atomic<std::uint32_t>& active)
{
    std::chrono::milliseconds pause { 1 };
    while (active.load() != 0) {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds { 128 });
    }
}

OpsError acceptErrorKind(int error)
{
    return error == ENOMEM || error == ENOBUFS ? OpsError::OutOfMemory : OpsError::NetworkError;
}

bool isResourceExhaustion(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS;
}

OpsError threadErrorKind(int error)
{
    return error == ENOMEM ? OpsError::OutOfMemory : OpsError::ThreadSpawnFailed;
}

void warn(std::string_view prefix, std::string_view detail)
{
    try {
        std::string line(prefix);
        line += detail;
        logWarning(line);
    } catch (const std::bad_alloc&) {
    }
}

std::string_view nextWord(std::string_view line, std::size_t& pos)
{
    while (pos < line.size() && line[pos] == ' ')
        ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] != ' ')
        ++pos;
    return line.substr(start, pos - start);
}

} // namespace recursor::ops_io

namespace recursor::ops_io {

namespace {

    bool takeSlotOrWarn(std::atomic<std::uint32_t>& active, std::uint32_t limit, std::string_view name)
    {
        std::uint32_t observed = 0;
        if (reserveSlot(active, limit, observed))
            return true;
        char line[160];
        std::snprintf(line, sizeof line, "%.*s connection limit reached (%u/%u), rejecting connection",
            static_cast<int>(name.size()), name.data(), observed, limit);
        warn(line);
        return false;
    }

    void spawnServer(int client_fd, std::atomic<std::uint32_t>& active, std::string_view thread_noun,
        const std::function<void(int fd)>& serve)
    {
        int rc = ENOMEM;
        runGuarded("accept loop", [&] { rc = spawnDetached([serve, client_fd] { serve(client_fd); }); });
        if (rc == 0)
            return;
        char prefix[96];
        std::snprintf(prefix, sizeof prefix,
            "Failed to spawn %.*s thread: ", static_cast<int>(thread_noun.size()), thread_noun.data());
        warn(prefix, errorName(threadErrorKind(rc)));
        active.fetch_sub(1);
        ::close(client_fd);
    }

} // namespace

void acceptConnections(int listener_fd, const std::atomic<bool>& should_stop,
    std::atomic<std::uint32_t>& active, std::uint32_t limit, const AcceptLoopTexts& texts,
    const std::function<bool(int fd)>& admit, const std::function<void(int fd)>& serve)
{
    char error_prefix[96];
    std::snprintf(error_prefix, sizeof error_prefix,
        "%.*s accept error: ", static_cast<int>(texts.name.size()), texts.name.data());
    while (!should_stop.load()) {
        const int client_fd = ::accept4(listener_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client_fd < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            if (error == EINVAL || error == EBADF)
                return; // the listener was shut down by stop()
            warn(error_prefix, errorName(acceptErrorKind(error)));
            if (isResourceExhaustion(error))
                std::this_thread::sleep_for(std::chrono::milliseconds { 10 });
            continue;
        }
        if (should_stop.load()) {
            ::close(client_fd);
            return;
        }
        if (admit && !admit(client_fd))
            continue;
        if (!takeSlotOrWarn(active, limit, texts.name)) {
            ::close(client_fd);
            continue;
        }
        spawnServer(client_fd, active, texts.thread_noun, serve);
    }
}

} // namespace recursor::ops_io
