// Record type and RCODE mnemonics (RFC 1035 §3.2.2, §4.1.1 and later), for the operator's text:
// "AAAA", or "TYPE65280" (RFC 3597 §5) for a type without one here; "NXDOMAIN", or "RCODE12".
#pragma once

#include "wire/constants.h"

#include <optional>
#include <string>
#include <string_view>

namespace recursor {

// Types that name no RRset a zone can hold (RFC 6895 §3.1): 0, OPT, and the question and meta range
// 128-255 (TKEY, TSIG, IXFR, AXFR, MAILB, MAILA and ANY among them). No NSEC or NSEC3 bitmap lists them,
// so a missing bit proves nothing about them.
constexpr bool isMetaType(QType type)
{
    const auto code = toU16(type);
    return code == 0 || type == QType::opt || (code >= 128 && code <= 255);
}

std::string typeName(QType type);
// A mnemonic (any letter case), TYPEnnn, or a plain number; none for anything else.
std::optional<QType> typeFromText(std::string_view text);
std::string rcodeName(std::uint16_t rcode);

} // namespace recursor
