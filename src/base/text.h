// Small helpers for the line-oriented text files the resolver reads (master-file lines, settings).
#pragma once

#include <algorithm>
#include <string_view>

namespace recursor {

// The next blank-separated token of `line`, which is advanced past it; empty at the end.
inline std::string_view nextToken(std::string_view& line)
{
    constexpr std::string_view blanks = " \t\r";
    const std::size_t start = line.find_first_not_of(blanks);
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    const std::size_t end = std::min(line.find_first_of(blanks, start), line.size());
    const std::string_view token = line.substr(start, end - start);
    line.remove_prefix(end);
    return token;
}

inline bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    constexpr auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c; };
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

} // namespace recursor
