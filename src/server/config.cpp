#include "server/config.h"

#include "server/access_list.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <new>

namespace recursor {

namespace {

    constexpr std::string_view ascii_whitespace = " \t\n\r\v\f";

    std::string_view trim(std::string_view text)
    {
        auto first = text.find_first_not_of(ascii_whitespace);
        if (first == std::string_view::npos)
            return {};
        auto last = text.find_last_not_of(ascii_whitespace);
        return text.substr(first, last - first + 1);
    }

    std::unexpected<ServerError> fail(ServerError e)
    {
        return std::unexpected(e);
    }

    bool isDigitOfBase(char c, unsigned base)
    {
        return c >= '0' && static_cast<unsigned>(c - '0') < base;
    }

    bool isWellFormedNumber(std::string_view digits, unsigned base)
    {
        if (digits.empty() || !isDigitOfBase(digits.front(), base) || !isDigitOfBase(digits.back(), base))
            return false;
        char previous = '0';
        for (char c : digits) {
            bool separator_between_digits = c == '_' && previous != '_';
            if (!isDigitOfBase(c, base) && !separator_between_digits)
                return false;
            previous = c;
        }
        return true;
    }

    // The unsigned 32-bit settings, shared by the [server] keys and their environment variables.
    // The table order is the order in which the environment overrides are applied.
    struct U32Setting {
        std::string_view key;
        std::string_view env_var;
        unsigned base;
        std::uint32_t& (*field)(ServerConfig&);
    };

    constexpr std::array<U32Setting, 13> u32_settings { {
        { "control_socket_mode", "DNS_CONTROL_SOCKET_MODE", 8,
            [](ServerConfig& s) -> std::uint32_t& { return s.control_socket.socket_mode; } },
        { "control_socket_read_timeout_ms", "DNS_CONTROL_SOCKET_READ_TIMEOUT_MS", 10,
            [](ServerConfig& s) -> std::uint32_t& { return s.control_socket.read_timeout_ms; } },
        { "control_socket_write_timeout_ms", "DNS_CONTROL_SOCKET_WRITE_TIMEOUT_MS", 10,
            [](ServerConfig& s) -> std::uint32_t& { return s.control_socket.write_timeout_ms; } },
        { "control_socket_max_connections", "DNS_CONTROL_SOCKET_MAX_CONNECTIONS", 10,
            [](ServerConfig& s) -> std::uint32_t& { return s.control_socket.max_connections; } },
        { "tcp_timeout_ms", "DNS_TCP_TIMEOUT_MS", 10,
            [](ServerConfig& s) -> std::uint32_t& { return s.tcp_timeout_ms; } },
        { "tcp_max_connections", "DNS_TCP_MAX_CONNECTIONS", 10,
            [](ServerConfig& s) -> std::uint32_t& { return s.tcp_max_connections; } },
        { "tcp_max_queries_per_connection", "DNS_TCP_MAX_QUERIES_PER_CONNECTION", 10,
            [](ServerConfig& s) -> std::uint32_t& { return s.tcp_max_queries_per_connection; } },
        { "tcp_max_message_size", "DNS_TCP_MAX_MESSAGE_SIZE", 10,
            [](ServerConfig& s) -> std::uint32_t& { return s.tcp_max_message_size; } },
        { "tcp_max_connections_per_client", "DNS_TCP_MAX_CONNECTIONS_PER_CLIENT", 10,
            [](ServerConfig& s) -> std::uint32_t& { return s.tcp_max_connections_per_client; } },
        { "tcp_handshake_timeout_ms", "DNS_TCP_HANDSHAKE_TIMEOUT_MS", 10,
            [](ServerConfig& s) -> std::uint32_t& { return s.tcp_handshake_timeout_ms; } },
        { "edns_buffer_size", "DNS_EDNS_BUFFER_SIZE", 10,
            [](ServerConfig& s) -> std::uint32_t& { return s.edns_buffer_size; } },
        { "client_rate_limit", "DNS_CLIENT_RATE_LIMIT", 10,
            [](ServerConfig& s) -> std::uint32_t& { return s.client_rate_limit; } },
        { "client_rate_limit_ipv6_prefix", "DNS_CLIENT_RATE_LIMIT_IPV6_PREFIX", 10,
            [](ServerConfig& s) -> std::uint32_t& { return s.client_rate_limit_ipv6_prefix; } },
    } };

