#include "base/thread.h"

#include "base/log.h"

#include <cerrno>
#include <csignal>
#include <exception>
#include <memory>
#include <utility>

namespace recursor {

namespace {

    void* threadEntry(void* arg)
    {
        std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
        runGuarded("thread ended by an exception", *body);
        return nullptr;
    }

    int startThread(pthread_t& handle, std::function<void()> body, bool detached)
    {
        pthread_attr_t attr;
        if (int rc = pthread_attr_init(&attr); rc != 0)
            return rc;
        pthread_attr_setstacksize(&attr, thread_stack_size);
        pthread_attr_setguardsize(&attr, thread_guard_size);
        if (detached)
            pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        auto* heap_body = new (std::nothrow) std::function<void()>(std::move(body));
        int rc = heap_body ? pthread_create(&handle, &attr, threadEntry, heap_body) : ENOMEM;
        if (rc != 0)
            delete heap_body;
        pthread_attr_destroy(&attr);
        return rc;
    }

    void emptySignalHandler(int) { }

} // namespace

void logCaughtException(std::string_view where) noexcept
{
    const char* what = "unknown exception";
    try {
        throw;
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    logErrorNoAlloc({ where, ": ", what });
}

Thread::Thread(Thread&& other) noexcept
    : handle_(other.handle_)
    , started_(std::exchange(other.started_, false))
{
}

Thread& Thread::operator=(Thread&& other) noexcept
{
    if (this != &other) {
        join();
        handle_ = other.handle_;
        started_ = std::exchange(other.started_, false);
    }
    return *this;
}

Thread::~Thread()
{
    join();
}

int Thread::start(std::function<void()> body)
{
    join();
    const int rc = startThread(handle_, std::move(body), false);
    started_ = rc == 0;
    return rc;
}

void Thread::join()
{
    if (started_) {
        pthread_join(handle_, nullptr);
        started_ = false;
    }
}

int spawnDetached(std::function<void()> body)
{
    pthread_t handle;
    return startThread(handle, std::move(body), true);
}

void installSigpipeHandler()
{
    struct sigaction sa { };
    sa.sa_handler = emptySignalHandler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, nullptr);
}

} // namespace recursor
