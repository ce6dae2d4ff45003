// A bound on how many lines of one kind reach the log each second: a stranger who can cause a line
// (a SERVFAIL, say) must not be able to fill the disk or drown the other lines.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

namespace recursor {

class LogBudget {
public:
    explicit LogBudget(std::uint32_t lines_per_second)
        : per_second_(lines_per_second)
    {
    }

    // Whether a line may be written in second `now_seconds`: none when this second's lines are used up
    // (the line is counted as suppressed); else the number of lines suppressed since the last one let
    // through, for the caller to tell in the line it writes. Safe on any thread.
    std::optional<std::uint64_t> take(std::int64_t now_seconds);

private:
    std::mutex mutex_;
    std::uint32_t per_second_;
    std::int64_t second_ { INT64_MIN };
    std::uint32_t used_ { 0 };
    std::uint64_t suppressed_ { 0 };
};

} // namespace recursor
