// The object protocol, as throwing calls: each one either gives its result or throws `PyError`
// with the interpreter's exception left exactly as the failing C API call set it.
#pragma once

#include <initializer_list>

#include "ref.hpp"

namespace rt {

// One keyword argument (or one dict entry): the key and its value, both borrowed for the call.
struct Kw {
    Obj key;
    Obj value;
};

// The current source line of a function body. `at(88);` marks the statement that follows;
// a traceback entry added on the way out names the line marked last.
class Line {
public:
    explicit Line(int first) noexcept : no_(first) {}
    void operator()(int no) noexcept { no_ = no; }
    [[nodiscard]] int no() const noexcept { return no_; }

private:
    int no_;
};

// A module global: the module namespace first, then the builtins; NameError when neither has it.
Ref global(Obj name);

Ref getattr(Obj o, Obj name);
void setattr(Obj o, Obj name, Obj value);
Ref getitem(Obj o, Obj key);
// `o[i]` for a small non-negative index held as a constant (a list or tuple takes a fast path).
Ref getitem(Obj o, Py_ssize_t i);

// `f(*args, **kw)` with the keywords in the order given.
Ref call(Obj f, std::initializer_list<Obj> args = {}, std::initializer_list<Kw> kw = {});
// `o.name(*args, **kw)`.
Ref call_method(Obj o, Obj name, std::initializer_list<Obj> args = {},
                std::initializer_list<Kw> kw = {});

// An interned str of `text`, as the names written in source are.
Ref interned(const char* text);

Ref dict(std::initializer_list<Kw> items);
Ref list(std::initializer_list<Obj> items);
void append(Obj list, Obj item);
Py_ssize_t length(Obj o);

// Each part formatted as format(part, "") and joined, as an f-string does.
Ref text(std::initializer_list<Obj> parts);

Ref eq(Obj a, Obj b);           // a == b
bool truth(Obj o);              // bool(o)
bool equal(Obj a, Obj b);       // bool(a == b)
Ref add(Obj a, Obj b);          // a + b
Ref subtract(Obj a, Obj b);     // a - b
Ref multiply(Obj a, Obj b);     // a * b
Ref true_divide(Obj a, Obj b);  // a / b
Ref to_int(Obj o);              // int(o)
Ref from_ssize(Py_ssize_t v);
Py_ssize_t as_ssize(Obj o);  // operator.index(o), as a C integer

// `for item in lst:` over a list this module made and no one else can reach (so it cannot
// change while it is walked); the items are borrowed from the list.
class items {
public:
    explicit items(Obj list) noexcept : list_(list.get()) {}
    class iterator {
    public:
        iterator(PyObject* list, Py_ssize_t i) noexcept : list_(list), i_(i) {}
        Obj operator*() const noexcept { return PyList_GET_ITEM(list_, i_); }
        iterator& operator++() noexcept {
            ++i_;
            return *this;
        }
        bool operator!=(const iterator& other) const noexcept { return i_ != other.i_; }

    private:
        PyObject* list_;
        Py_ssize_t i_;
    };
    [[nodiscard]] iterator begin() const noexcept { return {list_, 0}; }
    [[nodiscard]] iterator end() const noexcept { return {list_, PyList_GET_SIZE(list_)}; }

private:
    PyObject* list_;
};

// `for item in iterable:` — each step marks its line before advancing.
class Iter {
public:
    Iter(Line& at, int line, Obj iterable);
    // The next item, or an empty Ref when the iterator is exhausted.
    Ref next();

private:
    Line& at_;
    int line_;
    Ref it_;
};

}  // namespace rt
