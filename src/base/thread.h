// Threads with a 16 MiB stack and a 4 KiB guard area, the size every thread of this program gets
// (resolutions called without an event loop recurse on the calling thread's stack).
#pragma once

#include <cstddef>
#include <functional>
#include <pthread.h>
#include <string_view>
#include <utility>

namespace recursor {

inline constexpr std::size_t thread_stack_size = 16u * 1024 * 1024;
inline constexpr std::size_t thread_guard_size = 4096;

// A joinable thread; the destructor joins if the owner did not. An exception escaping the body is
// logged and ends the thread, never the process.
class Thread {
public:
    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&& other) noexcept;
    ~Thread();

    // Returns the pthread error number on failure, 0 on success.
    [[nodiscard]] int start(std::function<void()> body);
    void join();
    bool joinable() const { return started_; }

private:
    pthread_t handle_ {};
    bool started_ { false };
};

// For a catch (...) block: logs "<where>: " and the exception's message without allocating.
void logCaughtException(std::string_view where) noexcept;

// Runs `body` and keeps any exception from going further: it is logged and false is returned. Used at
// the edge of every thread body and loop iteration, so that one failure (say std::bad_alloc while
// logging) costs one query or connection instead of the process.
template <typename F> bool runGuarded(std::string_view where, F&& body) noexcept
{
    try {
        std::forward<F>(body)();
        return true;
    } catch (...) {
        logCaughtException(where);
        return false;
    }
}

// Starts a detached thread; returns the pthread error number on failure, 0 on success.
[[nodiscard]] int spawnDetached(std::function<void()> body);

// Ignores SIGPIPE through an empty handler, so writes to a closed peer fail with EPIPE instead.
void installSigpipeHandler();

} // namespace recursor
