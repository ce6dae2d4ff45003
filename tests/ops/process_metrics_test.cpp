// The process families read /proc text that the process itself partly chooses: its command name may
// hold spaces and parentheses, which must not shift the fields counted after it.
#include "ops/process_metrics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace recursor {
namespace {

    // Fields 3 to 52 of a stat line, with utime 11, stime 22, starttime 333 and rss 44.
    std::string statAfterName()
    {
        std::string out = " S";
        for (int field = 4; field <= 52; ++field) {
            const int value = field == 14 ? 11
                : field == 15             ? 22
                : field == 22             ? 333
                : field == 24             ? 44
                                          : field;
            out += " " + std::to_string(value);
        }
        return out + "\n";
    }

    TEST(ProcessStat, CountsFieldsAfterTheLastParenthesisOfTheCommandName)
    {
        for (const std::string name : { "(recursor)", "(a b) c)", "() 1 2 3 4)", "(((()", "(x\n)" }) {
            SCOPED_TRACE(name);
            const auto stat = parseProcessStat("4242 " + name + statAfterName());
            ASSERT_TRUE(stat.has_value());
            EXPECT_EQ(stat->cpu_ticks, 33u);
            EXPECT_EQ(stat->start_ticks, 333u);
            EXPECT_EQ(stat->rss_pages, 44u);
        }
        const std::string whole = "1 (r)" + statAfterName();
        struct Case {
            const char* label;
            std::string line;
        };
        for (const Case& c : { Case { "no name", "1 r S 1 2 3" }, Case { "empty", "" },
                 Case { "cut before rss", whole.substr(0, whole.find(" 44 ")) },
                 Case { "utime not a number",
                     "1 (r) S 4 5 6 7 8 9 10 11 12 13 x 22 16 17 18 19 20 21 333 23 44" },
                 Case { "negative rss",
                     "1 (r) S 4 5 6 7 8 9 10 11 12 13 11 22 16 17 18 19 20 21 333 23 -44" } }) {
            SCOPED_TRACE(c.label);
            EXPECT_FALSE(parseProcessStat(c.line).has_value());
        }
        EXPECT_TRUE(parseProcessStat("1 (r) S 4 5 6 7 8 9 10 11 12 13 11 22 16 17 18 19 20 21 333 23 44"))
            << "the fields up to rss are enough";
    }

    TEST(ProcessStat, FindsTheBootTimeLine)
    {
        EXPECT_EQ(parseBootTime("cpu  1 2 3\nintr 5\nbtime 1700000000\nprocesses 9\n"), 1700000000u);
        EXPECT_EQ(parseBootTime("btime 12"), 12u);
        EXPECT_FALSE(parseBootTime("cpu 1\nbtimes 5\n").has_value());
        EXPECT_FALSE(parseBootTime("btime x\n").has_value());
        EXPECT_FALSE(parseBootTime("").has_value());
    }

    TEST(ProcessStat, ExpositionHasEveryFamilyOfARunningProcess)
    {
        std::string out;
        appendProcessExposition(out);
        for (const char* family : { "process_cpu_seconds_total", "process_resident_memory_bytes",
                 "process_start_time_seconds", "process_open_fds", "process_max_fds" }) {
            SCOPED_TRACE(family);
            EXPECT_TRUE(out.contains(std::string("\n# TYPE ") + family + " ")) << out;
            EXPECT_TRUE(out.contains(std::string("\n") + family + " ")) << out;
        }
    }

} // namespace
} // namespace recursor
