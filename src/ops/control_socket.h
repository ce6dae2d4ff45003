// The operator's control channel: a Unix-domain stream socket that takes one command line per
// connection ("PING", "STATS", "SHUTDOWN", ...) and answers one response line. Only peers running as
// the process's effective user, or as root, are served. The command table belongs to the caller's
// handler.
#pragma once

#include "base/thread.h"
#include "ops/ops_error.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>

namespace recursor {

struct ControlSocketConfig {
    std::uint32_t max_connections { 10 };
    std::uint32_t socket_mode { 0600 };
    std::uint32_t read_timeout_ms { 1000 };
    std::uint32_t write_timeout_ms { 1000 };
    // The user and group the socket file is given when the server will drop root for another user: that
    // user must still be able to connect once the server runs as it.
    std::optional<std::pair<uid_t, gid_t>> owner;
};

// One command line split at spaces (tabs, CR and LF trimmed from both ends): the command word and up
// to `max_arguments` arguments, views into the line.
struct ControlCommand {
    static constexpr std::size_t max_arguments = 64;

    std::string_view name;
    std::array<std::string_view, max_arguments> args {};
    std::size_t arg_count { 0 };

    std::span<const std::string_view> arguments() const { return { args.data(), arg_count }; }
};

// EmptyCommand for a blank line, TooManyArguments beyond ControlCommand::max_arguments.
OpsResult<ControlCommand> parseControlCommand(std::string_view line);

class ControlSocket {
public:
    // Runs on connection threads, possibly several at once. Returns the response without its final
    // newline; an error is answered as "ERROR: " followed by the error's name.
    using Handler = std::function<OpsResult<std::string>(
        std::string_view command, std::span<const std::string_view> args)>;

    static constexpr std::size_t command_buffer_size = 4096;
    static constexpr std::size_t max_arguments = ControlCommand::max_arguments;
    // sun_path holds 108 bytes. Linux accepts a path that fills it without a terminating NUL
    // (the address length tells where it ends), so 108 is the longest usable path.
    static constexpr std::size_t max_path_length = 108;

    ControlSocket(std::string socket_path, Handler handler, ControlSocketConfig config);
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;
    ~ControlSocket(); // runs stop()

    // Replaces a stale socket file (one nobody accepts on), binds, applies `socket_mode` and starts the
    // accept thread. PathInUse (a live socket or another kind of file is there), PathTooLong, AccessDenied,
    // SocketFailed, BindFailed, ListenFailed, ThreadSpawnFailed, InvalidArgs (empty path, NUL in the path,
    // already running).
    [[nodiscard]] OpsResult<void> start();
    // Wakes and joins the accept thread, waits for every connection thread, removes the socket file
    // if it is still the one start() created.
    // Idempotent.
    void stop();

    const std::string& path() const { return socket_path_; }
    std::uint32_t activeHandlers() const { return active_handlers_.load(); }

    // The reply to one command line (without the final newline); exposed for tests.
    std::string dispatchCommand(std::string_view line) const;

private:
    void acceptLoop();
    bool authorizePeer(int client_fd) const;
    void handleClient(int client_fd);
    void serveConnection(int client_fd);
    void sendResponse(int client_fd, std::string_view response) const;
    bool pathIsOurSocket() const;
    void removeSocketFile();

    std::string socket_path_;
    Handler handler_;
    Thread accept_thread_;
    int listener_fd_ { -1 };
    bool owns_socket_file_ { false };
    std::pair<dev_t, ino_t> socket_file_id_ {}; // identity of the file start() bound
    std::atomic<std::uint32_t> active_handlers_ { 0 };
    ControlSocketConfig config_;
    std::atomic<bool> should_stop_ { false };
};

} // namespace recursor
