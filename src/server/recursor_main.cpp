#include "server/recursor_main.h"

#include "base/clock.h"
#include "base/log.h"
#include "base/thread.h"
#include "server/version.h"

#include "base/unique_fd.h"
#include "resolver/cache_file.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <malloc.h>
#include <new>
#include <pthread.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <vector>

namespace recursor {

namespace {

    constexpr std::string_view default_listen_host = "127.0.0.1";
    constexpr std::uint16_t default_listen_port = 5353;
    constexpr std::uint32_t http_max_connections = 50;

    std::unexpected<ServerError> fail(ServerError e)
    {
        return std::unexpected(e);
    }

    void writeToStdout(std::string_view text)
    {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    // The argument after `index`, which the option at `index` takes as its value.
    ServerResult<std::string_view> takeNextArgument(
        std::span<const std::string_view> args, std::size_t& index)
    {
        if (index + 1 >= args.size())
            return fail(ServerError::InvalidArgs);
        return args[++index];
    }

    std::optional<std::string_view> afterPrefix(std::string_view arg, std::string_view prefix)
    {
        if (!arg.starts_with(prefix))
            return std::nullopt;
        return arg.substr(prefix.size());
    }

    // The value of "--name value" or "--name=value" when the argument at `index` is that option.
    std::optional<ServerResult<std::string_view>> optionValue(
        std::span<const std::string_view> args, std::size_t& index, std::string_view name)
    {
        auto arg = args[index];
        if (arg == name)
            return takeNextArgument(args, index);
        if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=')
            return arg.substr(name.size() + 1);
        return std::nullopt;
    }

    // An address of the configuration (or its DNS_ variables), parsed; a failure names it.
    ServerResult<SocketAddress> configuredAddress(std::string_view key, std::string_view text)
    {
        auto address = parseIpSocketAddress(text);
        if (!address)
            logError("Invalid " + std::string(key) + " '" + std::string(text)
                + "': " + dottedErrorName(address.error())
                + (address.error() == ServerError::InvalidAddress
                        ? " (an IP literal; host names are not looked up)"
                        : ""));
        return address;
    }

    // The flags' addresses, else the configuration's, else 127.0.0.1:5353: never none.
    ServerResult<std::vector<SocketAddress>> chooseListenAddrs(
        const CliOptions& cli, const std::optional<Config>& config)
    {
        if (!cli.listen_addrs.empty())
            return cli.listen_addrs;
        std::vector<SocketAddress> chosen;
        if (config) {
            for (const std::string& text : config->server.listen_addrs)
                chosen.push_back(TRY(configuredAddress("listen", text)));
        }
        if (chosen.empty())
            chosen.push_back(*SocketAddress::fromIpLiteral(default_listen_host, default_listen_port));
        return chosen;
    }

    ServerResult<std::optional<SocketAddress>> chooseHttpListenAddr(
        const CliOptions& cli, const std::optional<Config>& config)
    {
        if (cli.http_listen_addr)
            return cli.http_listen_addr;
        if (config && config->server.recursor.http_listen)
            return TRY(configuredAddress("http_listen", *config->server.recursor.http_listen));
        return std::optional<SocketAddress> {};
    }

    std::optional<std::string> chooseControlSocketPath(
        const CliOptions& cli, const std::optional<Config>& config)
    {
        if (cli.control_socket_path)
            return std::string(*cli.control_socket_path);
        if (config)
            return config->server.recursor.control_socket_path;
        return std::nullopt;
    }

    // The file of the flag, else of the configuration's `key`; none when neither names one.
    std::optional<std::string> chooseFile(std::optional<std::string_view> flag,
        const std::optional<Config>& config, std::optional<std::string> RecursorConfig::*key)
    {
        if (flag)
            return std::string(*flag);
        if (config)
            return config->server.recursor.*key;
        return std::nullopt;
    }

    // The loaders' errors as operators read them: a file that cannot be read, with its error and path,
    // or what the file lacks. Running out of memory is not the file's fault and is not logged.
    ServerResult<NameserverSet> readRootHints(const std::string& path)
    {
        auto roots = loadRootHints(path, Config::max_file_size);
        if (roots)
            return *roots;
        if (roots.error() == RootHintsError::OutOfMemory)
            return fail(ServerError::OutOfMemory);
        if (const auto file = fileErrorOf(roots.error()))
            return fail(logUnreadableFile("root hints file", path, *file));
        logError("No root server address in " + path);
        return fail(ServerError::InvalidRootHints);
    }

    ServerResult<dnssec::TrustAnchorStore> readTrustAnchors(const std::string& path)
    {
        auto anchors = dnssec::loadTrustAnchors(path, Config::max_file_size);
        if (anchors)
            return std::move(*anchors);
        if (anchors.error() == dnssec::TrustAnchorError::OutOfMemory)
            return fail(ServerError::OutOfMemory);
        if (const auto file = fileErrorOf(anchors.error()))
            return fail(logUnreadableFile("trust anchor file", path, *file));
        logError("No usable trust anchor for . in " + path + ": " + dottedErrorName(anchors.error()));
        return fail(ServerError::InvalidTrustAnchor);
    }

    const std::vector<ZoneConfig> no_zone_sections;
    const std::vector<ForwardZoneConfig> no_forward_sections;

    // One [zone:] section's file, read and checked; a failure says "FILE:LINE: problem".
    std::expected<LocalZone, ZoneLoadFailure> loadZoneSection(const DnsName& apex, const ZoneConfig& section)
    {
        auto zone = LocalZone::loadFile(apex, section.file);
        if (zone)
            logInfo("zone " + section.name + " loaded from " + section.file + ": serial "
                + std::to_string(zone->serial()) + ", " + std::to_string(zone->recordCount()) + " records");
        return zone;
    }

    // The RFC 6761/6303 zones a [forward:] or [stub:] section takes over from the built-ins.
    std::vector<DnsName> sentElsewhere(const std::vector<ForwardZoneConfig>& sections)
    {
        std::vector<DnsName> names;
        for (const ForwardZoneConfig& section : sections) {
            if (auto name = DnsName::fromText(section.name))
                names.push_back(*name);
        }
        return names;
    }

    // Every [zone:] section's file, read once; the first that cannot be served stops start-up with
    // "FILE:LINE: problem". The built-in locally served zones follow, each unless a section covers it.
    ServerResult<std::shared_ptr<const LocalZones>> readLocalZones(const std::optional<Config>& config)
    {
        auto zones = std::make_shared<LocalZones>();
        for (const ZoneConfig& section : config ? config->zones : no_zone_sections) {
            const auto apex = DnsName::fromText(section.name);
            if (!apex) {
                logError("Invalid zone name: " + section.name);
                return fail(ServerError::InvalidZoneName);
            }
            auto zone = loadZoneSection(*apex, section);
            if (!zone) {
                if (zone.error().kind == ZoneFileError::OutOfMemory)
                    return fail(ServerError::OutOfMemory);
                logError(zone.error().describe());
                return fail(ServerError::InvalidZoneFile);
            }
            zones->add(std::move(*zone));
        }
        zones->addBuiltIns(sentElsewhere(config ? config->forward_zones : no_forward_sections));
        return std::shared_ptr<const LocalZones>(std::move(zones));
    }

    // A reload's zones: every section's file read anew, aside from the running ones. A file that fails
    // keeps its zone's running data (a zone new to this configuration is left out until its file reads)
    // and adds "FILE:LINE: problem" to `failures`; the other zones still update.
    std::shared_ptr<const LocalZones> rereadLocalZones(
        const Config& config, const LocalZones* running, std::vector<std::string>& failures)
    {
        auto zones = std::make_shared<LocalZones>();
        for (const ZoneConfig& section : config.zones) {
            const auto apex = DnsName::fromText(section.name);
            if (!apex) { // checked as the file was parsed: cannot happen
                failures.push_back("invalid zone name " + section.name);
                continue;
            }
            auto zone = loadZoneSection(*apex, section);
            if (zone) {
                zones->add(std::move(*zone));
                continue;
            }
            failures.push_back(zone.error().describe() + "; the old data stays");
            logError(failures.back());
            const LocalZone* old = running != nullptr ? running->covering(*apex) : nullptr;
            if (old != nullptr && old->apex() == *apex)
                zones->add(*old); // a copy: the running set stays whole for questions in flight
        }
        zones->addBuiltIns(sentElsewhere(config.forward_zones));
        return zones;
    }

    // One [rpz:] section's file, read and built; its size and the time it took are logged.
    std::expected<RpzPolicy, ZoneLoadFailure> loadPolicySection(
        const DnsName& zone, const RpzZoneConfig& section)
    {
        const std::int64_t started_us = monotonicUs();
        auto loaded = loadRpzPolicy(zone, std::nullopt, section.file);
        if (loaded)
            logInfo("policy zone " + section.name + " loaded from " + section.file + ": "
                + std::to_string(loaded->qnameRuleCount()) + " question-name rules, "
                + std::to_string(loaded->ipRuleCount()) + " response-IP rules, "
                + std::to_string(loaded->skippedCount()) + " unsupported triggers skipped, "
                + std::to_string(loaded->memoryBytes() / 1024) + " KiB, "
                + std::to_string((monotonicUs() - started_us) / 1000) + " ms");
        return loaded;
    }

    // Every [rpz:] section's file, read and built, in file order (their rank: the first that matches
    // wins). At start-up (`running` null) the first that cannot be used stops start-up with
    // "FILE:LINE: problem". On reload a file that fails keeps its zone's running policy and adds
    // "FILE:LINE: problem" to `failures`. None when there is no section: questions pay nothing for it.
    ServerResult<std::shared_ptr<const RpzSet>> readResponsePolicy(
        const std::vector<RpzZoneConfig>& sections, const RpzSet* running, std::vector<std::string>& failures)
    {
        if (sections.empty())
            return std::shared_ptr<const RpzSet> {};
        auto policy = std::make_shared<RpzSet>();
        for (const RpzZoneConfig& section : sections) {
            const auto zone = DnsName::fromText(section.name);
            if (!zone) { // checked as the file was parsed
                logError("Invalid policy zone name: " + section.name);
                return fail(ServerError::InvalidZoneName);
            }
            auto loaded = loadPolicySection(*zone, section);
            if (loaded) {
                policy->add(std::move(*loaded));
                continue;
            }
            if (loaded.error().kind == ZoneFileError::OutOfMemory)
                return fail(ServerError::OutOfMemory);
            if (running == nullptr) {
                logError(loaded.error().describe());
                return fail(ServerError::InvalidZoneFile);
            }
            failures.push_back(loaded.error().describe() + "; the old data stays");
            logError(failures.back());
            if (auto old = running->find(*zone))
                policy->add(std::move(old));
        }
        // The scan's buffers, tens of MiB for a large feed, are freed by now; without a trim the C
        // library keeps them in the heap for the life of the process.
        malloc_trim(0);
        return std::shared_ptr<const RpzSet>(std::move(policy));
    }

    // None: the built-in root servers.
    ServerResult<std::optional<NameserverSet>> chooseRootServers(
        const CliOptions& cli, const std::optional<Config>& config)
    {
        const auto path = chooseFile(cli.root_hints_path, config, &RecursorConfig::root_hints_file);
        if (!path)
            return std::optional<NameserverSet> {};
        return TRY(readRootHints(*path));
    }

    // None: the built-in root keys.
    ServerResult<std::optional<dnssec::TrustAnchorStore>> chooseTrustAnchors(
        const CliOptions& cli, const std::optional<Config>& config)
    {
        const auto path = chooseFile(cli.trust_anchor_path, config, &RecursorConfig::trust_anchor_file);
        if (!path)
            return std::optional<dnssec::TrustAnchorStore> {};
        return TRY(readTrustAnchors(*path));
    }

    // SIGTERM, SIGINT and SIGHUP are taken by the main thread only (every thread started later inherits
    // the mask), so that the first two stop the server in order as SHUTDOWN does and the third reloads
    // instead of killing the process. A client that closes its TLS connection early must not kill the
    // process with SIGPIPE.
    sigset_t handledSignals()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGHUP);
        ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
        ::signal(SIGPIPE, SIG_IGN);
        return set;
    }

