// The process's clocks: the monotonic one for deadlines and cache lifetimes (a step of the wall clock
// changes neither), the wall clock where absolute time matters (signature validity, uptime).
#pragma once

#include <cstdint>

namespace recursor {

std::int64_t monotonicMs();
std::int64_t monotonicUs();
std::int64_t monotonicSeconds();
std::int64_t wallClockSeconds();

} // namespace recursor
