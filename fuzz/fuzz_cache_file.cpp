// Reads arbitrary bytes as a cache file. The first byte chooses how: odd, the rest is a body the harness
// seals with a correct header and checksum, so that the entry parser is reached; even, the rest is the
// whole file. A file refused leaves the caches empty; a file accepted, saved again and read back, loads
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

// The answer cache and the denial ranges, as a recursor holds them.
struct Caches {
    std::unique_ptr<Cache> cache = smallCache();
    DenialCache denial { [] { return std::int64_t { 1000 }; }, 64 * 1024 };

    std::size_t entriesHeld() const
    {
        return cache->answerCount() + cache->delegationCount() + cache->zoneSecurityCount()
            + denial.rangeCount();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    const std::vector<std::uint8_t> file
        = (data[0] & 1) != 0 ? sealed(rest) : std::vector<std::uint8_t>(rest.begin(), rest.end());
    Caches first;
    const auto counts = decodeCacheFile(file, *first.cache, wall_now, &first.denial);
    if (!counts) {
        if (first.entriesHeld() != 0)
            fail("a refused file changed the caches");
        return 0;
    }
    const auto again = encodeCacheFile(*first.cache, wall_now, &first.denial);
    if (!again)
        fail("an accepted file cannot be saved again");
    Caches second;
    const auto reread = decodeCacheFile(again->bytes, *second.cache, wall_now, &second.denial);
    if (!reread || reread->loaded != again->entries || reread->expired != 0)
        fail("a saved cache does not read back whole");
    return 0;
}