    // The user and group IDs of an account, looked up before anything is bound.
    ServerResult<std::pair<uid_t, gid_t>> accountIds(std::string_view user)
    {
        const std::string name(user);
        const passwd* entry = ::getpwnam(name.c_str());
        if (entry == nullptr)
            return fail(ServerError::UnknownUser);
        return std::pair { entry->pw_uid, entry->pw_gid };
    }

    // After binding nothing privileged is left to do: the process becomes `user` (its group, no
    // supplementary groups) for good. Capabilities go with the user ID change (no keep-caps).
    ServerResult<void> dropPrivileges(std::string_view user)
    {
        const std::string name(user);
        const passwd* entry = ::getpwnam(name.c_str());
        if (entry == nullptr)
            return fail(ServerError::UnknownUser);
        if (::setgroups(0, nullptr) != 0 || ::setgid(entry->pw_gid) != 0 || ::setuid(entry->pw_uid) != 0)
            return fail(ServerError::PrivilegeDropFailed);
        if (entry->pw_uid != 0 && ::setuid(0) == 0)
            return fail(ServerError::PrivilegeDropFailed); // root could be had back: not dropped at all
        logInfo("recursor running as " + name);
        return {};
    }

    // The service manager's readiness protocol (sd_notify): one datagram to $NOTIFY_SOCKET, when set.
    void notifyServiceManager(std::string_view state)
    {
        const char* path = std::getenv("NOTIFY_SOCKET");
        if (path == nullptr || (path[0] != '/' && path[0] != '@'))
            return;
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const std::size_t length = std::strlen(path);
        if (length >= sizeof address.sun_path)
            return;
        std::memcpy(address.sun_path, path, length);
        if (address.sun_path[0] == '@')
            address.sun_path[0] = '\0'; // an abstract socket
        UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (fd.valid()) {
            ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                reinterpret_cast<const sockaddr*>(&address),
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
        }
    }

