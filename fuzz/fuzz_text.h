// Text helpers shared by the fuzz targets of the line-oriented files and requests.
#pragma once

#include <string>
#include <string_view>

namespace recursor::fuzz {

// The text with every LF preceded by a CR, as a file saved on another system would be.
inline std::string withCrlf(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (const char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

} // namespace recursor::fuzz
