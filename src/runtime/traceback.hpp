// Traceback entries: the one place where a failure leaving a function of the module gets its
// entry, named after the function's dotted name, in the module's source file, at a line.
#pragma once

#include "ref.hpp"

namespace rt {

// A code object that a frame or a function can carry: named `name`, starting at `line` in the
// module's source file, whose bytecode is safe to run (it returns None or raises).
Ref new_code(const char* name, int line);

// Something a traceback entry can name: a function of the module, or its start-up. Its code
// objects are made on first use, one per line, and kept, so that a failing call in a loop makes
// no new ones.
class TracebackSite {
public:
    TracebackSite() noexcept = default;
    // `name`: the text (a str) that the entries show as the function's name.
    explicit TracebackSite(Ref name) noexcept : name_(std::move(name)) {}

    // Adds an entry at `line` to the pending exception, which passes on otherwise unchanged
    // (when the entry itself cannot be made, the exception goes on without it).
    void add(int line) noexcept;

    // For the garbage collector, through the object that holds the site.
    int traverse(visitproc visit, void* arg) const noexcept;
    void clear() noexcept;

private:
    Ref name_;
    Ref codes_;  // {line: code object}
};

}  // namespace rt
