// A value that a reload replaces whole while every event-loop thread reads it on each question.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace recursor {

namespace detail {
    // One sequence for every Published value of the process, so that a number names one value of one
    // instance: a thread's kept copy can never be mistaken for another instance's.
    inline std::atomic<std::uint64_t> published_versions { 0 };
} // namespace detail

// Readers take no lock and write no shared memory on the common path (std::atomic<std::shared_ptr> in
// GCC 12 takes a spin lock and bumps a shared count per load): each thread keeps the snapshot it took
// last and takes the lock only after a replace has moved the version on. A snapshot stays alive while
// anyone holds it, so a question in flight keeps the data it started with; the price is that an idle
// thread holds a replaced value until its next read.
template <typename T> class Published {
public:
    explicit Published(std::shared_ptr<const T> initial)
        : value_(std::move(initial))
        , version_(detail::published_versions.fetch_add(1) + 1)
    {
    }
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    // The current value as this thread keeps it: valid until this thread's next current() of a Published
    // of the same T. Copy it to hold it longer.
    const std::shared_ptr<const T>& current() const
    {
        Kept& kept = keptByThisThread();
        if (kept.version != version_.load(std::memory_order_acquire)) {
            std::lock_guard lock(mutex_);
            kept.value = value_;
            kept.version = version_.load(std::memory_order_relaxed);
        }
        return kept.value;
    }

    // Installs `fresh`; returns the value it replaces. Readers see it at their next current().
    std::shared_ptr<const T> replace(std::shared_ptr<const T> fresh)
    {
        std::lock_guard lock(mutex_);
        std::swap(value_, fresh);
        version_.store(detail::published_versions.fetch_add(1) + 1, std::memory_order_release);
        return fresh;
    }

private:
    struct Kept {
        std::uint64_t version { 0 }; // 0: none yet; real versions start at 1
        std::shared_ptr<const T> value;
    };
    static Kept& keptByThisThread()
    {
        thread_local Kept kept;
        return kept;
    }

    mutable std::mutex mutex_;
    std::shared_ptr<const T> value_;
    std::atomic<std::uint64_t> version_;
};

} // namespace recursor
