// The process_* families every Prometheus client exposes (CPU time, resident memory, descriptors, start
// time), read from /proc/self when /metrics is asked for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace recursor {

struct ProcessStat {
    std::uint64_t cpu_ticks { 0 }; // user and system time, in clock ticks
    std::uint64_t start_ticks { 0 }; // since boot, in clock ticks
    std::uint64_t rss_pages { 0 };
};

// Fields 14 and 15 (utime, stime), 22 (starttime) and 24 (rss) of a /proc/<pid>/stat line (proc(5)).
// The command name (field 2) may hold spaces and parentheses, so fields are counted after its last ')'.
// None when the line is cut short or a field is not a number.
std::optional<ProcessStat> parseProcessStat(std::string_view line);
// The "btime" line of /proc/stat: the boot time in seconds since the epoch.
std::optional<std::uint64_t> parseBootTime(std::string_view proc_stat);

// The process_* families in the text exposition, each after a blank line; a family whose source cannot
// be read is left out.
void appendProcessExposition(std::string& out);

} // namespace recursor