    // Returns when the server asks to stop (checked once a second) or a stop signal arrives; reloads
    // on SIGHUP.
    void serveUntilStopped(RecursorServer& server, const sigset_t& signals)
    {
        while (!server.shouldStop()) {
            const timespec interval { .tv_sec = 1, .tv_nsec = 0 };
            const int received = ::sigtimedwait(&signals, nullptr, &interval);
            if (received == SIGTERM || received == SIGINT) {
                logInfo(std::string("recursor stopping on ") + (received == SIGTERM ? "SIGTERM" : "SIGINT"));
                return;
            }
            if (received == SIGHUP)
                server.reload();
        }
    }

    // What the cache file asks of start-up and stop; nothing without cache_file or with cache_strategy =
    // none.
    struct CacheFileUse {
        std::string path;
        std::size_t cache_max_bytes;
    };

    std::optional<CacheFileUse> cacheFileUse(const RecursorServer::InitOptions& options)
    {
        if (!options.cache_file || options.cache_nothing)
            return std::nullopt;
        return CacheFileUse { *options.cache_file, options.cache_limits.max_bytes };
    }

    // Read before the first question is served. A file that cannot be used is reported and left alone:
    // a damaged or old cache must never keep the server from starting.
    void loadCacheFile(Recursor& recursor, const CacheFileUse& use)
    {
        auto read = readCacheFile(use.path, recursor.cache(), wallClockSeconds(),
            maxCacheFileBytes(use.cache_max_bytes), &recursor.denialCache(), recursor.validationContext());
        if (!read && read.error() == CacheFileError::FileNotFound) {
            logInfo("cache file " + use.path + ": none yet; starting empty");
            return;
        }
        if (!read) {
            logWarning("cache file " + use.path + ": error." + std::string(errorName(read.error()))
                + "; starting empty");
            return;
        }
        logInfo("cache file " + use.path + ": " + std::to_string(read->loaded) + " entries loaded, "
            + std::to_string(read->expired) + " expired");
    }

