#include "server/config.h"

#include "resolver/rpz.h"

#include "support/scratch_dir.h"
#include <gmock/gmock.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace recursor {
namespace {

    using test::ScratchDir;

    using testing::HasSubstr;

    EnvLookup envOf(std::map<std::string, std::string, std::less<>> vars)
    {
        return [vars = std::move(vars)](std::string_view name) -> std::optional<std::string_view> {
            auto found = vars.find(name);
            if (found == vars.end())
                return std::nullopt;
            return std::string_view(found->second);
        };
    }

    Config parsed(std::string_view text)
    {
        auto config = Config::parseConfig(text);
        EXPECT_TRUE(config.has_value()) << errorName(config.error());
        return config.value_or(Config {});
    }

    std::string readSourceFile(std::string_view relative)
    {
        std::ifstream in(std::string(RECURSOR_SOURCE_DIR) + "/" + std::string(relative), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The first fenced block of `language` in a Markdown text; empty when there is none.
    std::string fencedBlock(const std::string& markdown, std::string_view language)
    {
        const std::string opening = "```" + std::string(language) + "\n";
        const auto start = markdown.find(opening);
        if (start == std::string::npos)
            return {};
        const auto body = start + opening.size();
        const auto end = markdown.find("\n```", body);
        return end == std::string::npos ? std::string {} : markdown.substr(body, end - body + 1);
    }

    // Loads a file's text exactly as start-up would: the loader, no environment, validation.
    ServerResult<Config> loadedAsShipped(const std::string& text)
    {
        ScratchDir dir;
        return Config::loadFromFileWithEnv(dir.write("shipped.conf", text), envOf({}));
    }

    std::string validationLog(const Config& config, std::optional<ServerError> expected)
    {
        testing::internal::CaptureStderr();
        auto result = config.validate();
        std::string log = testing::internal::GetCapturedStderr();
        if (expected) {
            EXPECT_FALSE(result.has_value());
            if (!result) {
                EXPECT_EQ(result.error(), *expected) << errorName(result.error());
            }
        } else {
            EXPECT_TRUE(result.has_value()) << errorName(result.error());
        }
        return log;
    }

    TEST(ParseUnsigned, AcceptsPlusSignAndUnderscoresBetweenDigits)
    {
        struct Case {
            std::string_view text;
            std::uint32_t value;
        };
        for (auto [text, value] :
            std::initializer_list<Case> { { "0", 0 }, { "+7", 7 }, { "007", 7 }, { "1_000", 1000 },
                { "1_2_3", 123 }, { "4294967295", 4294967295u }, { "+4_294_967_295", 4294967295u } }) {
            SCOPED_TRACE(text);
            auto parsed_value = parseUnsigned<std::uint32_t>(text, 10);
            ASSERT_TRUE(parsed_value.has_value()) << errorName(parsed_value.error());
            EXPECT_EQ(*parsed_value, value);
        }
    }

    TEST(ParseUnsigned, RejectsMalformedTextAsInvalidCharacter)
    {
        // An underscore must sit between two digits; '-' is never a sign here, not even for zero.
        for (std::string_view text : { "", "+", "-1", "-0", "++1", "+-1", "_1", "1_", "1__2", "+_1", " 1",
                 "1 ", "1a", "0x10", "1.0", "1e3", "\xd9\xa1" }) {
            SCOPED_TRACE(testing::PrintToString(std::string(text)));
            auto result = parseUnsigned<std::uint32_t>(text, 10);
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), ServerError::InvalidCharacter);
        }
    }

    TEST(ParseUnsigned, ReportsOverflowForTheFieldWidth)
    {
        EXPECT_EQ(parseUnsigned<std::uint16_t>("65535", 10), 65535);
        EXPECT_EQ(parseUnsigned<std::uint16_t>("65536", 10).error(), ServerError::Overflow);
        EXPECT_EQ(parseUnsigned<std::uint32_t>("4294967296", 10).error(), ServerError::Overflow);
        EXPECT_EQ(
            parseUnsigned<std::uint32_t>("99999999999999999999999999", 10).error(), ServerError::Overflow);
        EXPECT_EQ(parseUnsigned<std::size_t>("18446744073709551615", 10), SIZE_MAX);
        EXPECT_EQ(parseUnsigned<std::size_t>("18446744073709551616", 10).error(), ServerError::Overflow);
        EXPECT_EQ(parseUnsigned<std::uint32_t>("37777777777", 8), 4294967295u);
        EXPECT_EQ(parseUnsigned<std::uint32_t>("40000000000", 8).error(), ServerError::Overflow);
        // Malformed text is reported as such even when its digits overflow first.
        EXPECT_EQ(parseUnsigned<std::uint16_t>("9999999x", 10).error(), ServerError::InvalidCharacter);
    }

    TEST(ParseUnsigned, OctalRefusesEightAndNine)
    {
        EXPECT_EQ(parseUnsigned<std::uint32_t>("660", 8), 0660u);
        EXPECT_EQ(parseUnsigned<std::uint32_t>("+6_6_0", 8), 0660u);
        EXPECT_EQ(parseUnsigned<std::uint32_t>("8", 8).error(), ServerError::InvalidCharacter);
        EXPECT_EQ(parseUnsigned<std::uint32_t>("69", 8).error(), ServerError::InvalidCharacter);
        EXPECT_EQ(parseUnsigned<std::uint32_t>("0o660", 8).error(), ServerError::InvalidCharacter);
    }

    TEST(ParseListenAddr, SplitsHostFromPort)
    {
        struct Case {
            std::string_view text;
            std::string_view host;
            std::uint16_t port;
        };
        for (auto [text, host, port] : std::initializer_list<Case> {
                 { "127.0.0.1:53", "127.0.0.1", 53 },
                 { "::1:53", "::1", 53 }, // bare IPv6 splits at the last colon
                 { "[::1]:5353", "::1", 5353 },
                 { "[2001:db8::1]:0", "2001:db8::1", 0 },
                 { "localhost:53", "localhost", 53 }, // the host is not examined here
                 { ":53", "", 53 },
                 { "[]:1", "", 1 },
                 { "a:b:+5_3", "a:b", 53 },
             }) {
            SCOPED_TRACE(text);
            auto parts = parseListenAddr(text);
            ASSERT_TRUE(parts.has_value()) << errorName(parts.error());
            EXPECT_EQ(parts->host, host);
            EXPECT_EQ(parts->port, port);
        }
    }

    TEST(ParseListenAddr, RejectsMalformedText)
    {
        struct Case {
            std::string_view text;
            ServerError error;
        };
        for (auto [text, error] : std::initializer_list<Case> {
                 { "", ServerError::InvalidAddress },
                 { "127.0.0.1", ServerError::InvalidAddress },
                 { "[::1]53", ServerError::InvalidAddress },
                 { "[::1]", ServerError::InvalidAddress },
                 { "[::1", ServerError::InvalidAddress },
                 { "[::1] :53", ServerError::InvalidAddress },
                 { "127.0.0.1:", ServerError::InvalidCharacter },
                 { "127.0.0.1:53 ", ServerError::InvalidCharacter },
                 { "127.0.0.1:-1", ServerError::InvalidCharacter },
                 { "[::1]:x", ServerError::InvalidCharacter },
                 { "[::1]:[::2]:53", ServerError::InvalidCharacter },
                 { "127.0.0.1:65536", ServerError::Overflow },
             }) {
            SCOPED_TRACE(text);
            auto parts = parseListenAddr(text);
            ASSERT_FALSE(parts.has_value());
            EXPECT_EQ(parts.error(), error) << errorName(parts.error());
        }
    }