    const U32Setting* findU32Setting(std::string_view key)
    {
        for (const auto& setting : u32_settings) {
            if (setting.key == key)
                return &setting;
        }
        return nullptr;
    }

    ConfigSection sectionFromHeader(std::string_view name)
    {
        constexpr std::string_view zone_prefix = "zone:";
        constexpr std::string_view forward_prefix = "forward:";
        constexpr std::string_view stub_prefix = "stub:";
        constexpr std::string_view rpz_prefix = "rpz:";
        if (name.size() > 4 && name.starts_with(zone_prefix))
            return { ConfigSection::Kind::zone, std::string(name.substr(zone_prefix.size())) };
        if (name.starts_with(forward_prefix))
            return { ConfigSection::Kind::forward, std::string(name.substr(forward_prefix.size())) };
        if (name.starts_with(stub_prefix))
            return { ConfigSection::Kind::stub, std::string(name.substr(stub_prefix.size())) };
        if (name.starts_with(rpz_prefix))
            return { ConfigSection::Kind::rpz, std::string(name.substr(rpz_prefix.size())) };
        return { ConfigSection::Kind::named, std::string(name) };
    }

    bool isHexDigit(char c)
    {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }

    // A server cookie secret is 128 bits (RFC 9018 §4.3: SipHash-2-4 takes a 16-byte key). The value
    // is a secret, so the log names its length, never its text.
    ServerResult<void> checkCookieSecret(std::string_view hex, std::string_view key = "cookie_secret_hex")
    {
        if (hex.size() == cookie_secret_hex_digits && std::ranges::all_of(hex, isHexDigit))
            return {};
        logError("Invalid " + std::string(key) + " (" + std::to_string(hex.size())
            + " characters): must be 32 hex digits, a 16-byte secret (RFC 9018 §4.3)");
        return fail(ServerError::InvalidSetting);
    }

    ServerResult<void> checkListenAddr(std::string_view address, std::string_view what)
    {
        auto parsed = parseListenAddr(address);
        if (parsed)
            return {};
        std::string message(what);
        message += " '";
        message += address;
        message += "': ";
        message += dottedErrorName(parsed.error());
        logError(message);
        return fail(ServerError::InvalidListenAddress);
    }

} // namespace

ServerResult<CacheStrategy> cacheStrategyFromStr(std::string_view text)
{
    if (text == "none")
        return CacheStrategy::none;
    if (text == "response")
        return CacheStrategy::response;
    return fail(ServerError::InvalidCacheStrategy);
}

ServerResult<LogLevel> logLevelFromStr(std::string_view text)
{
    if (text == "debug")
        return LogLevel::debug;
    if (text == "info")
        return LogLevel::info;
    if (text == "warn")
        return LogLevel::warn;
    if (text == "error" || text == "err")
        return LogLevel::err;
    return fail(ServerError::InvalidLogLevel);
}

std::string_view logLevelName(LogLevel level)
{
    switch (level) {
    case LogLevel::debug:
        return "debug";
    case LogLevel::info:
        return "info";
    case LogLevel::warn:
        return "warn";
    case LogLevel::err:
        return "error";
    }
    return "info";
}

EnvLookup envLookupFromEnvp(char** envp)
{
    return [envp](std::string_view name) -> std::optional<std::string_view> {
        if (envp == nullptr)
            return std::nullopt;
        for (char** entry = envp; *entry != nullptr; ++entry) {
            std::string_view text(*entry);
            if (text.size() > name.size() && text.starts_with(name) && text[name.size()] == '=')
                return text.substr(name.size() + 1);
        }
        return std::nullopt;
    };
}

ServerResult<std::uint64_t> parseUnsignedText(std::string_view text, unsigned base, std::uint64_t max)
{
    if (text.starts_with('+'))
        text.remove_prefix(1);
    if (!isWellFormedNumber(text, base))
        return fail(ServerError::InvalidCharacter);
    std::uint64_t value = 0;
    for (char c : text) {
        if (c == '_')
            continue;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / base)
            return fail(ServerError::Overflow);
        value = value * base + digit;
    }
    return value;
}

