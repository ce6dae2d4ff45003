// Socket plumbing shared by the HTTP metrics server and the control socket: descriptor ownership,
// deadline waits, connection slots and log lines that must not throw on a server thread.
#pragma once

#include "base/clock.h"
#include "base/unique_fd.h"
#include "ops/ops_error.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>

namespace recursor::ops_io {

using recursor::UniqueFd;

using recursor::monotonicMs;

// Waits for `events` (POLLIN, POLLOUT) until the deadline: Timeout when it passes first,
// NetworkError when poll fails.
[[nodiscard]] OpsResult<void> waitUntil(int fd, short events, std::int64_t deadline_ms);

// Takes a slot with compare-and-swap while fewer than `limit` are in use; on refusal `observed` is the
// count seen at the limit.
[[nodiscard]] bool reserveSlot(
    std::atomic<std::uint32_t>& active, std::uint32_t limit, std::uint32_t& observed);

// What one accept loop logs: "<name> accept error: ", "<name> connection limit reached (a/b), rejecting
// connection" and "Failed to spawn <thread_noun> thread: ".
struct AcceptLoopTexts {
    std::string_view name;
    std::string_view thread_noun;
};

// Accepts until `should_stop` is set or the listener is shut down. `admit` may refuse a connection before
// it takes a slot (it then owns and closes the descriptor); admitted connections take a slot of `active`
// below `limit` and run `serve` on a detached thread, which must release the slot as its last act.
void acceptConnections(int listener_fd, const std::atomic<bool>& should_stop,
    std::atomic<std::uint32_t>& active, std::uint32_t limit, const AcceptLoopTexts& texts,
    const std::function<bool(int fd)>& admit, const std::function<void(int fd)>& serve);

// Sleeps 1, 2, 4 ... 128 ms, then 128 ms per check, until no connection thread is left.
void waitUntilIdle(const std::atomic<std::uint32_t>& active);

// accept() failures other than a shut-down listener, named for the log.
OpsError acceptErrorKind(int error);
// Out of descriptors or memory: retrying accept() at once would only spin and flood the log.
bool isResourceExhaustion(int error);
OpsError threadErrorKind(int error);

// Logging allocates; a failure to log must not take a server thread down.
void warn(std::string_view prefix, std::string_view detail = {});

// The next run of non-space characters from `pos`; only the space character separates.
std::string_view nextWord(std::string_view line, std::size_t& pos);

} // namespace recursor::ops_io
