// A readable account of one resolution for the operator (the control socket's TRACE): lines are
// collected on the thread that runs it, only while a trace::Scope lives there. Everywhere else a
// trace point costs one test of a thread-local pointer; callers build no text unless active().
#pragma once

#include <string>
#include <vector>

namespace recursor::trace {

class Scope {
public:
    Scope();
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    const std::vector<std::string>& lines() const { return lines_; }
    // Adds a line; one that cannot be kept is left out, and the resolution goes on.
    void add(std::string text);

private:
    std::vector<std::string> lines_;
    Scope* outer_;
};

bool active();
void line(std::string text);
// The scope collecting on this thread now, or null. A resolution keeps the one it started under, so that
// its lines go there from whichever fiber runs its steps, and no other resolution's do.
Scope* currentScope();

} // namespace recursor::trace