    // Written once the loops have stopped, so that the file holds what the last answers left.
    void saveCacheFile(Recursor& recursor, const CacheFileUse& use)
    {
        auto written = writeCacheFile(use.path, recursor.cache(), wallClockSeconds(), &recursor.denialCache(),
            recursor.validationContext());
        if (!written) {
            logWarning("cache file " + use.path + ": error." + std::string(errorName(written.error()))
                + "; the cache is not saved");
            return;
        }
        logInfo("cache file " + use.path + ": " + std::to_string(*written) + " entries written");
    }

    ServerResult<void> runRecursor(std::span<const std::string_view> args, const EnvLookup& env)
    {
        auto cli = TRY(parseArgs(args));
        if (cli.show_help) {
            printUsage();
            return {};
        }
        // Declared before the server, so it is released after it.
        auto config = TRY(loadConfigIfNamed(cli, env));
        if (config)
            setLogThreshold(config->logging.level);
        auto options = TRY(buildInitOptions(cli, config));
        const auto user = cli.user ? std::optional<std::string>(*cli.user)
            : config               ? config->server.user
                                   : std::nullopt;
        if (user)
            options.control_socket_config.owner = TRY(accountIds(*user));
        // Destroying the server stops it, which unwinds a partial start.
        const sigset_t signals = handledSignals();
        const auto cache_file = cacheFileUse(options);
        auto server = TRY(RecursorServer::init(std::move(options)));
        if (cache_file)
            loadCacheFile(server->recursorCore(), *cache_file);
        server->setReloader([&running = *server, &cli, &env] { return reloadSettings(running, cli, env); });
        TRY_VOID(server->start());
        if (user)
            TRY_VOID(dropPrivileges(*user));
        notifyServiceManager("READY=1");
        serveUntilStopped(*server, signals);
        notifyServiceManager("STOPPING=1");
        server->stop();
        if (cache_file)
            saveCacheFile(server->recursorCore(), *cache_file);
        server.reset();
        return {};
    }

} // namespace

