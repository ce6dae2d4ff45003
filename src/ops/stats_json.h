// Text renderings of the counters for operators: the JSON statistics object served on /stats and the
// control socket's STATS reply.
#pragma once

#include "ops/metrics.h"
#include "ops/ops_error.h"

#include <string>

namespace recursor {

// One JSON object, no white space, eight keys in a fixed order:
// {"queries_total":10,...,"uptime_seconds":42}
[[nodiscard]] OpsResult<std::string> renderStatsJson(const Snapshot& snapshot);

// "OK\n" followed by the JSON object.
[[nodiscard]] OpsResult<std::string> renderStatsControlReply(const Snapshot& snapshot);

} // namespace recursor