    TEST(ParseIpSocketAddress, AcceptsOnlyIpLiterals)
    {
        auto v4 = parseIpSocketAddress("192.0.2.1:53");
        ASSERT_TRUE(v4.has_value());
        EXPECT_EQ(v4->toString(), "192.0.2.1:53");
        auto v6 = parseIpSocketAddress("[2001:db8::1]:5353");
        ASSERT_TRUE(v6.has_value());
        EXPECT_EQ(v6->toString(), "[2001:db8::1]:5353");
        auto bare_v6 = parseIpSocketAddress("::1:53");
        ASSERT_TRUE(bare_v6.has_value());
        EXPECT_TRUE(bare_v6->isIPv6());
        EXPECT_EQ(bare_v6->port(), 53);

        struct Case {
            std::string_view text;
            ServerError error;
        };
        for (auto [text, error] : std::initializer_list<Case> {
                 { "localhost:53", ServerError::InvalidAddress },
                 { ":53", ServerError::InvalidAddress },
                 { "256.0.0.1:53", ServerError::InvalidAddress },
                 { "192.0.2.1:99999", ServerError::Overflow },
                 { "192.0.2.1", ServerError::InvalidAddress },
             }) {
            SCOPED_TRACE(text);
            auto address = parseIpSocketAddress(text);
            ASSERT_FALSE(address.has_value());
            EXPECT_EQ(address.error(), error) << errorName(address.error());
        }
    }

    TEST(Config, ParseBoolIsCaseSensitive)
    {
        for (std::string_view text : { "true", "1", "yes" })
            EXPECT_EQ(Config::parseBool(text), true) << text;
        for (std::string_view text : { "false", "0", "no" })
            EXPECT_EQ(Config::parseBool(text), false) << text;
        for (std::string_view text : { "TRUE", "Yes", "on", "off", "", "2", " true" }) {
            SCOPED_TRACE(text);
            ASSERT_FALSE(Config::parseBool(text).has_value());
            EXPECT_EQ(Config::parseBool(text).error(), ServerError::InvalidBoolean);
        }
    }

    TEST(Config, NamedValuesAcceptOnlyTheirSpellings)
    {
        EXPECT_EQ(cacheStrategyFromStr("none"), CacheStrategy::none);
        EXPECT_EQ(cacheStrategyFromStr("response"), CacheStrategy::response);
        EXPECT_EQ(cacheStrategyFromStr("Response").error(), ServerError::InvalidCacheStrategy);
        EXPECT_EQ(logLevelFromStr("debug"), LogLevel::debug);
        EXPECT_EQ(logLevelFromStr("info"), LogLevel::info);
        EXPECT_EQ(logLevelFromStr("warn"), LogLevel::warn);
        EXPECT_EQ(logLevelFromStr("error"), LogLevel::err);
        EXPECT_EQ(logLevelFromStr("err"), LogLevel::err);
        EXPECT_EQ(logLevelFromStr("warning").error(), ServerError::InvalidLogLevel);
        EXPECT_EQ(logLevelFromStr("INFO").error(), ServerError::InvalidLogLevel);
    }

    TEST(Config, EmptyTextGivesTheDefaults)
    {
        Config config = parsed("");
        EXPECT_TRUE(config.server.listen_addrs.empty());
        EXPECT_EQ(config.server.threads, 0u);
        EXPECT_FALSE(config.server.cookie_secret_hex);
        EXPECT_FALSE(config.server.cookie_secret_previous_hex);
        EXPECT_FALSE(config.server.cookie_require);
        EXPECT_FALSE(config.server.recursor.http_listen);
        EXPECT_FALSE(config.server.recursor.control_socket_path);
        EXPECT_TRUE(config.server.recursor.dnssec_validation);
        EXPECT_EQ(config.server.control_socket.max_connections, 10u);
        EXPECT_EQ(config.server.control_socket.socket_mode, 384u);
        EXPECT_EQ(config.server.control_socket.read_timeout_ms, 1000u);
        EXPECT_EQ(config.server.control_socket.write_timeout_ms, 1000u);
        EXPECT_EQ(config.server.tcp_timeout_ms, 5000u);
        EXPECT_EQ(config.server.tcp_max_connections, 100u);
        EXPECT_EQ(config.server.tcp_max_queries_per_connection, 1000u);
        EXPECT_EQ(config.server.tcp_max_message_size, 65535u);
        EXPECT_EQ(config.server.tcp_max_connections_per_client, 10u);
        EXPECT_EQ(config.server.tcp_handshake_timeout_ms, 2000u);
        EXPECT_FALSE(config.server.expose_zones);
        EXPECT_TRUE(config.zones.empty());
        EXPECT_EQ(config.cache.strategy, CacheStrategy::response);
        EXPECT_EQ(config.logging.level, LogLevel::info);
    }

    TEST(Config, ReadsEveryKey)
    {
        Config config = parsed("[server]\n"
                               "listen = 127.0.0.1:53\n"
                               "threads = 4\n"
                               "expose_zones = yes\n"
                               "cookie_secret_hex = 00ff\n"
                               "cookie_secret_previous_hex = 11ee\n"
                               "cookie_require = yes\n"
                               "control_socket_mode = 660\n"
                               "control_socket_read_timeout_ms = 11\n"
                               "control_socket_write_timeout_ms = 12\n"
                               "control_socket_max_connections = 13\n"
                               "tcp_timeout_ms = 14\n"
                               "tcp_max_connections = 15\n"
                               "tcp_max_queries_per_connection = 16\n"
                               "tcp_max_message_size = 17\n"
                               "tcp_max_connections_per_client = 18\n"
                               "tcp_handshake_timeout_ms = 19\n"
                               "dnssec_validation = no\n"
                               "http_listen = 127.0.0.1:8080\n"
                               "control_socket_path = /run/recursor.sock\n"
                               "cache_strategy = none\n"
                               "serve_stale = yes\n"
                               "serve_stale_max_age = 3600\n"
                               "prefetch = no\n"
                               "cache_file = /var/lib/recursor/cache\n"
                               "[logging]\n"
                               "level = warn\n");
        EXPECT_EQ(config.server.listen_addrs, std::vector<std::string> { "127.0.0.1:53" });
        EXPECT_EQ(config.server.threads, 4u);
        EXPECT_TRUE(config.server.expose_zones);
        EXPECT_EQ(config.server.cookie_secret_hex, "00ff");
        EXPECT_EQ(config.server.cookie_secret_previous_hex, "11ee");
        EXPECT_TRUE(config.server.cookie_require);
        EXPECT_EQ(config.server.control_socket.socket_mode, 432u);
        EXPECT_EQ(config.server.control_socket.read_timeout_ms, 11u);
        EXPECT_EQ(config.server.control_socket.write_timeout_ms, 12u);
        EXPECT_EQ(config.server.control_socket.max_connections, 13u);
        EXPECT_EQ(config.server.tcp_timeout_ms, 14u);
        EXPECT_EQ(config.server.tcp_max_connections, 15u);
        EXPECT_EQ(config.server.tcp_max_queries_per_connection, 16u);
        EXPECT_EQ(config.server.tcp_max_message_size, 17u);
        EXPECT_EQ(config.server.tcp_max_connections_per_client, 18u);
        EXPECT_EQ(config.server.tcp_handshake_timeout_ms, 19u);
        EXPECT_FALSE(config.server.recursor.dnssec_validation);
        EXPECT_EQ(config.server.recursor.http_listen, "127.0.0.1:8080");
        EXPECT_EQ(config.server.recursor.control_socket_path, "/run/recursor.sock");
        EXPECT_EQ(config.cache.strategy, CacheStrategy::none);
        EXPECT_TRUE(config.cache.serve_stale);
        EXPECT_EQ(config.cache.serve_stale_max_age, 3600u);
        EXPECT_FALSE(config.cache.prefetch);
        EXPECT_EQ(config.cache.file, "/var/lib/recursor/cache");
        EXPECT_EQ(config.logging.level, LogLevel::warn);
    }