ServerResult<ListenAddr> parseListenAddr(std::string_view text)
{
    if (text.empty())
        return fail(ServerError::InvalidAddress);
    std::string_view host;
    std::string_view port_text;
    if (text.front() == '[') {
        auto close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return fail(ServerError::InvalidAddress);
        host = text.substr(1, close - 1);
        port_text = text.substr(close + 2);
    } else {
        // A bare IPv6 address splits at its last colon: "::1:53" is host "::1", port 53.
        auto colon = text.rfind(':');
        if (colon == std::string_view::npos)
            return fail(ServerError::InvalidAddress);
        host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
    }
    auto port = TRY(parseUnsigned<std::uint16_t>(port_text, 10));
    return ListenAddr { host, port };
}

ServerResult<SocketAddress> parseIpSocketAddress(std::string_view text)
{
    auto parts = TRY(parseListenAddr(text));
    auto address = SocketAddress::fromIpLiteral(parts.host, parts.port);
    if (!address)
        return fail(ServerError::InvalidAddress);
    return *address;
}

ServerResult<SocketAddress> parseForwardTarget(std::string_view text)
{
    constexpr std::uint16_t dns_port = 53;
    if (auto bare = SocketAddress::fromIpLiteral(text, dns_port))
        return *bare;
    auto address = parseIpSocketAddress(text);
    if (!address || address->port() == 0)
        return fail(ServerError::InvalidAddress);
    return *address;
}

ServerResult<bool> Config::parseBool(std::string_view text)
{
    if (text == "true" || text == "1" || text == "yes")
        return true;
    if (text == "false" || text == "0" || text == "no")
        return false;
    return fail(ServerError::InvalidBoolean);
}

ServerResult<Config> Config::loadFromFileWithEnv(std::string_view path, const EnvLookup& env)
{
    auto config = TRY(loadFromFile(path));
    TRY_VOID(config.applyEnvironment(env));
    TRY_VOID(config.validate());
    return config;
}

ServerError logUnreadableFile(std::string_view what, std::string_view path, FileError e)
{
    const ServerError kind = fileErrorAs<ServerError>(e);
    logError("Cannot read " + std::string(what) + " " + std::string(path) + ": " + dottedErrorName(kind));
    return kind;
}

ServerResult<Config> Config::loadFromFile(std::string_view path)
{
    try {
        auto text = readWholeFile(path, max_file_size);
        if (!text)
            return fail(logUnreadableFile("configuration file", path, text.error()));
        return parseConfig(*text, path);
    } catch (const std::bad_alloc&) {
        return fail(ServerError::OutOfMemory);
    }
}

ServerResult<Config> Config::parseConfig(std::string_view text, std::string_view origin)
{
    try {
        Config config;
        ConfigSection section;
        for (std::size_t number = 1; !text.empty(); ++number) {
            auto end = text.find('\n');
            auto line = text.substr(0, end);
            text = end == std::string_view::npos ? std::string_view {} : text.substr(end + 1);
            if (auto parsed = config.parseLine(section, line, number); !parsed) {
                logLineError(origin, number, line, section, parsed.error());
                return fail(parsed.error());
            }
        }
        TRY_VOID(config.checkForwardZonesHaveServers(origin));
        TRY_VOID(config.checkRpzZonesHaveFiles(origin));
        return config;
    } catch (const std::bad_alloc&) {
        return fail(ServerError::OutOfMemory);
    }
}

// "FILE:LINE: key 'value': error.Kind", so that an operator finds the line without guessing.
void Config::logLineError(std::string_view origin, std::size_t number, std::string_view line,
    const ConfigSection& section, ServerError e)
{
    line = trim(line);
    const auto equals = line.find('=');
    const auto key = trim(line.substr(0, equals));
    const auto value = equals == std::string_view::npos ? std::string_view {} : trim(line.substr(equals + 1));
    std::string message(origin.empty() ? "line" : origin);
    message += (origin.empty() ? " " : ":") + std::to_string(number) + ": ";
    if (line.starts_with('['))
        message += std::string(line); // a section header: no key, no value
    else if (key == "cookie_secret_hex" || key == "cookie_secret_previous_hex")
        message += std::string(key) + " (not shown)"; // a secret stays out of the log
    else
        message += std::string(key) + " '" + std::string(value) + "'";
    if (e == ServerError::UnknownConfigSection)
        message += " in [" + section.name + "]";
    message += ": " + dottedErrorName(e);
    if (value.find(" #") != std::string_view::npos || value.find("\t#") != std::string_view::npos)
        message += " (comments take whole lines: put it on a line of its own)";
    logError(message);
}

