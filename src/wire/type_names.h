// Record type and RCODE mnemonics (RFC 1035 §3.2.2, §4.1.1 and later), for the operator's text:
// "AAAA", or "TYPE65280" (RFC 3597 §5) for a type without one here; "NXDOMAIN", or "RCODE12".
#pragma once

#include "wire/constants.h"

#include <optional>
#include <string>
#include <string_view>

namespace recursor {

std::string typeName(QType type);
// A mnemonic (any letter case), TYPEnnn, or a plain number; none for anything else.
std::optional<QType> typeFromText(std::string_view text);
std::string rcodeName(std::uint16_t rcode);

} // namespace recursor