bool versionRequested(std::span<const std::string_view> args)
{
    for (auto arg : args) {
        if (arg == "--version" || arg == "-V")
            return true;
    }
    return false;
}

ServerResult<CliOptions> parseArgs(std::span<const std::string_view> args)
{
    CliOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        auto arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options.show_help = true;
        } else if (arg == "-c") {
            options.config_path = TRY(takeNextArgument(args, i));
        } else if (auto config = optionValue(args, i, "--config")) {
            options.config_path = TRY(*config);
        } else if (auto listen = optionValue(args, i, "--listen")) {
            auto text = TRY(*listen);
            options.listen_addrs.push_back(TRY(parseIpSocketAddress(text)));
        } else if (auto http_listen = optionValue(args, i, "--http-listen")) {
            auto text = TRY(*http_listen);
            options.http_listen_addr = TRY(parseIpSocketAddress(text));
        } else if (auto tls_listen = optionValue(args, i, "--tls-listen")) {
            auto text = TRY(*tls_listen);
            options.tls_listen_addr = TRY(parseIpSocketAddress(text));
        } else if (auto doh_listen = optionValue(args, i, "--doh-listen")) {
            auto text = TRY(*doh_listen);
            options.doh_listen_addr = TRY(parseIpSocketAddress(text));
        } else if (auto user = optionValue(args, i, "--user")) {
            options.user = TRY(*user);
        } else if (auto allow = optionValue(args, i, "--allow")) {
            auto text = TRY(*allow);
            options.allow.emplace_back(text);
        } else if (auto control_socket = optionValue(args, i, "--control-socket")) {
            options.control_socket_path = TRY(*control_socket);
        } else if (auto root_hints = optionValue(args, i, "--root-hints")) {
            options.root_hints_path = TRY(*root_hints);
        } else if (auto trust_anchor = optionValue(args, i, "--trust-anchor")) {
            options.trust_anchor_path = TRY(*trust_anchor);
        } else if (arg == "--enable-dnssec") {
            options.enable_dnssec = true;
        } else if (arg == "--disable-dnssec") {
            options.enable_dnssec = false;
        } else if (auto flag = afterPrefix(arg, "--enable-dnssec=")) {
            // The words of the configuration file; a bad one is a bad command line.
            const auto enabled = Config::parseBool(*flag);
            if (!enabled)
                return fail(ServerError::InvalidArgs);
            options.enable_dnssec = *enabled;
        } else {
            return fail(ServerError::InvalidArgs);
        }
    }
    return options;
}