ServerResult<void> Config::parseLine(ConfigSection& section, std::string_view line, std::size_t number)
{
    line = trim(line);
    // Comments take whole lines only: a '#' after a value belongs to the value.
    if (line.empty() || line.front() == '#')
        return {};
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
        section = sectionFromHeader(line.substr(1, line.size() - 2));
        if (section.kind == ConfigSection::Kind::forward || section.kind == ConfigSection::Kind::stub)
            return openForwardZone(section, number);
        if (section.kind == ConfigSection::Kind::rpz)
            return openRpzZone(section, number);
        return {};
    }
    auto equals = line.find('=');
    auto key = trim(line.substr(0, equals));
    auto value = equals == std::string_view::npos ? std::string_view {} : trim(line.substr(equals + 1));
    if (key.empty() || value.empty())
        return {};
    return parseKeyValue(section, key, value);
}

ServerResult<void> Config::parseKeyValue(
    const ConfigSection& section, std::string_view key, std::string_view value)
{
    try {
        switch (section.kind) {
        case ConfigSection::Kind::none:
            return {};
        case ConfigSection::Kind::zone:
            if (key != "file")
                return fail(ServerError::UnknownConfigKey);
            return setZoneFile(section.name, value);
        case ConfigSection::Kind::forward:
        case ConfigSection::Kind::stub:
            return parseForwardZoneKey(section, key, value);
        case ConfigSection::Kind::rpz:
            return parseRpzZoneKey(section, key, value);
        case ConfigSection::Kind::named:
            if (section.name == "server")
                return parseServerKey(key, value);
            if (section.name != "logging")
                return fail(ServerError::UnknownConfigSection);
            if (key != "level")
                return fail(ServerError::UnknownConfigKey);
            logging.level = TRY(logLevelFromStr(value));
            return {};
        }
        return {};
    } catch (const std::bad_alloc&) {
        return fail(ServerError::OutOfMemory);
    }
}

ServerResult<void> Config::parseServerKey(std::string_view key, std::string_view value)
{
    if (const auto* setting = findU32Setting(key)) {
        setting->field(server) = TRY(parseUnsigned<std::uint32_t>(value, setting->base));
        return {};
    }
    if (key == "listen")
        server.listen_addrs.emplace_back(value);
    else if (key == "threads")
        server.threads = TRY(parseUnsigned<std::size_t>(value, 10));
    else if (key == "expose_zones")
        server.expose_zones = TRY(parseBool(value));
    else if (key == "cookie_secret_hex")
        server.cookie_secret_hex = std::string(value);
    else if (key == "cookie_secret_previous_hex")
        server.cookie_secret_previous_hex = std::string(value);
    else if (key == "cookie_require")
        server.cookie_require = TRY(parseBool(value));
    else if (key == "dnssec_validation")
        server.recursor.dnssec_validation = TRY(parseBool(value));
    else if (key == "http_listen")
        server.recursor.http_listen = std::string(value);
    else if (key == "user")
        server.user = std::string(value);
    else if (key == "allow")
        server.allow.emplace_back(value);
    else if (key == "http_allow")
        server.http_allow.emplace_back(value);
    else if (key == "log_queries")
        server.log_queries = TRY(parseBool(value));
    else if (key == "tls_listen")
        server.tls_listen = std::string(value);
    else if (key == "tls_cert_file")
        server.tls_cert_file = std::string(value);
    else if (key == "tls_key_file")
        server.tls_key_file = std::string(value);
    else if (key == "doh_listen")
        server.doh_listen = std::string(value);
    else if (key == "control_socket_path")
        server.recursor.control_socket_path = std::string(value);
    else if (key == "cache_strategy")
        cache.strategy = TRY(cacheStrategyFromStr(value));
    else if (key == "cache_max_bytes")
        cache.max_bytes = TRY(parseUnsigned<std::uint64_t>(value, 10));
    else if (key == "serve_stale")
        cache.serve_stale = TRY(parseBool(value));
    else if (key == "serve_stale_max_age")
        cache.serve_stale_max_age = TRY(parseUnsigned<std::uint32_t>(value, 10));
    else if (key == "prefetch")
        cache.prefetch = TRY(parseBool(value));
    else if (key == "cache_file")
        cache.file = std::string(value);
    else if (key == "root_hints_file")
        server.recursor.root_hints_file = std::string(value);
    else if (key == "trust_anchor_file")
        server.recursor.trust_anchor_file = std::string(value);
    else if (key == "cache_max_ttl")
        server.recursor.limits.cache_max_ttl = TRY(parseUnsigned<std::uint32_t>(value, 10));
    else if (key == "cache_max_negative_ttl")
        server.recursor.limits.cache_max_negative_ttl = TRY(parseUnsigned<std::uint32_t>(value, 10));
    else if (key == "bogus_ttl")
        server.recursor.limits.bogus_ttl = TRY(parseUnsigned<std::uint32_t>(value, 10));
    else if (key == "aggressive_nsec")
        server.recursor.limits.aggressive_nsec = TRY(parseBool(value));
    else if (key == "allow_loopback_nameservers")
        server.recursor.limits.allow_loopback_nameservers = TRY(parseBool(value));
    else if (key == "qname_minimisation")
        server.recursor.limits.qname_minimisation = TRY(parseBool(value));
    else
        return fail(ServerError::UnknownConfigKey);
    return {};
}

