#include "base/fiber.h"

#include "base/thread.h"

#include <boost/context/detail/fcontext.hpp>

#include <cstdint>
#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

// g++ says __SANITIZE_ADDRESS__, clang says __has_feature(address_sanitizer).
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RECURSOR_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define RECURSOR_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define RECURSOR_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define RECURSOR_TSAN 1
#endif

#if defined(RECURSOR_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(RECURSOR_TSAN)
extern "C" {
void* __tsan_get_current_fiber();
void* __tsan_create_fiber(unsigned flags);
void __tsan_destroy_fiber(void* fiber);
void __tsan_switch_to_fiber(void* fiber, unsigned flags);
}
#endif

namespace recursor {

namespace {

    // AddressSanitizer keeps a shadow of every stack: it must be told when execution moves to another.
    void startSwitch([[maybe_unused]] void** fake_stack, [[maybe_unused]] const void* bottom,
        [[maybe_unused]] std::size_t size)
    {
#if defined(RECURSOR_ASAN)
        __sanitizer_start_switch_fiber(fake_stack, bottom, size);
#endif
    }

    void finishSwitch([[maybe_unused]] void* fake_stack, [[maybe_unused]] const void** bottom_old,
        [[maybe_unused]] std::size_t* size_old)
    {
#if defined(RECURSOR_ASAN)
        __sanitizer_finish_switch_fiber(fake_stack, bottom_old, size_old);
#endif
    }

    void tsanSwitchTo([[maybe_unused]] void* fiber)
    {
#if defined(RECURSOR_TSAN)
        __tsan_switch_to_fiber(fiber, 0);
#endif
    }

    // The frames of a stack's last fiber, or of a thread whose stack the mapping reuses, leave their
    // AddressSanitizer poison behind. The runtime's own unpoisoning writes every shadow byte, which
    // would keep an eighth of every pooled stack resident; like the runtime inside, the shadow's whole
    // pages are dropped instead (x86-64 Linux: one byte per 8 at (address >> 3) + 0x7fff8000), and
    // only the ragged ends are written. Elsewhere the shadow's place differs: every byte is written.
    void clearPoison([[maybe_unused]] void* begin, [[maybe_unused]] std::size_t size)
    {
#if defined(RECURSOR_ASAN) && !defined(__x86_64__)
        __asan_unpoison_memory_region(begin, size);
#elif defined(RECURSOR_ASAN)
        constexpr std::uintptr_t shadow_offset = 0x7fff8000;
        const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        const auto first = reinterpret_cast<std::uintptr_t>(begin);
        const std::uintptr_t last = first + size;
        const std::uintptr_t shadow_first = (first >> 3) + shadow_offset;
        const std::uintptr_t shadow_last = (last >> 3) + shadow_offset;
        const std::uintptr_t whole_first = (shadow_first + page - 1) / page * page;
        const std::uintptr_t whole_last = shadow_last / page * page;
        if (whole_first >= whole_last) {
            __asan_unpoison_memory_region(begin, size);
            return;
        }
        ::madvise(reinterpret_cast<void*>(whole_first), whole_last - whole_first, MADV_DONTNEED);
        const std::uintptr_t middle_first = (whole_first - shadow_offset) << 3;
        const std::uintptr_t middle_last = (whole_last - shadow_offset) << 3;
        __asan_unpoison_memory_region(begin, middle_first - first);
        __asan_unpoison_memory_region(reinterpret_cast<void*>(middle_last), last - middle_last);
#endif
    }

    namespace fcontext = boost::context::detail;

    thread_local Fiber* running = nullptr;

} // namespace

// A mapping of fiber_stack_size bytes whose lowest page is a guard: running off the end faults at once
// instead of writing over a neighbour.
struct Fiber::Stack {
    static std::unique_ptr<Stack> map()
    {
        void* base = ::mmap(nullptr, fiber_stack_size, PROT_READ | PROT_WRITE,
            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (base == MAP_FAILED)
            return nullptr;
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        if (::mprotect(base, page, PROT_NONE) != 0) {
            ::munmap(base, fiber_stack_size);
            return nullptr;
        }
        std::unique_ptr<Stack> stack(new (std::nothrow) Stack { base, page });
        if (!stack)
            ::munmap(base, fiber_stack_size);
        return stack;
    }
    ~Stack() { ::munmap(base, fiber_stack_size); }

    void* usable() const { return static_cast<char*>(base) + guard; }
    std::size_t usableSize() const { return fiber_stack_size - guard; }

    void* base;
    std::size_t guard;
};

namespace {