void printUsage()
{
    writeToStdout(usage_text);
}

void printVersion()
{
    std::string line(program_name);
    line += ' ';
    line += program_version;
    line += '\n';
    writeToStdout(line);
}

ServerResult<std::optional<Config>> loadConfigIfNamed(const CliOptions& cli, const EnvLookup& env)
{
    if (!cli.config_path)
        return std::optional<Config> {};
    auto config = TRY(Config::loadFromFileWithEnv(*cli.config_path, env));
    return std::optional<Config>(std::move(config));
}

// The secrets were checked when the file was read: 32 hex digits each.
static void chooseCookieOptions(const ServerConfig& server, RecursorServer::InitOptions& options)
{
    options.cookie_require = server.cookie_require;
    if (!server.cookie_secret_hex && !server.cookie_secret_previous_hex)
        return;
    CookieSecrets secrets = CookieSecrets::random();
    if (server.cookie_secret_hex)
        secrets.current = *CookieSecrets::keyFromHex(*server.cookie_secret_hex);
    if (server.cookie_secret_previous_hex)
        secrets.previous = CookieSecrets::keyFromHex(*server.cookie_secret_previous_hex);
    options.cookie_secrets = secrets;
}

// TCP limits, the EDNS size, and DNS over TLS: its address from the flag or the config, which must then
// name a certificate and a key.
static ServerResult<void> chooseStreamOptions(
    const CliOptions& cli, const std::optional<Config>& config, RecursorServer::InitOptions& options)
{
    if (config) {
        const ServerConfig& server = config->server;
        options.stream_limits.idle_timeout_ms = server.tcp_timeout_ms;
        options.stream_limits.max_queries = server.tcp_max_queries_per_connection;
        options.stream_limits.max_message_size = server.tcp_max_message_size;
        options.max_streams = server.tcp_max_connections;
        options.max_streams_per_client = server.tcp_max_connections_per_client;
        options.stream_limits.handshake_timeout_ms = server.tcp_handshake_timeout_ms;
        options.edns_buffer_size = static_cast<std::uint16_t>(server.edns_buffer_size);
        if (server.tls_listen)
            options.tls_listen_addr = TRY(configuredAddress("tls_listen", *server.tls_listen));
        options.tls_cert_file = server.tls_cert_file.value_or("");
        options.tls_key_file = server.tls_key_file.value_or("");
        if (server.doh_listen)
            options.doh_listen_addr = TRY(configuredAddress("doh_listen", *server.doh_listen));
    }
    if (cli.tls_listen_addr)
        options.tls_listen_addr = cli.tls_listen_addr;
    if (cli.doh_listen_addr)
        options.doh_listen_addr = cli.doh_listen_addr;
    if (config) {
        options.client_rate_limit = config->server.client_rate_limit;
        options.client_rate_limit_ipv6_prefix = config->server.client_rate_limit_ipv6_prefix;
        options.log_queries = config->server.log_queries;
        chooseCookieOptions(config->server, options);
        if (!config->server.http_allow.empty())
            options.http_allowed_clients = TRY(AccessList::parse(config->server.http_allow));
    }
    const std::vector<std::string> none;
    const auto& allow = !cli.allow.empty() ? cli.allow : config ? config->server.allow : none;
    options.allowed_clients = TRY(AccessList::parse(allow));
    if (options.tls_listen_addr && (options.tls_cert_file.empty() || options.tls_key_file.empty())) {
        logError("DNS over TLS needs tls_cert_file and tls_key_file in the [server] section");
        return fail(ServerError::InvalidSetting);
    }
    if (options.doh_listen_addr && (options.tls_cert_file.empty() || options.tls_key_file.empty())) {
        logError("DNS over HTTPS needs tls_cert_file and tls_key_file in the [server] section");
        return fail(ServerError::InvalidSetting);
    }
    return {};
}