ServerResult<void> Config::setZoneFile(std::string_view zone_name, std::string_view file)
{
    for (auto& zone : zones) {
        if (zone.name == zone_name) {
            zone.file = file;
            return {};
        }
    }
    zones.push_back({ std::string(zone_name), std::string(file) });
    return {};
}

// A section named twice continues the first, unless one is [forward:] and the other [stub:]: the same
// zone cannot be both.
ServerResult<void> Config::openForwardZone(const ConfigSection& section, std::size_t number)
{
    const bool recursive = section.kind == ConfigSection::Kind::forward;
    if (section.name.empty() || section.name.back() != '.' || !DnsName::fromText(section.name))
        return fail(ServerError::InvalidZoneName);
    for (const auto& zone : forward_zones) {
        if (zone.name == section.name)
            return zone.recursive == recursive ? ServerResult<void> {} : fail(ServerError::InvalidSetting);
    }
    forward_zones.push_back({ .name = section.name, .recursive = recursive, .servers = {}, .line = number });
    return {};
}

ServerResult<void> Config::parseForwardZoneKey(
    const ConfigSection& section, std::string_view key, std::string_view value)
{
    auto zone = std::ranges::find(forward_zones, section.name, &ForwardZoneConfig::name);
    if (zone == forward_zones.end())
        return fail(ServerError::InvalidZoneName); // the header failed: nothing to add to
    if (key == "server") {
        if (zone->servers.size() == NameserverSet::capacity)
            return fail(ServerError::InvalidSetting);
        zone->servers.push_back(TRY(parseForwardTarget(value)));
    } else if (key == "insecure") {
        zone->insecure = TRY(parseBool(value));
    } else {
        return fail(ServerError::UnknownConfigKey);
    }
    return {};
}

ServerResult<void> Config::checkForwardZonesHaveServers(std::string_view origin) const
{
    for (const auto& zone : forward_zones) {
        if (!zone.servers.empty())
            continue;
        logError(std::string(origin.empty() ? "line" : origin) + (origin.empty() ? " " : ":")
            + std::to_string(zone.line) + ": [" + (zone.recursive ? "forward:" : "stub:") + zone.name
            + "] names no server: add a line 'server = ADDR' or 'server = ADDR:PORT': "
            + dottedErrorName(ServerError::InvalidSetting));
        return fail(ServerError::InvalidSetting);
    }
    return {};
}

// Unlike a zone or forward section, a policy section named twice is an error: its place in the file is
// its rank among the policy zones, and a second header would leave that rank in doubt.
ServerResult<void> Config::openRpzZone(const ConfigSection& section, std::size_t number)
{
    if (section.name.empty() || section.name.back() != '.' || !DnsName::fromText(section.name))
        return fail(ServerError::InvalidZoneName);
    if (std::ranges::find(rpz_zones, section.name, &RpzZoneConfig::name) != rpz_zones.end())
        return fail(ServerError::InvalidSetting);
    rpz_zones.push_back({ .name = section.name, .file = {}, .line = number });
    return {};
}

