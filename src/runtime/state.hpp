// What the module keeps for the rest of the process once start-up has run.
#pragma once

#include "ref.hpp"

namespace rt {

struct ModuleState {
    PyObject* module = nullptr;    // the one module object, handed out again on re-import
    PyObject* dict = nullptr;      // its namespace: globals of every function and traceback
    PyObject* builtins = nullptr;  // the `builtins` module, second place a global is looked up
    PyObject* range = nullptr;     // builtin `range`, fetched once at start-up
};

extern ModuleState M;

// Drops everything above (start-up failed, so a later import starts afresh).
void clear_state() noexcept;

}  // namespace rt
