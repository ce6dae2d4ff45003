// Reads arbitrary bytes as a cache file. The first byte chooses how: odd, the rest is a body the harness
// seals with a correct header and checksum, so that the entry parser is reached; even, the rest is the
// whole file. A file refused leaves the cache empty; a file accepted, saved again and read back, loads
// the same entries.
#include "resolver/cache_file.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace recursor;

constexpr std::int64_t wall_now = 1'800'000'000;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_cache_file: %s\n", what);
    std::abort();
}

std::vector<std::uint8_t> sealed(std::span<const std::uint8_t> body)
{
    std::vector<std::uint8_t> file { 'R', 'C', 'R', 'C', 'A', 'C', 'H', 'E', 0, 0, 0, cache_file_version };
    file.resize(cache_file_header_size);
    for (int i = 0; i < 8; ++i)
        file[16 + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(body.size()) >> (8 * (7 - i)));
    unsigned int len = 0;
    EVP_Digest(body.data(), body.size(), file.data() + 32, &len, EVP_sha256(), nullptr);
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

std::unique_ptr<Cache> smallCache()
{
    auto cache = Cache::init([] { return std::int64_t { 1000 }; }, CacheLimits { 256 * 1024 });
    if (!cache)
        fail("no cache");
    return std::move(*cache);
}

std::size_t entriesHeld(const Cache& cache)
{
    return cache.answerCount() + cache.delegationCount() + cache.zoneSecurityCount();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    const std::vector<std::uint8_t> file
        = (data[0] & 1) != 0 ? sealed(rest) : std::vector<std::uint8_t>(rest.begin(), rest.end());
    auto cache = smallCache();
    const auto counts = decodeCacheFile(file, *cache, wall_now);
    if (!counts) {
        if (entriesHeld(*cache) != 0)
            fail("a refused file changed the cache");
        return 0;
    }
    if (entriesHeld(*cache) > counts->loaded)
        fail("more entries held than loaded");
    const auto again = encodeCacheFile(*cache, wall_now);
    if (!again)
        fail("an accepted file cannot be saved again");
    auto second = smallCache();
    const auto reread = decodeCacheFile(again->bytes, *second, wall_now);
    if (!reread || reread->loaded != again->entries || reread->expired != 0)
        fail("a saved cache does not read back whole");
    return 0;
}
