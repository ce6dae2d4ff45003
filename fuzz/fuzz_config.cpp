// Reads arbitrary bytes as a configuration file, optionally followed by environment variables: the
// text up to the first NUL is the file, the rest NUL-separated NAME=value pairs (DNS_LISTEN, ...).
// Parsing must give the same settings (or the same error) when the lines end in CRLF; the settings
// parsed, written out as a file again, must parse to the same settings; and whatever validate() accepts
// once the environment has overridden them must lie in the ranges it promises; the addresses to listen
// on must read back from the text they print as.
#include "fuzz_text.h"
#include "server/access_list.h"
#include "server/config.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using recursor::Config;
using recursor::ServerResult;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_config: %s\n", what);
    std::abort();
}

void line(std::string& out, std::string_view key, std::string_view value)
{
    out.append(key).append(" = ").append(value).append("\n");
}

void number(std::string& out, std::string_view key, std::uint64_t value, bool octal = false)
{
    char text[32];
    std::snprintf(text, sizeof text, octal ? "%llo" : "%llu", static_cast<unsigned long long>(value));
    line(out, key, text);
}

void optional(std::string& out, std::string_view key, const std::optional<std::string>& value)
{
    if (value)
        line(out, key, *value);
}

std::string_view levelName(recursor::LogLevel level)
{
    switch (level) {
    case recursor::LogLevel::debug:
        return "debug";
    case recursor::LogLevel::info:
        return "info";
    case recursor::LogLevel::warn:
        return "warn";
    case recursor::LogLevel::err:
        return "error";
    }
    fail("a log level without a name");
}

// Every setting as a file that parses back to it.
std::string configText(const Config& config)
{
    const auto& s = config.server;
    const auto& r = s.recursor;
    std::string out = "[server]\n";
    for (const auto& address : s.listen_addrs)
        line(out, "listen", address);
    for (const auto& prefix : s.allow)
        line(out, "allow", prefix);
    for (const auto& prefix : s.http_allow)
        line(out, "http_allow", prefix);
    number(out, "threads", s.threads);
    optional(out, "cookie_secret_hex", s.cookie_secret_hex);
    optional(out, "http_listen", r.http_listen);
    optional(out, "control_socket_path", r.control_socket_path);
    optional(out, "root_hints_file", r.root_hints_file);
    optional(out, "trust_anchor_file", r.trust_anchor_file);
    optional(out, "user", s.user);
    optional(out, "tls_listen", s.tls_listen);
    optional(out, "tls_cert_file", s.tls_cert_file);
    optional(out, "tls_key_file", s.tls_key_file);
    line(out, "dnssec_validation", r.dnssec_validation ? "true" : "false");
    line(out, "expose_zones", s.expose_zones ? "yes" : "no");
    line(out, "aggressive_nsec", r.limits.aggressive_nsec ? "1" : "0");
    line(out, "allow_loopback_nameservers", r.limits.allow_loopback_nameservers ? "true" : "false");
    number(out, "cache_max_ttl", r.limits.cache_max_ttl);
    number(out, "cache_max_negative_ttl", r.limits.cache_max_negative_ttl);
    number(out, "bogus_ttl", r.limits.bogus_ttl);
    number(out, "control_socket_mode", s.control_socket.socket_mode, true);
    number(out, "control_socket_read_timeout_ms", s.control_socket.read_timeout_ms);
    number(out, "control_socket_write_timeout_ms", s.control_socket.write_timeout_ms);
    number(out, "control_socket_max_connections", s.control_socket.max_connections);
    number(out, "tcp_timeout_ms", s.tcp_timeout_ms);
    number(out, "tcp_max_connections", s.tcp_max_connections);
    number(out, "tcp_max_queries_per_connection", s.tcp_max_queries_per_connection);
    number(out, "tcp_max_message_size", s.tcp_max_message_size);
    number(out, "edns_buffer_size", s.edns_buffer_size);
    number(out, "client_rate_limit", s.client_rate_limit);
    number(out, "client_rate_limit_ipv6_prefix", s.client_rate_limit_ipv6_prefix);
    number(out, "tcp_max_connections_per_client", s.tcp_max_connections_per_client);
    number(out, "tcp_handshake_timeout_ms", s.tcp_handshake_timeout_ms);
    line(out, "log_queries", s.log_queries ? "yes" : "no");
    line(out, "cache_strategy", config.cache.strategy == recursor::CacheStrategy::none ? "none" : "response");
    number(out, "cache_max_bytes", config.cache.max_bytes);
    out.append("[logging]\n");
    line(out, "level", levelName(config.logging.level));
    for (const auto& zone : config.zones) {
        out.append("[zone:").append(zone.name).append("]\n");
        line(out, "file", zone.file);
    }
    return out;
}

