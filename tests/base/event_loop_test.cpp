// Fibers on an event loop: waits that hand the thread over, what ends them, and how a stop winds up
// work in flight; and the random numbers that IDs and ports are drawn from.
#include "base/event_loop.h"

#include "base/clock.h"
#include "base/random.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace recursor {
namespace {

    // Two fibers wait on one pipe, a third on time alone; a byte wakes both readers and no one waits
    // longer than asked. The order of events shows each wait handed the thread over.
    TEST(EventLoop, FibersWaitOnDescriptorsAndTimeWithoutHoldingTheThread)
    {
        int pipe_fds[2];
        ASSERT_EQ(::pipe(pipe_fds), 0);
        auto loop = EventLoop::create();
        std::vector<std::string> events;
        FiberSignal readers_done;
        int readers = 2;
        for (const char* name : { "a", "b" }) {
            loop->spawn([&, name] {
                pollfd p { pipe_fds[0], POLLIN, 0 };
                events.push_back(std::string(name) + " waits");
                EXPECT_EQ(waitReady({ &p, 1 }, 5000), 1);
                EXPECT_TRUE(p.revents & POLLIN);
                events.push_back(std::string(name) + " read");
                if (--readers == 0)
                    readers_done.notifyAll();
            });
        }
        loop->spawn([&] {
            const std::int64_t start = monotonicMs();
            EXPECT_EQ(waitReady({}, 30), 0);
            EXPECT_GE(monotonicMs() - start, 30);
            events.push_back("timer");
            ASSERT_EQ(::write(pipe_fds[1], "x", 1), 1);
            readers_done.wait();
            events.push_back("both read");
            loop->stop();
        });
        loop->run();
        EXPECT_EQ(events,
            (std::vector<std::string> { "a waits", "b waits", "timer", "a read", "b read", "both read" }));
        EXPECT_EQ(loop->fiberCount(), 0u);
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
    }

    // A descriptor stays registered between waits: readiness that came while nobody waited is seen by
    // the next wait, and a descriptor closed and reopened under the same number is waited on afresh.
    TEST(EventLoop, WaitsSeeReadinessThatCameBetweenThemAndReusedDescriptors)
    {
        auto loop = EventLoop::create();
        std::vector<int> ready;
        loop->spawn([&] {
            int fds[2];
            ASSERT_EQ(::pipe(fds), 0);
            pollfd p { fds[0], POLLIN, 0 };
            ready.push_back(waitReady({ &p, 1 }, 10)); // times out: nothing written yet
            ASSERT_EQ(::write(fds[1], "x", 1), 1);
            ready.push_back(waitReady({}, 10)); // the loop sees the byte while nobody waits on the pipe
            ready.push_back(waitReady({ &p, 1 }, 1000));
            ::close(fds[0]);
            ::close(fds[1]);
            int again[2];
            ASSERT_EQ(::pipe(again), 0);
            ASSERT_EQ(again[0], fds[0]) << "the lowest free numbers are reused";
            ASSERT_EQ(::write(again[1], "y", 1), 1);
            ready.push_back(waitReady({ &p, 1 }, 1000));
            ::close(again[0]);
            ::close(again[1]);
            loop->stop();
        });
        loop->run();
        EXPECT_EQ(ready, (std::vector<int> { 0, 0, 1, 1 }));
    }

    // A stop from another thread ends a wait that has no limit at once, with ECANCELED; later waits
    // fail the same way, so work in flight winds up instead of waiting out its timeouts.
    TEST(EventLoop, AStopEndsEveryWaitAtOnce)
    {
        auto loop = EventLoop::create();
        std::vector<int> errors;
        loop->spawn([&] {
            EXPECT_EQ(waitReady({}, -1), -1);
            errors.push_back(errno);
            EXPECT_EQ(waitReady({}, 10'000), -1);
            errors.push_back(errno);
        });
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            loop->stop();
        });
        const std::int64_t start = monotonicMs();
        loop->run();
        stopper.join();
        EXPECT_LT(monotonicMs() - start, 2000);
        EXPECT_EQ(errors, (std::vector<int> { ECANCELED, ECANCELED }));
    }

    TEST(Random, DrawsUniformlyBelowTheBoundAndNeverRepeatsBytes)
    {
        for (const std::uint32_t bound : { 1u, 2u, 3u, 1000u, 0x80000001u }) {
            SCOPED_TRACE(bound);
            std::set<std::uint32_t> seen;
            for (int i = 0; i < 2000; ++i) {
                const std::uint32_t value = randomBelow(bound);
                ASSERT_LT(value, bound);
                seen.insert(value);
            }
            // 2000 uniform draws leave about bound * (1 - e^(-2000 / bound)) distinct values.
            const double expected = bound * (1 - std::exp(-2000.0 / bound));
            EXPECT_GE(static_cast<double>(seen.size()), 0.9 * expected) << "values spread over the range";
        }
        EXPECT_EQ(randomBelow(0), 0u);
        std::set<std::uint64_t> draws;
        for (int i = 0; i < 1000; ++i)
            draws.insert(randomU64());
        EXPECT_EQ(draws.size(), 1000u);
    }

} // namespace
} // namespace recursor