namespace {

    // The [forward:] and [stub:] sections as the resolver takes them; their names and servers were checked
    // when the file was parsed.
    ServerResult<std::vector<ForwardZone>> forwardZonesOf(const Config& config)
    {
        std::vector<ForwardZone> zones;
        for (const ForwardZoneConfig& section : config.forward_zones) {
            auto name = DnsName::fromText(section.name);
            if (!name)
                return fail(ServerError::InvalidZoneName);
            ForwardZone zone {
                .name = *name, .servers = {}, .recursive = section.recursive, .insecure = section.insecure
            };
            for (const SocketAddress& server : section.servers)
                zone.servers.append(server);
            zones.push_back(zone);
        }
        return zones;
    }

} // namespace

ServerResult<RecursorServer::InitOptions> buildInitOptions(
    const CliOptions& cli, const std::optional<Config>& config)
{
    try {
        RecursorServer::InitOptions options;
        auto listen = TRY(chooseListenAddrs(cli, config));
        options.listen_addr = listen.front();
        options.more_listen_addrs.assign(listen.begin() + 1, listen.end());
        options.http_listen_addr = TRY(chooseHttpListenAddr(cli, config));
        options.control_socket_path = chooseControlSocketPath(cli, config);
        options.root_servers = TRY(chooseRootServers(cli, config));
        options.trust_anchors = TRY(chooseTrustAnchors(cli, config));
        options.local_zones = TRY(readLocalZones(config));
        std::vector<std::string> no_failures_kept; // start-up stops at the first
        options.response_policy = TRY(readResponsePolicy(
            config ? config->rpz_zones : std::vector<RpzZoneConfig> {}, nullptr, no_failures_kept));
        options.expose_zones = config && config->server.expose_zones;
        options.trust_anchor_source
            = chooseFile(cli.trust_anchor_path, config, &RecursorConfig::trust_anchor_file).value_or("");
        if (config) {
            options.cache_limits.max_bytes = config->cache.max_bytes;
            options.limits = config->server.recursor.limits;
            options.cache_nothing = config->cache.strategy == CacheStrategy::none;
            options.stale_window_seconds = config->cache.serve_stale ? config->cache.serve_stale_max_age : 0;
            options.prefetch = config->cache.prefetch;
            options.cache_file = config->cache.file;
            options.forward_zones = TRY(forwardZonesOf(*config));
        }
        options.enable_dnssec
            = cli.enable_dnssec.value_or(config ? config->server.recursor.dnssec_validation : true);
        options.control_socket_config = config ? config->server.control_socket : ControlSocketConfig {};
        if (config && config->server.threads != 0)
            options.loop_count = config->server.threads;
        TRY_VOID(chooseStreamOptions(cli, config, options));
        options.http_config.max_connections = http_max_connections;
        return options;
    } catch (const std::bad_alloc&) {
        return fail(ServerError::OutOfMemory);
    }
}

namespace {

    // What a reload read, aside, before anything changes; the files that failed keep their old data.
    struct ReloadRead {
        std::optional<Config> config;
        std::optional<dnssec::TrustAnchorStore> anchors;
        std::shared_ptr<const LocalZones> local_zones; // null without a configuration: kept as they are
        std::vector<ForwardZone> forward_zones;
        std::shared_ptr<const RpzSet> policy; // null: none
        std::vector<std::string> failures; // "FILE:LINE: problem; the old data stays"
    };

