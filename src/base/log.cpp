#include "base/log.h"

#include <atomic>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>

namespace recursor {

namespace {

    std::string_view levelWord(LogLevel level)
    {
        switch (level) {
        case LogLevel::debug:
            return "debug";
        case LogLevel::info:
            return "info";
        case LogLevel::warn:
            return "warning";
        case LogLevel::err:
            return "error";
        }
        return "error";
    }

    std::string_view levelColour(LogLevel level)
    {
        switch (level) {
        case LogLevel::debug:
            return "\x1b[34m";
        case LogLevel::info:
            return "\x1b[32m";
        case LogLevel::warn:
            return "\x1b[33m";
        case LogLevel::err:
            return "\x1b[31m";
        }
        return "";
    }

    // The level word and the colon, coloured on a terminal; `add` appends one piece.
    template <typename Add> void addLevelPrefix(LogLevel level, bool colour, Add&& add)
    {
        if (colour) {
            add(levelColour(level));
            add("\x1b[1m");
            add(levelWord(level));
            add("\x1b[0m\x1b[2m:\x1b[0m ");
        } else {
            add(levelWord(level));
            add(": ");
        }
    }

} // namespace

std::string formatLogLine(LogLevel level, std::string_view message, bool colour)
{
    std::string line;
    line.reserve(message.size() + 32);
    addLevelPrefix(level, colour, [&line](std::string_view part) { line += part; });
    line += message;
    line += '\n';
    return line;
}

namespace {

    bool stderrIsTerminal()
    {
        static const bool colour = isatty(STDERR_FILENO) == 1;
        return colour;
    }

    // One write per line keeps lines from different threads whole.
    void writeLine(std::string_view line) noexcept
    {
        std::size_t off = 0;
        while (off < line.size()) {
            ssize_t n = ::write(STDERR_FILENO, line.data() + off, line.size() - off);
            if (n <= 0)
                return;
            off += static_cast<std::size_t>(n);
        }
    }

} // namespace

namespace {

    std::atomic<LogLevel> log_threshold { LogLevel::info };

} // namespace

void setLogThreshold(LogLevel level)
{
    log_threshold.store(level, std::memory_order_relaxed);
}

void logMessage(LogLevel level, std::string_view message)
{
    if (level < log_threshold.load(std::memory_order_relaxed))
        return;
    writeLine(formatLogLine(level, message, stderrIsTerminal()));
}

void logErrorNoAlloc(std::initializer_list<std::string_view> parts) noexcept
{
    char line[512];
    std::size_t length = 0;
    auto add = [&](std::string_view part) {
        const std::size_t n = std::min(part.size(), sizeof line - 1 - length);
        std::memcpy(line + length, part.data(), n);
        length += n;
    };
    addLevelPrefix(LogLevel::err, stderrIsTerminal(), add);
    for (std::string_view part : parts)
        add(part);
    line[length++] = '\n';
    writeLine(std::string_view(line, length));
}

} // namespace recursor
