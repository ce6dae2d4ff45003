#include "base/trace.h"

#include <new>

namespace recursor::trace {

namespace {
    thread_local Scope* current = nullptr;
}

Scope::Scope()
    : outer_(current)
{
    current = this;
}

Scope::~Scope()
{
    current = outer_;
}

bool active()
{
    return current != nullptr;
}

void Scope::add(std::string text)
{
    try {
        lines_.push_back(std::move(text));
    } catch (const std::bad_alloc&) {
        // the account misses a line; the resolution goes on
    }
}

void line(std::string text)
{
    if (current != nullptr)
        current->add(std::move(text));
}

Scope* currentScope()
{
    return current;
}

} // namespace recursor::trace
