// RRSIG verifications per second for each supported algorithm, over the four-record A RRset "www" of
// the zones signed by tests/dnssec/fixtures/generate.sh (RSA keys of 2048 bits).
#include "dnssec/validator.h"

#include "../tests/dnssec/signed_fixture.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

using namespace recursor::dnssec;

void verifyWwwA(benchmark::State& state)
{
    const int alg = static_cast<int>(state.range(0));
    const auto key = fixture::loadZoneKey(alg);
    const auto rrset = fixture::loadSignedRRset(alg, "www_A");
    if (!key || !rrset)
        std::abort();
    for (auto _ : state) {
        const auto ok
            = verifyRRSIG(rrset->rrsig, key->key().public_key, rrset->records, rrset->rrsig.sig_inception);
        if (!ok || !*ok)
            std::abort();
        benchmark::DoNotOptimize(ok);
    }
    state.counters["verifications/s"]
        = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(verifyWwwA)->ArgName("alg")->Arg(8)->Arg(10)->Arg(13)->Arg(14)->Arg(15);

// The part of every verification that is not cryptography: canonical RRset and signed data.
void signedDataWwwA(benchmark::State& state)
{
    const auto rrset = fixture::loadSignedRRset(13, "www_A");
    if (!rrset)
        std::abort();
    for (auto _ : state)
        benchmark::DoNotOptimize(signedData(rrset->rrsig, rrset->records));
}
BENCHMARK(signedDataWwwA);

} // namespace
