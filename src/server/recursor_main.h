// The program's entry point: command line, configuration, server start-up and orderly teardown.
#pragma once

#include "base/socket_address.h"
#include "server/config.h"
#include "server/recursor_server.h"
#include "server/server_error.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace recursor {

// The parsed command line. The strings point into the process's argument strings.
struct CliOptions {
    std::optional<std::string_view> config_path;
    std::optional<std::string_view> control_socket_path;
    std::optional<std::string_view> root_hints_path;
    std::optional<std::string_view> trust_anchor_path;
    std::vector<SocketAddress> listen_addrs; // repeatable; replaces the config file's listen lines
    std::optional<SocketAddress> http_listen_addr;
    std::optional<SocketAddress> tls_listen_addr;
    std::optional<SocketAddress> doh_listen_addr;
    std::vector<std::string> allow; // replaces the config file's allow lines when given
    std::optional<std::string_view> user;
    bool show_help { false };
    std::optional<bool> enable_dnssec;
};

inline constexpr std::string_view usage_text
    = "Usage: recursor [options]\n"
      "\n"
      "Options:\n"
      "  -c, --config <path>         Load config file\n"
      "      --listen <addr:port>    UDP and TCP address (repeatable; replaces config)\n"
      "      --http-listen <addr:port> HTTP metrics address\n"
      "      --tls-listen <addr:port> DNS over TLS address (needs tls_cert_file, tls_key_file)\n"
      "      --doh-listen <addr:port> DNS over HTTPS address (the same certificate and key)\n"
      "      --allow <prefix>        Serve clients of this prefix (repeatable; default loopback)\n"
      "      --control-socket <path> Control socket path\n"
      "      --user <name>           Run as this user once the sockets are bound\n"
      "      --root-hints <path>     Root server addresses (root hints file)\n"
      "      --trust-anchor <path>   DNSSEC trust anchor for the root (DS/DNSKEY)\n"
      "      --enable-dnssec         Enable DNSSEC validation\n"
      "      --disable-dnssec        Disable DNSSEC validation\n"
      "  -V, --version               Print the version\n"
      "  -h, --help                  Show this help\n"
      "\n"
      "Config notes:\n"
      "  [server] listen=<addr:port> lines are used when --listen is not set; default 127.0.0.1:5353.\n"
      "  [server] http_listen=, tls_listen=, doh_listen= and control_socket_path= are used when flags are\n"
      "  omitted.\n"
      "  SIGHUP re-reads the configuration, its zone files and the trust anchors, as RELOAD does; see "
      "recursor(8).\n";

// True when any argument is exactly "--version" or "-V"; checked before anything else is parsed.
[[nodiscard]] bool versionRequested(std::span<const std::string_view> args);

// Parses the arguments after the program name. Options match exactly; a later occurrence overwrites an
// earlier one. Unknown words and options without their value are InvalidArgs; listen addresses fail
// with their parser's error kind.
[[nodiscard]] ServerResult<CliOptions> parseArgs(std::span<const std::string_view> args);

void printUsage();
void printVersion();

// What SIGHUP and RELOAD run (through RecursorServer::reload, one at a time): the configuration file
// (when named) read anew for the log level, every [zone:] file, the [forward:] and [stub:] sections and
// the response policy, and the trust anchors (from the flag, the file's trust_anchor_file, or the
// built-in keys). Each is read aside and swapped in whole. A configuration or anchor file that fails
// changes nothing; a zone file that fails keeps that zone's old data while the others update. Logs the
// outcome and returns RELOAD's reply: "OK reloaded: ..." or "ERROR: ..." with each FILE:LINE: problem.
// `env` is consulted as at start-up.
std::string reloadSettings(RecursorServer& server, const CliOptions& cli, const EnvLookup& env);

// Loads and validates the named configuration with its environment overrides; without --config
// neither the file system nor `env` is consulted.
[[nodiscard]] ServerResult<std::optional<Config>> loadConfigIfNamed(
    const CliOptions& cli, const EnvLookup& env);

// Merges flag, configuration and built-in default, in that order of precedence.
[[nodiscard]] ServerResult<RecursorServer::InitOptions> buildInitOptions(
    const CliOptions& cli, const std::optional<Config>& config);

// Returns the process exit status: 0, or 1 after logging the error kind's name.
int recursorMain(int argc, char** argv, char** envp);

} // namespace recursor
