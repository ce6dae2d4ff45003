// SipHash-2-4 (Aumasson and Bernstein, "SipHash: a fast short-input PRF", 2012): a keyed 64-bit hash, so
// that whoever chooses the keys of a hash table cannot choose which of them collide without the key.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace recursor {

// 16 bytes: k0 is the first 8 read little-endian, k1 the last 8.
using SipHashKey = std::array<std::uint8_t, 16>;

// SipHash-2-4 of `data` under `key`, as the reference implementation's 8 output bytes read little-endian.
std::uint64_t sipHash24(const SipHashKey& key, std::span<const std::uint8_t> data);

// The key of this process: 16 bytes from the kernel's random source (getrandom), drawn on first use,
// thread-safely, and the same for the life of the process. Aborts if the kernel gives no random bytes.
const SipHashKey& processSipHashKey();

} // namespace recursor
