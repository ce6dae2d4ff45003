#include "server/recursor_main.h"

#include "support/scratch_dir.h"
#include <gmock/gmock.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace recursor {
namespace {

    using test::ScratchDir;

    using Args = std::vector<std::string_view>;

    ServerResult<CliOptions> parse(const Args& args)
    {
        return parseArgs(args);
    }

    CliOptions parsedOk(const Args& args)
    {
        auto options = parseArgs(args);
        EXPECT_TRUE(options.has_value()) << errorName(options.error());
        return options.value_or(CliOptions {});
    }

    Config configFrom(std::string_view text)
    {
        auto config = Config::parseConfig(text);
        EXPECT_TRUE(config.has_value()) << errorName(config.error());
        return config.value_or(Config {});
    }

    struct RunResult {
        int exit_status { -1 };
        std::string out;
        std::string err;
    };

    // Runs the built program with a clean environment (plus `env`) and collects both output streams.
    // None of these runs may reach the serving loop: a run that does is killed and reported.
    RunResult runProgram(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
    {
        RunResult result;
        int out_pipe[2];
        int err_pipe[2];
        if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2 failed";
            return result;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

        std::vector<std::string> env_strings = env;
        for (const char* name : { "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS" }) {
            if (const char* value = std::getenv(name))
                env_strings.push_back(std::string(name) + "=" + value);
        }
        std::string binary = RECURSOR_BINARY;
        std::vector<char*> argv { binary.data() };
        std::vector<std::string> arg_strings = args;
        for (auto& arg : arg_strings)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& entry : env_strings)
            envp.push_back(entry.data());
        envp.push_back(nullptr);

        pid_t pid = -1;
        int spawned = ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(out_pipe[1]);
        ::close(err_pipe[1]);
        if (spawned != 0) {
            ADD_FAILURE() << "posix_spawn failed: " << spawned;
            ::close(out_pipe[0]);
            ::close(err_pipe[0]);
            return result;
        }

        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        pollfd fds[2] = { { out_pipe[0], POLLIN, 0 }, { err_pipe[0], POLLIN, 0 } };
        std::string* sinks[2] = { &result.out, &result.err };
        int open_streams = 2;
        while (open_streams > 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "recursor did not exit; killing it";
                ::kill(pid, SIGKILL);
                break;
            }
            if (::poll(fds, 2, 1000) < 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0)
                    continue;
                char buffer[4096];
                ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open_streams;
                }
            }
        }
        for (auto& fd : fds) {
            if (fd.fd >= 0)
                ::close(fd.fd);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }

    constexpr std::string_view version_line = "dovu-recursor 0.1.11\n";

    // The usage text grew a -V line, the repeatable --listen, the default address, SIGHUP and
    // --doh-listen (two lines: the flag, and the config note that no longer fits on one).
    TEST(UsageText, HasThreeBlocksNamingEveryFlag)
    {
        EXPECT_EQ(std::count(usage_text.begin(), usage_text.end(), '\n'), 23);
        EXPECT_TRUE(usage_text.starts_with("Usage: recursor [options]\n\nOptions:\n"));
        EXPECT_NE(usage_text.find("  -h, --help                  Show this help\n\nConfig notes:\n"),
            std::string_view::npos);
        for (std::string_view flag : { "--config", "--listen", "--http-listen", "--tls-listen",
                 "--doh-listen", "--allow", "--control-socket", "--user", "--root-hints", "--trust-anchor",
                 "--enable-dnssec", "--disable-dnssec", "--version", "--help", "127.0.0.1:5353", "SIGHUP" }) {
            EXPECT_NE(usage_text.find(flag), std::string_view::npos) << flag;
        }
        EXPECT_TRUE(usage_text.ends_with("see recursor(8).\n"));
    }

    TEST(VersionRequested, LooksForAnExactVersionWordAnywhere)
    {
        EXPECT_TRUE(versionRequested(Args { "-V" }));
        EXPECT_TRUE(versionRequested(Args { "--bogus", "--version" }));
        EXPECT_TRUE(versionRequested(Args { "--listen", "--version" })); // even in a value position
        EXPECT_FALSE(versionRequested(Args {}));
        EXPECT_FALSE(versionRequested(Args { "-v", "--Version", "--version=1", "-V1", "--versions" }));
    }

    // The flag takes the configuration file's words (Config::parseBool); a bad one is InvalidArgs.
    TEST(ParseArgs, EnableDnssecAcceptsSixLowerCaseWordsOnly)
    {
        const auto flagged = [](std::string_view text) {
            const std::string flag = "--enable-dnssec=" + std::string(text);
            return parse({ flag });
        };
        for (std::string_view text : { "true", "1", "yes" })
            EXPECT_EQ(flagged(text)->enable_dnssec, true) << text;
        for (std::string_view text : { "false", "0", "no" })
            EXPECT_EQ(flagged(text)->enable_dnssec, false) << text;
        for (std::string_view text : { "YES", "True", "on", "", "01" }) {
            SCOPED_TRACE(text);
            ASSERT_FALSE(flagged(text).has_value());
            EXPECT_EQ(flagged(text).error(), ServerError::InvalidArgs);
        }
    }

    TEST(ParseArgs, LeavesEverythingEmptyWithoutArguments)
    {
        CliOptions options = parsedOk({});
        EXPECT_FALSE(options.config_path);
        EXPECT_FALSE(options.control_socket_path);
        EXPECT_TRUE(options.listen_addrs.empty());
        EXPECT_FALSE(options.http_listen_addr);
        EXPECT_FALSE(options.show_help);
        EXPECT_FALSE(options.enable_dnssec);
    }

    TEST(ParseArgs, ReadsEveryOptionInBothValueForms)
    {
        CliOptions separate
            = parsedOk({ "-c", "a.conf", "--listen", "127.0.0.1:53", "--http-listen", "[::1]:8080",
                "--control-socket", "/run/c.sock", "--disable-dnssec", "-h", "--root-hints", "r.hints" });
        EXPECT_EQ(separate.root_hints_path, "r.hints");
        EXPECT_EQ(separate.config_path, "a.conf");
        ASSERT_EQ(separate.listen_addrs.size(), 1u);
        EXPECT_EQ(separate.listen_addrs[0].toString(), "127.0.0.1:53");
        EXPECT_EQ(separate.http_listen_addr->toString(), "[::1]:8080");
        EXPECT_EQ(separate.control_socket_path, "/run/c.sock");
        EXPECT_EQ(separate.enable_dnssec, false);
        EXPECT_TRUE(separate.show_help);

        CliOptions joined
            = parsedOk({ "--config=b.conf", "--listen=10.0.0.1:5353", "--http-listen=127.0.0.1:0",
                "--control-socket=c.sock", "--enable-dnssec=yes", "--help", "--root-hints=s.hints" });
        EXPECT_EQ(joined.root_hints_path, "s.hints");
        EXPECT_EQ(joined.config_path, "b.conf");
        ASSERT_EQ(joined.listen_addrs.size(), 1u);
        EXPECT_EQ(joined.listen_addrs[0].toString(), "10.0.0.1:5353");
        EXPECT_EQ(joined.http_listen_addr->toString(), "127.0.0.1:0");
        EXPECT_EQ(joined.control_socket_path, "c.sock");
        EXPECT_EQ(joined.enable_dnssec, true);
        EXPECT_TRUE(joined.show_help);

        EXPECT_EQ(parsedOk({ "--trust-anchor", "a.ds" }).trust_anchor_path, "a.ds");
        EXPECT_EQ(parsedOk({ "--trust-anchor=b.key" }).trust_anchor_path, "b.key");
        EXPECT_EQ(parsedOk({ "--config", "d.conf" }).config_path, "d.conf");
        EXPECT_EQ(parsedOk({ "--config=" }).config_path, "");
        EXPECT_EQ(parsedOk({ "--control-socket=" }).control_socket_path, "");
        EXPECT_EQ(parsedOk({ "--enable-dnssec=0" }).enable_dnssec, false);
        // A separate value is taken whatever it looks like.
        CliOptions odd_value = parsedOk({ "--config", "--help" });
        EXPECT_EQ(odd_value.config_path, "--help");
        EXPECT_FALSE(odd_value.show_help);
    }

    TEST(ParseArgs, LetsTheLastOccurrenceWin)
    {
        EXPECT_EQ(parsedOk({ "--disable-dnssec", "--enable-dnssec" }).enable_dnssec, true);
        EXPECT_EQ(parsedOk({ "--enable-dnssec", "--enable-dnssec=no" }).enable_dnssec, false);
        EXPECT_EQ(parsedOk({ "-c", "a", "--config=b" }).config_path, "b");
        EXPECT_EQ(parsedOk({ "--control-socket", "x", "--control-socket=y" }).control_socket_path, "y");
    }

    // --listen used to keep only its last occurrence; every one is kept now, in order.
    TEST(ParseArgs, CollectsEveryListenFlagInIpv4AndBothIpv6Forms)
    {
        auto listen = parsedOk(
            { "--listen=192.0.2.1:53", "--listen=[2001:db8::1]:5353", "--listen", "2001:db8::1:53" })
                          .listen_addrs;
        ASSERT_EQ(listen.size(), 3u);
        EXPECT_EQ(listen[0].family(), AF_INET);
        EXPECT_EQ(listen[0].toString(), "192.0.2.1:53");
        EXPECT_EQ(listen[1].toString(), "[2001:db8::1]:5353");
        // Without brackets the text splits at the last colon.
        EXPECT_EQ(listen[2].toString(), "[2001:db8::1]:53");
    }

    TEST(ParseArgs, RejectsMalformedCommandLinesWithTheExactKind)
    {
        struct Case {
            Args args;
            ServerError error;
        };
        const std::initializer_list<Case> cases {
            { { "word" }, ServerError::InvalidArgs },
            { { "--help", "junk" }, ServerError::InvalidArgs }, // an error wins over --help
            { { "-c=x" }, ServerError::InvalidArgs },
            { { "-c" }, ServerError::InvalidArgs },
            { { "--config" }, ServerError::InvalidArgs },
            { { "--configx" }, ServerError::InvalidArgs },
            { { "--listen" }, ServerError::InvalidArgs },
            { { "--http-listen" }, ServerError::InvalidArgs },
            { { "--control-socket" }, ServerError::InvalidArgs },
            { { "--disable-dnssec=yes" }, ServerError::InvalidArgs },
            { { "--enable-dnssec=YES" }, ServerError::InvalidArgs },
            { { "--enable-dnssec=" }, ServerError::InvalidArgs },
            { { "--HELP" }, ServerError::InvalidArgs },
            { { "-help" }, ServerError::InvalidArgs },
            { { "--help=1" }, ServerError::InvalidArgs },
            { { "--version" }, ServerError::InvalidArgs }, // answered before parsing, never by it
            { { "-" }, ServerError::InvalidArgs },
            { { "--" }, ServerError::InvalidArgs },
            { { "" }, ServerError::InvalidArgs },
            { { "--listen", "localhost:53" }, ServerError::InvalidAddress },
            { { "--listen=localhost:53" }, ServerError::InvalidAddress },
            { { "--listen=" }, ServerError::InvalidAddress },
            { { "--listen=[::1]53" }, ServerError::InvalidAddress },
            { { "--listen", "--help" }, ServerError::InvalidAddress },
            { { "--listen=127.0.0.1:" }, ServerError::InvalidCharacter },
            { { "--http-listen=127.0.0.1:65536" }, ServerError::Overflow },
            { { "--http-listen", "example.com:80" }, ServerError::InvalidAddress },
        };
        for (const auto& [args, error] : cases) {
            std::string label;
            for (auto arg : args)
                label += "'" + std::string(arg) + "' ";
            SCOPED_TRACE(label);
            auto options = parse(args);
            ASSERT_FALSE(options.has_value());
            EXPECT_EQ(options.error(), error) << errorName(options.error());
        }
    }

    TEST(LoadConfigIfNamed, ConsultsNeitherFileNorEnvironmentWithoutConfigFlag)
    {
        int lookups = 0;
        EnvLookup env = [&lookups](std::string_view) -> std::optional<std::string_view> {
            ++lookups;
            return "192.0.2.9:53";
        };
        auto config = loadConfigIfNamed(parsedOk({ "--disable-dnssec" }), env);
        ASSERT_TRUE(config.has_value());
        EXPECT_FALSE(config->has_value());
        EXPECT_EQ(lookups, 0);
    }

    TEST(LoadConfigIfNamed, LoadsTheFileWithItsEnvironment)
    {
        ScratchDir dir;
        auto path = dir.write("r.conf", "[server]\nlisten = 127.0.0.1:53\n");
        EnvLookup env = [](std::string_view name) -> std::optional<std::string_view> {
            if (name == "DNS_LISTEN")
                return "127.0.0.2:53";
            return std::nullopt;
        };
        auto config = loadConfigIfNamed(parsedOk({ "--config", path }), env);
        ASSERT_TRUE(config.has_value()) << errorName(config.error());
        ASSERT_TRUE(config->has_value());
        EXPECT_EQ((*config)->server.listen_addrs, std::vector<std::string> { "127.0.0.2:53" });
        EXPECT_EQ(loadConfigIfNamed(parsedOk({ "-c", dir.path() }), env).error(), ServerError::IsDir);
    }

    TEST(BuildInitOptions, UsesBuiltInDefaultsWithoutConfig)
    {
        auto options = buildInitOptions(parsedOk({}), std::nullopt);
        ASSERT_TRUE(options.has_value()) << errorName(options.error());
        EXPECT_EQ(options->listen_addr.toString(), "127.0.0.1:5353");
        EXPECT_TRUE(options->more_listen_addrs.empty());
        EXPECT_FALSE(options->http_listen_addr);
        EXPECT_FALSE(options->control_socket_path);
        EXPECT_TRUE(options->enable_dnssec);
        EXPECT_EQ(options->resolution_capacity, 1024u);
        EXPECT_FALSE(options->root_servers) << "the built-in root servers";
        EXPECT_EQ(options->cache_limits.max_bytes, CacheLimits::default_max_bytes);
        EXPECT_EQ(options->http_config.max_connections, 50u);
        EXPECT_EQ(options->control_socket_config.max_connections, 10u);
        EXPECT_EQ(options->control_socket_config.socket_mode, 0600u);
        EXPECT_EQ(options->control_socket_config.read_timeout_ms, 1000u);
        EXPECT_EQ(options->control_socket_config.write_timeout_ms, 1000u);
    }

    const std::string full_config = "[server]\n"
                                    "listen = [::1]:53\n"
                                    "http_listen = 127.0.0.1:8080\n"
                                    "control_socket_path = /run/from-config.sock\n"
                                    "dnssec_validation = no\n"
                                    "control_socket_mode = 660\n"
                                    "control_socket_max_connections = 3\n"
                                    "control_socket_read_timeout_ms = 4\n"
                                    "control_socket_write_timeout_ms = 5\n";

    TEST(BuildInitOptions, FallsBackToTheConfiguration)
    {
        auto options = buildInitOptions(parsedOk({}), configFrom(full_config));
        ASSERT_TRUE(options.has_value()) << errorName(options.error());
        EXPECT_EQ(options->listen_addr.toString(), "[::1]:53");
        ASSERT_TRUE(options->http_listen_addr);
        EXPECT_EQ(options->http_listen_addr->toString(), "127.0.0.1:8080");
        EXPECT_EQ(options->control_socket_path, "/run/from-config.sock");
        EXPECT_FALSE(options->enable_dnssec);
        EXPECT_EQ(options->control_socket_config.socket_mode, 0660u);
        EXPECT_EQ(options->control_socket_config.max_connections, 3u);
        EXPECT_EQ(options->control_socket_config.read_timeout_ms, 4u);
        EXPECT_EQ(options->control_socket_config.write_timeout_ms, 5u);
        EXPECT_EQ(options->resolution_capacity, 1024u);
        EXPECT_FALSE(options->root_servers) << "the built-in root servers";
        EXPECT_EQ(options->cache_limits.max_bytes, CacheLimits::default_max_bytes);
    }

    // serve_stale_max_age reaches the cache only with serve_stale on (and a cache that keeps anything).
    TEST(BuildInitOptions, CarriesServeStaleAndPrefetchIntoTheResolver)
    {
        struct Case {
            const char* lines;
            std::uint32_t window;
            bool prefetch, serves_stale;
        };
        for (const Case& c : std::initializer_list<Case> {
                 { "", 0, true, false },
                 { "serve_stale = yes\n", 86400, true, true },
                 { "serve_stale = yes\nserve_stale_max_age = 60\nprefetch = no\n", 60, false, true },
                 { "serve_stale_max_age = 60\n", 0, true, false },
                 { "serve_stale = yes\ncache_strategy = none\n", 86400, true, false },
             }) {
            SCOPED_TRACE(c.lines);
            auto options = buildInitOptions(
                parsedOk({}), configFrom("[server]\nlisten = 127.0.0.1:0\n" + std::string(c.lines)));
            ASSERT_TRUE(options.has_value()) << errorName(options.error());
            EXPECT_EQ(options->stale_window_seconds, c.window);
            EXPECT_EQ(options->prefetch, c.prefetch);
            options->root_servers = NameserverSet {};
            auto server = RecursorServer::init(std::move(*options));
            ASSERT_TRUE(server.has_value()) << errorName(server.error());
            EXPECT_EQ((*server)->recursorCore().servesStale(), c.serves_stale);
        }
    }

    TEST(BuildInitOptions, CarriesTheAnswerLimitsIntoTheResolver)
    {
        const Config config = configFrom("[server]\nlisten = 127.0.0.1:0\n"
                                         "cache_max_ttl = 7200\n"
                                         "cache_max_negative_ttl = 600\n"
                                         "bogus_ttl = 30\n"
                                         "aggressive_nsec = no\n"
                                         "allow_loopback_nameservers = yes\n");
        auto options = buildInitOptions(parsedOk({}), config);
        ASSERT_TRUE(options.has_value()) << errorName(options.error());
        EXPECT_EQ(options->limits.cache_max_ttl, 7200u);
        EXPECT_EQ(options->limits.cache_max_negative_ttl, 600u);
        EXPECT_EQ(options->limits.bogus_ttl, 30u);
        EXPECT_FALSE(options->limits.aggressive_nsec);
        EXPECT_TRUE(options->limits.allow_loopback_nameservers);

        options->root_servers = NameserverSet {};
        auto server = RecursorServer::init(std::move(*options));
        ASSERT_TRUE(server.has_value()) << errorName(server.error());
        const AnswerLimits& used = (*server)->recursorCore().limits();
        EXPECT_EQ(used.cache_max_ttl, 7200u);
        EXPECT_EQ(used.cache_max_negative_ttl, 600u);
        EXPECT_EQ(used.bogus_ttl, 30u);
        EXPECT_FALSE(used.aggressive_nsec);
        EXPECT_TRUE(used.allow_loopback_nameservers);

        // Without a configuration: the resolver's own defaults.
        auto plain = buildInitOptions(parsedOk({}), std::nullopt);
        ASSERT_TRUE(plain.has_value());
        EXPECT_EQ(plain->limits.cache_max_ttl, AnswerLimits {}.cache_max_ttl);
        EXPECT_EQ(plain->limits.bogus_ttl, AnswerLimits {}.bogus_ttl);
        EXPECT_TRUE(plain->limits.aggressive_nsec);
        EXPECT_FALSE(plain->limits.allow_loopback_nameservers);
        EXPECT_TRUE(plain->limits.qname_minimisation); // it used to be off without a configuration file
    }

    TEST(BuildInitOptions, PrefersFlagsToTheConfiguration)
    {
        auto options = buildInitOptions(parsedOk({ "--listen=127.0.0.1:1", "--http-listen=127.0.0.1:2",
                                            "--control-socket=/run/flag.sock", "--enable-dnssec" }),
            configFrom(full_config));
        ASSERT_TRUE(options.has_value()) << errorName(options.error());
        EXPECT_EQ(options->listen_addr.toString(), "127.0.0.1:1");
        EXPECT_EQ(options->http_listen_addr->toString(), "127.0.0.1:2");
        EXPECT_EQ(options->control_socket_path, "/run/flag.sock");
        EXPECT_TRUE(options->enable_dnssec);
        EXPECT_EQ(options->control_socket_config.socket_mode, 0660u); // no flag for this one
    }

    // DNS over HTTPS takes the DNS over TLS certificate and key: without them it cannot start.
    TEST(BuildInitOptions, TakesTheDohAddressFromTheFlagOverTheFileAndNeedsTheCertificate)
    {
        const std::string with_cert = "[server]\ntls_cert_file = c.pem\ntls_key_file = k.pem\n";
        struct Case {
            const char* label;
            std::vector<std::string_view> args;
            std::string config;
            std::optional<std::string> doh; // the address, or nothing when start-up must refuse
        };
        for (const Case& c : std::initializer_list<Case> {
                 { "none", {}, with_cert, std::nullopt },
                 { "the file's", {}, with_cert + "doh_listen = 127.0.0.1:8443\n", "127.0.0.1:8443" },
                 { "the flag's", { "--doh-listen=[::1]:443" }, with_cert + "doh_listen = 127.0.0.1:8443\n",
                     "[::1]:443" },
             }) {
            SCOPED_TRACE(c.label);
            auto options = buildInitOptions(parsedOk(c.args), configFrom(c.config));
            ASSERT_TRUE(options.has_value()) << errorName(options.error());
            EXPECT_EQ(
                options->doh_listen_addr ? std::optional(options->doh_listen_addr->toString()) : std::nullopt,
                c.doh);
        }
        auto without_key = buildInitOptions(
            parsedOk({ "--doh-listen", "127.0.0.1:443" }), configFrom("[server]\ntls_cert_file = c.pem\n"));
        ASSERT_FALSE(without_key.has_value());
        EXPECT_EQ(without_key.error(), ServerError::InvalidSetting);
    }

    // Several listen lines used to stop start-up, and a file without one did too (NoListenAddress),
    // although 127.0.0.1:5353 is the documented default.
    TEST(BuildInitOptions, ListensOnEveryConfiguredAddressOrTheFlagsOrTheDefault)
    {
        struct Case {
            Args args;
            std::string config;
            std::vector<std::string> expected;
        };
        for (const auto& [args, text, expected] : std::vector<Case> {
                 { {}, "[server]\nlisten = 127.0.0.1:53\nlisten = [::1]:53\n",
                     { "127.0.0.1:53", "[::1]:53" } },
                 { { "--listen", "127.0.0.1:5" }, "[server]\nlisten = 127.0.0.1:53\nlisten = [::1]:53\n",
                     { "127.0.0.1:5" } },
                 { { "--listen=[::1]:6", "--listen=127.0.0.2:7" }, "[server]\nlisten = 127.0.0.1:53\n",
                     { "[::1]:6", "127.0.0.2:7" } },
                 { {}, "[server]\nthreads = 2\n", { "127.0.0.1:5353" } },
                 { {}, "", { "127.0.0.1:5353" } },
                 { { "--listen=127.0.0.3:8" }, "[server]\nthreads = 2\n", { "127.0.0.3:8" } },
             }) {
            SCOPED_TRACE(text);
            auto options = buildInitOptions(parsedOk(args), configFrom(text));
            ASSERT_TRUE(options.has_value()) << errorName(options.error());
            std::vector<std::string> listening { options->listen_addr.toString() };
            for (const SocketAddress& more : options->more_listen_addrs)
                listening.push_back(more.toString());
            EXPECT_EQ(listening, expected);
        }
    }

    TEST(BuildInitOptions, ReadsRootHintsFromTheFlagOrTheConfiguration)
    {
        ScratchDir dir;
        const std::string hints = dir.write("root.hints",
            "; comment line\n"
            ".                        3600000      NS    A.ROOT-SERVERS.NET.\n"
            "A.ROOT-SERVERS.NET.      3600000      AAAA  2001:db8::53 ; after the A records\n"
            "A.ROOT-SERVERS.NET.      3600000      A     10.53.0.1\n"
            "b.root-servers.net.      IN a 10.53.0.2\n"
            "bad.example.             3600000      A     not-an-address\n");
        const std::string empty = dir.write("empty.hints", ". 3600000 NS a.root-servers.net.\n");
        const std::string from_config = "[server]\nlisten = 127.0.0.1:53\nroot_hints_file = " + empty + "\n";

        auto options = buildInitOptions(parsedOk({ "--root-hints", hints }), configFrom(from_config));
        ASSERT_TRUE(options.has_value()) << errorName(options.error());
        ASSERT_TRUE(options->root_servers);
        std::vector<std::string> addresses;
        for (const SocketAddress& addr : options->root_servers->slice())
            addresses.push_back(addr.toString());
        EXPECT_EQ(
            addresses, (std::vector<std::string> { "10.53.0.1:53", "10.53.0.2:53", "[2001:db8::53]:53" }));

        testing::internal::CaptureStderr();
        EXPECT_EQ(
            buildInitOptions(parsedOk({}), configFrom(from_config)).error(), ServerError::InvalidRootHints);
        EXPECT_THAT(testing::internal::GetCapturedStderr(), testing::HasSubstr("No root server address in "));
        EXPECT_EQ(
            buildInitOptions(parsedOk({ "--root-hints=" + dir.path() + "/missing" }), std::nullopt).error(),
            ServerError::FileNotFound);
        auto sized = buildInitOptions(
            parsedOk({}), configFrom("[server]\nlisten = 127.0.0.1:53\ncache_max_bytes = 1_000_000\n"));
        ASSERT_TRUE(sized.has_value());
        EXPECT_EQ(sized->cache_limits.max_bytes, 1'000'000u);
    }

    TEST(BuildInitOptions, ReadsTrustAnchorsFromTheFlagOrTheConfiguration)
    {
        ScratchDir dir;
        const std::string ds = dir.write("root.ds",
            ". IN DS 20326 8 2 E06D44B80B8F1D39A95C0B0D7C65D08458E880409BBC683457104237C7F8EC8D\n");
        const std::string hints = dir.write("root.hints", ". 3600000 NS a.root-servers.net.\n");
        const std::string from_config
            = "[server]\nlisten = 127.0.0.1:53\ntrust_anchor_file = " + hints + "\n";

        auto options = buildInitOptions(parsedOk({ "--trust-anchor", ds }), configFrom(from_config));
        ASSERT_TRUE(options.has_value()) << errorName(options.error());
        ASSERT_TRUE(options->trust_anchors);
        EXPECT_EQ(options->trust_anchors->rootDs().size(), 1u);
        EXPECT_FALSE(buildInitOptions(parsedOk({}), std::nullopt)->trust_anchors) << "the built-in keys";

        testing::internal::CaptureStderr();
        EXPECT_EQ(
            buildInitOptions(parsedOk({}), configFrom(from_config)).error(), ServerError::InvalidTrustAnchor);
        EXPECT_THAT(testing::internal::GetCapturedStderr(),
            testing::HasSubstr("No usable trust anchor for . in " + hints + ": error.NoUsableAnchor"));
        EXPECT_EQ(
            buildInitOptions(parsedOk({ "--trust-anchor=" + dir.path() + "/missing" }), std::nullopt).error(),
            ServerError::FileNotFound);
    }

    // The files are read by the resolver's and the validator's loaders, each with its own error set;
    // operators still read the server's kind and line, naming the file, its path and the reason.
    TEST(BuildInitOptions, NamesTheFileAndWhyWhenRootHintsOrAnchorsCannotBeRead)
    {
        ScratchDir dir;
        const std::string missing = dir.path() + "/missing";
        const std::string oversized = dir.write("oversized", std::string(Config::max_file_size + 1, ';'));
        for (const auto& [flag, what] : std::initializer_list<std::pair<std::string, std::string>> {
                 { "--root-hints=", "root hints file" }, { "--trust-anchor=", "trust anchor file" } }) {
            for (const auto& [path, kind] : std::initializer_list<std::pair<std::string, ServerError>> {
                     { missing, ServerError::FileNotFound }, { dir.path(), ServerError::IsDir },
                     { oversized, ServerError::StreamTooLong } }) {
                const std::string arg = flag + path;
                SCOPED_TRACE(arg);
                testing::internal::CaptureStderr();
                const auto options = buildInitOptions(parsedOk({ arg }), std::nullopt);
                const std::string log = testing::internal::GetCapturedStderr();
                ASSERT_FALSE(options.has_value());
                EXPECT_EQ(options.error(), kind);
                EXPECT_EQ(
                    log, "error: Cannot read " + what + " " + path + ": " + dottedErrorName(kind) + "\n");
            }
        }
    }

    TEST(BuildInitOptions, RefusesConfiguredHostNames)
    {
        testing::internal::CaptureStderr();
        EXPECT_EQ(buildInitOptions(parsedOk({}), configFrom("[server]\nlisten = localhost:53\n")).error(),
            ServerError::InvalidAddress);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "error: Invalid listen 'localhost:53': error.InvalidAddress (an IP literal; host names are not "
            "looked up)\n");
        EXPECT_EQ(buildInitOptions(parsedOk({ "--listen=127.0.0.1:1" }),
                      configFrom("[server]\nlisten = 127.0.0.1:53\nhttp_listen = localhost:80\n"))
                      .error(),
            ServerError::InvalidAddress);
        // A flag replaces the configured value before it is ever parsed.
        EXPECT_TRUE(buildInitOptions(parsedOk({ "--http-listen=127.0.0.1:1", "--listen=127.0.0.1:2" }),
            configFrom("[server]\nlisten = localhost:53\nhttp_listen = localhost:80\n"))
                        .has_value());
    }

    // SIGHUP used to kill the process; it reloads now, and a reload that fails keeps what runs.
    TEST(ReloadSettings, ReplacesTheLogLevelAndAnchorsOnlyWhenEverythingReads)
    {
        ScratchDir dir;
        const std::string anchors = dir.write("root.ds",
            ". IN DS 20326 8 2 E06D44B80B8F1D39A95C0B0D7C65D08458E880409BBC683457104237C7F8EC8D\n");
        const std::string path
            = dir.write("r.conf", "[server]\ntrust_anchor_file = " + anchors + "\n[logging]\nlevel = warn\n");
        const CliOptions cli = parsedOk({ "--config", path });
        auto options = buildInitOptions(cli, configFrom("[server]\ntrust_anchor_file = " + anchors + "\n"));
        ASSERT_TRUE(options.has_value()) << errorName(options.error());
        options->root_servers = NameserverSet {};
        auto server = RecursorServer::init(std::move(*options));
        ASSERT_TRUE(server.has_value()) << errorName(server.error());
        const auto keyTag = [&] { return (*server)->recursorCore().trustAnchors()->rootDs()[0].keytag; };
        const EnvLookup no_env = [](std::string_view) { return std::optional<std::string_view> {}; };
        std::string reply; // RELOAD's
        const auto reload = [&] {
            testing::internal::CaptureStderr();
            reply = reloadSettings(**server, cli, no_env);
            return testing::internal::GetCapturedStderr();
        };

        EXPECT_EQ(reload(),
            "info: reloading the configuration (" + path
                + ")\ninfo: reloaded: log level warn, trust anchors unchanged\n");
        EXPECT_EQ(reply, "OK reloaded: log level warn, trust anchors unchanged");
        EXPECT_EQ(keyTag(), 20326);

        dir.write("root.ds",
            ". IN DS 38696 8 2 683D2D0ACB8C9B712A1948B27F741219298D0A450D612C483AF444A4C0FB2B16\n");
        setLogThreshold(LogLevel::info);
        EXPECT_THAT(reload(),
            testing::HasSubstr("info: reloaded: log level warn, new trust anchors (caches emptied)\n"));
        EXPECT_EQ(keyTag(), 38696);

        for (const auto& [file, text, why] :
            std::initializer_list<std::tuple<std::string, std::string, std::string>> {
                { "root.ds", "; nothing\n", "error.InvalidTrustAnchor" },
                { "r.conf", "[server]\nthreads = x\n[logging]\nlevel = debug\n", "error.InvalidCharacter" },
            }) {
            SCOPED_TRACE(file);
            dir.write(file, text);
            EXPECT_THAT(reload(),
                testing::HasSubstr("error: reload failed, the running settings stay: " + why + "\n"));
            EXPECT_EQ(reply, "ERROR: reload failed, the running settings stay: " + why);
            EXPECT_EQ(keyTag(), 38696);
        }
        EXPECT_EQ(reload().find("info: "), std::string::npos)
            << "warn still applies: the failed reloads changed nothing";
        setLogThreshold(LogLevel::info);
    }

    TEST(RecursorBinary, PrintsOnlyTheVersionWhenAskedAnywhere)
    {
        for (const auto& args : std::vector<std::vector<std::string>> { { "-V" }, { "--version" },
                 { "--help", "--version" }, { "--bogus", "-V" }, { "--listen", "-V" } }) {
            SCOPED_TRACE(args.front());
            auto run = runProgram(args);
            EXPECT_EQ(run.exit_status, 0);
            EXPECT_EQ(run.out, version_line);
            EXPECT_EQ(run.err, "");
        }
    }

    TEST(RecursorBinary, PrintsTheUsageTextForHelp)
    {
        for (std::string flag : { "--help", "-h" }) {
            auto run = runProgram({ flag });
            EXPECT_EQ(run.exit_status, 0);
            EXPECT_EQ(run.out, usage_text);
            EXPECT_EQ(run.err, "");
        }
    }

    TEST(RecursorBinary, ExitsWithOneErrorLineOnBadArguments)
    {
        struct Case {
            std::vector<std::string> args;
            std::string err;
        };
        for (const auto& [args, err] : std::vector<Case> {
                 { { "--bogus" }, "error: InvalidArgs\n" },
                 { { "--help", "junk" }, "error: InvalidArgs\n" },
                 { { "--listen" }, "error: InvalidArgs\n" },
                 { { "--listen", "localhost:53" }, "error: InvalidAddress\n" },
                 { { "--http-listen=127.0.0.1:70000" }, "error: Overflow\n" },
             }) {
            SCOPED_TRACE(args.front());
            auto run = runProgram(args);
            EXPECT_EQ(run.exit_status, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, err);
        }
    }

    TEST(RecursorBinary, ExitsWithTheConfigurationError)
    {
        ScratchDir dir;
        struct Case {
            std::string text;
            std::vector<std::string> env;
            std::string err;
        };
        // These used to name only the kind: the line before it names the file, the line, the key and
        // the value (or the variable) now. FILE stands for the configuration's path.
        for (const auto& [text, env, err] : std::vector<Case> {
                 { "[Server]\nlisten = 127.0.0.1:53\n", {},
                     "error: FILE:2: listen '127.0.0.1:53' in [Server]: error.UnknownConfigSection\n"
                     "error: UnknownConfigSection\n" },
                 { "# loops\n[server]\nthreads = 4  # loops\n", {},
                     "error: FILE:3: threads '4  # loops': error.InvalidCharacter (comments take whole "
                     "lines: put it "
                     "on a line of its own)\nerror: InvalidCharacter\n" },
                 { "[server]\ncookie_secret_hex = 0011223344556677889900aabbccddeeff\n", {},
                     "error: Invalid cookie_secret_hex (34 characters): must be 32 hex digits, a 16-byte "
                     "secret "
                     "(RFC 9018 §4.3)\nerror: InvalidSetting\n" },
                 { "[server]\ncookie_secret_hex = zz\nthreads = x\n", {},
                     "error: FILE:3: threads 'x': error.InvalidCharacter\nerror: InvalidCharacter\n" },
                 { "[server]\nedns_buffer_size = 100\n", {},
                     "error: Invalid edns_buffer_size '100': must be from 512 to 4096\nerror: "
                     "InvalidSetting\n" },
                 { "[server]\nlisten = [::1]53\n", {},
                     "error: Invalid listen address '[::1]53': error.InvalidAddress\nerror: "
                     "InvalidListenAddress\n" },
                 { "[server]\nlisten = 127.0.0.1:53\n[zone:example.test]\nfile = z\n", {},
                     "error: Zone name must end with '.': example.test\nerror: InvalidZoneName\n" },
                 // The environment is read because a configuration was named.
                 { "[server]\n", { "DNS_LISTEN=localhost:53" },
                     "error: Invalid listen 'localhost:53': error.InvalidAddress (an IP literal; host names "
                     "are "
                     "not looked up)\nerror: InvalidAddress\n" },
                 { "[server]\nlisten = 127.0.0.1:53\n", { "DNS_CONTROL_SOCKET_MODE=8" },
                     "error: Invalid DNS_CONTROL_SOCKET_MODE '8': error.InvalidCharacter\nerror: "
                     "InvalidCharacter\n" },
                 { "[server]\n", { "DNS_COOKIE_SECRET_HEX=" },
                     "error: Invalid cookie_secret_hex (0 characters): must be 32 hex digits, a 16-byte "
                     "secret "
                     "(RFC 9018 §4.3)\nerror: InvalidSetting\n" },
             }) {
            SCOPED_TRACE(text);
            const std::string path = dir.write("recursor.conf", text);
            std::string expected = err;
            if (auto at = expected.find("FILE"); at != std::string::npos)
                expected.replace(at, 4, path);
            auto run = runProgram({ "--config", path }, env);
            EXPECT_EQ(run.exit_status, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, expected);
        }
        const auto missing = runProgram({ "-c", "/nonexistent/recursor.conf" });
        EXPECT_EQ(missing.exit_status, 1);
        EXPECT_EQ(missing.err,
            "error: Cannot read configuration file /nonexistent/recursor.conf: error.FileNotFound\n"
            "error: FileNotFound\n");
    }

} // namespace
} // namespace recursor
