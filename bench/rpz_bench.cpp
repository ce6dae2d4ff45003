// Response policy zones at scale: building a policy of 1,000,000 question-name rules (time, and heap
// bytes per rule), and a question-name lookup that misses or hits, beside what the check is added to:
// a cache hit (Cache::getAnswerCopy of a 100-byte answer). The lookup should cost under 10 % of it.
#include "resolver/cache.h"
#include "resolver/rpz.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace recursor;

constexpr std::size_t rule_count = 1'000'000;

DnsName name(std::string_view text)
{
    auto parsed = DnsName::fromText(text);
    if (!parsed)
        std::abort();
    return *parsed;
}

// Names as a blocklist holds them: a spread of second-level names, one in ten given as a wildcard.
std::string ruleOwner(std::size_t i)
{
    std::string owner = (i % 10 == 0) ? "*." : "";
    return owner + "host" + std::to_string(i) + ".tracker" + std::to_string(i % 997) + ".example.rpz.bench.";
}

// The zone as the zone reader would hand it over: owners in wire form, back to back in one buffer.
struct BenchZone {
    std::vector<std::uint8_t> owners;
    std::vector<RpzInputRecord> records;
    std::vector<std::uint8_t> nxdomain_target { 0 }; // CNAME .
};

const BenchZone& benchZone()
{
    static const BenchZone zone = [] {
        BenchZone z;
        std::vector<std::size_t> offsets;
        for (std::size_t i = 0; i < rule_count; ++i) {
            auto wire = name(ruleOwner(i)).wireBytes();
            offsets.push_back(z.owners.size());
            z.owners.insert(z.owners.end(), wire.begin(), wire.end());
        }
        offsets.push_back(z.owners.size());
        for (std::size_t i = 0; i < rule_count; ++i)
            z.records.push_back(
                RpzInputRecord { std::span(z.owners).subspan(offsets[i], offsets[i + 1] - offsets[i]),
                    QType::cname, 300, z.nxdomain_target });
        return z;
    }();
    return zone;
}

const RpzPolicy& benchPolicy()
{
    static const RpzPolicy policy = *RpzPolicy::build(name("rpz.bench."), benchZone().records);
    return policy;
}

void BM_RpzBuildMillionRules(benchmark::State& state)
{
    const auto& zone = benchZone();
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto policy = RpzPolicy::build(name("rpz.bench."), zone.records);
        if (!policy || policy->qnameRuleCount() != rule_count)
            std::abort();
        bytes = policy->memoryBytes();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["rules"] = double(rule_count);
    state.counters["bytes_per_rule"] = double(bytes) / double(rule_count);
    state.counters["MiB"] = double(bytes) / (1024.0 * 1024.0);
}
BENCHMARK(BM_RpzBuildMillionRules)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_RpzLookupMiss(benchmark::State& state)
{
    const auto& policy = benchPolicy();
    DnsName qname = name("www.some-ordinary-site.example.com.");
    for (auto _ : state)
        benchmark::DoNotOptimize(policy.matchQname(qname));
}
BENCHMARK(BM_RpzLookupMiss);

void BM_RpzLookupExactHit(benchmark::State& state)
{
    const auto& policy = benchPolicy();
    DnsName qname = name("HOST12345.tracker381.example.");
    if (!policy.matchQname(qname))
        std::abort();
    for (auto _ : state)
        benchmark::DoNotOptimize(policy.matchQname(qname));
}
BENCHMARK(BM_RpzLookupExactHit);

void BM_RpzLookupWildcardHit(benchmark::State& state)
{
    const auto& policy = benchPolicy();
    DnsName qname = name("a.b.host12340.tracker376.example.");
    if (!policy.matchQname(qname))
        std::abort();
    for (auto _ : state)
        benchmark::DoNotOptimize(policy.matchQname(qname));
}
BENCHMARK(BM_RpzLookupWildcardHit);

void BM_CacheHitCopy(benchmark::State& state)
{
    auto cache = std::move(*Cache::init());
    DnsName qname = name("www.some-ordinary-site.example.com.");
    std::vector<std::uint8_t> packet(100, 0x2a);
    if (!cache->putAnswer(qname, QType::a, packet, 1, RCode::no_error, false, false, 3600))
        std::abort();
    for (auto _ : state) {
        auto hit = cache->getAnswerCopy(qname, QType::a);
        if (!hit || !hit->has_value())
            std::abort();
        benchmark::DoNotOptimize(hit);
    }
}
BENCHMARK(BM_CacheHitCopy);

} // namespace
