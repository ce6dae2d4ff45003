// The validity window of an RRSIG (RFC 4034 §3.1.5): inception and expiration are 32-bit serial
// numbers (RFC 1982), so the window is judged by serial arithmetic around the current time, which
// keeps working when the 32-bit seconds wrap in 2106.
#pragma once

#include "wire/rdata/dnssec.h"

#include <cstdint>

namespace recursor::dnssec {

// Whether `a` comes before `b` in serial-number arithmetic (RFC 1982 §3.2).
constexpr bool serialBefore(std::uint32_t a, std::uint32_t b)
{
    return a != b && static_cast<std::uint32_t>(b - a) < 0x8000'0000u;
}

// now as a serial number: the low 32 bits of the Unix time.
constexpr std::uint32_t serialNow(std::int64_t now_unix)
{
    return static_cast<std::uint32_t>(now_unix);
}

// Inception at or before now, now at or before expiration, and the window itself not inverted.
constexpr bool isWithinValidity(const rdata::dnssec::RRSIG& sig, std::int64_t now_unix)
{
    const std::uint32_t now = serialNow(now_unix);
    return !serialBefore(now, sig.sig_inception) && !serialBefore(sig.sig_expiration, now)
        && !serialBefore(sig.sig_expiration, sig.sig_inception);
}

// Seconds until the signature expires, 0 when it has.
constexpr std::uint32_t secondsUntilExpiration(const rdata::dnssec::RRSIG& sig, std::int64_t now_unix)
{
    const std::uint32_t now = serialNow(now_unix);
    return serialBefore(now, sig.sig_expiration) ? static_cast<std::uint32_t>(sig.sig_expiration - now) : 0;
}

} // namespace recursor::dnssec
