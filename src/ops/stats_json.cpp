#include "ops/stats_json.h"

#include <array>
#include <new>
#include <string_view>
#include <utility>

namespace recursor {

namespace {

    struct JsonField {
        std::string_view key;
        std::uint64_t Snapshot::*value;
    };

    // The key order is part of the output format.
    constexpr std::array<JsonField, 8> stats_fields { {
        { "queries_total", &Snapshot::queries_total },
        { "queries_success", &Snapshot::queries_success },
        { "queries_nxdomain", &Snapshot::queries_nxdomain },
        { "queries_servfail", &Snapshot::queries_servfail },
        { "queries_refused", &Snapshot::queries_refused },
        { "cache_hits", &Snapshot::cache_hits },
        { "cache_misses", &Snapshot::cache_misses },
        { "uptime_seconds", &Snapshot::uptime_seconds },
    } };

    constexpr std::size_t json_initial_capacity = 192;
    constexpr std::size_t ok_initial_capacity = 6;

} // namespace

OpsResult<std::string> renderStatsJson(const Snapshot& snapshot)
{
    try {
        std::string out;
        out.reserve(json_initial_capacity);
        out += '{';
        for (const JsonField& field : stats_fields) {
            if (out.size() > 1)
                out += ',';
            out += '"';
            out += field.key;
            out += "\":";
            out += std::to_string(snapshot.*field.value);
        }
        out += '}';
        return out;
    } catch (const std::bad_alloc&) {
        return std::unexpected(OpsError::OutOfMemory);
    }
}

OpsResult<std::string> renderStatsControlReply(const Snapshot& snapshot)
{
    std::string json = TRY(renderStatsJson(snapshot));
    try {
        std::string out;
        out.reserve(ok_initial_capacity);
        out += "OK\n";
        out += json;
        return out;
    } catch (const std::bad_alloc&) {
        return std::unexpected(OpsError::OutOfMemory);
    }
}

} // namespace recursor
