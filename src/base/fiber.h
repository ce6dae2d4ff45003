// Fibers: work that waits for the network without holding a thread. Each fiber runs on a stack of its
// own (mapped on demand, a guard page below it) and hands the thread back whenever it waits; the event
// loop that owns it switches back in when what it waits for has happened. A fiber lives on the thread
// that created it and is resumed only there.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace boost::context::detail {
struct transfer_t;
}

namespace recursor {

// Address space reserved per fiber, as much as a thread gets (thread.h): nested resolutions recurse on
// the stack, as deep as their limits allow. Only the pages a resolution touches become memory.
inline constexpr std::size_t fiber_stack_size = 16u * 1024 * 1024;

class Fiber {
public:
    using Body = std::function<void()>;

    // A fiber that runs `body` when first resumed; null when no stack could be mapped. An exception
    // escaping `body` is logged and ends the fiber.
    static std::unique_ptr<Fiber> create(Body body);
    Fiber(const Fiber&) = delete;
    Fiber& operator=(const Fiber&) = delete;
    ~Fiber(); // only once finished, or never started: a suspended stack holds live objects

    // Runs the fiber until it suspends or finishes. Only from the thread's own stack.
    void resume();
    bool finished() const { return finished_; }

    // The fiber that started this one and waits for it to finish (its event loop sets it); null for one
    // started from the thread's own stack.
    const Fiber* parent() const { return parent_; }
    void setParent(const Fiber* parent) { parent_ = parent; }

    // The fiber running on this thread; null on the thread's own stack.
    static Fiber* current();
    // Hands the thread back to whoever resumed the current fiber, until it is resumed again.
    static void suspend();

    struct Stack; // the mapping a fiber runs on, kept for reuse once it finishes

private:
    Fiber(Body body, std::unique_ptr<Stack> stack);
    static void entry(boost::context::detail::transfer_t from);
    void switchOut();

    Body body_;
    std::unique_ptr<Stack> stack_;
    // Boost.Context fcontext_t handles: where the fiber stopped, while it is not running, and where its
    // resumer stopped, while it runs.
    void* context_ { nullptr };
    void* caller_context_ { nullptr };
    // What the sanitizers need to follow the switches.
    void* fake_stack_ { nullptr };
    const void* caller_stack_bottom_ { nullptr };
    std::size_t caller_stack_size_ { 0 };
    void* tsan_fiber_ { nullptr };
    void* tsan_caller_ { nullptr };
    const Fiber* parent_ { nullptr };
    bool finished_ { false };
};

} // namespace recursor
