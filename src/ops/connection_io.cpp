#include "ops/connection_io.h"

#include "base/log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <new>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace recursor::ops_io {

UniqueFd::~UniqueFd()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::int64_t monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

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
