#include "ops/control_socket.h"

#include "base/log.h"
#include "ops/connection_io.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace recursor {

using ops_io::monotonicMs;
using ops_io::UniqueFd;
using ops_io::warn;

namespace {

    constexpr int listen_backlog = 128;
    constexpr std::size_t error_response_limit = 128;
    constexpr std::string_view ascii_whitespace = " \t\n\r\v\f";

    static_assert(sizeof(sockaddr_un::sun_path) == ControlSocket::max_path_length);

    // Reads until the buffer holds a newline, is full, or the peer closes its side.
    // Returns the number of bytes buffered.
    OpsResult<std::size_t> waitForCommandLine(int fd, std::span<char> buffer, std::int64_t deadline_ms)
    {
        std::size_t length = 0;
        while (length < buffer.size() && std::memchr(buffer.data(), '\n', length) == nullptr) {
            TRY_VOID(ops_io::waitUntil(fd, POLLIN, deadline_ms));
            const ssize_t n = ::recv(fd, buffer.data() + length, buffer.size() - length, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return std::unexpected(OpsError::NetworkError);
            if (n == 0)
                break;
            length += static_cast<std::size_t>(n);
        }
        return length;
    }

    // Writes both parts unless the peer stops reading for longer than the deadline allows;
    // whatever is left then is dropped. Write errors are ignored: the connection closes next.
    void writeWithDeadline(int fd, std::string_view first, std::string_view second, std::int64_t deadline_ms)
    {
        std::array<std::string_view, 2> parts { first, second };
        for (std::string_view& part : parts) {
            while (!part.empty()) {
                if (!ops_io::waitUntil(fd, POLLOUT, deadline_ms))
                    return;
                const ssize_t sent = ::send(fd, part.data(), part.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (sent < 0 && (errno == EINTR || errno == EAGAIN))
                    continue;
                if (sent <= 0)
                    return;
                part.remove_prefix(static_cast<std::size_t>(sent));
            }
        }
    }

    std::string_view trimAsciiWhitespace(std::string_view text)
    {
        const std::size_t first = text.find_first_not_of(ascii_whitespace);
        if (first == std::string_view::npos)
            return {};
        return text.substr(first, text.find_last_not_of(ascii_whitespace) - first + 1);
    }

    std::string errorResponse(OpsError error)
    {
        std::string response = "ERROR: ";
        response += errorName(error);
        if (response.size() > error_response_limit)
            return "ERROR: Internal error";
        return response;
    }

    OpsError pathErrorKind(int error)
    {
        switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return OpsError::AccessDenied;
        case ENAMETOOLONG:
            return OpsError::PathTooLong;
        case ENOMEM:
            return OpsError::OutOfMemory;
        default:
            return OpsError::SocketFailed;
        }
    }

    // Fills sun_path without a terminating NUL when the path takes all 108 bytes.
    socklen_t unixAddress(const std::string& path, sockaddr_un& address)
    {
        address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        const std::size_t with_nul = std::min(path.size() + 1, sizeof address.sun_path);
        return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + with_nul);
    }

