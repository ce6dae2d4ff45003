#include "server/control_commands.h"

#include "base/clock.h"
#include "base/trace.h"
#include "ops/stats_json.h"
#include "resolver/cache_file.h"
#include "resolver/local_zone.h"
#include "resolver/upstream_cookies.h"
#include "resolver/upstream_sockets.h"
#include "server/version.h"
#include "wire/type_names.h"

#include <array>

namespace recursor {

namespace {

    // The control socket's commands, as HELP lists them.
    struct ControlCommandHelp {
        std::string_view usage;
        std::string_view meaning;
    };
    constexpr std::array<ControlCommandHelp, 9> control_commands { {
        { "PING", "answers OK while the server runs" },
        { "STATS", "the counters, as one JSON line after OK" },
        { "FLUSH <name>", "drops every cached entry at or below the name" },
        { "TRACE <name> <type>",
            "resolves afresh from the root servers, caches untouched, and shows each step" },
        { "RELOAD", "re-reads the configuration, its zone files and the trust anchors, as SIGHUP does" },
        { "DUMP <path>", "writes the cache to the file, as a stop does with cache_file" },
        { "LOAD <path>", "merges the cache file's live entries into the running cache" },
        { "SHUTDOWN", "stops the server in order, as SIGTERM does" },
        { "HELP", "this list" },
    } };

    std::string controlHelp()
    {
        std::string out = "OK";
        for (const ControlCommandHelp& command : control_commands)
            out.append("\n").append(command.usage).append(" - ").append(command.meaning);
        return out;
    }

} // namespace

ControlCommands::ControlCommands(const ServerOptions& options, Recursor& recursor, Metrics& metrics,
    std::function<void()> request_stop, std::function<std::string()> reload)
    : options_(options)
    , recursor_(&recursor)
    , metrics_(&metrics)
    , request_stop_(std::move(request_stop))
    , reload_(std::move(reload))
{
}

OpsResult<std::string> ControlCommands::controlHandler(
    std::string_view command, std::span<const std::string_view> args)
{
    try {
        if (command == "TRACE") {
            if (args.size() != 2)
                return std::string("ERROR: Usage: TRACE <name> <type>");
            auto name = DnsName::fromText(args[0]);
            const auto type = typeFromText(args[1]);
            if (!name || !type)
                return std::string("ERROR: Invalid name or type");
            return traceResolution(*name, *type);
        }
        if (command == "FLUSH") {
            if (args.size() != 1)
                return std::string("ERROR: Usage: FLUSH <name>");
            auto name = DnsName::fromText(args[0]);
            if (!name)
                return std::string("ERROR: Invalid name");
            return "OK " + std::to_string(recursor_->flush(*name)) + " entries dropped";
        }
        if (command == "DUMP" || command == "LOAD") {
            if (args.size() != 1)
                return "ERROR: Usage: " + std::string(command) + " <path>";
            return command == "DUMP" ? dumpCache(std::string(args[0])) : loadCache(std::string(args[0]));
        }
        if (command == "PING")
            return std::string("OK");
        if (command == "STATS")
            return renderStatsControlReply(metrics_->snapshot());
        if (command == "RELOAD")
            return args.empty() ? reload_() : std::string("ERROR: Usage: RELOAD");
        if (command == "SHUTDOWN") {
            request_stop_();
            return std::string("OK");
        }
        if (command == "HELP")
            return controlHelp();
        return std::string("ERROR: Unknown command");
    } catch (const std::bad_alloc&) {
        return std::unexpected(OpsError::OutOfMemory);
    }
}

namespace {

