#include "base/event_loop.h"

#include "base/clock.h"
#include "base/thread.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>
#include <optional>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

namespace recursor {

namespace {

    thread_local EventLoop* running_loop = nullptr;

    // The longest epoll_wait: a bound, so that a lost wake-up costs a second at worst.
    constexpr int max_idle_wait_ms = 1000;
    constexpr int events_per_wait = 64;

    std::uint32_t toEpoll(short events)
    {
        std::uint32_t out = 0;
        if ((events & POLLIN) != 0)
            out |= EPOLLIN;
        if ((events & POLLOUT) != 0)
            out |= EPOLLOUT;
        return out;
    }

    short toPoll(std::uint32_t events)
    {
        short out = 0;
        if ((events & EPOLLIN) != 0)
            out |= POLLIN;
        if ((events & EPOLLOUT) != 0)
            out |= POLLOUT;
        if ((events & EPOLLERR) != 0)
            out |= POLLERR;
        if ((events & EPOLLHUP) != 0)
            out |= POLLHUP;
        return out;
    }

} // namespace

struct EventLoop::Watch final : Handler {
    Watch(EventLoop& owner, int watched, std::function<void()> callback)
        : loop(owner)
        , fd(watched)
        , on_ready(std::move(callback))
    {
    }
    void onEvent(std::uint32_t) override
    {
        if (!loop.stopping())
            runGuarded("event loop", on_ready);
    }
    EventLoop& loop;
    int fd;
    std::function<void()> on_ready;
};

// One fiber in waitReady, woken once by whatever comes first.
struct EventLoop::Waiter {
    void wake()
    {
        if (woken)
            return;
        woken = true;
        loop->makeReady(fiber);
    }

    EventLoop* loop;
    Fiber* fiber;
    bool woken { false };
    // The waiter's entry among the loop's timers, until it fires or the wait ends.
    std::optional<std::multimap<std::int64_t, Waiter*>::iterator> timer {};
};

// What one waiting fiber asked of one descriptor, and what happened to it.
struct EventLoop::Slot {
    Waiter* waiter { nullptr };
    std::uint32_t wanted { 0 };
    std::uint32_t revents { 0 };
};

// A descriptor registered with epoll for the slots waiting on it. The registration is one-shot and
// stays when nobody waits: the next wait re-arms it with one call instead of adding and deleting it
// around every wait. An event with nobody waiting (a late reply) only disarms it.
struct EventLoop::WatchedFd final : Handler {
    WatchedFd(int epoll, int watched)
        : epoll_fd(epoll)
        , fd(watched)
    {
    }
    void onEvent(std::uint32_t events) override
    {
        bool still_waiting = false;
        for (Slot* slot : slots) {
            const std::uint32_t mine = events & (slot->wanted | EPOLLERR | EPOLLHUP);
            if (mine != 0) {
                slot->revents |= mine;
                slot->waiter->wake();
            } else {
                still_waiting = true;
            }
        }
        if (still_waiting)
            arm();
    }
    // Whether the registration now stands for the slots; it is made again when the descriptor was
    // closed (and maybe reused) since, which takes the kernel's registration with it.
    bool arm()
    {
        epoll_event ev { .events = wanted() | EPOLLONESHOT, .data = { .ptr = static_cast<Handler*>(this) } };
        if (::epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &ev) == 0)
            return true;
        return errno == ENOENT && ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0;
    }
    std::uint32_t wanted() const
    {
        std::uint32_t all = 0;
        for (const Slot* slot : slots)
            all |= slot->wanted;
        return all;
    }
    int epoll_fd;
    int fd;
    std::vector<Slot*> slots;
};

std::unique_ptr<EventLoop> EventLoop::create()
{
    const int epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0)
        return nullptr;
    const int wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev { .events = EPOLLIN, .data = { .ptr = nullptr } };
    if (wake_fd < 0 || ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &ev) != 0) {
        if (wake_fd >= 0)
            ::close(wake_fd);
        ::close(epoll_fd);
        return nullptr;
    }
    std::unique_ptr<EventLoop> loop(new (std::nothrow) EventLoop(epoll_fd, wake_fd));
    if (!loop) {
        ::close(wake_fd);
        ::close(epoll_fd);
    }
    return loop;
}

EventLoop::EventLoop(int epoll_fd, int wake_fd)
    : epoll_fd_(epoll_fd)
    , wake_fd_(wake_fd)
{
}

EventLoop::~EventLoop()
{
    ::close(wake_fd_);
    ::close(epoll_fd_);
}

EventLoop* EventLoop::current()
{
    return running_loop;
}

bool EventLoop::watch(int fd, std::function<void()> on_ready)
{
    std::unique_ptr<Watch> watch(new (std::nothrow) Watch(*this, fd, std::move(on_ready)));
    if (!watch)
        return false;
    epoll_event ev { .events = EPOLLIN, .data = { .ptr = static_cast<Handler*>(watch.get()) } };
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0)
        return false;
    try {
        watches_.push_back(std::move(watch));
    } catch (const std::bad_alloc&) {
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
        return false;
    }
    return true;
}

bool EventLoop::spawn(Fiber::Body body)
{
    return start(std::move(body), Fiber::current());
}

bool EventLoop::spawnDetached(Fiber::Body body)
{
    return start(std::move(body), nullptr);
}

bool EventLoop::start(Fiber::Body body, const Fiber* parent)
{
    std::unique_ptr<Fiber> fiber = Fiber::create(std::move(body));
    if (!fiber)
        return false;
    fiber->setParent(parent);
    Fiber* const raw = fiber.get();
    try {
        fibers_.emplace(raw, std::move(fiber));
        ready_.push_back(raw);
    } catch (const std::bad_alloc&) {
        fibers_.erase(raw);
        return false;
    }
    return true;
}