    // Whether something accepts connections on the socket file at `path`. Only a refused connection
    // proves the file stale; any other outcome means it may belong to a running process.
    bool socketIsLive(const std::string& path)
    {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.get() < 0 || path.size() > ControlSocket::max_path_length)
            return true;
        sockaddr_un address;
        const socklen_t address_len = unixAddress(path, address);
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), address_len) == 0)
            return true;
        return errno != ECONNREFUSED && errno != ENOENT;
    }

    // A socket file left by a process that is gone is removed; a live socket, or any other kind of
    // file, is someone else's.
    OpsResult<void> clearStaleSocket(const std::string& path)
    {
        struct stat status { };
        if (::lstat(path.c_str(), &status) != 0) {
            if (errno == ENOENT)
                return {};
            return std::unexpected(pathErrorKind(errno));
        }
        if (!S_ISSOCK(status.st_mode) || socketIsLive(path))
            return std::unexpected(OpsError::PathInUse);
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return std::unexpected(pathErrorKind(errno));
        return {};
    }

    OpsResult<int> bindAndListen(const std::string& path)
    {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.get() < 0)
            return std::unexpected(OpsError::SocketFailed);
        sockaddr_un address;
        const socklen_t address_len = unixAddress(path, address);
        if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), address_len) != 0) {
            switch (errno) {
            case EADDRINUSE:
                return std::unexpected(OpsError::PathInUse);
            case EACCES:
            case EPERM:
            case EROFS:
                return std::unexpected(OpsError::AccessDenied);
            default:
                return std::unexpected(OpsError::BindFailed);
            }
        }
        if (::listen(fd.get(), listen_backlog) != 0) {
            ::unlink(path.c_str());
            return std::unexpected(OpsError::ListenFailed);
        }
        return fd.release();
    }

    // A blocked accept() on a listener that was shut down returns at once on Linux; the connection
    // covers kernels where it does not.
    void wakeAcceptor(const std::string& path)
    {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.get() < 0)
            return;
        sockaddr_un address;
        const socklen_t address_len = unixAddress(path, address);
        (void)::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), address_len);
    }

} // namespace

ControlSocket::ControlSocket(std::string socket_path, Handler handler, ControlSocketConfig config)
    : socket_path_(std::move(socket_path))
    , handler_(std::move(handler))
    , config_(config)
{
}

ControlSocket::~ControlSocket()
{
    stop();
}

OpsResult<void> ControlSocket::start()
{
    if (listener_fd_ >= 0 || !handler_ || socket_path_.empty()
        || socket_path_.find('\0') != std::string::npos)
        return std::unexpected(OpsError::InvalidArgs);
    TRY_VOID(clearStaleSocket(socket_path_));
    if (socket_path_.size() > max_path_length)
        return std::unexpected(OpsError::PathTooLong);
    UniqueFd listener(TRY(bindAndListen(socket_path_)));
    struct stat created { };
    if (::chmod(socket_path_.c_str(), static_cast<mode_t>(config_.socket_mode)) != 0
        || (config_.owner && ::chown(socket_path_.c_str(), config_.owner->first, config_.owner->second) != 0)
        || ::lstat(socket_path_.c_str(), &created) != 0) {
        const OpsError error = pathErrorKind(errno);
        ::unlink(socket_path_.c_str());
        return std::unexpected(error);
    }
    socket_file_id_ = { created.st_dev, created.st_ino };
    should_stop_.store(false);
    listener_fd_ = listener.release();
    if (accept_thread_.start([this] { acceptLoop(); }) != 0) {
        ::close(std::exchange(listener_fd_, -1));
        ::unlink(socket_path_.c_str());
        return std::unexpected(OpsError::ThreadSpawnFailed);
    }
    owns_socket_file_ = true;
    try {
        logInfo("Control socket listening on " + socket_path_);
    } catch (const std::bad_alloc&) {
    }
    return {};
}

void ControlSocket::stop()
{
    should_stop_.store(true);
    if (listener_fd_ >= 0) {
        ::shutdown(listener_fd_, SHUT_RDWR);
        if (socket_path_.size() <= max_path_length && pathIsOurSocket())
            wakeAcceptor(socket_path_);
    }
    accept_thread_.join();
    if (listener_fd_ >= 0)
        ::close(std::exchange(listener_fd_, -1));
    ops_io::waitUntilIdle(active_handlers_);
    if (owns_socket_file_) {
        removeSocketFile();
        owns_socket_file_ = false;
    }
}

// The path may have been taken over since start (an operator removed our file and another instance
// bound there): only the file this instance created is ours to touch.
bool ControlSocket::pathIsOurSocket() const
{
    struct stat status { };
    return ::lstat(socket_path_.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)
        && status.st_dev == socket_file_id_.first && status.st_ino == socket_file_id_.second;
}

