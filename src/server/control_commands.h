// The control socket's command table (PING, STATS, FLUSH, TRACE, RELOAD, DUMP, LOAD, SHUTDOWN, HELP) and
// the resolver's part of the metrics exposition: what an operator asks a running server.
#pragma once

#include "ops/metrics.h"
#include "ops/ops_error.h"
#include "resolver/recursor.h"
#include "server/server_options.h"

#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace recursor {

class ControlCommands {
public:
    // Borrows the first three from the server, which outlives this; `request_stop` is SHUTDOWN, `reload`
    // is RELOAD (its reply).
    ControlCommands(const ServerOptions& options, Recursor& recursor, Metrics& metrics,
        std::function<void()> request_stop, std::function<std::string()> reload);

    OpsResult<std::string> controlHandler(std::string_view command, std::span<const std::string_view> args);
    // The caches' sizes and the upstream counters, for /metrics.
    std::string resolverExposition() const;

private:
    // TRACE: the question resolved afresh by a resolver of its own (empty caches, the same roots, trust
    // anchors, limits and transport), so that the server's caches are neither read nor changed.
    std::string traceResolution(const DnsName& name, QType type);

    // DUMP and LOAD: the cache file at `path` (cache_file.h), written or merged while the loops serve.
    std::string dumpCache(const std::string& path);
    std::string loadCache(const std::string& path);

    const ServerOptions& options_;
    Recursor* recursor_; // the server's; never null
    Metrics* metrics_; // the server's; never null
    std::function<void()> request_stop_;
    std::function<std::string()> reload_;
};

} // namespace recursor
