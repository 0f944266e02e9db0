// The plotter object's constructor: it keeps the five column names and the use-case label.
#include "api.hpp"
#include "runtime/consts.hpp"
#include "runtime/ops.hpp"

#include <algorithm>
#include <new>
#include <vector>

namespace sorvani {
namespace {

using namespace rt;

Ref init(Line& at, const Obj* a) {
    const Obj self = a[0];
    at(50);
    setattr(self, S.id_pred, a[1]);
    at(51);
    setattr(self, S.data, a[2]);
    at(52);
    setattr(self, S.pred_mean, a[3]);
    at(53);
    setattr(self, S.pi_lower, a[4]);
    at(54);
    setattr(self, S.pi_upper, a[5]);
    at(55);
    setattr(self, S.use_case, a[6]);
    return Ref::borrow(Py_None);
}

constexpr Param params[] = {
    {.name = "self"},
    {.name = "id_pred", .annotation = "str", .test = Test::str},
    {.name = "data", .annotation = "str", .test = Test::str},
    {.name = "pred_mean", .annotation = "str", .test = Test::str},
    {.name = "pi_lower", .annotation = "str", .test = Test::str},
    {.name = "pi_upper", .annotation = "str", .test = Test::str},
    {.name = "use_case", .annotation = "str", .test = Test::str},
};

PyObject* init_function = nullptr;   // the class's own __init__, kept for the process
vectorcallfunc init_call = nullptr;  // its vectorcall

// The class's version tag when it last held object's __new__ and our __init__; 0 for none.
// CPython gives a type a new tag (or none) whenever its namespace or a base changes.
unsigned int checked_version = 0;

unsigned int version_of(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return type->tp_version_tag;  // 0 once the type changes
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// `cls(*args, **kwargs)` the way type's own call makes it.
Ref call_through_type(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref positional = Ref::check(PyTuple_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, new_ref(args[i]));
    Ref keywords;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        keywords = Ref::check(PyDict_New());
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j) {
            check_rc(PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, j), args[nargs + j]));
        }
    }
    return Ref::check(PyType_Type.tp_call(cls, positional.get(), keywords.get()));
}

// `__init__(self, *args, **kwargs)` with the arguments of a vectorcall, `self` put in front.
// The function is ours, so its vectorcall is called directly.
Ref call_init(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const auto total =
        static_cast<size_t>(nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0));
    const size_t with_self = static_cast<size_t>(nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    if ((nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) != 0) {
        // The caller lent us the slot before the arguments.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): the vectorcall protocol lends it
        auto** slots = const_cast<PyObject**>(args) - 1;
        PyObject* lent = slots[0];
        slots[0] = self;
        PyObject* result = init_call(init_function, slots, with_self, kwnames);
        slots[0] = lent;
        return Ref::check(result);
    }
    // A call with *args (or from C) lends no slot: copy, on the stack when the call is small.
    constexpr size_t on_stack = 16;
    PyObject* small[on_stack];
    std::vector<PyObject*> large;
    PyObject** slots = small;
    if (total + 2 > on_stack) {
        large.resize(total + 2);
        slots = large.data();
    }
    slots[0] = nullptr;  // the slot a callee may borrow
    slots[1] = self;
    std::copy(args, args + total, slots + 2);
    return Ref::check(init_call(init_function, slots + 1, with_self, kwnames));
}

// Calls of the class itself, `plotPrediction(...)`. While the class keeps object's `__new__`
// and its own `__init__`, this does what type's call does for it — a new instance, then
// `__init__` with the same arguments, which must give None — without first packing the
// arguments into a tuple and a dict. Otherwise (someone replaced either) type's call runs.
PyObject* construct(PyObject* cls, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    try {
        const unsigned int version = version_of(type);
        if (version == 0 || version != checked_version) {
            PyObject* own_init = PyDict_GetItemWithError(type->tp_dict, S.__init__);
            if (own_init == nullptr && PyErr_Occurred()) throw_error();
            if (type->tp_new != PyBaseObject_Type.tp_new || own_init != init_function) {
                return call_through_type(cls, args, PyVectorcall_NARGS(nargsf), kwnames).release();
            }
            checked_version = version;
        }
        Ref self = Ref::check(type->tp_new(type, N.empty_tuple, nullptr));
        Ref result = call_init(self.get(), args, nargsf, kwnames);
        if (result.get() != Py_None) {
            PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                         Py_TYPE(result.get())->tp_name);
            throw_error();
        }
        return self.release();
    } catch (const PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

}  // namespace

void speed_up_construction(Obj cls, Obj init) noexcept {
    init_function = new_ref(init.get());
    init_call = PyVectorcall_Function(init_function);
    reinterpret_cast<PyTypeObject*>(cls.get())->tp_vectorcall = construct;
}

const Spec init_spec = {
    .name = "__init__",
    .qualname = "plotPrediction.__init__",
    .dotted_name = "sorvani_kb.datavisualization.plotPrediction.plotPrediction.__init__",
    .first_line = 48,
    .params = params,
    .returns = nullptr,
    .locals = {},
    .doc = nullptr,
    .body = init,
};

}  // namespace sorvani