void ControlSocket::removeSocketFile()
{
    if (pathIsOurSocket())
        ::unlink(socket_path_.c_str());
}

void ControlSocket::acceptLoop()
{
    // Refused peers take no slot and no thread.
    auto admit = [this](int fd) {
        if (authorizePeer(fd))
            return true;
        sendResponse(fd, "ERROR: Permission denied");
        ::close(fd);
        return false;
    };
    ops_io::acceptConnections(listener_fd_, should_stop_, active_handlers_, config_.max_connections,
        { .name = "Control socket", .thread_noun = "client handler" }, admit,
        [this](int fd) { handleClient(fd); });
}

// The server's own user, and root, which could take the process over anyway. The kernel vouches for
// the peer's credentials (SO_PEERCRED, as they were at connect time).
bool ControlSocket::authorizePeer(int client_fd) const
{
    ucred credentials {};
    socklen_t length = sizeof credentials;
    if (::getsockopt(client_fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    return length == sizeof credentials && (credentials.uid == ::geteuid() || credentials.uid == 0);
}

void ControlSocket::handleClient(int client_fd)
{
    {
        UniqueFd fd(client_fd);
        // Nothing sensible can be answered after an exception (out of memory, say); the connection closes.
        runGuarded("Control socket handler", [&] { serveConnection(fd.get()); });
    }
    // The last touch of `this`: stop() may destroy the socket as soon as the count reaches zero.
    active_handlers_.fetch_sub(1);
}

void ControlSocket::serveConnection(int client_fd)
{
    std::array<char, command_buffer_size> buffer;
    const std::int64_t deadline = monotonicMs() + config_.read_timeout_ms;
    const OpsResult<std::size_t> length = waitForCommandLine(client_fd, buffer, deadline);
    if (!length) {
        warn("Control socket read error: ", errorName(length.error()));
        return;
    }
    const std::string_view data(buffer.data(), *length);
    std::string_view line = data.substr(0, data.find('\n'));
    if (line.size() == data.size()) {
        if (data.size() == buffer.size()) {
            sendResponse(client_fd, "ERROR: Command too long (max 4096 bytes)");
            return;
        }
        if (data.empty())
            return; // closed before saying anything
        // Closed without a newline: what arrived is the command line.
    }
    const std::string response = dispatchCommand(line);
    sendResponse(client_fd, response);
}

OpsResult<ControlCommand> parseControlCommand(std::string_view line)
{
    const std::string_view trimmed = trimAsciiWhitespace(line);
    ControlCommand parsed;
    std::size_t pos = 0;
    parsed.name = ops_io::nextWord(trimmed, pos);
    if (parsed.name.empty())
        return std::unexpected(OpsError::EmptyCommand);
    for (std::string_view word = ops_io::nextWord(trimmed, pos); !word.empty();
         word = ops_io::nextWord(trimmed, pos)) {
        if (parsed.arg_count == ControlCommand::max_arguments)
            return std::unexpected(OpsError::TooManyArguments);
        parsed.args[parsed.arg_count++] = word;
    }
    return parsed;
}

std::string ControlSocket::dispatchCommand(std::string_view line) const
{
    const OpsResult<ControlCommand> parsed = parseControlCommand(line);
    if (!parsed) {
        return parsed.error() == OpsError::EmptyCommand ? "ERROR: Empty command"
                                                        : "ERROR: Too many arguments (max 64)";
    }
    OpsResult<std::string> response = std::unexpected(OpsError::OutOfMemory);
    try {
        response = handler_(parsed->name, parsed->arguments());
    } catch (const std::bad_alloc&) {
    }
    if (!response)
        return errorResponse(response.error());
    return std::move(*response);
}

void ControlSocket::sendResponse(int client_fd, std::string_view response) const
{
    writeWithDeadline(client_fd, response, "\n", monotonicMs() + config_.write_timeout_ms);
}

} // namespace recursor