std::string outcome(const ServerResult<Config>& parsed)
{
    return parsed ? configText(*parsed) : "error." + std::string(recursor::errorName(parsed.error()));
}

// What validate() promises about a configuration it lets through.
void expectValidRanges(const Config& config)
{
    const auto& s = config.server;
    const auto& limits = s.recursor.limits;
    // No listen line is fine: the default address is used.
    bool ok = s.edns_buffer_size >= 512 && s.edns_buffer_size <= 4096
        && s.tcp_max_message_size >= 12 && s.tcp_max_message_size <= 65535 && s.tcp_timeout_ms > 0
        && s.tcp_max_queries_per_connection > 0 && s.control_socket.socket_mode <= 0777
        && s.control_socket.read_timeout_ms > 0 && s.control_socket.write_timeout_ms > 0
        && s.control_socket.max_connections > 0 && limits.cache_max_ttl >= recursor::min_cache_max_ttl
        && limits.cache_max_ttl <= recursor::max_cache_max_ttl
        && limits.cache_max_negative_ttl <= recursor::max_cache_max_negative_ttl
        && limits.bogus_ttl <= recursor::max_bogus_ttl && recursor::AccessList::parse(s.allow).has_value()
        && recursor::AccessList::parse(s.http_allow).has_value() && s.tcp_max_connections_per_client > 0
        && s.tcp_handshake_timeout_ms > 0 && s.client_rate_limit_ipv6_prefix >= 32
        && s.client_rate_limit_ipv6_prefix <= 128;
    if (s.cookie_secret_hex)
        ok = ok && s.cookie_secret_hex->size() == recursor::cookie_secret_hex_digits
            && s.cookie_secret_hex->find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    for (const auto& address : s.listen_addrs)
        ok = ok && recursor::parseListenAddr(address).has_value();
    for (const auto& zone : config.zones)
        ok = ok && !zone.name.empty() && zone.name.back() == '.';
    if (!ok)
        fail("validate() let an out-of-range setting through");
}

// The addresses start-up binds: an address that parses must print as text that parses to it again.
void expectAddressesReadBack(const Config& config)
{
    std::vector<std::string_view> texts(config.server.listen_addrs.begin(), config.server.listen_addrs.end());
    for (const auto* text : { &config.server.recursor.http_listen, &config.server.tls_listen }) {
        if (*text)
            texts.push_back(**text);
    }
    for (const std::string_view text : texts) {
        const auto address = recursor::parseIpSocketAddress(text);
        if (!address)
            continue;
        const auto again = recursor::parseIpSocketAddress(address->toString());
        if (!again || !(*again == *address))
            fail("a listen address does not read back from its text");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool quiet = (recursor::setLogThreshold(recursor::LogLevel::err), true);
    (void)quiet;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string_view text = input.substr(0, input.find('\0'));
    std::vector<std::pair<std::string_view, std::string_view>> env;
    for (std::string_view rest = input.substr(std::min(input.size(), text.size() + 1)); !rest.empty();) {
        const std::string_view entry = rest.substr(0, rest.find('\0'));
        rest.remove_prefix(std::min(rest.size(), entry.size() + 1));
        if (const std::size_t equals = entry.find('='); equals != std::string_view::npos)
            env.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
    }

    auto parsed = Config::parseConfig(text);
    if (outcome(parsed) != outcome(Config::parseConfig(recursor::fuzz::withCrlf(text))))
        fail("CRLF line ends change the settings");
    if (!parsed)
        return 0;
    const std::string written = configText(*parsed);
    if (outcome(Config::parseConfig(written)) != written)
        fail("the settings written out parse to other settings");
    const recursor::EnvLookup lookup = [&env](std::string_view name) -> std::optional<std::string_view> {
        for (const auto& [key, value] : env) {
            if (key == name)
                return value;
        }
        return std::nullopt;
    };
    if (!parsed->applyEnvironment(lookup))
        return 0;
    if (parsed->validate())
        expectValidRanges(*parsed);
    expectAddressesReadBack(*parsed);
    return 0;
}
