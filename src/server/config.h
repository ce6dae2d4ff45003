// The configuration record: a sectioned text file ([server], [logging], [zone:<name>], [forward:<name>],
// [stub:<name>], [rpz:<name>]) with overrides
// from DNS_* environment variables, validated before start-up uses it.
#pragma once

#include "base/log.h"
#include "base/read_file.h"
#include "base/socket_address.h"
#include "dnssec/trust_anchor.h"
#include "ops/control_socket.h"
#include "resolver/cache.h"
#include "resolver/nameserver.h"
#include "resolver/recursor.h"
#include "server/server_error.h"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace recursor {

enum class CacheStrategy : std::uint8_t { none, response };

// "none" or "response"; anything else InvalidCacheStrategy.
[[nodiscard]] ServerResult<CacheStrategy> cacheStrategyFromStr(std::string_view text);
// "debug", "info", "warn", "error" or "err"; anything else InvalidLogLevel.
[[nodiscard]] ServerResult<LogLevel> logLevelFromStr(std::string_view text);
// The configuration's spelling of a level: "debug", "info", "warn", "error".
[[nodiscard]] std::string_view logLevelName(LogLevel level);

// Looks up one environment variable; none when it is not set. Tests inject their own.
using EnvLookup = std::function<std::optional<std::string_view>(std::string_view name)>;
// Reads a NAME=value array as handed to main; the views point into `envp`, which must outlive the lookup.
[[nodiscard]] EnvLookup envLookupFromEnvp(char** envp);

// Unsigned integer text: an optional leading '+', then digits of `base`; an underscore may separate two
// digits ("1_000") but may not lead, trail or follow another underscore. No other text is allowed.
// Malformed text is InvalidCharacter, even when its digits would also overflow; a well-formed value
// above `max` is Overflow.
[[nodiscard]] ServerResult<std::uint64_t> parseUnsignedText(
    std::string_view text, unsigned base, std::uint64_t max);

template <std::unsigned_integral T>
[[nodiscard]] ServerResult<T> parseUnsigned(std::string_view text, unsigned base)
{
    auto value = TRY(parseUnsignedText(text, base, std::numeric_limits<T>::max()));
    return static_cast<T>(value);
}

// A listen address split into host and port; `host` points into the parsed text and is not examined.
struct ListenAddr {
    std::string_view host;
    std::uint16_t port { 0 };
};

// "host:port", split at the last colon, or "[host]:port". Empty text, a missing colon, a missing ']'
// or text between "]" and ":" are InvalidAddress; the port fails with InvalidCharacter or Overflow.
[[nodiscard]] ServerResult<ListenAddr> parseListenAddr(std::string_view text);

// parseListenAddr, then the host as an IPv4 or IPv6 literal; host names are never looked up and fail
// with InvalidAddress.
[[nodiscard]] ServerResult<SocketAddress> parseIpSocketAddress(std::string_view text);

// Logs "Cannot read WHAT PATH: error.Kind" for a file the configuration or the command line names,
// and returns that kind.
ServerError logUnreadableFile(std::string_view what, std::string_view path, FileError e);

struct RecursorConfig {
    std::optional<std::string> http_listen;
    std::optional<std::string> control_socket_path;
    std::optional<std::string> root_hints_file;
    std::optional<std::string> trust_anchor_file;
    bool dnssec_validation { true };
    // cache_max_ttl (1 to 604800 s), cache_max_negative_ttl and bogus_ttl (0 to 86400 s),
    // aggressive_nsec, allow_loopback_nameservers; the resolver's defaults when not set.
    // qname_minimisation (RFC 9156) is on unless set to false.
    AnswerLimits limits { .qname_minimisation = true };
};

// The ranges validate() enforces on the answer limits, in seconds.
inline constexpr std::uint32_t min_cache_max_ttl = 1;
inline constexpr std::uint32_t max_cache_max_ttl = 7 * 86400;
inline constexpr std::uint32_t max_cache_max_negative_ttl = 86400;
inline constexpr std::uint32_t max_bogus_ttl = 86400;
// cookie_secret_hex: a 16-byte secret (RFC 9018 §4.3) as hex.
inline constexpr std::size_t cookie_secret_hex_digits = 32;

struct ServerConfig {
    std::vector<std::string> listen_addrs;
    std::size_t threads { 0 }; // event loops; 0: one per CPU
    std::optional<std::string> cookie_secret_hex; // the server cookies' secret; random when not set
    std::optional<std::string> cookie_secret_previous_hex; // still accepted, after a rollover
    bool cookie_require { false }; // datagrams without a valid server cookie get BADCOOKIE
    RecursorConfig recursor;
    ControlSocketConfig control_socket;
    std::uint32_t tcp_timeout_ms { 5000 };
    std::uint32_t tcp_max_connections { 100 };
    std::uint32_t tcp_max_queries_per_connection { 1000 };
    std::uint32_t tcp_max_message_size { 65535 };
    std::uint32_t tcp_max_connections_per_client { 10 }; // per address, or per IPv6 /64
    std::uint32_t tcp_handshake_timeout_ms { 2000 }; // from accept to the first message, TLS included
    std::uint32_t edns_buffer_size { 1232 }; // 512 to 4096
    std::uint32_t client_rate_limit { 0 }; // questions per second per client address; 0: none
    std::uint32_t client_rate_limit_ipv6_prefix { 56 }; // IPv6 clients counted by prefix, 32 to 128 bits
    std::vector<std::string> allow; // client prefixes; none: loopback only
    std::vector<std::string> http_allow; // peers of the HTTP listener; none: those of `allow`
    bool log_queries { false }; // one info line per client question
    std::optional<std::string> user; // run as this user once the sockets are bound
    std::optional<std::string> tls_listen;
    std::optional<std::string> tls_cert_file;
    std::optional<std::string> tls_key_file;
    std::optional<std::string> doh_listen; // DNS over HTTPS, with the TLS certificate and key
    bool expose_zones { false };
};