    TEST(Config, SkipsCommentsBlankLinesAndLinesBeforeAnySection)
    {
        Config config = parsed("threads = 9\n"
                               "listen = 10.0.0.1:53\n"
                               "# a comment\n"
                               "\n"
                               "  [server]  \r\n"
                               " \t\v\f\r\n"
                               "\t# indented comment = 1\n"
                               "#listen = 10.0.0.2:53\n"
                               "\tlisten\t=\t127.0.0.1:53 \r\n"
                               "threads = 2"); // no final newline
        EXPECT_EQ(config.server.listen_addrs, std::vector<std::string> { "127.0.0.1:53" });
        EXPECT_EQ(config.server.threads, 2u);
    }

    TEST(Config, KeepsAHashAfterTheValueAsPartOfIt)
    {
        Config config = parsed("[server]\ncookie_secret_hex = ab#cd\ncontrol_socket_path = /tmp/x # note\n");
        EXPECT_EQ(config.server.cookie_secret_hex, "ab#cd");
        EXPECT_EQ(config.server.recursor.control_socket_path, "/tmp/x # note");
        // The value is split at the first '=' only.
        EXPECT_EQ(parsed("[server]\ncookie_secret_hex = a=b\n").server.cookie_secret_hex, "a=b");
    }

    TEST(Config, IgnoresLinesWithAnEmptyKeyOrValue)
    {
        // None of these reach a key handler, so neither the bad section nor the bad values fail.
        for (std::string_view text : { "[server]\nlisten=\nlisten\n= 127.0.0.1:53\nthreads =  \n",
                 "[Server]\nlisten=\n", "[bogus]\n", "[bogus]\nkey\n", "[server]\nbogus_key\n",
                 "[logging]\nlevel=\n", "[zone:example.test.]\nfile =\n" }) {
            SCOPED_TRACE(text);
            Config config = parsed(text);
            EXPECT_TRUE(config.server.listen_addrs.empty());
            EXPECT_EQ(config.server.threads, 0u);
            EXPECT_TRUE(config.zones.empty());
        }
    }

    TEST(Config, RejectsKeysOutsideTheKnownSectionsAndKeys)
    {
        struct Case {
            std::string_view text;
            ServerError error;
        };
        for (auto [text, error] : std::initializer_list<Case> {
                 { "[Server]\nlisten = 127.0.0.1:53\n", ServerError::UnknownConfigSection },
                 { "[ server ]\nlisten = 127.0.0.1:53\n", ServerError::UnknownConfigSection },
                 { "[]\nkey = value\n", ServerError::UnknownConfigSection },
                 { "[zone]\nfile = x\n", ServerError::UnknownConfigSection },
                 { "[zone:example.]\n[resolver]\nfile = x\n", ServerError::UnknownConfigSection },
                 { "[server]\nListen = 127.0.0.1:53\n", ServerError::UnknownConfigKey },
                 { "[server]\nlevel = info\n", ServerError::UnknownConfigKey },
                 { "[logging]\nLevel = info\n", ServerError::UnknownConfigKey },
                 { "[logging]\nlisten = 127.0.0.1:53\n", ServerError::UnknownConfigKey },
                 { "[zone:example.]\nfiles = x\n", ServerError::UnknownConfigKey },
                 { "[forward:example.]\nserver = 192.0.2.1\nport = 53\n", ServerError::UnknownConfigKey },
                 { "[stub:example.]\nserver = 192.0.2.1\nfile = x\n", ServerError::UnknownConfigKey },
             }) {
            SCOPED_TRACE(text);
            auto config = Config::parseConfig(text);
            ASSERT_FALSE(config.has_value());
            EXPECT_EQ(config.error(), error) << errorName(config.error());
        }
    }

    TEST(Config, RejectsBadValuesWithTheirErrorKind)
    {
        struct Case {
            std::string_view line;
            ServerError error;
        };
        for (auto [line, error] : std::initializer_list<Case> {
                 { "threads = four", ServerError::InvalidCharacter },
                 { "threads = -1", ServerError::InvalidCharacter },
                 { "threads = 18446744073709551616", ServerError::Overflow },
                 { "tcp_timeout_ms = 4294967296", ServerError::Overflow },
                 { "tcp_max_message_size = 1__0", ServerError::InvalidCharacter },
                 { "control_socket_mode = 8", ServerError::InvalidCharacter },
                 { "control_socket_mode = 0o600", ServerError::InvalidCharacter },
                 { "control_socket_max_connections = 10 # ten", ServerError::InvalidCharacter },
                 { "expose_zones = TRUE", ServerError::InvalidBoolean },
                 { "dnssec_validation = off", ServerError::InvalidBoolean },
                 { "cache_strategy = None", ServerError::InvalidCacheStrategy },
                 { "serve_stale = 1d", ServerError::InvalidBoolean },
                 { "serve_stale_max_age = -1", ServerError::InvalidCharacter },
                 { "serve_stale_max_age = 4294967296", ServerError::Overflow },
                 { "prefetch = sometimes", ServerError::InvalidBoolean },
             }) {
            SCOPED_TRACE(line);
            auto config = Config::parseConfig("[server]\n" + std::string(line) + "\n");
            ASSERT_FALSE(config.has_value());
            EXPECT_EQ(config.error(), error) << errorName(config.error());
        }
        EXPECT_EQ(Config::parseConfig("[logging]\nlevel = verbose\n").error(), ServerError::InvalidLogLevel);
    }