    // "result: RCODE, security, N answer records", then one line per answer record.
    std::string describeTraceResult(const ResolveOutcome& resolved, bool validation_enabled)
    {
        std::string out = "result: ";
        if (!resolved)
            return out + "SERVFAIL, " + describe(resolved.error());
        out += rcodeName(static_cast<std::uint16_t>(resolved->rcode));
        out += resolved->validated ? ", secure" : validation_enabled ? ", insecure" : ", not validated";
        out += ", " + std::to_string(resolved->answer_count) + " answer records";
        if (auto msg = DnsMessage::parse(resolved->packet)) {
            for (const DnsRecord& rec : msg->records) {
                if (rec.section == Section::answer)
                    out += "\n  " + rec.name.toText() + " " + std::to_string(rec.ttl) + " "
                        + typeName(rec.rtype);
            }
        }
        return out;
    }

} // namespace

std::string ControlCommands::traceResolution(const DnsName& name, QType type)
{
    constexpr std::size_t trace_cache_bytes = 1024 * 1024;
    const std::int64_t started = monotonicMs();
    // A name a local zone answers never leaves the process: there is no walk to show.
    const LocalZones* local_zones = recursor_->zones()->local.get();
    const LocalZone* local_zone = local_zones != nullptr ? local_zones->covering(name) : nullptr;
    if (auto local = recursor_->answerLocally(name, type); local_zone != nullptr && local && *local)
        return "OK\n" + name.toText() + " " + typeName(type) + " is answered locally, from the zone "
            + local_zone->apex().toText() + "\n"
            + describeTraceResult(std::move(**local), recursor_->validationEnabled()) + "\ntook "
            + std::to_string(monotonicMs() - started) + " ms";
    auto anchors = recursor_->trustAnchors()->clone();
    if (!anchors)
        return std::string("ERROR: OutOfMemory");
    auto fresh = Recursor::init(RecursorOptions {
        .validation_enabled = recursor_->validationEnabled(),
        .clock = {},
        .cache_limits = CacheLimits { trace_cache_bytes },
        .root_servers = recursor_->rootServers(),
        .trust_anchors = std::move(anchors),
        .limits = options_.limits,
        .transport = options_.transport,
        .forward_zones = recursor_->zones()->forward,
        .local_zones = recursor_->zones()->local,
    });
    if (!fresh)
        return "ERROR: " + std::string(errorName(fresh.error()));
    std::string out = "OK\ntrace of " + name.toText() + " " + typeName(type) + ", from the root servers\n";
    trace::Scope scope;
    const auto resolved = (*fresh)->resolveFromNetwork(options_.upstream, name, type);
    for (const std::string& line : scope.lines())
        out += line + "\n";
    out += describeTraceResult(resolved, recursor_->validationEnabled());
    out += "\ntook " + std::to_string(monotonicMs() - started) + " ms";
    return out;
}

std::string ControlCommands::dumpCache(const std::string& path)
{
    auto written = writeCacheFile(path, recursor_->cache(), wallClockSeconds(), &recursor_->denialCache(),
        recursor_->validationContext());
    if (!written)
        return "ERROR: cache file " + path + ": error." + std::string(errorName(written.error()));
    return "OK " + std::to_string(*written) + " entries written";
}

std::string ControlCommands::loadCache(const std::string& path)
{
    auto read = readCacheFile(path, recursor_->cache(), wallClockSeconds(),
        maxCacheFileBytes(options_.cache_limits.max_bytes), &recursor_->denialCache(),
        recursor_->validationContext());
    if (!read)
        return "ERROR: cache file " + path + ": error." + std::string(errorName(read.error()));
    return "OK " + std::to_string(read->loaded) + " entries loaded, " + std::to_string(read->expired)
        + " expired";
}

std::string ControlCommands::resolverExposition() const
{
    Cache& cache = recursor_->cache();
    DenialCache& denial = recursor_->denialCache();
    InfraCache& infra = recursor_->infra();
    struct Labelled {
        std::string_view cache;
        std::size_t entries;
        std::size_t bytes;
    };
    const std::array<Labelled, 5> caches { {
        { "answers", cache.answerCount(), cache.answerBytes() },
        { "delegations", cache.delegationCount(), 0 },
        { "zone_keys", cache.zoneSecurityCount(), cache.zoneSecurityBytes() },
        { "denial_ranges", denial.rangeCount(), denial.bytes() },
        { "servers", infra.size(), infra.size() * InfraCache::slot_bytes },
    } };
    std::string out;
    const auto family = [&](std::string_view name, std::string_view help, std::string_view type) {
        appendMetricFamily(out, name, help, type);
    };
    family("dns_cache_entries", "Entries held per cache", "gauge");
    for (const Labelled& c : caches)
        out.append("dns_cache_entries{cache=\"")
            .append(c.cache)
            .append("\"} ")
            .append(std::to_string(c.entries) + "\n");
    family("dns_cache_bytes", "Bytes held per cache (the delegations are bounded by count instead)", "gauge");
    for (const Labelled& c : caches) {
        if (c.cache != "delegations")
            out.append("dns_cache_bytes{cache=\"")
                .append(c.cache)
                .append("\"} ")
                .append(std::to_string(c.bytes) + "\n");
    }
    family("dns_upstream_queries_total", "Queries sent to authoritative servers", "counter");
    out.append("dns_upstream_queries_total ").append(std::to_string(infra.queriesSent()) + "\n");
    family("dns_upstream_timeouts_total", "Queries to authoritative servers that timed out", "counter");
    out.append("dns_upstream_timeouts_total ").append(std::to_string(infra.queriesTimedOut()) + "\n");
    family("dns_upstream_stray_datagrams_total",
        "Datagrams from authoritative servers asked that answered no query (another ID or question, no DNS "
        "message)",
        "counter");
    out.append("dns_upstream_stray_datagrams_total ").append(std::to_string(upstreamStrayDatagrams()) + "\n");
    family("dns_qname_minimisation_fallbacks_total",
        "Names asked whole after minimised questions (RFC 9156), by reason", "counter");
    for (std::size_t kind = 0; kind < minimisation_fallback_kinds; ++kind) {
        const auto reason = static_cast<MinimisationFallback>(kind);
        out.append("dns_qname_minimisation_fallbacks_total{reason=\"")
            .append(fallbackName(reason))
            .append("\"} ")
            .append(std::to_string(infra.minimisationFallbacks(reason)) + "\n");
    }
    family("dns_upstream_cookie_mismatches_total",
        "Replies from authoritative servers dropped for echoing a client cookie we did not send them",
        "counter");
    out.append("dns_upstream_cookie_mismatches_total ")
        .append(std::to_string(upstreamCookieMismatches()) + "\n");
    family("dns_build_info", "The version running, as a label; always 1", "gauge");
    out.append("dns_build_info{version=\"").append(program_version).append("\"} 1\n");
    return out;
}

} // namespace recursor
