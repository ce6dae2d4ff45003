// An epoll loop on one thread that runs fibers: a fiber waiting for a socket or a moment hands the
// thread back (waitReady), and the loop switches into it again once the socket is ready or the moment
// has come. Watched sockets call back on the loop's own stack (a server's listening socket).
#pragma once

#include "base/fiber.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <poll.h>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace recursor {

class EventLoop {
public:
    // Null when the epoll or wake-up descriptors cannot be had.
    static std::unique_ptr<EventLoop> create();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;
    ~EventLoop();

    // The loop running on this thread, or null.
    static EventLoop* current();

    // Runs on the calling thread until stop() has been called and every fiber has finished.
    void run();
    // From any thread: watched sockets are no longer called, and every wait of every fiber ends at
    // once (as if it timed out), so that work in flight finishes quickly and the loop returns.
    void stop();
    bool stopping() const { return stop_requested_.load(std::memory_order_relaxed); }

    // `on_ready` runs on the loop's stack whenever `fd` is readable. Before run(), or on the loop.
    bool watch(int fd, std::function<void()> on_ready);
    // Starts `body` as a fiber once the loop comes round, the calling fiber (if any) as its parent, which
    // must outlive it. False when no fiber could be made.
    bool spawn(Fiber::Body body);
    // The same without a parent: for work that may outlive the fiber that starts it.
    bool spawnDetached(Fiber::Body body);
    // Fibers started and not yet finished.
    std::size_t fiberCount() const { return fibers_.size(); }
    // Lets a suspended fiber of this loop run again once the loop comes round.
    void makeReady(Fiber* fiber);
    // Runs on the loop's stack after each round of fibers, before the loop waits again (a server sends
    // the replies its fibers left in one batch). Before run().
    void setRoundEnd(std::function<void()> round_end) { round_end_ = std::move(round_end); }

    // waitReady for a fiber of this loop.
    int waitInFiber(std::span<pollfd> fds, int timeout_ms);

    struct Handler {
        virtual void onEvent(std::uint32_t events) = 0;

    protected:
        ~Handler() = default;
    };

private:
    struct Watch;
    struct Waiter;
    struct Slot;
    struct WatchedFd;
    bool start(Fiber::Body body, const Fiber* parent);
    bool addSlot(int fd, Slot& slot);
    void removeSlot(int fd, Slot& slot);
    EventLoop(int epoll_fd, int wake_fd);
    void runReady();
    void fireTimers();
    int msUntilNextTimer() const;
    void cancelEverything();

    int epoll_fd_;
    int wake_fd_;
    std::atomic<bool> stop_requested_ { false };
    bool cancelled_ { false };
    std::vector<std::unique_ptr<Watch>> watches_;
    std::unordered_map<Fiber*, std::unique_ptr<Fiber>> fibers_;
    std::vector<Fiber*> ready_;
    std::vector<Fiber*> round_; // the fibers of the round being run; kept to reuse its memory
    std::function<void()> round_end_;
    std::multimap<std::int64_t, Waiter*> timers_; // by monotonic deadline
    std::unordered_set<Waiter*> waiting_;
    // Descriptors fibers wait on; several fibers may wait on one.
    std::unordered_map<int, std::unique_ptr<WatchedFd>> watched_fds_;
};

// poll(2) that does not hold the thread: inside a fiber of a running loop the fiber is suspended until
// one of `fds` is ready or `timeout_ms` (-1: no limit) has passed; anywhere else it is poll(2). Once the
// loop is stopping it fails with ECANCELED, so that work in flight winds up.
int waitReady(std::span<pollfd> fds, int timeout_ms);

// Something fibers of one loop wait for together, such as a resolution they all need.
class FiberSignal {
public:
    // Inside a fiber: until notifyAll(). Anywhere else, or once done, it returns at once.
    void wait();
    void notifyAll();
    bool done() const { return done_; }

private:
    std::vector<Fiber*> waiters_;
    bool done_ { false };
};

} // namespace recursor