    // Only the configuration and the anchors fail the whole reload: without them nothing else can be
    // trusted to be what the operator meant.
    ServerResult<ReloadRead> readForReload(
        RecursorServer& server, const CliOptions& cli, const EnvLookup& env)
    {
        ReloadRead read;
        read.config = TRY(loadConfigIfNamed(cli, env));
        read.anchors = TRY(chooseTrustAnchors(cli, read.config));
        if (!read.config)
            return read;
        const std::shared_ptr<const ConfiguredZones> running = server.recursorCore().zones();
        read.local_zones = rereadLocalZones(*read.config, running->local.get(), read.failures);
        read.forward_zones = TRY(forwardZonesOf(*read.config));
        const std::shared_ptr<const RpzSet> running_policy = server.responsePolicy();
        read.policy = TRY(readResponsePolicy(read.config->rpz_zones, running_policy.get(), read.failures));
        return read;
    }

    std::string joined(const std::vector<std::string>& parts, std::string_view separator)
    {
        std::string out;
        for (const std::string& part : parts)
            out += (out.empty() ? "" : std::string(separator)) + part;
        return out;
    }

} // namespace

std::string reloadSettings(RecursorServer& server, const CliOptions& cli, const EnvLookup& env)
{
    logInfo(cli.config_path ? "reloading the configuration (" + std::string(*cli.config_path) + ")"
                            : std::string("reloading the trust anchors"));
    std::optional<LogLevel> level;
    std::size_t failures = 0;
    auto reloaded = [&]() -> ServerResult<std::string> {
        try {
            ReloadRead read = TRY(readForReload(server, cli, env));
            failures = read.failures.size();
            // Only now, with everything read, does anything change.
            const bool changed = server.replaceTrustAnchors(
                read.anchors ? std::move(*read.anchors) : dnssec::TrustAnchorStore::builtIn());
            std::string outcome = "reloaded: ";
            if (read.config) {
                level = read.config->logging.level;
                outcome += "log level " + std::string(logLevelName(*level)) + ", ";
            }
            outcome += changed ? "new trust anchors (caches emptied)" : "trust anchors unchanged";
            if (read.local_zones) {
                std::vector<std::string> flushed;
                for (const DnsName& name :
                    server.replaceZones(read.local_zones, std::move(read.forward_zones)))
                    flushed.push_back(name.toText());
                if (!flushed.empty())
                    outcome += ", zones changed (cache flushed): " + joined(flushed, " ");
            }
            if (read.config)
                server.replaceResponsePolicy(std::move(read.policy));
            if (!read.failures.empty())
                outcome += "; " + joined(read.failures, "; ");
            return outcome;
        } catch (const std::bad_alloc&) {
            return fail(ServerError::OutOfMemory); // a reload must not end the process
        }
    }();
    if (!reloaded) {
        const std::string line
            = "reload failed, the running settings stay: " + dottedErrorName(reloaded.error());
        logError(line);
        return "ERROR: " + line;
    }
    // Before the new level applies, so that even "error" shows the outcome.
    if (failures == 0)
        logInfo(*reloaded);
    else
        logError(*reloaded);
    if (level)
        setLogThreshold(*level);
    return (failures == 0 ? "OK " : "ERROR: ") + *reloaded;
}

int recursorMain(int argc, char** argv, char** envp)
{
    installSigpipeHandler();
    try {
        std::vector<std::string_view> args;
        for (int i = 1; i < argc; ++i)
            args.emplace_back(argv[i]);
        if (versionRequested(args)) {
            printVersion();
            return 0;
        }
        auto outcome = runRecursor(args, envLookupFromEnvp(envp));
        if (outcome)
            return 0;
        logError(errorName(outcome.error()));
    } catch (const std::bad_alloc&) {
        logError(errorName(ServerError::OutOfMemory));
    }
    return 1;
}

} // namespace recursor
