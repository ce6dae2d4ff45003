#include "ops/process_metrics.h"

#include "ops/http_server.h"

#include <charconv>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

namespace recursor {

namespace {

    std::optional<std::uint64_t> numberOf(std::string_view text)
    {
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc {} || end != text.data() + text.size() || text.empty())
            return std::nullopt;
        return value;
    }

    // At most `limit` bytes: /proc files are small, and a read must not grow without bound.
    std::string readSmallFile(const char* path, std::size_t limit = 64 * 1024)
    {
        std::ifstream in(path, std::ios::binary);
        std::string text;
        char chunk[4096];
        while (in && text.size() < limit) {
            in.read(chunk, sizeof chunk);
            text.append(chunk, static_cast<std::size_t>(in.gcount()));
        }
        return text;
    }

    std::optional<std::uint64_t> openDescriptors()
    {
        DIR* dir = ::opendir("/proc/self/fd");
        if (dir == nullptr)
            return std::nullopt;
        std::uint64_t count = 0;
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.')
                ++count;
        }
        ::closedir(dir);
        return count > 0 ? count - 1 : 0; // the directory's own descriptor
    }

    void appendFamily(std::string& out, std::string_view name, std::string_view help, std::string_view type,
        std::string_view value)
    {
        appendMetricFamily(out, name, help, type);
        out.append(name).append(" ").append(value).append("\n");
    }

    // Clock ticks are hundredths of a second: milliseconds show them whole.
    std::string decimal(double value)
    {
        char text[48];
        std::snprintf(text, sizeof text, "%.3f", value);
        return text;
    }

} // namespace

std::optional<ProcessStat> parseProcessStat(std::string_view line)
{
    const std::size_t name_end = line.rfind(')');
    if (name_end == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = line.substr(name_end + 1);
    // Field 3 (the state) is the first after the name.
    ProcessStat stat;
    std::uint64_t utime = 0;
    for (int field = 3; field <= 24; ++field) {
        while (!rest.empty() && rest.front() == ' ')
            rest.remove_prefix(1);
        const std::size_t end = std::min(rest.find(' '), rest.size());
        const std::string_view word = rest.substr(0, end);
        rest.remove_prefix(end);
        if (word.empty())
            return std::nullopt;
        if (field != 14 && field != 15 && field != 22 && field != 24)
            continue;
        const auto value = numberOf(word.back() == '\n' ? word.substr(0, word.size() - 1) : word);
        if (!value)
            return std::nullopt;
        if (field == 14)
            utime = *value;
        else if (field == 15)
            stat.cpu_ticks = utime + *value;
        else if (field == 22)
            stat.start_ticks = *value;
        else
            stat.rss_pages = *value;
    }
    return stat;
}

std::optional<std::uint64_t> parseBootTime(std::string_view proc_stat)
{
    for (std::size_t pos = 0; pos < proc_stat.size();) {
        const std::size_t end = std::min(proc_stat.find('\n', pos), proc_stat.size());
        const std::string_view line = proc_stat.substr(pos, end - pos);
        if (line.starts_with("btime "))
            return numberOf(line.substr(6));
        pos = end + 1;
    }
    return std::nullopt;
}

void appendProcessExposition(std::string& out)
{
    const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
    const long page_bytes = ::sysconf(_SC_PAGESIZE);
    const std::string stat_line = readSmallFile("/proc/self/stat");
    if (const auto stat = parseProcessStat(stat_line); stat && ticks_per_second > 0 && page_bytes > 0) {
        const auto ticks = static_cast<double>(ticks_per_second);
        appendFamily(out, "process_cpu_seconds_total", "Total user and system CPU time spent in seconds",
            "counter", decimal(static_cast<double>(stat->cpu_ticks) / ticks));
        appendFamily(out, "process_resident_memory_bytes", "Resident memory size in bytes", "gauge",
            std::to_string(stat->rss_pages * static_cast<std::uint64_t>(page_bytes)));
        if (const auto boot = parseBootTime(readSmallFile("/proc/stat")))
            appendFamily(out, "process_start_time_seconds",
                "Start time of the process since unix epoch in seconds", "gauge",
                decimal(static_cast<double>(*boot) + static_cast<double>(stat->start_ticks) / ticks));
    }
    if (const auto open = openDescriptors())
        appendFamily(
            out, "process_open_fds", "Number of open file descriptors", "gauge", std::to_string(*open));
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0)
        appendFamily(out, "process_max_fds", "Maximum number of open file descriptors", "gauge",
            limit.rlim_cur == RLIM_INFINITY ? "+Inf" : std::to_string(limit.rlim_cur));
}

} // namespace recursor
