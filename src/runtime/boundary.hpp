// The boundary between CPython and the module's C++: every entry point CPython calls runs its
// work through `guarded`, so no C++ exception ever crosses into the interpreter.
#pragma once

#include <utility>

#include "ref.hpp"

namespace rt {

// Sets the Python error that stands for the C++ exception being handled: a `PyError` leaves
// the pending exception as the failing call set it, `std::bad_alloc` becomes MemoryError, and
// anything else a SystemError. Call it only from inside a catch block.
void set_error_from_exception() noexcept;

// Runs `work` for an entry point: its result, or `failed` with the Python error set for
// whatever it threw.
template <class Result, class Work>
Result guarded(Result failed, Work&& work) noexcept {
    try {
        return std::forward<Work>(work)();
    } catch (...) {
        set_error_from_exception();
        return failed;
    }
}

}  // namespace rt
