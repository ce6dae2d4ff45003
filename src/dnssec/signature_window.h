// The validity window of an RRSIG (RFC 4034 §3.1.5): inception, expiration and the current time modulo
// 2^32 are serial numbers compared in RFC 1982 arithmetic, so a window may span the wrap of the 32-bit
// seconds in 2106.
#pragma once

#include "wire/rdata/dnssec.h"

#include <cstdint>

namespace recursor::dnssec {

// `a` is `b` or comes after it: b + d = a for some d below 2^31. Two serials 2^31 apart are in no order,
// so neither is at or after the other.
constexpr bool serialAtOrAfter(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::uint32_t>(a - b) < 0x8000'0000u;
}

// An expiration not at or after the inception gives a window no moment is inside.
constexpr bool isWindowInverted(const rdata::dnssec::RRSIG& sig)
{
    return !serialAtOrAfter(sig.sig_expiration, sig.sig_inception);
}

constexpr bool isWithinValidity(const rdata::dnssec::RRSIG& sig, std::int64_t now_unix)
{
    const auto now = static_cast<std::uint32_t>(now_unix);
    return !isWindowInverted(sig) && serialAtOrAfter(now, sig.sig_inception)
        && serialAtOrAfter(sig.sig_expiration, now);
}

// Seconds until the signature expires, 0 when it has.
constexpr std::uint32_t secondsUntilExpiration(const rdata::dnssec::RRSIG& sig, std::int64_t now_unix)
{
    const auto now = static_cast<std::uint32_t>(now_unix);
    return serialAtOrAfter(sig.sig_expiration, now) ? static_cast<std::uint32_t>(sig.sig_expiration - now)
                                                    : 0;
}

} // namespace recursor::dnssec
