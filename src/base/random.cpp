#include "base/random.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/random.h>

namespace recursor {

namespace {

    struct Pool {
        std::array<std::uint8_t, 512> bytes {};
        std::size_t used { bytes.size() };
    };
    thread_local Pool pool;

    // A forked child must not hand out the bytes its parent hands out too.
    void forgetAfterFork()
    {
        pool.used = pool.bytes.size();
    }

    void refill()
    {
        static const bool fork_guard = pthread_atfork(nullptr, nullptr, forgetAfterFork) == 0;
        (void)fork_guard;
        std::size_t got = 0;
        while (got < pool.bytes.size()) {
            const ssize_t n = ::getrandom(pool.bytes.data() + got, pool.bytes.size() - got, 0);
            if (n > 0)
                got += static_cast<std::size_t>(n);
            else if (errno != EINTR)
                std::abort(); // no randomness: IDs and ports would be guessable
        }
        pool.used = 0;
    }

} // namespace

void randomBytes(std::span<std::uint8_t> out)
{
    while (!out.empty()) {
        if (pool.used == pool.bytes.size())
            refill();
        const std::size_t n = std::min(out.size(), pool.bytes.size() - pool.used);
        std::memcpy(out.data(), pool.bytes.data() + pool.used, n);
        std::memset(pool.bytes.data() + pool.used, 0, n); // handed out once
        pool.used += n;
        out = out.subspan(n);
    }
}

std::uint64_t randomU64()
{
    std::uint64_t value = 0;
    randomBytes({ reinterpret_cast<std::uint8_t*>(&value), sizeof value });
    return value;
}

std::uint32_t randomBelow(std::uint32_t bound)
{
    if (bound == 0)
        return 0;
    // Values below 2^32 mod bound would be favoured: draw again (Lemire's threshold).
    const std::uint32_t threshold = static_cast<std::uint32_t>(-bound) % bound;
    for (;;) {
        std::uint32_t value = 0;
        randomBytes({ reinterpret_cast<std::uint8_t*>(&value), sizeof value });
        if (value >= threshold)
            return value % bound;
    }
}

} // namespace recursor
