// What local zones add to every question the front answers from the cache: Recursor::answerLocally is
// asked first, and misses for nearly all of them. With only the ~30 built-in zones (RFC 6761, RFC 6303)
// loaded, compare its miss with rpz_bench's BM_CacheHitCopy (the cache hit it precedes).
#include "resolver/local_zone.h"
#include "resolver/recursor.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

namespace {

using namespace recursor;

DnsName name(std::string_view text)
{
    auto parsed = DnsName::fromText(text);
    if (!parsed)
        std::abort();
    return *parsed;
}

std::unique_ptr<Recursor> withBuiltInZones()
{
    auto zones = std::make_shared<LocalZones>();
    zones->addBuiltIns();
    auto recursor = Recursor::init(RecursorOptions { .local_zones = std::move(zones) });
    if (!recursor)
        std::abort();
    return std::move(*recursor);
}

// The common case: a public name, no local zone holds it.
void BM_AnswerLocallyMissWithBuiltIns(benchmark::State& state)
{
    const auto recursor = withBuiltInZones();
    const DnsName qname = name("www.some-ordinary-site.example.com.");
    for (auto _ : state) {
        auto local = recursor->answerLocally(qname, QType::a);
        if (!local || local->has_value())
            std::abort();
        benchmark::DoNotOptimize(local);
    }
}
BENCHMARK(BM_AnswerLocallyMissWithBuiltIns);

// A public reverse name: its labels end like those of several built-in zones.
void BM_AnswerLocallyMissReverseName(benchmark::State& state)
{
    const auto recursor = withBuiltInZones();
    const DnsName qname = name("34.216.184.93.in-addr.arpa.");
    for (auto _ : state) {
        auto local = recursor->answerLocally(qname, QType::ptr);
        if (!local || local->has_value())
            std::abort();
        benchmark::DoNotOptimize(local);
    }
}
BENCHMARK(BM_AnswerLocallyMissReverseName);

} // namespace
