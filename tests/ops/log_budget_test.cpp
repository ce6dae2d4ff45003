// Lines a stranger can cause are bounded per second, and the ones held back are told, not lost silently.
#include "ops/log_budget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace recursor {
namespace {

    TEST(LogBudget, LetsThroughItsLinesEachSecondAndTellsHowManyWereHeldBack)
    {
        LogBudget budget(3);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(budget.take(10), 0u) << i;
        for (int i = 0; i < 5; ++i)
            EXPECT_FALSE(budget.take(10).has_value()) << i;
        EXPECT_EQ(budget.take(11), 5u) << "the next second's first line tells of the five held back";
        EXPECT_EQ(budget.take(11), 0u) << "and the count starts again";
        EXPECT_EQ(budget.take(9), 0u) << "a clock stepped back is a new second too";
        LogBudget silent(0);
        EXPECT_FALSE(silent.take(1).has_value());
    }

    TEST(LogBudget, ThreadsShareOneBudget)
    {
        LogBudget budget(50);
        std::atomic<int> written { 0 };
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 1000; ++i)
                    written += budget.take(42).has_value() ? 1 : 0;
            });
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(written.load(), 50);
        EXPECT_EQ(budget.take(43), 4000u - 50u);
    }

} // namespace
} // namespace recursor
