#pragma once

#include <string_view>

namespace recursor {

inline constexpr std::string_view program_name = "dovu-recursor";
inline constexpr std::string_view program_version = "0.1.11";

} // namespace recursor
