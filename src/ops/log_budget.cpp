#include "ops/log_budget.h"

namespace recursor {

std::optional<std::uint64_t> LogBudget::take(std::int64_t now_seconds)
{
    const std::scoped_lock lock(mutex_);
    if (now_seconds != second_) {
        second_ = now_seconds;
        used_ = 0;
    }
    if (used_ >= per_second_) {
        ++suppressed_;
        return std::nullopt;
    }
    ++used_;
    const std::uint64_t told = suppressed_;
    suppressed_ = 0;
    return told;
}

} // namespace recursor