    // The operator's answer limits ([server] cache_max_ttl, cache_max_negative_ttl, bogus_ttl,
    // aggressive_nsec, allow_loopback_nameservers): accepted values, bad text, values out of range.
    TEST(Config, ReadsTheAnswerLimits)
    {
        const AnswerLimits defaults = parsed("[server]\n").server.recursor.limits;
        EXPECT_EQ(defaults.cache_max_ttl, 86400u);
        EXPECT_EQ(defaults.cache_max_negative_ttl, 3600u);
        EXPECT_EQ(defaults.bogus_ttl, 60u);
        EXPECT_TRUE(defaults.aggressive_nsec);
        EXPECT_TRUE(defaults.qname_minimisation); // RFC 9156, on unless the operator says otherwise
        EXPECT_FALSE(defaults.allow_loopback_nameservers);

        struct Case {
            std::string_view line;
            std::function<bool(const AnswerLimits&)> check;
        };
        const Case cases[] = {
            { "cache_max_ttl = 1", [](const AnswerLimits& l) { return l.cache_max_ttl == 1; } },
            { "cache_max_ttl = 604_800", [](const AnswerLimits& l) { return l.cache_max_ttl == 604800; } },
            { "cache_max_ttl = +300", [](const AnswerLimits& l) { return l.cache_max_ttl == 300; } },
            { "cache_max_negative_ttl = 0",
                [](const AnswerLimits& l) { return l.cache_max_negative_ttl == 0; } },
            { "cache_max_negative_ttl = 86400",
                [](const AnswerLimits& l) { return l.cache_max_negative_ttl == 86400; } },
            { "bogus_ttl = 0", [](const AnswerLimits& l) { return l.bogus_ttl == 0; } },
            { "bogus_ttl = 86400", [](const AnswerLimits& l) { return l.bogus_ttl == 86400; } },
            { "aggressive_nsec = no", [](const AnswerLimits& l) { return !l.aggressive_nsec; } },
            { "aggressive_nsec = false", [](const AnswerLimits& l) { return !l.aggressive_nsec; } },
            { "aggressive_nsec = 0", [](const AnswerLimits& l) { return !l.aggressive_nsec; } },
            { "aggressive_nsec = yes", [](const AnswerLimits& l) { return l.aggressive_nsec; } },
            { "qname_minimisation = no", [](const AnswerLimits& l) { return !l.qname_minimisation; } },
            { "allow_loopback_nameservers = yes",
                [](const AnswerLimits& l) { return l.allow_loopback_nameservers; } },
            { "allow_loopback_nameservers = 1",
                [](const AnswerLimits& l) { return l.allow_loopback_nameservers; } },
            { "allow_loopback_nameservers = no",
                [](const AnswerLimits& l) { return !l.allow_loopback_nameservers; } },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.line);
            const Config config = parsed("[server]\nlisten = 127.0.0.1:53\n" + std::string(c.line) + "\n");
            EXPECT_TRUE(c.check(config.server.recursor.limits));
            EXPECT_EQ(validationLog(config, std::nullopt), "");
        }
    }

    TEST(Config, RefusesAnswerLimitsThatAreNoNumberOrBoolean)
    {
        struct Case {
            std::string_view line;
            ServerError error;
        };
        for (auto [line, error] : std::initializer_list<Case> {
                 { "cache_max_ttl = ten", ServerError::InvalidCharacter },
                 { "cache_max_ttl = 1d", ServerError::InvalidCharacter },
                 { "cache_max_ttl = -1", ServerError::InvalidCharacter },
                 { "cache_max_ttl = 4294967296", ServerError::Overflow },
                 { "cache_max_negative_ttl = 1.5", ServerError::InvalidCharacter },
                 { "cache_max_negative_ttl = 99999999999", ServerError::Overflow },
                 { "bogus_ttl = 0x3c", ServerError::InvalidCharacter },
                 { "aggressive_nsec = off", ServerError::InvalidBoolean },
                 { "aggressive_nsec = YES", ServerError::InvalidBoolean },
                 { "allow_loopback_nameservers = on", ServerError::InvalidBoolean },
                 { "allow_loopback_nameservers = 2", ServerError::InvalidBoolean },
             }) {
            SCOPED_TRACE(line);
            auto config = Config::parseConfig("[server]\n" + std::string(line) + "\n");
            ASSERT_FALSE(config.has_value());
            EXPECT_EQ(config.error(), error) << errorName(config.error());
        }
    }

    TEST(Config, ListenLinesAppendWhileOtherKeysOverwrite)
    {
        Config config = parsed("[server]\nlisten = 127.0.0.1:53\nthreads = 1\n"
                               "[logging]\nlevel = debug\n"
                               "[server]\nlisten = [::1]:53\nthreads = 2\n"
                               "[logging]\nlevel = err\n");
        EXPECT_EQ(config.server.listen_addrs, (std::vector<std::string> { "127.0.0.1:53", "[::1]:53" }));
        EXPECT_EQ(config.server.threads, 2u);
        EXPECT_EQ(config.logging.level, LogLevel::err);
    }

    TEST(Config, CollectsZonesAndReplacesTheFileOfARepeatedZone)
    {
        Config config = parsed("[zone:example.test.]\nfile = a.zone\n"
                               "[zone:empty.]\n" // a zone section without a file adds no zone
                               "[zone:other.]\nfile = b.zone\n"
                               "[zone:example.test.]\nfile = c.zone\n"
                               "[zone: spaced. ]\nfile = d.zone\n");
        ASSERT_EQ(config.zones.size(), 3u);
        EXPECT_EQ(config.zones[0].name, "example.test.");
        EXPECT_EQ(config.zones[0].file, "c.zone");
        EXPECT_EQ(config.zones[1].name, "other.");
        EXPECT_EQ(config.zones[1].file, "b.zone");
        EXPECT_EQ(config.zones[2].name, " spaced. "); // section names are not trimmed
    }

    // A file without a listen line used to fail with NoListenAddress; start-up uses the default then.
    // Forward and stub sections in file order, each server with its port (53 unless written), a repeated
    // section adding to the first; loopback and private targets are the operator's to name.
    TEST(Config, ReadsForwardAndStubSections)
    {
        Config config = parsed("[forward:corp.]\nserver = 10.0.0.53\nserver = 10.0.0.54:5300\n"
                               "[stub:internal.]\nserver = [::1]:53\nserver = 127.0.0.1\ninsecure = true\n"
                               "[forward:corp.]\nserver = 2001:db8::53\n");
        ASSERT_EQ(config.forward_zones.size(), 2u);
        const auto& corp = config.forward_zones[0];
        EXPECT_EQ(std::tie(corp.name, corp.recursive, corp.insecure, corp.line),
            std::make_tuple(std::string("corp."), true, false, std::size_t { 1 }));
        std::vector<std::string> targets;
        for (const auto& server : corp.servers)
            targets.push_back(server.toString());
        EXPECT_EQ(
            targets, (std::vector<std::string> { "10.0.0.53:53", "10.0.0.54:5300", "[2001:db8::53]:53" }));
        const auto& internal = config.forward_zones[1];
        EXPECT_EQ(std::tie(internal.name, internal.recursive, internal.insecure),
            std::make_tuple(std::string("internal."), false, true));
        EXPECT_EQ(internal.servers.size(), 2u);
    }

    // Policy sections keep their file order: it is their rank, the first that matches wins.
    TEST(Config, ReadsRpzSectionsInFileOrder)
    {
        Config config = parsed("[rpz:second.]\nfile = /b.rpz\n[server]\n[rpz:first.]\nfile = /a.rpz\n");
        ASSERT_EQ(config.rpz_zones.size(), 2u);
        EXPECT_EQ(std::tie(config.rpz_zones[0].name, config.rpz_zones[0].file, config.rpz_zones[0].line),
            std::make_tuple(std::string("second."), std::string("/b.rpz"), std::size_t { 1 }));
        EXPECT_EQ(std::tie(config.rpz_zones[1].name, config.rpz_zones[1].file),
            std::make_tuple(std::string("first."), std::string("/a.rpz")));
    }

    // Each fault an operator could write stops start-up with its kind.
    TEST(Config, RefusesBadForwardAndStubSections)
    {
        std::string fourteen = "[stub:many.]\n";
        for (int i = 1; i <= 14; ++i)
            fourteen += "server = 192.0.2." + std::to_string(i) + "\n";
        struct Case {
            std::string text;
            ServerError error;
        };
        for (const auto& [text, error] : std::initializer_list<Case> {
                 { "[forward:corp.]\n", ServerError::InvalidSetting }, // no server
                 { "[stub:corp.]\ninsecure = true\n[server]\n", ServerError::InvalidSetting },
                 { "[forward:corp]\nserver = 10.0.0.53\n", ServerError::InvalidZoneName },
                 { "[stub:]\nserver = 10.0.0.53\n", ServerError::InvalidZoneName },
                 { "[forward:a..b.]\nserver = 10.0.0.53\n", ServerError::InvalidZoneName },
                 { "[forward:corp.]\nserver = ns.corp\n", ServerError::InvalidAddress },
                 { "[forward:corp.]\nserver = 10.0.0.53:0\n", ServerError::InvalidAddress },
                 { "[forward:corp.]\nserver = 10.0.0.353\n", ServerError::InvalidAddress },
                 { "[forward:corp.]\nserver = 10.0.0.53:99999\n", ServerError::InvalidAddress },
                 { "[forward:corp.]\nserver = 10.0.0.53\ninsecure = maybe\n", ServerError::InvalidBoolean },
                 { "[forward:corp.]\nserver = 10.0.0.53\n[stub:corp.]\nserver = 10.0.0.54\n",
                     ServerError::InvalidSetting }, // one zone cannot be both
                 { fourteen, ServerError::InvalidSetting }, // more than a step asks
                 { "[rpz:block.]\n[server]\n", ServerError::InvalidSetting }, // no file
                 { "[rpz:block]\nfile = a\n", ServerError::InvalidZoneName },
                 { "[rpz:]\nfile = a\n", ServerError::InvalidZoneName },
                 { "[rpz:block.]\nfile = a\n[rpz:block.]\nfile = b\n", ServerError::InvalidSetting },
                 { "[rpz:block.]\nfile = a\nfile = b\n", ServerError::InvalidSetting },
                 { "[rpz:block.]\nfile = a\nserver = 10.0.0.53\n", ServerError::UnknownConfigKey },
             }) {
            SCOPED_TRACE(text);
            auto config = Config::parseConfig(text);
            ASSERT_FALSE(config.has_value());
            EXPECT_EQ(config.error(), error) << errorName(config.error());
        }
    }

    TEST(ConfigValidate, AcceptsAFileWithoutAListenAddress)
    {
        EXPECT_EQ(validationLog(parsed("[server]\n"), std::nullopt), "");
        EXPECT_EQ(validationLog(parsed(""), std::nullopt), "");
        EXPECT_EQ(validationLog(parsed("[server]\nlisten = 127.0.0.1:53\n"), std::nullopt), "");
    }

    // Any text used to pass as a cookie secret ("xyz", "00112233"); RFC 9018 §4.3 wants 16 bytes.
    TEST(ConfigValidate, TakesOnlyThirtyTwoHexDigitsAsTheCookieSecret)
    {
        const std::string good = "00112233445566778899aabbccddeeff";
        EXPECT_EQ(validationLog(parsed("[server]\ncookie_secret_hex = " + good + "\n"), std::nullopt), "");
        EXPECT_EQ(validationLog(parsed("[server]\ncookie_secret_hex = 00112233445566778899AABBCCDDEEFF\n"),
                      std::nullopt),
            "");
        for (const std::string key : { "cookie_secret_hex", "cookie_secret_previous_hex" }) {
            for (const std::string& bad : { std::string("xyz"), std::string("00112233"), good + "00",
                     good.substr(1), "0x" + good.substr(2), good.substr(0, 31) + "g",
                     good.substr(0, 16) + " " + good.substr(17) }) {
                SCOPED_TRACE(key + " = " + bad);
                const auto log = validationLog(
                    parsed("[server]\n" + key + " = " + bad + "\n"), ServerError::InvalidSetting);
                EXPECT_THAT(
                    log, HasSubstr("Invalid " + key + " (" + std::to_string(bad.size()) + " characters)"));
                EXPECT_EQ(log.find(bad), std::string::npos) << "the secret itself is never logged";
            }
        }
    }

    // The README's example used to fail as printed (error: InvalidCharacter): its lines carried trailing
    // comments. It is loaded here exactly as an operator would copy it.
    TEST(ShippedConfiguration, TheReadmeExampleLoadsAsPrinted)
    {
        const std::string example = fencedBlock(readSourceFile("README.md"), "ini");
        ASSERT_FALSE(example.empty()) << "README.md has an ```ini block";
        auto config = loadedAsShipped(example);
        ASSERT_TRUE(config.has_value()) << errorName(config.error());
        EXPECT_EQ(config->server.listen_addrs, (std::vector<std::string> { "127.0.0.1:5353", "[::1]:5353" }));
        EXPECT_EQ(config->server.recursor.http_listen, "127.0.0.1:9153");
        EXPECT_EQ(config->server.edns_buffer_size, 1232u);
        EXPECT_EQ(config->server.control_socket.socket_mode, 0600u);
        EXPECT_EQ(config->cache.max_bytes, 16777216u);
        EXPECT_FALSE(config->cache.serve_stale);
        EXPECT_EQ(config->cache.serve_stale_max_age, 86400u);
        EXPECT_TRUE(config->cache.prefetch);
        EXPECT_EQ(config->logging.level, LogLevel::info);
        ASSERT_EQ(config->forward_zones.size(), 2u);
        EXPECT_EQ(config->forward_zones[0].servers.size(), 2u);
        EXPECT_TRUE(config->forward_zones[1].insecure);
        ASSERT_EQ(config->zones.size(), 1u); // its zone file is loaded by tests/e2e/local_zone_test.py
        EXPECT_EQ(config->zones[0].name, "office.example.");
        EXPECT_EQ(config->zones[0].file, "/etc/recursor/office.example.zone");
        EXPECT_TRUE(config->server.expose_zones);
        ASSERT_EQ(config->rpz_zones.size(), 1u);
        // The policy file printed beside it builds, each of its rules taken.
        const std::string policy_file = fencedBlock(readSourceFile("README.md"), "dns");
        auto policy = loadRpzPolicy(*DnsName::fromText(config->rpz_zones[0].name), policy_file, "README.md");
        ASSERT_TRUE(policy.has_value()) << policy.error().describe();
        EXPECT_EQ(std::make_pair(policy->qnameRuleCount(), policy->ipRuleCount()),
            std::make_pair(std::size_t { 8 }, std::size_t { 2 }));
    }

    TEST(ShippedConfiguration, TheInstalledDefaultLoadsAsShipped)
    {
        auto config = loadedAsShipped(readSourceFile("dist/recursor.conf"));
        ASSERT_TRUE(config.has_value()) << errorName(config.error());
        EXPECT_EQ(config->server.listen_addrs, (std::vector<std::string> { "127.0.0.1:53", "[::1]:53" }));
        EXPECT_TRUE(config->server.recursor.dnssec_validation);
        EXPECT_EQ(config->server.recursor.control_socket_path, "/run/recursor/control.sock");
    }

    // Every key the parser knows (read off its source, so that a new key cannot be missed) is
    // described in the manual page, and the parser really accepts each one.
    TEST(ShippedConfiguration, TheManualPageDescribesEveryKey)
    {
        const std::string source = readSourceFile("src/server/config.cpp");
        const std::string manual = readSourceFile("dist/recursor.8");
        ASSERT_FALSE(manual.empty());
        std::set<std::string> keys;
        const std::regex patterns[]
            = { std::regex(R"re(key == "([a-z_0-9]+)")re"), std::regex(R"re(\{ "([a-z_0-9]+)", "DNS_)re") };
        for (const std::regex& pattern : patterns) {
            for (auto it = std::sregex_iterator(source.begin(), source.end(), pattern);
                 it != std::sregex_iterator(); ++it)
                keys.insert((*it)[1]);
        }
        ASSERT_GT(keys.size(), 30u);
        for (const std::string& key : keys) {
            SCOPED_TRACE(key);
            const std::string section = key == "level" ? "[logging]"
                : key == "file"                        ? "[zone:example.]"
                : key == "server" || key == "insecure" ? "[forward:example.]\nserver = 192.0.2.1"
                                                       : "[server]";
            auto accepted = Config::parseConfig(section + "\n" + key + " = x\n");
            if (!accepted) {
                EXPECT_NE(accepted.error(), ServerError::UnknownConfigKey);
            }
            // roff escapes a '-' but not an '_': the key appears as written, in bold.
            EXPECT_NE(manual.find("\\fB" + key + "\\fR"), std::string::npos);
        }
        for (std::string_view flag : { "config", "listen", "http\\-listen", "tls\\-listen", "doh\\-listen",
                 "allow", "control\\-socket", "user", "root\\-hints", "trust\\-anchor", "enable\\-dnssec",
                 "disable\\-dnssec", "version", "help" }) {
            EXPECT_NE(manual.find("\\-\\-" + std::string(flag)), std::string::npos) << flag;
        }
    }

    // A line that fails used to be reported as a bare kind; it is named now, file and line first.
    TEST(Config, NamesTheFileLineKeyAndValueOfALineThatFails)
    {
        struct Case {
            std::string_view text;
            std::string_view origin;
            std::string_view message;
        };
        for (auto [text, origin, message] : std::initializer_list<Case> {
                 { "[server]\nthreads = many\n", "/etc/r.conf",
                     "error: /etc/r.conf:2: threads 'many': error.InvalidCharacter\n" },
                 { "\n\n[server]\nedns_buffer_size = 1232 # bytes\n", "",
                     "error: line 4: edns_buffer_size '1232 # bytes': error.InvalidCharacter (comments take "
                     "whole "
                     "lines: put it on a line of its own)\n" },
                 { "[server]\nlisten = 127.0.0.1:53\nbogus = 1\n", "a.conf",
                     "error: a.conf:3: bogus '1': error.UnknownConfigKey\n" },
                 { "[server]\ncookie_secret_hex = secret # x\nexpose_zones = maybe\n", "a.conf",
                     "error: a.conf:3: expose_zones 'maybe': error.InvalidBoolean\n" },
                 { "[logging]\nlevel = loud\n", "a.conf",
                     "error: a.conf:2: level 'loud': error.InvalidLogLevel\n" },
                 { "[forward:corp.]\nserver = resolver.corp\n", "a.conf",
                     "error: a.conf:2: server 'resolver.corp': error.InvalidAddress\n" },
                 { "[server]\n\n[stub:corp.]\ninsecure = yes\n", "a.conf",
                     "error: a.conf:3: [stub:corp.] names no server: add a line 'server = ADDR' or "
                     "'server = ADDR:PORT': error.InvalidSetting\n" },
                 { "[rpz:a.]\nfile = a.rpz\n\n[rpz:a.]\n", "a.conf",
                     "error: a.conf:4: [rpz:a.]: error.InvalidSetting\n" },
                 { "[server]\n[rpz:a.]\n", "a.conf",
                     "error: a.conf:2: [rpz:a.] names no file: add a line 'file = PATH': "
                     "error.InvalidSetting\n" },
             }) {
            SCOPED_TRACE(text);
            testing::internal::CaptureStderr();
            auto config = Config::parseConfig(text, origin);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
            EXPECT_FALSE(config.has_value());
        }
    }

    TEST(ConfigValidate, NamesTheMalformedAddressBeforeFailing)
    {
        struct Case {
            std::string_view text;
            std::string_view message;
        };
        for (auto [text, message] : std::initializer_list<Case> {
                 { "listen = [::1]53", "Invalid listen address '[::1]53': error.InvalidAddress\n" },
                 { "listen = 127.0.0.1:53\nlisten = 127.0.0.1:99999",
                     "Invalid listen address '127.0.0.1:99999': error.Overflow\n" },
                 { "listen = 127.0.0.1:5x",
                     "Invalid listen address '127.0.0.1:5x': error.InvalidCharacter\n" },
                 { "listen = 127.0.0.1:53\nhttp_listen = 127.0.0.1",
                     "Invalid recursor http_listen '127.0.0.1': error.InvalidAddress\n" },
                 // http_listen is checked before the listen addresses.
                 { "listen = bad\nhttp_listen = [::1]80",
                     "Invalid recursor http_listen '[::1]80': error.InvalidAddress\n" },
             }) {
            SCOPED_TRACE(text);
            auto log = validationLog(
                parsed("[server]\n" + std::string(text) + "\n"), ServerError::InvalidListenAddress);
            EXPECT_THAT(log, HasSubstr(std::string(message)));
            EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
        }
    }

    TEST(ConfigValidate, RefusesControlSocketSettingsThatMakeItUnusable)
    {
        const std::string listen = "[server]\nlisten = 127.0.0.1:53\n";
        for (auto [text, message] : std::initializer_list<std::pair<std::string_view, std::string_view>> {
                 { "control_socket_read_timeout_ms = 0",
                     "Invalid control_socket_read_timeout_ms '0': must be at least 1\n" },
                 { "control_socket_write_timeout_ms = 0",
                     "Invalid control_socket_write_timeout_ms '0': must be at least 1\n" },
                 { "control_socket_max_connections = 0",
                     "Invalid control_socket_max_connections '0': must be at least 1\n" },
                 { "control_socket_mode = 1000",
                     "Invalid control_socket_mode '1000': must be octal permission bits from 0 to 777\n" },
             }) {
            SCOPED_TRACE(text);
            EXPECT_THAT(validationLog(parsed(listen + std::string(text) + "\n"), ServerError::InvalidSetting),
                HasSubstr(std::string(message)));
        }
        validationLog(parsed(listen
                          + "control_socket_mode = 777\ncontrol_socket_read_timeout_ms = 1\n"
                            "control_socket_write_timeout_ms = 1\ncontrol_socket_max_connections = 1\n"),
            std::nullopt);
        validationLog(parsed(listen + "control_socket_mode = 0\n"), std::nullopt);
    }

    TEST(ConfigValidate, RefusesAStreamShareOrHandshakeTimeOfZero)
    {
        const std::string listen = "[server]\nlisten = 127.0.0.1:53\n";
        for (auto [text, message] : std::initializer_list<std::pair<std::string_view, std::string_view>> {
                 { "tcp_max_connections_per_client = 0",
                     "Invalid tcp_max_connections_per_client '0': must be at least 1\n" },
                 { "tcp_handshake_timeout_ms = 0",
                     "Invalid tcp_handshake_timeout_ms '0': must be at least 1\n" },
             }) {
            SCOPED_TRACE(text);
            EXPECT_THAT(validationLog(parsed(listen + std::string(text) + "\n"), ServerError::InvalidSetting),
                HasSubstr(std::string(message)));
        }
        validationLog(parsed(listen + "tcp_max_connections_per_client = 1\ntcp_handshake_timeout_ms = 1\n"),
            std::nullopt);
    }

    TEST(ConfigValidate, RefusesAnswerLimitsOutOfRange)
    {
        const std::string listen = "[server]\nlisten = 127.0.0.1:53\n";
        for (auto [text, message] : std::initializer_list<std::pair<std::string_view, std::string_view>> {
                 { "cache_max_ttl = 0", "Invalid cache_max_ttl '0': must be from 1 to 604800\n" },
                 { "cache_max_ttl = 604801", "Invalid cache_max_ttl '604801': must be from 1 to 604800\n" },
                 { "cache_max_ttl = 4294967295",
                     "Invalid cache_max_ttl '4294967295': must be from 1 to 604800\n" },
                 { "cache_max_negative_ttl = 86401",
                     "Invalid cache_max_negative_ttl '86401': must be from 0 to 86400\n" },
                 { "bogus_ttl = 86401", "Invalid bogus_ttl '86401': must be from 0 to 86400\n" },
                 { "bogus_ttl = 1_000_000", "Invalid bogus_ttl '1000000': must be from 0 to 86400\n" },
             }) {
            SCOPED_TRACE(text);
            const std::string log
                = validationLog(parsed(listen + std::string(text) + "\n"), ServerError::InvalidSetting);
            EXPECT_THAT(log, HasSubstr(std::string(message)));
            EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
        }
    }

    TEST(ConfigValidate, LeavesHostNamesToStartUp)
    {
        // Only the host/port split is checked here; start-up refuses the name later.
        validationLog(parsed("[server]\nlisten = localhost:53\nhttp_listen = ::1:80\n"), std::nullopt);
    }

    TEST(ConfigValidate, RequiresZoneNamesToEndWithADot)
    {
        const std::string listen = "[server]\nlisten = 127.0.0.1:53\n";
        validationLog(parsed(listen + "[zone:example.test.]\nfile = x\n"), std::nullopt);
        EXPECT_THAT(
            validationLog(parsed(listen + "[zone:example.test]\nfile = x\n"), ServerError::InvalidZoneName),
            HasSubstr("Zone name must end with '.': example.test\n"));
        EXPECT_THAT(validationLog(parsed(listen + "[zone:]\nfile = x\n"), ServerError::InvalidZoneName),
            HasSubstr("Zone name must end with '.': \n"));
    }

    TEST(ConfigEnvironment, EveryVariableOverridesItsSetting)
    {
        Config config = parsed("[server]\nlisten = 127.0.0.1:53\nthreads = 1\ncookie_secret_hex = 00\n");
        auto applied = config.applyEnvironment(envOf({
            { "DNS_LISTEN", "10.0.0.1:53" },
            { "DNS_THREADS", "+8" },
            { "DNS_LOG_LEVEL", "error" },
            { "DNS_CACHE_STRATEGY", "none" },
            { "DNS_COOKIE_SECRET_HEX", "beef" },
            { "DNS_CONTROL_SOCKET_MODE", "640" },
            { "DNS_CONTROL_SOCKET_READ_TIMEOUT_MS", "21" },
            { "DNS_CONTROL_SOCKET_WRITE_TIMEOUT_MS", "22" },
            { "DNS_CONTROL_SOCKET_MAX_CONNECTIONS", "23" },
            { "DNS_TCP_TIMEOUT_MS", "24" },
            { "DNS_TCP_MAX_CONNECTIONS", "25" },
            { "DNS_TCP_MAX_QUERIES_PER_CONNECTION", "26" },
            { "DNS_TCP_MAX_MESSAGE_SIZE", "2_7" },
            { "DNS_TCP_MAX_CONNECTIONS_PER_CLIENT", "28" },
            { "DNS_TCP_HANDSHAKE_TIMEOUT_MS", "29" },
            // Settings without a variable stay as the file left them.
            { "DNS_HTTP_LISTEN", "127.0.0.1:1" },
            { "DNS_DNSSEC_VALIDATION", "no" },
        }));
        ASSERT_TRUE(applied.has_value()) << errorName(applied.error());
        EXPECT_EQ(config.server.listen_addrs, std::vector<std::string> { "10.0.0.1:53" });
        EXPECT_EQ(config.server.threads, 8u);
        EXPECT_EQ(config.logging.level, LogLevel::err);
        EXPECT_EQ(config.cache.strategy, CacheStrategy::none);
        EXPECT_EQ(config.server.cookie_secret_hex, "beef");
        EXPECT_EQ(config.server.control_socket.socket_mode, 0640u);
        EXPECT_EQ(config.server.control_socket.read_timeout_ms, 21u);
        EXPECT_EQ(config.server.control_socket.write_timeout_ms, 22u);
        EXPECT_EQ(config.server.control_socket.max_connections, 23u);
        EXPECT_EQ(config.server.tcp_timeout_ms, 24u);
        EXPECT_EQ(config.server.tcp_max_connections, 25u);
        EXPECT_EQ(config.server.tcp_max_queries_per_connection, 26u);
        EXPECT_EQ(config.server.tcp_max_message_size, 27u);
        EXPECT_EQ(config.server.tcp_max_connections_per_client, 28u);
        EXPECT_EQ(config.server.tcp_handshake_timeout_ms, 29u);
        EXPECT_FALSE(config.server.recursor.http_listen);
        EXPECT_TRUE(config.server.recursor.dnssec_validation);
    }

    TEST(ConfigEnvironment, UnsetVariablesChangeNothing)
    {
        const std::string text = "[server]\nlisten = 127.0.0.1:53\nthreads = 3\ncontrol_socket_mode = 700\n";
        for (const auto& env : { envOf({}), EnvLookup {} }) {
            Config config = parsed(text);
            ASSERT_TRUE(config.applyEnvironment(env).has_value());
            EXPECT_EQ(config.server.listen_addrs, std::vector<std::string> { "127.0.0.1:53" });
            EXPECT_EQ(config.server.threads, 3u);
            EXPECT_EQ(config.server.control_socket.socket_mode, 0700u);
        }
    }

    TEST(ConfigEnvironment, DnsListenReplacesTheWholeList)
    {
        struct Case {
            std::string_view value;
            std::vector<std::string> expected;
        };
        for (const auto& [value, expected] : std::initializer_list<Case> {
                 { "127.0.0.1:53, [::1]:53", { "127.0.0.1:53", "[::1]:53" } },
                 { " , 10.0.0.1:53 ,,\t", { "10.0.0.1:53" } },
                 { "", {} },
                 { " , ", {} },
             }) {
            SCOPED_TRACE(value);
            Config config = parsed("[server]\nlisten = 192.0.2.1:53\nlisten = 192.0.2.2:53\n");
            ASSERT_TRUE(config.applyEnvironment(envOf({ { "DNS_LISTEN", std::string(value) } })).has_value());
            EXPECT_EQ(config.server.listen_addrs, expected);
        }
    }

    TEST(ConfigEnvironment, BadValuesFailWithTheSameKindsAsTheFile)
    {
        struct Case {
            std::string_view name;
            std::string_view value;
            ServerError error;
        };
        for (auto [name, value, error] : std::initializer_list<Case> {
                 { "DNS_THREADS", "x", ServerError::InvalidCharacter },
                 { "DNS_THREADS", "", ServerError::InvalidCharacter },
                 { "DNS_THREADS", " 4", ServerError::InvalidCharacter },
                 { "DNS_THREADS", "18446744073709551616", ServerError::Overflow },
                 { "DNS_LOG_LEVEL", "ERROR", ServerError::InvalidLogLevel },
                 { "DNS_CACHE_STRATEGY", " none", ServerError::InvalidCacheStrategy },
                 { "DNS_CONTROL_SOCKET_MODE", "8", ServerError::InvalidCharacter },
                 { "DNS_CONTROL_SOCKET_MODE", "40000000000", ServerError::Overflow },
                 { "DNS_CONTROL_SOCKET_READ_TIMEOUT_MS", "4294967296", ServerError::Overflow },
                 { "DNS_CONTROL_SOCKET_WRITE_TIMEOUT_MS", "4294967296", ServerError::Overflow },
                 { "DNS_CONTROL_SOCKET_MAX_CONNECTIONS", "-1", ServerError::InvalidCharacter },
                 { "DNS_TCP_TIMEOUT_MS", "4294967296", ServerError::Overflow },
                 { "DNS_TCP_MAX_CONNECTIONS", "1_", ServerError::InvalidCharacter },
                 { "DNS_TCP_MAX_QUERIES_PER_CONNECTION", "4294967296", ServerError::Overflow },
                 { "DNS_TCP_MAX_MESSAGE_SIZE", "64k", ServerError::InvalidCharacter },
             }) {
            SCOPED_TRACE(std::string(name) + "=" + std::string(value));
            Config config = parsed("[server]\nlisten = 127.0.0.1:53\n");
            auto applied = config.applyEnvironment(envOf({ { std::string(name), std::string(value) } }));
            ASSERT_FALSE(applied.has_value());
            EXPECT_EQ(applied.error(), error) << errorName(applied.error());
        }
    }

    TEST(ConfigEnvironment, EnvpLookupMatchesWholeNames)
    {
        char entries[][32]
            = { "DNS_LISTENX=1", "DNS_LISTEN=a=b", "DNS_THREADS", "DNS_TCP_TIMEOUT_MS=", "DNS_LISTEN=c" };
        char* envp[] = { entries[0], entries[1], entries[2], entries[3], entries[4], nullptr };
        auto env = envLookupFromEnvp(envp);
        EXPECT_EQ(env("DNS_LISTEN"), "a=b"); // the first definition wins, as with getenv
        EXPECT_EQ(env("DNS_LISTENX"), "1");
        EXPECT_EQ(env("DNS_TCP_TIMEOUT_MS"), "");
        EXPECT_EQ(env("DNS_THREADS"), std::nullopt);
        EXPECT_EQ(env("DNS_LIST"), std::nullopt);
        EXPECT_EQ(envLookupFromEnvp(nullptr)("DNS_LISTEN"), std::nullopt);
    }

    TEST(ConfigLoad, ReportsFileSystemErrors)
    {
        ScratchDir dir;
        auto file = dir.write("plain.conf", "[server]\n");
        EXPECT_EQ(Config::loadFromFile(dir.path() + "/missing.conf").error(), ServerError::FileNotFound);
        EXPECT_EQ(Config::loadFromFile("").error(), ServerError::FileNotFound);
        EXPECT_EQ(Config::loadFromFile(file + "/below").error(), ServerError::FileNotFound);
        EXPECT_EQ(Config::loadFromFile(dir.path()).error(), ServerError::IsDir);
        EXPECT_EQ(Config::loadFromFile(std::string(file) + '\0' + "x").error(), ServerError::FileNotFound);
        if (::geteuid() != 0) { // root reads the file regardless of its mode
            ::chmod(file.c_str(), 0);
            EXPECT_EQ(Config::loadFromFile(file).error(), ServerError::AccessDenied);
        }
    }

    TEST(ConfigLoad, AcceptsTenMebibytesAndNotOneByteMore)
    {
        ScratchDir dir;
        std::string text = "[server]\nlisten = 127.0.0.1:53\n";
        text.resize(Config::max_file_size - 1, '#');
        text += '\n';
        ASSERT_EQ(text.size(), 10u * 1024 * 1024);
        auto exact = Config::loadFromFile(dir.write("exact.conf", text));
        ASSERT_TRUE(exact.has_value()) << errorName(exact.error());
        EXPECT_EQ(exact->server.listen_addrs.size(), 1u);

        auto over = Config::loadFromFile(dir.write("over.conf", text + "\n"));
        ASSERT_FALSE(over.has_value());
        EXPECT_EQ(over.error(), ServerError::StreamTooLong);
    }

    TEST(ConfigLoad, AppliesTheEnvironmentBeforeValidating)
    {
        ScratchDir dir;
        auto no_listen = dir.write("no_listen.conf", "[server]\n");
        auto bad_listen = dir.write("bad_listen.conf", "[server]\nlisten = [::1]53\n");
        EXPECT_TRUE(Config::loadFromFileWithEnv(no_listen, envOf({})).has_value());

        auto fixed = Config::loadFromFileWithEnv(bad_listen, envOf({ { "DNS_LISTEN", "[::1]:53" } }));
        ASSERT_TRUE(fixed.has_value()) << errorName(fixed.error());
        EXPECT_EQ(fixed->server.listen_addrs, std::vector<std::string> { "[::1]:53" });

        EXPECT_EQ(Config::loadFromFileWithEnv(
                      no_listen, envOf({ { "DNS_LISTEN", "127.0.0.1:53" }, { "DNS_THREADS", "x" } }))
                      .error(),
            ServerError::InvalidCharacter);
        EXPECT_EQ(Config::loadFromFileWithEnv(dir.path() + "/missing", envOf({})).error(),
            ServerError::FileNotFound);
        // An empty DNS_LISTEN clears the file's (bad) lines: the default address is used then.
        auto emptied = Config::loadFromFileWithEnv(bad_listen, envOf({ { "DNS_LISTEN", "" } }));
        ASSERT_TRUE(emptied.has_value()) << errorName(emptied.error());
        EXPECT_TRUE(emptied->server.listen_addrs.empty());
    }

    // The operator's keys: the IPv6 prefix the rate limit counts by, the HTTP peers and the query log.
    TEST(Config, ReadsTheOperatorKeysAndBoundsTheIpv6Prefix)
    {
        const Config defaults = parsed("[server]\nlisten = 127.0.0.1:53\n");
        EXPECT_EQ(defaults.server.client_rate_limit_ipv6_prefix, 56u);
        EXPECT_TRUE(defaults.server.http_allow.empty());
        EXPECT_FALSE(defaults.server.log_queries);
        const Config set = parsed("[server]\nlisten = 127.0.0.1:53\nclient_rate_limit_ipv6_prefix = 64\n"
                                  "http_allow = 192.0.2.0/24\nhttp_allow = ::1\nlog_queries = yes\n");
        EXPECT_EQ(set.server.client_rate_limit_ipv6_prefix, 64u);
        EXPECT_EQ(set.server.http_allow, (std::vector<std::string> { "192.0.2.0/24", "::1" }));
        EXPECT_TRUE(set.server.log_queries);
        EXPECT_EQ(validationLog(set, std::nullopt), "");
        const std::string listen = "[server]\nlisten = 127.0.0.1:53\n";
        for (const char* line :
            { "client_rate_limit_ipv6_prefix = 31", "client_rate_limit_ipv6_prefix = 129" }) {
            SCOPED_TRACE(line);
            EXPECT_THAT(validationLog(parsed(listen + line + "\n"), ServerError::InvalidSetting),
                HasSubstr("client_rate_limit_ipv6_prefix must be 32 to 128"));
        }
        for (const char* line :
            { "client_rate_limit_ipv6_prefix = 32", "client_rate_limit_ipv6_prefix = 128" }) {
            SCOPED_TRACE(line);
            EXPECT_EQ(validationLog(parsed(listen + line + "\n"), std::nullopt), "");
        }
        EXPECT_EQ(validationLog(parsed(listen + "http_allow = 192.0.2.0/33\n"), ServerError::InvalidAddress)
                      .empty(),
            false);
        EXPECT_EQ(
            Config::parseConfig("[server]\nlog_queries = sometimes\n").error(), ServerError::InvalidBoolean);
    }

} // namespace
} // namespace recursor
