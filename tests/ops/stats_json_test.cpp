#include "ops/stats_json.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace recursor {
namespace {

    TEST(StatsJson, RendersStatsJsonWithEightKeysInOrder)
    {
        const Snapshot snapshot { .queries_total = 10,
            .queries_success = 8,
            .queries_nxdomain = 1,
            .queries_formerr = 77, // not part of the document
            .queries_servfail = 1,
            .queries_refused = 0,
            .cache_hits = 4,
            .cache_misses = 6,
            .dnssec_validations_total = 99, // not part of the document
            .uptime_seconds = 42,
            .latency_p50_us = 123 }; // not part of the document
        const OpsResult<std::string> json = renderStatsJson(snapshot);
        ASSERT_TRUE(json.has_value());
        EXPECT_EQ(*json,
            R"({"queries_total":10,"queries_success":8,"queries_nxdomain":1,"queries_servfail":1,)"
            R"("queries_refused":0,"cache_hits":4,"cache_misses":6,"uptime_seconds":42})");
    }

    TEST(StatsJson, RendersLargestCountersInFullDecimal)
    {
        const Snapshot snapshot { .queries_total = UINT64_MAX, .uptime_seconds = UINT64_MAX };
        const OpsResult<std::string> json = renderStatsJson(snapshot);
        ASSERT_TRUE(json.has_value());
        EXPECT_EQ(json->substr(0, 38), R"({"queries_total":18446744073709551615,)");
        EXPECT_TRUE(json->ends_with(R"("uptime_seconds":18446744073709551615})"));
    }

    TEST(StatsJson, PrefixesStatsReplyWithOkLine)
    {
        const Snapshot snapshot { .queries_total = 3, .cache_misses = 3, .uptime_seconds = 1 };
        const OpsResult<std::string> reply = renderStatsControlReply(snapshot);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(*reply,
            "OK\n"
            R"({"queries_total":3,"queries_success":0,"queries_nxdomain":0,"queries_servfail":0,)"
            R"("queries_refused":0,"cache_hits":0,"cache_misses":3,"uptime_seconds":1})");
    }

} // namespace
} // namespace recursor
