// Fibers alone, without an event loop: switches that carry values both ways, what a finished fiber gives
// back, who is current and whose parent, and the guard page under every stack.
#include "base/fiber.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace recursor {
namespace {

    // Each resume hands the fiber a number through `inbox`; the fiber adds it to a running sum and
    // suspends with the sum in `outbox`. Its locals (the sum) live on across the switches.
    TEST(Fiber, SwitchesBackAndForthCarryingValues)
    {
        struct Step {
            int in;
            int out;
            bool finished;
        };
        const Step steps[] { { 3, 3, false }, { 4, 7, false }, { -10, -3, false }, { 0, -3, true } };
        int inbox = 0;
        int outbox = 0;
        auto fiber = Fiber::create([&] {
            int sum = 0;
            while (inbox != 0) {
                sum += inbox;
                outbox = sum;
                Fiber::suspend();
            }
        });
        ASSERT_TRUE(fiber);
        EXPECT_FALSE(fiber->finished()) << "a fiber runs nothing before its first resume";
        for (const Step& step : steps) {
            SCOPED_TRACE(step.in);
            inbox = step.in;
            fiber->resume();
            EXPECT_EQ(outbox, step.out);
            EXPECT_EQ(fiber->finished(), step.finished);
        }
        fiber->resume(); // finished: nothing runs, nothing breaks
        EXPECT_EQ(outbox, -3);
    }

    // What a body captured goes when it finishes (or escapes with an exception, which is logged), while
    // the fiber object may live on; a fiber never started lets go of its body when destroyed. The stack
    // of a destroyed fiber serves the next one of the thread.
    TEST(Fiber, FinishedOrNeverStartedFiberGivesBackItsCaptureAndStack)
    {
        struct Case {
            const char* label;
            bool start;
            bool throws;
        };
        for (const Case& c : { Case { "returns", true, false }, Case { "throws", true, true },
                 Case { "never started", false, false } }) {
            SCOPED_TRACE(c.label);
            auto held = std::make_shared<int>(0);
            std::uintptr_t frame = 0;
            auto fiber = Fiber::create([held, &frame, throws = c.throws] {
                frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
                ++*held;
                if (throws)
                    throw std::runtime_error("escaped");
            });
            ASSERT_TRUE(fiber);
            EXPECT_EQ(held.use_count(), 2);
            if (c.start) {
                fiber->resume();
                EXPECT_TRUE(fiber->finished());
                EXPECT_EQ(*held, 1);
                EXPECT_EQ(held.use_count(), 1) << "released before the fiber object goes";
            }
            fiber.reset();
            EXPECT_EQ(held.use_count(), 1);
            if (!c.start)
                continue;
            std::uintptr_t next_frame = 0;
            auto next = Fiber::create(
                [&next_frame] { next_frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)); });
            ASSERT_TRUE(next);
            next->resume();
            // A stack kept by a finished fiber would put the next one a whole mapping away.
            const std::uintptr_t apart = next_frame > frame ? next_frame - frame : frame - next_frame;
            EXPECT_LT(apart, 4096u) << "the stack given back serves the next fiber";
        }
    }

    // Fiber::current() names the fiber running on this thread, null on the thread's own stack; parent()
    // is what its starter set. suspend() on the thread's own stack returns at once.
    TEST(Fiber, CurrentAndParentFollowWhoRuns)
    {
        EXPECT_EQ(Fiber::current(), nullptr);
        Fiber::suspend();
        std::vector<std::pair<const Fiber*, const Fiber*>> seen; // (current, its parent) at each step
        std::unique_ptr<Fiber> child;
        auto outer = Fiber::create([&] {
            seen.emplace_back(Fiber::current(), Fiber::current()->parent());
            // A fiber started by this one, as an event loop would: its parent set, resumed by the thread.
            child = Fiber::create([&] {
                seen.emplace_back(Fiber::current(), Fiber::current()->parent());
                Fiber::suspend();
                seen.emplace_back(Fiber::current(), Fiber::current()->parent());
            });
            child->setParent(Fiber::current());
            Fiber::suspend();
            seen.emplace_back(Fiber::current(), Fiber::current()->parent());
        });
        ASSERT_TRUE(outer);
        outer->resume();
        ASSERT_TRUE(child);
        EXPECT_EQ(Fiber::current(), nullptr) << "back on the thread's stack";
        child->resume();
        outer->resume();
        child->resume();
        EXPECT_TRUE(outer->finished());
        EXPECT_TRUE(child->finished());
        const Fiber* const o = outer.get();
        const Fiber* const c = child.get();
        EXPECT_EQ(seen,
            (std::vector<std::pair<const Fiber*, const Fiber*>> {
                { o, nullptr }, { c, o }, { o, nullptr }, { c, o } }));
        EXPECT_EQ(Fiber::current(), nullptr);
    }

    // Where the fault must land: the page below the lowest usable byte of the fiber's stack.
    std::atomic<std::uintptr_t> guard_low { 0 };
    std::atomic<std::uintptr_t> guard_high { 0 };
    constexpr int fault_on_guard = 3;
    constexpr int fault_elsewhere = 4;

    void onFault(int, siginfo_t* info, void*)
    {
        const auto addr = reinterpret_cast<std::uintptr_t>(info->si_addr);
        ::_exit(addr >= guard_low.load() && addr < guard_high.load() ? fault_on_guard : fault_elsewhere);
    }

    // Small frames, each written from the top down, so the first byte past the stack is in the guard
    // page rather than beyond it. The limit is never reached; it keeps the compiler from calling the
    // recursion infinite.
    volatile std::uint64_t depth_limit = UINT64_MAX;
    [[gnu::noinline]] std::uint64_t recurse(std::uint64_t depth)
    {
        volatile char frame[256];
        for (std::size_t i = sizeof frame; i-- > 0;)
            frame[i] = static_cast<char>(depth);
        if (depth >= depth_limit)
            return frame[0];
        return recurse(depth + 1) + static_cast<std::uint64_t>(frame[1]);
    }

    void overflowAFiberStack()
    {
        static std::vector<char> signal_stack(256 * 1024);
        const stack_t alt { signal_stack.data(), 0, signal_stack.size() };
        ::sigaltstack(&alt, nullptr);
        struct sigaction action { };
        action.sa_sigaction = &onFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        ::sigaction(SIGSEGV, &action, nullptr);
        ::sigaction(SIGBUS, &action, nullptr);
        const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        auto fiber = Fiber::create([page] {
            // The mapping is fiber_stack_size bytes, its lowest page the guard, its top page-aligned and
            // less than a page above the body's first frame.
            const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
            const std::uintptr_t top = (frame + page - 1) / page * page;
            guard_low = top - fiber_stack_size;
            guard_high = top - fiber_stack_size + page;
            recurse(0);
        });
        if (fiber)
            fiber->resume();
        ::_exit(0); // the overflow went unnoticed
    }

    // Unbounded recursion on a fiber faults on the guard page below its stack instead of writing over
    // whatever is mapped there. AddressSanitizer's own handler would report the overflow first; the
    // handler installed here replaces it, so the test runs under every preset.
    TEST(FiberDeathTest, StackOverflowFaultsOnTheGuardPage)
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        EXPECT_EXIT(overflowAFiberStack(), testing::ExitedWithCode(fault_on_guard), "");
    }

} // namespace
} // namespace recursor