ServerResult<void> Config::parseRpzZoneKey(
    const ConfigSection& section, std::string_view key, std::string_view value)
{
    auto zone = std::ranges::find(rpz_zones, section.name, &RpzZoneConfig::name);
    if (zone == rpz_zones.end())
        return fail(ServerError::InvalidZoneName); // the header failed: nothing to add to
    if (key != "file")
        return fail(ServerError::UnknownConfigKey);
    if (!zone->file.empty())
        return fail(ServerError::InvalidSetting); // one file per policy zone
    zone->file = std::string(value);
    return {};
}

ServerResult<void> Config::checkRpzZonesHaveFiles(std::string_view origin) const
{
    for (const auto& zone : rpz_zones) {
        if (!zone.file.empty())
            continue;
        logError(std::string(origin.empty() ? "line" : origin) + (origin.empty() ? " " : ":")
            + std::to_string(zone.line) + ": [rpz:" + zone.name
            + "] names no file: add a line 'file = PATH': " + dottedErrorName(ServerError::InvalidSetting));
        return fail(ServerError::InvalidSetting);
    }
    return {};
}

ServerResult<void> Config::applyEnvironment(const EnvLookup& env)
{
    if (!env)
        return {};
    // The variable last read is the one that failed.
    std::string_view last_read;
    const EnvLookup lookup = [&](std::string_view name) {
        last_read = name;
        return env(name);
    };
    auto applied = applyEnvironmentVariables(lookup);
    if (!applied && !last_read.empty()) {
        const bool secret = last_read == "DNS_COOKIE_SECRET_HEX";
        logError("Invalid " + std::string(last_read)
            + (secret ? "" : " '" + std::string(env(last_read).value_or("")) + "'") + ": "
            + dottedErrorName(applied.error()));
    }
    return applied;
}

ServerResult<void> Config::applyEnvironmentVariables(const EnvLookup& lookup)
{
    try {
        if (auto value = lookup("DNS_LISTEN")) {
            server.listen_addrs.clear();
            auto rest = *value;
            while (true) {
                auto comma = rest.find(',');
                auto piece = trim(rest.substr(0, comma));
                if (!piece.empty())
                    server.listen_addrs.emplace_back(piece);
                if (comma == std::string_view::npos)
                    break;
                rest.remove_prefix(comma + 1);
            }
        }
        if (auto value = lookup("DNS_THREADS"))
            server.threads = TRY(parseUnsigned<std::size_t>(*value, 10));
        if (auto value = lookup("DNS_LOG_LEVEL"))
            logging.level = TRY(logLevelFromStr(*value));
        if (auto value = lookup("DNS_CACHE_STRATEGY"))
            cache.strategy = TRY(cacheStrategyFromStr(*value));
        if (auto value = lookup("DNS_COOKIE_SECRET_HEX"))
            server.cookie_secret_hex = std::string(*value);
        for (const auto& setting : u32_settings) {
            if (auto value = lookup(setting.env_var))
                setting.field(server) = TRY(parseUnsigned<std::uint32_t>(*value, setting.base));
        }
        return {};
    } catch (const std::bad_alloc&) {
        return fail(ServerError::OutOfMemory);
    }
}

namespace {

    // Values that would leave the control socket unusable: every command timing out at once, every
    // connection refused, or a mode that is not a set of permission bits.
    ServerResult<void> checkControlSocketSettings(const ControlSocketConfig& control)
    {
        auto refuse = [](std::string_view key, std::string_view value, std::string_view rule) {
            logError("Invalid " + std::string(key) + " '" + std::string(value) + "': " + std::string(rule));
            return fail(ServerError::InvalidSetting);
        };
        if (control.socket_mode > 0777) {
            char octal[16];
            std::snprintf(octal, sizeof octal, "%o", control.socket_mode);
            return refuse("control_socket_mode", octal, "must be octal permission bits from 0 to 777");
        }
        const std::pair<std::string_view, std::uint32_t> at_least_one[] = {
            { "control_socket_read_timeout_ms", control.read_timeout_ms },
            { "control_socket_write_timeout_ms", control.write_timeout_ms },
            { "control_socket_max_connections", control.max_connections },
        };
        for (const auto& [key, value] : at_least_one) {
            if (value == 0)
                return refuse(key, "0", "must be at least 1");
        }
        return {};
    }

