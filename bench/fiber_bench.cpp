// Micro-benchmarks of the fiber switch: every upstream exchange suspends its resolution once and is
// resumed once, so a round trip (resume into the fiber, suspend back out) is paid per packet waited on.
#include "base/fiber.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

using namespace recursor;

// One iteration: the thread resumes a fiber that suspends straight back.
void BM_FiberSwitchRoundTrip(benchmark::State& state)
{
    bool stop = false;
    auto fiber = Fiber::create([&stop] {
        while (!stop)
            Fiber::suspend();
    });
    if (!fiber)
        std::abort();
    for (auto _ : state)
        fiber->resume();
    stop = true;
    fiber->resume();
    if (!fiber->finished())
        std::abort();
}
BENCHMARK(BM_FiberSwitchRoundTrip);

// A fiber made, run to its end and destroyed: its stack comes from the thread's pool of finished ones.
void BM_FiberCreateRunDestroy(benchmark::State& state)
{
    for (auto _ : state) {
        int ran = 0;
        auto fiber = Fiber::create([&ran] { ++ran; });
        if (!fiber)
            std::abort();
        fiber->resume();
        benchmark::DoNotOptimize(ran);
    }
}
BENCHMARK(BM_FiberCreateRunDestroy);

} // namespace
