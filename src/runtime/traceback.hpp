// Traceback entries: the one place where a failure leaving a function of the module gets its
// entry, named after the function's dotted name, in the module's source file, at a line.
#pragma once

#include "ref.hpp"

namespace rt {

// A code object that a frame or a function can carry: named `name`, starting at `line` in the
// module's source file, whose bytecode is safe to run (it returns None or raises).
Ref new_code(const char* name, int line);

// Something a traceback entry can name. Code objects are made on first use, one per line, and
// kept, so that a failing call in a loop makes no new ones.
class TracebackSite {
public:
    explicit TracebackSite(const char* dotted_name) noexcept : name_(dotted_name) {}
    TracebackSite(const TracebackSite&) = delete;
    TracebackSite& operator=(const TracebackSite&) = delete;
    ~TracebackSite() = default;

    // Adds an entry at `line` to the pending exception, which passes on otherwise unchanged
    // (when the entry itself cannot be made, the exception goes on without it).
    void add(int line) noexcept;

private:
    const char* name_;
    PyObject* codes_ = nullptr;  // {line: code}; lives as long as the process
};

}  // namespace rt