void EventLoop::makeReady(Fiber* fiber)
{
    ready_.push_back(fiber);
}

void EventLoop::stop()
{
    stop_requested_.store(true);
    const std::uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
}

void EventLoop::run()
{
    EventLoop* const outer = running_loop;
    running_loop = this;
    std::array<epoll_event, events_per_wait> events {};
    for (;;) {
        if (stopping() && !cancelled_)
            cancelEverything();
        runReady();
        if (round_end_)
            runGuarded("event loop", round_end_);
        if (cancelled_ && fibers_.empty())
            break;
        const int wait_ms = ready_.empty() ? msUntilNextTimer() : 0;
        const int n = ::epoll_wait(epoll_fd_, events.data(), events_per_wait, wait_ms);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.ptr == nullptr) {
                std::uint64_t count = 0;
                (void)!::read(wake_fd_, &count, sizeof count);
                continue;
            }
            static_cast<Handler*>(events[i].data.ptr)->onEvent(events[i].events);
        }
        fireTimers();
    }
    running_loop = outer;
}

void EventLoop::runReady()
{
    // Fibers made ready while these run wait for the next round, after the sockets have been looked at.
    round_.clear();
    round_.swap(ready_);
    for (Fiber* fiber : round_) {
        const auto owned = fibers_.find(fiber);
        if (owned == fibers_.end())
            continue;
        fiber->resume();
        if (fiber->finished())
            fibers_.erase(owned);
    }
}

int EventLoop::msUntilNextTimer() const
{
    if (timers_.empty())
        return max_idle_wait_ms;
    const std::int64_t left = timers_.begin()->first - monotonicMs();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, max_idle_wait_ms));
}

void EventLoop::fireTimers()
{
    const std::int64_t now = monotonicMs();
    while (!timers_.empty() && timers_.begin()->first <= now) {
        Waiter* const waiter = timers_.begin()->second;
        timers_.erase(timers_.begin());
        waiter->timer.reset();
        waiter->wake();
    }
}

// Stopping: the listening sockets go quiet and every fiber waiting on the network is woken as if its
// wait had timed out; from now on waits only look.
void EventLoop::cancelEverything()
{
    cancelled_ = true;
    for (const auto& watch : watches_)
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, watch->fd, nullptr);
    for (Waiter* waiter : waiting_)
        waiter->wake();
}

bool EventLoop::addSlot(int fd, Slot& slot)
{
    try {
        auto [entry, fresh] = watched_fds_.try_emplace(fd);
        if (fresh)
            entry->second = std::make_unique<WatchedFd>(epoll_fd_, fd);
        WatchedFd& watched = *entry->second;
        watched.slots.push_back(&slot);
        if (watched.arm())
            return true;
        removeSlot(fd, slot);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
    }
    return false;
}

void EventLoop::removeSlot(int fd, Slot& slot)
{
    const auto entry = watched_fds_.find(fd);
    if (entry == watched_fds_.end())
        return;
    WatchedFd& watched = *entry->second;
    std::erase(watched.slots, &slot);
    if (!watched.slots.empty())
        watched.arm(); // for the others, should the event that woke this one have disarmed it
}

int EventLoop::waitInFiber(std::span<pollfd> fds, int timeout_ms)
{
    if (cancelled_) {
        errno = ECANCELED;
        return -1;
    }
    if (timeout_ms == 0)
        return ::poll(fds.data(), fds.size(), 0);
    Waiter waiter { this, Fiber::current() };
    std::vector<Slot> slots;
    try {
        slots.resize(fds.size());
        waiting_.insert(&waiter);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
    std::size_t added = 0;
    for (; added < fds.size(); ++added) {
        slots[added] = Slot { &waiter, toEpoll(fds[added].events), 0 };
        if (!addSlot(fds[added].fd, slots[added]))
            break;
    }
    if (added == fds.size()) {
        try {
            if (timeout_ms > 0)
                waiter.timer = timers_.emplace(monotonicMs() + timeout_ms, &waiter);
            Fiber::suspend();
        } catch (const std::bad_alloc&) {
            errno = ENOMEM;
        }
    }
    for (std::size_t i = 0; i < added; ++i)
        removeSlot(fds[i].fd, slots[i]);
    if (waiter.timer)
        timers_.erase(*waiter.timer);
    waiting_.erase(&waiter);
    if (added != fds.size())
        return -1;
    if (cancelled_) {
        errno = ECANCELED;
        return -1;
    }
    int ready = 0;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        fds[i].revents = toPoll(slots[i].revents);
        ready += fds[i].revents != 0 ? 1 : 0;
    }
    return ready;
}

int waitReady(std::span<pollfd> fds, int timeout_ms)
{
    EventLoop* const loop = EventLoop::current();
    if (loop == nullptr || Fiber::current() == nullptr)
        return ::poll(fds.data(), fds.size(), timeout_ms);
    return loop->waitInFiber(fds, timeout_ms);
}

void FiberSignal::wait()
{
    Fiber* const self = Fiber::current();
    if (done_ || self == nullptr || EventLoop::current() == nullptr)
        return;
    waiters_.push_back(self);
    while (!done_)
        Fiber::suspend();
}

void FiberSignal::notifyAll()
{
    done_ = true;
    EventLoop* const loop = EventLoop::current();
    for (Fiber* waiter : std::exchange(waiters_, {})) {
        if (loop != nullptr)
            loop->makeReady(waiter);
    }
}

} // namespace recursor
