// One line per message on standard error: "<level>: <message>\n".
// On a terminal the level word is bold and coloured and the colon dim.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace recursor {

enum class LogLevel : std::uint8_t { debug, info, warn, err };

// Lines below the threshold (info until set) are dropped.
void setLogThreshold(LogLevel level);
void logMessage(LogLevel level, std::string_view message);
inline void logError(std::string_view message)
{
    logMessage(LogLevel::err, message);
}
inline void logWarning(std::string_view message)
{
    logMessage(LogLevel::warn, message);
}
inline void logInfo(std::string_view message)
{
    logMessage(LogLevel::info, message);
}

// An error line of the parts one after another, built in a fixed buffer (cut at 512 bytes): for paths
// that must log without allocating, such as out-of-memory handling.
void logErrorNoAlloc(std::initializer_list<std::string_view> parts) noexcept;

// Formats the whole line without writing it; exposed for tests.
std::string formatLogLine(LogLevel level, std::string_view message, bool colour);

} // namespace recursor