    // Stacks of finished fibers kept for the next ones on this thread: mapping and unmapping on every
    // resolution would cost system calls and TLB flushes on every core.
    constexpr std::size_t kept_stacks = 256;

    struct StackPool {
        std::vector<std::unique_ptr<Fiber::Stack>> free;
    };
    thread_local StackPool pool;

} // namespace

std::unique_ptr<Fiber> Fiber::create(Body body)
{
    std::unique_ptr<Stack> stack;
    if (!pool.free.empty()) {
        stack = std::move(pool.free.back());
        pool.free.pop_back();
    } else {
        stack = Stack::map();
    }
    if (!stack)
        return nullptr;
    clearPoison(stack->usable(), stack->usableSize());
    std::unique_ptr<Fiber> fiber(new (std::nothrow) Fiber(std::move(body), std::move(stack)));
    if (!fiber)
        return nullptr;
    // Boost.Context lays out the first frame at the top of the stack (aligned as this architecture's ABI
    // wants); the first switch into it calls entry() with the resumer's context and the fiber.
    fiber->context_
        = fcontext::make_fcontext(static_cast<char*>(fiber->stack_->usable()) + fiber->stack_->usableSize(),
            fiber->stack_->usableSize(), &Fiber::entry);
#if defined(RECURSOR_TSAN)
    fiber->tsan_fiber_ = __tsan_create_fiber(0);
#endif
    return fiber;
}

Fiber::Fiber(Body body, std::unique_ptr<Stack> stack)
    : body_(std::move(body))
    , stack_(std::move(stack))
{
}

Fiber::~Fiber()
{
#if defined(RECURSOR_TSAN)
    if (tsan_fiber_ != nullptr)
        __tsan_destroy_fiber(tsan_fiber_);
#endif
    if (stack_ && pool.free.size() < kept_stacks) {
        try {
            pool.free.push_back(std::move(stack_));
        } catch (const std::bad_alloc&) {
            // the stack is unmapped below instead
        }
    }
}

Fiber* Fiber::current()
{
    return running;
}

void Fiber::resume()
{
    if (finished_)
        return;
    Fiber* const outer = running;
    running = this;
    void* fake_stack = nullptr;
#if defined(RECURSOR_TSAN)
    tsan_caller_ = __tsan_get_current_fiber();
#endif
    startSwitch(&fake_stack, stack_->usable(), stack_->usableSize());
    tsanSwitchTo(tsan_fiber_);
    // Returns when the fiber suspends or finishes, with where it stopped.
    context_ = fcontext::jump_fcontext(context_, this).fctx;
    finishSwitch(fake_stack, nullptr, nullptr);
    running = outer;
}

void Fiber::suspend()
{
    if (running != nullptr)
        running->switchOut();
}

void Fiber::switchOut()
{
    startSwitch(&fake_stack_, caller_stack_bottom_, caller_stack_size_);
    tsanSwitchTo(tsan_caller_);
    // Returns when resumed again, with where that resumer stopped.
    caller_context_ = fcontext::jump_fcontext(caller_context_, nullptr).fctx;
    finishSwitch(fake_stack_, &caller_stack_bottom_, &caller_stack_size_);
}

void Fiber::entry(fcontext::transfer_t from)
{
    Fiber* const self = static_cast<Fiber*>(from.data);
    self->caller_context_ = from.fctx;
    finishSwitch(nullptr, &self->caller_stack_bottom_, &self->caller_stack_size_);
    runGuarded("fiber", [self] { self->body_(); });
    self->body_ = nullptr; // what the body captured goes while the fiber's stack is still this one
    self->finished_ = true;
    // Back to the resumer for good: this stack is never entered again.
    startSwitch(nullptr, self->caller_stack_bottom_, self->caller_stack_size_);
    tsanSwitchTo(self->tsan_caller_);
    fcontext::jump_fcontext(self->caller_context_, nullptr);
    __builtin_unreachable();
}

} // namespace recursor