    // Lifetimes outside their range: nothing cached at all where a cache must keep something, or
    // answers kept far longer than anything upstream could vouch for.
    ServerResult<void> checkAnswerLimits(const AnswerLimits& limits)
    {
        struct Range {
            std::string_view key;
            std::uint32_t value;
            std::uint32_t min;
            std::uint32_t max;
        };
        const Range ranges[] = {
            { "cache_max_ttl", limits.cache_max_ttl, min_cache_max_ttl, max_cache_max_ttl },
            { "cache_max_negative_ttl", limits.cache_max_negative_ttl, 0, max_cache_max_negative_ttl },
            { "bogus_ttl", limits.bogus_ttl, 0, max_bogus_ttl },
        };
        for (const Range& r : ranges) {
            if (r.value >= r.min && r.value <= r.max)
                continue;
            logError("Invalid " + std::string(r.key) + " '" + std::to_string(r.value) + "': must be from "
                + std::to_string(r.min) + " to " + std::to_string(r.max));
            return fail(ServerError::InvalidSetting);
        }
        return {};
    }

} // namespace

ServerResult<void> Config::validate() const
{
    try {
        if (server.recursor.http_listen)
            TRY_VOID(checkListenAddr(*server.recursor.http_listen, "Invalid recursor http_listen"));
        for (const auto& address : server.listen_addrs)
            TRY_VOID(checkListenAddr(address, "Invalid listen address"));
        if (server.tls_listen)
            TRY_VOID(checkListenAddr(*server.tls_listen, "Invalid tls_listen address"));
        if (server.doh_listen)
            TRY_VOID(checkListenAddr(*server.doh_listen, "Invalid doh_listen address"));
        if (!AccessList::parse(server.allow) || !AccessList::parse(server.http_allow)) {
            logError("allow and http_allow take address prefixes such as 192.0.2.0/24 or 2001:db8::/32");
            return fail(ServerError::InvalidAddress);
        }
        if (server.client_rate_limit_ipv6_prefix < ClientRateLimit::min_ipv6_prefix_bits
            || server.client_rate_limit_ipv6_prefix > ClientRateLimit::max_ipv6_prefix_bits) {
            logError("client_rate_limit_ipv6_prefix must be 32 to 128");
            return fail(ServerError::InvalidSetting);
        }
        if (server.edns_buffer_size < 512 || server.edns_buffer_size > 4096) {
            logError("Invalid edns_buffer_size '" + std::to_string(server.edns_buffer_size)
                + "': must be from 512 to 4096");
            return fail(ServerError::InvalidSetting);
        }
        if (server.cookie_secret_hex)
            TRY_VOID(checkCookieSecret(*server.cookie_secret_hex));
        if (server.cookie_secret_previous_hex)
            TRY_VOID(checkCookieSecret(*server.cookie_secret_previous_hex, "cookie_secret_previous_hex"));
        if (server.tcp_max_message_size < 12 || server.tcp_max_message_size > 65535
            || server.tcp_timeout_ms == 0 || server.tcp_max_queries_per_connection == 0) {
            logError("tcp_max_message_size must be 12 to 65535; tcp_timeout_ms and "
                     "tcp_max_queries_per_connection at least 1");
            return fail(ServerError::InvalidSetting);
        }
        // No share at all would shut every client out of TCP, and no time at all every connection.
        for (const auto& [key, value] :
            { std::pair<std::string_view, std::uint32_t> {
                  "tcp_max_connections_per_client", server.tcp_max_connections_per_client },
                { "tcp_handshake_timeout_ms", server.tcp_handshake_timeout_ms } }) {
            if (value == 0) {
                logError("Invalid " + std::string(key) + " '0': must be at least 1");
                return fail(ServerError::InvalidSetting);
            }
        }
        TRY_VOID(checkControlSocketSettings(server.control_socket));
        TRY_VOID(checkAnswerLimits(server.recursor.limits));
        for (const auto& zone : zones) {
            if (zone.name.empty() || zone.name.back() != '.') {
                logError("Zone name must end with '.': " + zone.name);
                return fail(ServerError::InvalidZoneName);
            }
        }
        return {};
    } catch (const std::bad_alloc&) {
        return fail(ServerError::OutOfMemory);
    }
}

} // namespace recursor
