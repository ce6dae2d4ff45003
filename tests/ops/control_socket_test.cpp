#include "ops/control_socket.h"

#include "ops/metrics.h"
#include "ops/stats_json.h"

#include "support/scratch_dir.h"
#include "support/stream_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace recursor {
namespace {

    using test::ScratchDir;
    using test::StreamClient;
    using test::unixSocketAddress;

    using Clock = std::chrono::steady_clock;

    std::int64_t millisecondsSince(Clock::time_point start)
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    }

    bool waitFor(const std::function<bool()>& condition)
    {
        const auto start = Clock::now();
        while (!condition()) {
            if (millisecondsSince(start) > 3000)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds { 5 });
        }
        return true;
    }

    std::string roundTrip(const std::string& path, std::string_view request, bool close_write_side = false)
    {
        StreamClient client(path);
        EXPECT_TRUE(client.connected());
        client.send(request);
        if (close_write_side)
            client.closeWriteSide();
        return client.readUntilClosed();
    }

    // A command table like the server's, plus ARGS (echoes its arguments) and FAIL (handler error).
    struct RunningControl {
        explicit RunningControl(ControlSocketConfig config = {}, std::string name = "control.sock")
            : socket_path(dir.path() + "/" + name)
        {
            auto created = Metrics::init([] { return std::int64_t { 1'700'000'000 }; });
            EXPECT_TRUE(created.has_value());
            metrics = std::move(*created);
            control = std::make_unique<ControlSocket>(socket_path, handler(), config);
            const OpsResult<void> started = control->start();
            EXPECT_TRUE(started.has_value());
            ok = started.has_value();
        }

        ControlSocket::Handler handler()
        {
            return [this](std::string_view command,
                       std::span<const std::string_view> args) -> OpsResult<std::string> {
                if (command == "PING")
                    return "OK";
                if (command == "STATS")
                    return renderStatsControlReply(metrics->snapshot());
                if (command == "SHUTDOWN") {
                    shutdown_requested.store(true);
                    return "OK";
                }
                if (command == "FAIL")
                    return std::unexpected(OpsError::OutOfMemory);
                if (command == "ARGS") {
                    std::string joined = std::to_string(args.size());
                    for (std::string_view arg : args)
                        joined.append("|").append(arg);
                    return joined;
                }
                return "ERROR: Unknown command";
            };
        }

        ScratchDir dir { "ctl" };
        std::string socket_path;
        std::unique_ptr<Metrics> metrics;
        std::atomic<bool> shutdown_requested { false };
        std::unique_ptr<ControlSocket> control;
        bool ok { false };
    };

    std::string words(std::size_t count)
    {
        std::string out;
        for (std::size_t i = 0; i < count; ++i)
            out += " a" + std::to_string(i);
        return out;
    }

    TEST(ControlSocket, AnswersOneResponseLinePerCommandLine)
    {
        struct Case {
            const char* label;
            std::string request;
            bool close_write_side;
            std::string expected;
        };
        const std::vector<Case> cases = {
            { "ping", "PING\n", false, "OK\n" },
            { "spaces around", "   PING   \n", false, "OK\n" },
            { "carriage return before the newline", "PING\r\n", false, "OK\n" },
            { "tabs and form feeds trimmed", "\t\fPING\v\t\n", false, "OK\n" },
            { "no newline, then end of stream", "PING", true, "OK\n" },
            { "commands are case-sensitive", "ping\n", false, "ERROR: Unknown command\n" },
            { "only the first line counts", "PING\nSHUTDOWN\n", false, "OK\n" },
            { "arguments are ignored by PING", "PING now please\n", false, "OK\n" },
            { "runs of spaces separate once", "ARGS  x   y \n", false, "2|x|y\n" },
            { "tab stays inside a word", "ARGS x\ty\n", false, "1|x\ty\n" },
            { "tab after the command word", "PING\tx\n", false, "ERROR: Unknown command\n" },
            { "64 arguments accepted", "ARGS" + words(64) + "\n", false,
                "64" +
                    [] {
                        std::string out;
                        for (int i = 0; i < 64; ++i)
                            out += "|a" + std::to_string(i);
                        return out;
                    }()
                    + "\n" },
            { "65 arguments refused", "PING" + words(65) + "\n", false,
                "ERROR: Too many arguments (max 64)\n" },
            { "only spaces", "      \n", false, "ERROR: Empty command\n" },
            { "empty line", "\n", false, "ERROR: Empty command\n" },
            { "handler error named", "FAIL\n", false, "ERROR: OutOfMemory\n" },
            { "closed before saying anything", "", true, "" },
        };
        RunningControl running;
        ASSERT_TRUE(running.ok);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            EXPECT_EQ(roundTrip(running.socket_path, c.request, c.close_write_side), c.expected);
        }
        EXPECT_FALSE(running.shutdown_requested.load());
    }

    // The parser alone, without a socket (what the fuzz target drives).
    TEST(ControlCommand, SplitsAtSpacesAfterTrimmingAndBoundsTheArguments)
    {
        struct Case {
            const char* label;
            std::string line;
            std::vector<std::string> words; // the command first; empty for the 64 arguments case
            std::optional<OpsError> error;
        };
        const std::vector<Case> cases = {
            { "command alone", "PING", { "PING" }, std::nullopt },
            { "trimmed and split once per run", " \tFLUSH   example.  \r\n", { "FLUSH", "example." },
                std::nullopt },
            { "tab inside a word", "A x\ty", { "A", "x\ty" }, std::nullopt },
            { "NUL is a byte like any other", std::string("A \0b", 4), { "A", std::string("\0b", 2) },
                std::nullopt },
            { "64 arguments", "A" + words(64), {}, std::nullopt },
            { "65 arguments", "A" + words(65), {}, OpsError::TooManyArguments },
            { "blank", " \t\r\n", {}, OpsError::EmptyCommand },
            { "empty", "", {}, OpsError::EmptyCommand },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            const OpsResult<ControlCommand> parsed = parseControlCommand(c.line);
            if (c.error) {
                ASSERT_FALSE(parsed.has_value());
                EXPECT_EQ(parsed.error(), *c.error);
                continue;
            }
            ASSERT_TRUE(parsed.has_value());
            if (c.words.empty()) { // the 64 arguments case
                EXPECT_EQ(parsed->arguments().size(), 64u);
                EXPECT_EQ(parsed->arguments().back(), "a63");
                continue;
            }
            EXPECT_EQ(parsed->name, c.words.front());
            ASSERT_EQ(parsed->arguments().size(), c.words.size() - 1);
            for (std::size_t i = 1; i < c.words.size(); ++i)
                EXPECT_EQ(parsed->arguments()[i - 1], c.words[i]);
        }
    }

    TEST(ControlSocket, RefusesLineFillingTheWholeBuffer)
    {
        RunningControl running;
        ASSERT_TRUE(running.ok);
        EXPECT_EQ(roundTrip(running.socket_path, std::string(4096, 'x')),
            "ERROR: Command too long (max 4096 bytes)\n");
        // One byte less leaves room for the newline: the line is dispatched.
        EXPECT_EQ(roundTrip(running.socket_path, std::string(4095, 'x') + "\n"), "ERROR: Unknown command\n");
    }

    TEST(ControlSocket, ReportsStatsAndShutdownThroughTheHandler)
    {
        RunningControl running;
        ASSERT_TRUE(running.ok);
        running.metrics->recordQuery(RCode::no_error, CacheOutcome::miss);
        const std::string reply = roundTrip(running.socket_path, "STATS\n");
        const OpsResult<std::string> json = renderStatsJson(running.metrics->snapshot());
        ASSERT_TRUE(json.has_value());
        EXPECT_EQ(reply, "OK\n" + *json + "\n");
        EXPECT_TRUE(reply.starts_with("OK\n{\"queries_total\":1,\"queries_success\":1,")) << reply;

        EXPECT_EQ(roundTrip(running.socket_path, "SHUTDOWN\n"), "OK\n");
        EXPECT_TRUE(running.shutdown_requested.load());
    }

    TEST(ControlSocket, PassesArgumentsToTheHandler)
    {
        RunningControl running;
        ASSERT_TRUE(running.ok);
        EXPECT_EQ(running.control->dispatchCommand("  ARGS one  two\r"), "2|one|two");
        EXPECT_EQ(running.control->dispatchCommand("ARGS"), "0");
    }

    TEST(ControlSocket, RefusesToReplaceAnythingButASocket)
    {
        ScratchDir dir { "ctl" };
        const std::string file_path = dir.path() + "/file";
        std::FILE* file = std::fopen(file_path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
        const std::string dir_path = dir.path() + "/subdir";
        ASSERT_EQ(::mkdir(dir_path.c_str(), 0700), 0);
        for (const std::string& path : { file_path, dir_path }) {
            SCOPED_TRACE(path);
            ControlSocket control(path, [](auto, auto) -> OpsResult<std::string> { return "OK"; }, {});
            const OpsResult<void> started = control.start();
            ASSERT_FALSE(started.has_value());
            EXPECT_EQ(started.error(), OpsError::PathInUse);
            control.stop();
            EXPECT_TRUE(std::filesystem::exists(path)); // left alone
        }
    }

    TEST(ControlSocket, ReplacesLeftoverSocketFile)
    {
        ScratchDir dir { "ctl" };
        const std::string path = dir.path() + "/control.sock";
        {
            // A socket file whose server is gone, as after a crash.
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address;
            const socklen_t length = unixSocketAddress(path, address);
            ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), length), 0);
            ::close(fd);
        }
        ControlSocket control(path, [](auto, auto) -> OpsResult<std::string> { return "OK"; }, {});
        ASSERT_TRUE(control.start().has_value());
        EXPECT_EQ(roundTrip(path, "PING\n"), "OK\n");
    }

    // A second instance started with the same path must neither take the socket away from a running
    // one nor, on its way out, delete a file it did not create.
    TEST(ControlSocket, LeavesTheSocketOfAnotherLiveInstanceAlone)
    {
        RunningControl first;
        ASSERT_TRUE(first.ok);
        const auto ok_handler = [](auto, auto) -> OpsResult<std::string> { return "OK"; };
        {
            ControlSocket second(first.socket_path, ok_handler, {});
            const OpsResult<void> started = second.start();
            ASSERT_FALSE(started.has_value());
            EXPECT_EQ(started.error(), OpsError::PathInUse);
        }
        EXPECT_EQ(roundTrip(first.socket_path, "SHUTDOWN\n"), "OK\n");
        EXPECT_TRUE(first.shutdown_requested.load());

        // The file was removed behind the first instance's back and a new one bound there.
        ASSERT_EQ(::unlink(first.socket_path.c_str()), 0);
        ControlSocket successor(first.socket_path, ok_handler, {});
        ASSERT_TRUE(successor.start().has_value());
        first.control->stop();
        EXPECT_TRUE(std::filesystem::exists(first.socket_path));
        EXPECT_EQ(roundTrip(first.socket_path, "PING\n"), "OK\n");
    }

    TEST(ControlSocket, AcceptsPathsThatFillSunPathExactly)
    {
        ScratchDir dir { "ctl" };
        const std::string longest = dir.path() + "/" + std::string(107 - dir.path().size(), 's');
        ASSERT_EQ(longest.size(), 108u);
        ControlSocket control(longest, [](auto, auto) -> OpsResult<std::string> { return "OK"; }, {});
        ASSERT_TRUE(control.start().has_value());
        struct stat status { };
        ASSERT_EQ(::lstat(longest.c_str(), &status), 0);
        EXPECT_TRUE(S_ISSOCK(status.st_mode));
        EXPECT_EQ(roundTrip(longest, "PING\n"), "OK\n");
        control.stop();
        EXPECT_FALSE(std::filesystem::exists(longest));

        ControlSocket too_long(longest + "s", [](auto, auto) -> OpsResult<std::string> { return "OK"; }, {});
        const OpsResult<void> started = too_long.start();
        ASSERT_FALSE(started.has_value());
        EXPECT_EQ(started.error(), OpsError::PathTooLong);
    }

    TEST(ControlSocket, RejectsUnusablePathsAndHandlers)
    {
        struct Case {
            const char* label;
            std::string path;
            bool with_handler;
        };
        const std::vector<Case> cases = {
            { "empty path", "", true },
            { "NUL inside the path", std::string("/tmp/a\0b", 8), true },
            { "no handler", "/tmp/recursor-no-handler.sock", false },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            ControlSocket::Handler handler;
            if (c.with_handler)
                handler = [](auto, auto) -> OpsResult<std::string> { return "OK"; };
            ControlSocket control(c.path, handler, {});
            const OpsResult<void> started = control.start();
            ASSERT_FALSE(started.has_value());
            EXPECT_EQ(started.error(), OpsError::InvalidArgs);
        }
    }

    TEST(ControlSocket, AppliesModeAndRemovesSocketFileOnStop)
    {
        RunningControl running(ControlSocketConfig { .socket_mode = 0640 });
        ASSERT_TRUE(running.ok);
        struct stat status { };
        ASSERT_EQ(::lstat(running.socket_path.c_str(), &status), 0);
        EXPECT_TRUE(S_ISSOCK(status.st_mode));
        EXPECT_EQ(status.st_mode & 07777, 0640u);
        running.control->stop();
        EXPECT_FALSE(std::filesystem::exists(running.socket_path));
        running.control->stop(); // nothing left to do
    }

    // A server about to drop root for another user used to leave the file root's, mode 0600: once it ran
    // as that user, nobody but root could connect, and root was then refused as a stranger.
    TEST(ControlSocket, GivesTheFileToTheUserTheServerWillRunAs)
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to give a file away";
        RunningControl running(
            ControlSocketConfig { .owner = std::pair { uid_t { 65534 }, gid_t { 65534 } } });
        ASSERT_TRUE(running.ok);
        struct stat status { };
        ASSERT_EQ(::lstat(running.socket_path.c_str(), &status), 0);
        EXPECT_EQ(status.st_uid, 65534u);
        EXPECT_EQ(status.st_gid, 65534u);
        EXPECT_EQ(status.st_mode & 07777, 0600u);
        EXPECT_EQ(roundTrip(running.socket_path, "PING\n"), "OK\n") << "root is served";
    }

    TEST(ControlSocket, DisconnectsSilentClientAfterReadTimeout)
    {
        RunningControl running(ControlSocketConfig { .read_timeout_ms = 200 });
        ASSERT_TRUE(running.ok);
        testing::internal::CaptureStderr();
        StreamClient client(running.socket_path);
        ASSERT_TRUE(client.connected());
        client.send("PIN"); // never finished
        const auto start = Clock::now();
        const std::string reply = client.readUntilClosed();
        const std::int64_t elapsed = millisecondsSince(start);
        ASSERT_TRUE(waitFor([&] { return running.control->activeHandlers() == 0; }));
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(reply, "");
        EXPECT_GE(elapsed, 150);
        EXPECT_LE(elapsed, 1500);
        EXPECT_NE(log.find("warning: Control socket read error: Timeout\n"), std::string::npos) << log;
    }

    TEST(ControlSocket, RejectsConnectionsBeyondTheLimitWithoutReply)
    {
        RunningControl running(ControlSocketConfig { .max_connections = 1 });
        ASSERT_TRUE(running.ok);
        StreamClient holder(running.socket_path);
        ASSERT_TRUE(waitFor([&] { return running.control->activeHandlers() == 1; }));

        testing::internal::CaptureStderr();
        const auto start = Clock::now();
        StreamClient rejected(running.socket_path);
        rejected.send("PING\n");
        const std::string reply = rejected.readUntilClosed();
        const std::int64_t elapsed = millisecondsSince(start);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(reply, "");
        EXPECT_LT(elapsed, 500);
        EXPECT_NE(log.find("warning: Control socket connection limit reached (1/1), rejecting connection\n"),
            std::string::npos)
            << log;

        holder.send("PING\n");
        EXPECT_EQ(holder.readUntilClosed(), "OK\n");
        ASSERT_TRUE(waitFor([&] { return running.control->activeHandlers() == 0; }));
        EXPECT_EQ(roundTrip(running.socket_path, "PING\n"), "OK\n");
    }

    TEST(ControlSocket, RefusesPeerOfAnotherUser)
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to connect as another user";
        RunningControl running(ControlSocketConfig { .socket_mode = 0666 });
        ASSERT_TRUE(running.ok);
        ASSERT_EQ(::chmod(running.dir.path().c_str(), 0711), 0);
        sockaddr_un address;
        const socklen_t length = unixSocketAddress(running.socket_path, address);
        static constexpr char expected[] = "ERROR: Permission denied\n";

        // The child does only async-signal-safe calls: the parent has threads.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            constexpr uid_t nobody = 65534;
            if (::setgid(nobody) != 0 || ::setuid(nobody) != 0)
                ::_exit(10);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0)
                ::_exit(11);
            char reply[64];
            std::size_t got = 0;
            for (ssize_t n; (n = ::read(fd, reply + got, sizeof reply - got)) > 0;)
                got += static_cast<std::size_t>(n);
            const bool matches = got == sizeof expected - 1 && std::memcmp(reply, expected, got) == 0;
            ::_exit(matches ? 0 : 12);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "10: setuid failed, 11: connect failed, 12: wrong reply";
        // Root, the server's own user, is still served.
        EXPECT_EQ(roundTrip(running.socket_path, "PING\n"), "OK\n");
    }

    TEST(ControlSocket, StopReturnsWhileAcceptIsBlocked)
    {
        RunningControl running;
        ASSERT_TRUE(running.ok);
        std::this_thread::sleep_for(std::chrono::milliseconds { 50 });
        const auto start = Clock::now();
        running.control->stop();
        EXPECT_LT(millisecondsSince(start), 500);
        StreamClient late(running.socket_path);
        EXPECT_FALSE(late.connected());
    }

    TEST(ControlSocket, StopWaitsForConnectionsBeingServed)
    {
        RunningControl running(ControlSocketConfig { .read_timeout_ms = 300 });
        ASSERT_TRUE(running.ok);
        StreamClient silent(running.socket_path);
        ASSERT_TRUE(waitFor([&] { return running.control->activeHandlers() == 1; }));
        testing::internal::CaptureStderr();
        running.control->stop();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(running.control->activeHandlers(), 0u);
        EXPECT_EQ(silent.readUntilClosed(), "");
        EXPECT_FALSE(std::filesystem::exists(running.socket_path));
    }

} // namespace
} // namespace recursor
