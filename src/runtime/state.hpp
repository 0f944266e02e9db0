// What the module keeps for the rest of the process once start-up has run.
#pragma once

#include "ref.hpp"

namespace rt {

// `module` is set while start-up runs and once it has succeeded, and cleared when it fails (so
// that a later import starts afresh). The others, once set, are only ever replaced by a later
// start-up, never cleared.
struct ModuleState {
    PyObject* module = nullptr;    // the one module object, handed out again on re-import
    PyObject* dict = nullptr;      // its namespace: globals of every function and traceback
    PyObject* builtins = nullptr;  // the `builtins` module, second place a global is looked up
    PyObject* range = nullptr;     // builtin `range`, fetched once at start-up
};

extern ModuleState M;

}  // namespace rt