struct ZoneConfig {
    std::string name;
    std::string file;
};

// A [forward:NAME.] section (resolvers, asked with RD=1) or a [stub:NAME.] one (NAME's authorities).
struct ForwardZoneConfig {
    std::string name; // ends with '.'
    bool recursive { false }; // [forward:] rather than [stub:]
    std::vector<SocketAddress> servers; // `server = ADDR` or `server = ADDR:PORT`, port 53 by default
    bool insecure { false }; // a negative trust anchor at NAME
    std::size_t line { 0 }; // of the section header, for the error when it names no server
};

// An [rpz:NAME.] section: a response policy zone read from `file`. Sections apply in file order.
struct RpzZoneConfig {
    std::string name; // ends with '.'
    std::string file;
    std::size_t line { 0 }; // of the section header, for the error when it names no file
};

// `server = ` of a forward or stub section: an IPv4 or IPv6 literal alone (port 53), "ADDR:PORT" or
// "[IPV6]:PORT"; InvalidAddress for anything else, port 0 included.
[[nodiscard]] ServerResult<SocketAddress> parseForwardTarget(std::string_view text);

struct CacheConfig {
    CacheStrategy strategy { CacheStrategy::response };
    std::uint64_t max_bytes { CacheLimits::default_max_bytes }; // answers and delegations together
    // serve_stale, serve_stale_max_age (RFC 8767) and prefetch.
    bool serve_stale { false };
    std::uint32_t serve_stale_max_age { 86400 }; // seconds an expired answer is kept to be served stale
    bool prefetch { true }; // answers asked for in the last tenth of their TTL are refreshed
    std::optional<std::string> file; // cache_file: written on an orderly stop, read at start
};

struct LogConfig {
    LogLevel level { LogLevel::info };
};

// The section that key/value lines currently belong to.
struct ConfigSection {
    enum class Kind : std::uint8_t { none, named, zone, forward, stub, rpz };
    Kind kind { Kind::none };
    std::string name; // the section name, or the zone name of a zone, forward or stub section
};

struct Config {
    static constexpr std::size_t max_file_size = 10u * 1024 * 1024;

    ServerConfig server;
    std::vector<ZoneConfig> zones;
    std::vector<ForwardZoneConfig> forward_zones; // [forward:] and [stub:] in file order
    std::vector<RpzZoneConfig> rpz_zones; // [rpz:] in file order: the first that matches wins
    CacheConfig cache;
    LogConfig logging;

    // loadFromFile, then the environment overrides, then validate().
    [[nodiscard]] static ServerResult<Config> loadFromFileWithEnv(
        std::string_view path, const EnvLookup& env);
    // Reads at most max_file_size bytes (StreamTooLong beyond) and parses them. FileNotFound,
    // AccessDenied, IsDir, ReadFailed for file-system failures.
    [[nodiscard]] static ServerResult<Config> loadFromFile(std::string_view path);
    // Parses the file text; does not validate. A line that fails is logged as "ORIGIN:LINE: key
    // 'value': error.Kind" (origin: the file's path; "line N" without one).
    [[nodiscard]] static ServerResult<Config> parseConfig(
        std::string_view text, std::string_view origin = {});

    // One trimmed, non-empty key/value pair of `section`.
    [[nodiscard]] ServerResult<void> parseKeyValue(
        const ConfigSection& section, std::string_view key, std::string_view value);
    // Applies the DNS_* variables that are set, in a fixed order; a bad value is logged with its variable.
    [[nodiscard]] ServerResult<void> applyEnvironment(const EnvLookup& env);
    // Logs a line naming the offending key and value before failing. No listen address is valid: the
    // default (127.0.0.1:5353) is used then.
    [[nodiscard]] ServerResult<void> validate() const;

    // "true", "1", "yes" / "false", "0", "no", case-sensitive; anything else InvalidBoolean. The
    // configuration file and the command line (--enable-dnssec=) take the same words.
    [[nodiscard]] static ServerResult<bool> parseBool(std::string_view text);

private:
    ServerResult<void> parseServerKey(std::string_view key, std::string_view value);
    ServerResult<void> setZoneFile(std::string_view zone_name, std::string_view file);
    ServerResult<void> openForwardZone(const ConfigSection& section, std::size_t number);
    ServerResult<void> parseForwardZoneKey(
        const ConfigSection& section, std::string_view key, std::string_view value);
    ServerResult<void> checkForwardZonesHaveServers(std::string_view origin) const;
    ServerResult<void> openRpzZone(const ConfigSection& section, std::size_t number);
    ServerResult<void> parseRpzZoneKey(
        const ConfigSection& section, std::string_view key, std::string_view value);
    ServerResult<void> checkRpzZonesHaveFiles(std::string_view origin) const;
    ServerResult<void> parseLine(ConfigSection& section, std::string_view line, std::size_t number);
    ServerResult<void> applyEnvironmentVariables(const EnvLookup& lookup);
    static void logLineError(std::string_view origin, std::size_t number, std::string_view line,
        const ConfigSection& section, ServerError e);
};

} // namespace recursor
