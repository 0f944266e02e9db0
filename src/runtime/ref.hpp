// Owned and borrowed references.
//
// `Ref` owns one reference and releases it when it goes out of scope; `Obj` is a borrowed
// view that never touches the count. A `Ref` is made only explicitly: `Ref::steal` takes over a
// new reference, `Ref::borrow` adds one to a borrowed pointer, and `Ref::check` steals the result
// of a C API call that returns a new reference or NULL with an exception set, throwing
// `PyError` in the second case. So a raw owning `PyObject*` exists only for the length of
// one call expression.
//
// Every count the module changes, it changes here, through the interpreter's own Py_IncRef and
// Py_DecRef rather than the inline macros: a debug interpreter then accounts for each of them
// (sys.gettotalrefcount) whichever headers the module was built with, so a reference-leak hunt
// sees the module's references as exactly as its own.
#pragma once

#include <utility>

#include "compat.hpp"

namespace rt {

// Thrown when a Python exception is pending. It carries nothing: the exception itself stays
// in the interpreter's error indicator, exactly as the failing call left it.
struct PyError {};

[[noreturn]] inline void throw_error() {
    throw PyError{};
}

// Throws when a C API call that returns -1 on failure failed.
inline int check_rc(int rc) {
    if (rc < 0) throw_error();
    return rc;
}

// One more reference to `o` (which may be NULL).
inline void incref(PyObject* o) noexcept {
    Py_IncRef(o);
}
// One reference fewer to `o` (which may be NULL).
inline void decref(PyObject* o) noexcept {
    Py_DecRef(o);
}

// A new reference to `o`, for a call that steals one (PyTuple_SET_ITEM and the like) or for a
// result handed to CPython.
inline PyObject* new_ref(PyObject* o) noexcept {
    incref(o);
    return o;
}

class Obj {
public:
    constexpr Obj() noexcept = default;
    constexpr Obj(PyObject* p) noexcept : p_(p) {}  // NOLINT(google-explicit-constructor)
    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    [[nodiscard]] bool is_none() const noexcept { return p_ == Py_None; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool operator==(const Obj& other) const noexcept { return p_ == other.p_; }

private:
    PyObject* p_ = nullptr;
};

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(new_ref(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { decref(p_); }

    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    [[nodiscard]] static Ref borrow(Obj o) noexcept { return Ref(new_ref(o.get())); }
    // Takes over the result of a call returning a new reference, or throws if it is NULL.
    [[nodiscard]] static Ref check(PyObject* p) {
        if (p == nullptr) throw_error();
        return steal(p);
    }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (to CPython, when returning a result).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // Drops the reference; the pointer is cleared before the count drops, as Py_CLEAR does, so
    // that code run by a deallocation never sees a dangling pointer here.
    void reset() noexcept { decref(std::exchange(p_, nullptr)); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    operator Obj() const noexcept { return {p_}; }  // NOLINT(google-explicit-constructor)

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace rt
