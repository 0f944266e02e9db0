// What the module keeps for the rest of the process once start-up has run.
#pragma once

#include <utility>

#include "ref.hpp"

namespace rt {

// A reference held for the rest of the process. Replacing or clearing it releases the old one;
// it is never released at exit, when the interpreter may already be gone.
class Kept {
public:
    void set(Ref value) noexcept { decref(std::exchange(p_, value.release())); }
    void clear() noexcept { decref(std::exchange(p_, nullptr)); }
    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    operator Obj() const noexcept { return {p_}; }  // NOLINT(google-explicit-constructor)
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// `module` is set while start-up runs and once it has succeeded, and cleared when it fails (so
// that a later import starts afresh). The others, once set, are only ever replaced by a later
// start-up, never cleared.
struct ModuleState {
    Kept module;    // the one module object, handed out again on re-import
    Kept dict;      // its namespace: globals of every function and traceback
    Kept builtins;  // the `builtins` module, second place a global is looked up
    Kept range;     // builtin `range`, fetched once at start-up
};

extern ModuleState M;

}  // namespace rt
