// Numbers an attacker must not guess: query IDs, source ports, which server is asked. They are bytes
// of the kernel's random generator (getrandom), fetched a few hundred at a time per thread and each
// handed out once; glibc's arc4random makes one system call per number.
#pragma once

#include <cstdint>
#include <span>

namespace recursor {

void randomBytes(std::span<std::uint8_t> out);
std::uint64_t randomU64();
// Uniform in [0, bound), without modulo bias; 0 when bound is 0.
std::uint32_t randomBelow(std::uint32_t bound);

} // namespace recursor
