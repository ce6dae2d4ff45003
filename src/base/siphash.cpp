#include "base/siphash.h"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/random.h>

namespace recursor {

namespace {

    std::uint64_t readLe64(const std::uint8_t* p, std::size_t n = 8)
    {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i)
            v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
        return v;
    }

    struct SipState {
        std::uint64_t v0, v1, v2, v3;

        void round()
        {
            v0 += v1;
            v1 = std::rotl(v1, 13);
            v1 ^= v0;
            v0 = std::rotl(v0, 32);
            v2 += v3;
            v3 = std::rotl(v3, 16);
            v3 ^= v2;
            v0 += v3;
            v3 = std::rotl(v3, 21);
            v3 ^= v0;
            v2 += v1;
            v1 = std::rotl(v1, 17);
            v1 ^= v2;
            v2 = std::rotl(v2, 32);
        }

        void absorb(std::uint64_t m)
        {
            v3 ^= m;
            round(); // c = 2 compression rounds
            round();
            v0 ^= m;
        }
    };

    SipHashKey drawKey()
    {
        SipHashKey key {};
        std::size_t filled = 0;
        while (filled < key.size()) {
            const ssize_t n = ::getrandom(key.data() + filled, key.size() - filled, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                // A predictable key would give the hash tables back to whoever floods them.
                std::fputs("error: no random bytes for the hash key (getrandom failed)\n", stderr);
                std::abort();
            }
            filled += static_cast<std::size_t>(n);
        }
        return key;
    }

} // namespace

std::uint64_t sipHash24(const SipHashKey& key, std::span<const std::uint8_t> data)
{
    const std::uint64_t k0 = readLe64(key.data());
    const std::uint64_t k1 = readLe64(key.data() + 8);
    SipState s {
        k0 ^ 0x736f6d6570736575ull,
        k1 ^ 0x646f72616e646f6dull,
        k0 ^ 0x6c7967656e657261ull,
        k1 ^ 0x7465646279746573ull,
    };
    const std::size_t n = data.size();
    const std::size_t whole = n - n % 8;
    for (std::size_t i = 0; i < whole; i += 8)
        s.absorb(readLe64(data.data() + i));
    // The last block: the remaining bytes, and the length's low byte on top.
    const std::uint64_t last
        = readLe64(data.data() + whole, n - whole) | (static_cast<std::uint64_t>(n) << 56);
    s.absorb(last);
    s.v2 ^= 0xff;
    for (int i = 0; i < 4; ++i) // d = 4 finalization rounds
        s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

const SipHashKey& processSipHashKey()
{
    static const SipHashKey key = drawKey(); // initialised once, thread-safely (C++11 magic statics)
    return key;
}

} // namespace recursor
