#include "ops.hpp"

#include <array>
#include <vector>

#include "consts.hpp"
#include "state.hpp"

namespace rt {

Ref global(Obj name) {
    PyObject* found = PyDict_GetItemWithError(M.dict.get(), name.get());
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) throw_error();
    PyObject* builtin = PyObject_GetAttr(M.builtins.get(), name.get());
    if (builtin != nullptr) return Ref::steal(builtin);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    }
    throw_error();
}

Ref getattr(Obj o, Obj name) {
    return Ref::check(PyObject_GetAttr(o.get(), name.get()));
}

void setattr(Obj o, Obj name, Obj value) {
    check_rc(PyObject_SetAttr(o.get(), name.get(), value.get()));
}

Ref getitem(Obj o, Obj key) {
    return Ref::check(PyObject_GetItem(o.get(), key.get()));
}

Ref getitem(Obj o, Py_ssize_t i) {
    PyObject* p = o.get();
    if (PyList_CheckExact(p) && i < PyList_GET_SIZE(p)) return Ref::borrow(PyList_GET_ITEM(p, i));
    if (PyTuple_CheckExact(p) && i < PyTuple_GET_SIZE(p)) {
        return Ref::borrow(PyTuple_GET_ITEM(p, i));
    }
    Ref key = from_ssize(i);
    return getitem(o, key);
}

namespace {

// Room for the arguments of one call, on the stack for the calls this module makes.
class ArgStack {
public:
    explicit ArgStack(size_t n) {
        if (n > small_.size()) {
            big_.resize(n);
            data_ = big_.data();
        } else {
            data_ = small_.data();
        }
    }
    PyObject** data() noexcept { return data_; }

private:
    std::array<PyObject*, 20> small_{};
    std::vector<PyObject*> big_;
    PyObject** data_;
};

// Lays out `args` and the keyword values after `first` (when given) in `stack`, slot 0 left
// free, and returns the keyword names as a tuple (empty Ref without keywords).
Ref lay_out(PyObject** slots, Obj first, std::initializer_list<Obj> args,
            std::initializer_list<Kw> kw) {
    size_t n = 0;
    if (first) slots[n++] = first.get();
    for (Obj a : args) slots[n++] = a.get();
    Ref kwnames;
    if (kw.size() != 0) {
        kwnames = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(kw.size())));
        Py_ssize_t k = 0;
        for (const Kw& item : kw) {
            PyTuple_SET_ITEM(kwnames.get(), k++, new_ref(item.key.get()));
            slots[n++] = item.value.get();
        }
    }
    return kwnames;
}

}  // namespace

Ref call(Obj f, std::initializer_list<Obj> args, std::initializer_list<Kw> kw) {
    // Slot 0 stays free so that a bound method can put `self` there without copying.
    ArgStack stack(1 + args.size() + kw.size());
    PyObject** slots = stack.data() + 1;
    Ref kwnames = lay_out(slots, Obj(), args, kw);
    return Ref::check(PyObject_Vectorcall(
        f.get(), slots, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

Ref call_method(Obj o, Obj name, std::initializer_list<Obj> args, std::initializer_list<Kw> kw) {
    // Looks the method up on the type and calls it with `o` in front, as `o.name(...)` does in
    // Python, without making a bound method first.
    ArgStack stack(2 + args.size() + kw.size());
    PyObject** slots = stack.data() + 1;
    Ref kwnames = lay_out(slots, o, args, kw);
    return Ref::check(PyObject_VectorcallMethod(
        name.get(), slots, (1 + args.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

Ref interned(const char* text) {
    return Ref::check(PyUnicode_InternFromString(text));
}

Ref dict(std::initializer_list<Kw> items) {
    Ref d = Ref::check(PyDict_New());
    for (const Kw& item : items)
        check_rc(PyDict_SetItem(d.get(), item.key.get(), item.value.get()));
    return d;
}

Ref list(std::initializer_list<Obj> items) {
    Ref l = Ref::check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Obj item : items) {
        PyList_SET_ITEM(l.get(), i++, new_ref(item.get()));
    }
    return l;
}

void append(Obj list, Obj item) {
    check_rc(PyList_Append(list.get(), item.get()));
}

Py_ssize_t length(Obj o) {
    const Py_ssize_t n = PyObject_Length(o.get());
    if (n < 0) throw_error();
    return n;
}

Ref text(std::initializer_list<Obj> parts) {
    Ref pieces = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t i = 0;
    for (Obj part : parts) {
        PyTuple_SET_ITEM(pieces.get(), i++,
                         Ref::check(PyObject_Format(part.get(), S.empty)).release());
    }
    return Ref::check(PyUnicode_Join(S.empty, pieces.get()));
}

Ref eq(Obj a, Obj b) {
    return Ref::check(PyObject_RichCompare(a.get(), b.get(), Py_EQ));
}

bool truth(Obj o) {
    return check_rc(PyObject_IsTrue(o.get())) != 0;
}

bool equal(Obj a, Obj b) {
    Ref r = eq(a, b);
    return truth(r);
}

Ref add(Obj a, Obj b) {
    return Ref::check(PyNumber_Add(a.get(), b.get()));
}
Ref subtract(Obj a, Obj b) {
    return Ref::check(PyNumber_Subtract(a.get(), b.get()));
}
Ref multiply(Obj a, Obj b) {
    return Ref::check(PyNumber_Multiply(a.get(), b.get()));
}
Ref true_divide(Obj a, Obj b) {
    return Ref::check(PyNumber_TrueDivide(a.get(), b.get()));
}
Ref to_int(Obj o) {
    return Ref::check(PyNumber_Long(o.get()));
}
Ref from_ssize(Py_ssize_t v) {
    return Ref::check(PyLong_FromSsize_t(v));
}

Py_ssize_t as_ssize(Obj o) {
    const Py_ssize_t v = PyNumber_AsSsize_t(o.get(), PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) throw_error();
    return v;
}

Iter::Iter(Line& at, int line, Obj iterable) : at_(at), line_(line) {
    at_(line_);
    it_ = Ref::check(PyObject_GetIter(iterable.get()));
}

Ref Iter::next() {
    at_(line_);
    PyObject* item = PyIter_Next(it_.get());
    if (item == nullptr && PyErr_Occurred()) throw_error();
    return Ref::steal(item);
}

}  // namespace rt
