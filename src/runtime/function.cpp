#include "function.hpp"

#include <cstddef>
#include <new>
#include <type_traits>

#include "boundary.hpp"
#include "consts.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace rt {
namespace {

// What a function object owns. The member descriptors below read and write some of these
// fields in place as `PyObject*`, which a `Ref` is laid out as.
struct Fields {
    Ref argnames;  // tuple of the interned parameter names, in order
    Ref name;
    Ref qualname;
    Ref module;
    Ref doc;
    Ref defaults;
    Ref annotations;
    Ref globals;
    Ref code;
    Ref dict;
    TracebackSite site;
};

// Allocated by CPython and filled in by make_function, never constructed as a whole.
struct FunctionObject {  // NOLINT(cppcoreguidelines-pro-type-member-init)
    PyObject_HEAD vectorcallfunc vectorcall;
    const Spec* spec;
    PyObject* weakrefs;  // the list of weak references, which CPython keeps
    Fields fields;       // constructed in place once the object is allocated
};

static_assert(sizeof(Ref) == sizeof(PyObject*) && std::is_standard_layout_v<Ref>);
static_assert(std::is_standard_layout_v<FunctionObject>);

PyTypeObject* function_type = nullptr;

FunctionObject* as_function(PyObject* self) noexcept {
    return reinterpret_cast<FunctionObject*>(self);
}

// ---- argument binding ----------------------------------------------------------------------

enum class Bound { ok, arg_error, type_error };

Py_ssize_t required_count(const Spec& spec) noexcept {
    Py_ssize_t n = 0;
    for (const Param& p : spec.params) n += p.fallback == Default::required ? 1 : 0;
    return n;
}

Bound count_error(const Spec& spec, Py_ssize_t given) noexcept {
    const auto nparams = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t nrequired = required_count(spec);
    Py_ssize_t expected = nparams;
    const char* how = "exactly";
    if (nrequired != nparams) {
        if (given < nrequired) {
            expected = nrequired;
            how = "at least";
        } else {
            how = "at most";
        }
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name(), how, expected, expected == 1 ? "" : "s", given);
    return Bound::arg_error;
}

// Index of the parameter called `key` (a str), or -1. Identity first: keywords written in
// source are interned, as the parameter names are.
Py_ssize_t find_param(PyObject* argnames, PyObject* key) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(argnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(argnames, i) == key) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(argnames, i);
        if (PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(key) &&
            PyUnicode_Compare(name, key) == 0) {
            return i;
        }
    }
    return -1;
}

bool has_keyword(PyObject* kwnames, PyObject* name) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (PyTuple_GET_ITEM(kwnames, j) == name) return true;
    }
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) &&
            PyUnicode_Compare(key, name) == 0) {
            return true;
        }
    }
    return false;
}

// Binds positional arguments and keywords to the parameters, fills in defaults, then runs the
// type tests in parameter order. Count and keyword errors come first, in the order Python
// reports them: too many positional arguments, a missing required one, then each keyword in
// the order given.
Bound bind(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           Obj* values) noexcept {
    const Spec& spec = *f->spec;
    const auto nparams = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t nrequired = required_count(spec);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;

    if (nargs > nparams) return count_error(spec, nargs);
    for (Py_ssize_t i = 0; i < nparams; ++i) values[i] = i < nargs ? Obj(args[i]) : Obj();
    if (nkw == 0) {
        if (nargs < nrequired) return count_error(spec, nargs);
    } else {
        for (Py_ssize_t i = nargs; i < nrequired; ++i) {
            if (!has_keyword(kwnames, PyTuple_GET_ITEM(f->fields.argnames.get(), i))) {
                return count_error(spec, i);
            }
        }
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name());
                return Bound::arg_error;
            }
            const Py_ssize_t i = find_param(f->fields.argnames.get(), key);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             spec.name(), key);
                return Bound::arg_error;
            }
            if (values[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             spec.name(), key);
                return Bound::arg_error;
            }
            values[i] = args[nargs + j];
        }
    }
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        const Param& p = spec.params[static_cast<size_t>(i)];
        if (!values[i]) values[i] = p.fallback == Default::false_ ? Py_False : Py_None;
        PyObject* v = values[i].get();
        const bool ok = p.test == Test::any || PyUnicode_CheckExact(v) ||
                        (p.test == Test::str_or_none && v == Py_None);
        if (!ok) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         p.name, "str", Py_TYPE(v)->tp_name);
            return Bound::type_error;
        }
    }
    return Bound::ok;
}

// ---- the call: the one boundary between CPython and a body ----------------------------------

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(callable);
    const Spec& spec = *f->spec;
    Obj values[max_params];
    switch (bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, values)) {
        case Bound::ok:
            break;
        case Bound::arg_error:
            f->fields.site.add(spec.first_line);
            return nullptr;
        case Bound::type_error:
            return nullptr;
    }
    Line at(spec.first_line);
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) {
        f->fields.site.add(at.no());
        return nullptr;
    }
    auto* result = guarded<PyObject*>(nullptr, [&] { return spec.body(at, values).release(); });
    Py_LeaveRecursiveCall();
    if (result == nullptr) f->fields.site.add(at.no());
    return result;
}

// ---- the type -------------------------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    const Fields& f = as_function(self)->fields;
    Py_VISIT(Py_TYPE(self));
    for (const Ref* field : {&f.argnames, &f.name, &f.qualname, &f.module, &f.doc, &f.defaults,
                             &f.annotations, &f.globals, &f.code, &f.dict}) {
        Py_VISIT(field->get());
    }
    return f.site.traverse(visit, arg);
}

int function_clear(PyObject* self) {
    Fields& f = as_function(self)->fields;
    for (Ref* field : {&f.argnames, &f.name, &f.qualname, &f.module, &f.doc, &f.defaults,
                       &f.annotations, &f.globals, &f.code, &f.dict}) {
        field->reset();
    }
    f.site.clear();
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    f->fields.~Fields();
    type->tp_free(self);
    decref(reinterpret_cast<PyObject*>(type));
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->fields.qualname.get(),
                                self);
}

// Fetched through an instance it binds as a method; through the class it stays itself.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) return new_ref(self);
    return PyMethod_New(self, obj);
}

PyObject* function_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwds*/) {
    PyErr_Format(PyExc_TypeError, "cannot create '%.100s' instances", type->tp_name);
    return nullptr;
}

// Pickled by reference: the qualified name, found again in the module named by __module__.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
    return new_ref(as_function(self)->fields.qualname.get());
}

int set_text(Ref& slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    slot = Ref::borrow(value);
    return 0;
}

PyObject* get_name(PyObject* self, void* /*closure*/) {
    return new_ref(as_function(self)->fields.name.get());
}
int set_name(PyObject* self, PyObject* value, void* /*closure*/) {
    return set_text(as_function(self)->fields.name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void* /*closure*/) {
    return new_ref(as_function(self)->fields.qualname.get());
}
int set_qualname(PyObject* self, PyObject* value, void* /*closure*/) {
    return set_text(as_function(self)->fields.qualname, value, "__qualname__");
}
PyObject* get_kwdefaults(PyObject* /*self*/, void* /*closure*/) {
    return new_ref(Py_None);
}

constexpr Py_ssize_t field(std::size_t offset) {
    return static_cast<Py_ssize_t>(offsetof(FunctionObject, fields) + offset);
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, field(offsetof(Fields, dict)), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {"__module__", T_OBJECT, field(offsetof(Fields, module)), 0, nullptr},
    {"__doc__", T_OBJECT, field(offsetof(Fields, doc)), 0, nullptr},
    {"__defaults__", T_OBJECT, field(offsetof(Fields, defaults)), READONLY, nullptr},
    {"__annotations__", T_OBJECT, field(offsetof(Fields, annotations)), READONLY, nullptr},
    {"__globals__", T_OBJECT, field(offsetof(Fields, globals)), READONLY, nullptr},
    {"__code__", T_OBJECT, field(offsetof(Fields, code)), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_new, reinterpret_cast<void*>(function_new)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

constexpr auto function_flags =
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                              Py_TPFLAGS_METHOD_DESCRIPTOR | compat::immutable_type);

PyType_Spec function_type_spec = {
    "sorvani_kb.datavisualization.plotPrediction.function",
    sizeof(FunctionObject),
    0,
    function_flags,
    function_slots,
};

// ---- making one function from its spec ------------------------------------------------------

Ref make_defaults(const Spec& spec) {
    Py_ssize_t n = 0;
    for (const Param& p : spec.params) n += p.fallback == Default::required ? 0 : 1;
    if (n == 0) return Ref::borrow(Py_None);
    Ref defaults = Ref::check(PyTuple_New(n));
    Py_ssize_t i = 0;
    for (const Param& p : spec.params) {
        if (p.fallback == Default::required) continue;
        PyObject* value = p.fallback == Default::false_ ? Py_False : Py_None;
        PyTuple_SET_ITEM(defaults.get(), i++, new_ref(value));
    }
    return defaults;
}

Ref make_annotations(const Spec& spec) {
    Ref annotations = Ref::check(PyDict_New());
    for (const Param& p : spec.params) {
        if (p.annotation == nullptr) continue;
        Ref key = interned(p.name);
        Ref value = Ref::check(PyUnicode_FromString(p.annotation));
        check_rc(PyDict_SetItem(annotations.get(), key.get(), value.get()));
    }
    if (spec.returns != nullptr) {
        Ref value = Ref::check(PyUnicode_FromString(spec.returns));
        check_rc(PyDict_SetItemString(annotations.get(), "return", value.get()));
    }
    return annotations;
}

Ref make_argnames(const Spec& spec) {
    Ref argnames = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size())));
    Py_ssize_t i = 0;
    for (const Param& p : spec.params)
        PyTuple_SET_ITEM(argnames.get(), i++, interned(p.name).release());
    return argnames;
}

}  // namespace

Ref make_code(const Spec& spec) {
    Ref argnames = make_argnames(spec);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(argnames.get());
    const auto nvars = nargs + static_cast<Py_ssize_t>(spec.locals.size());
    Ref varnames = Ref::check(PyTuple_New(nvars));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, new_ref(PyTuple_GET_ITEM(argnames.get(), i)));
    }
    Py_ssize_t i = nargs;
    for (const char* local : spec.locals)
        PyTuple_SET_ITEM(varnames.get(), i++, interned(local).release());
    Ref code = new_code(spec.name(), spec.first_line);
    Ref replace = getattr(code, S.replace);
    Ref argcount = from_ssize(nargs);
    Ref nlocals = from_ssize(nvars);
    Ref flags = from_ssize(CO_OPTIMIZED | CO_NEWLOCALS);
    if constexpr (compat::code_has_qualname) {
        Ref qualname = interned(spec.qualname);
        return call(replace, {},
                    {{S.co_varnames, varnames},
                     {S.co_argcount, argcount},
                     {S.co_nlocals, nlocals},
                     {S.co_flags, flags},
                     {S.co_qualname, qualname}});
    }
    return call(replace, {},
                {{S.co_varnames, varnames},
                 {S.co_argcount, argcount},
                 {S.co_nlocals, nlocals},
                 {S.co_flags, flags}});
}

int ready_function_type() noexcept {
    if (function_type != nullptr) return 0;
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_type_spec));
    return function_type != nullptr ? 0 : -1;
}

Ref make_function(const Spec& spec, Obj code) {
    FunctionObject* f = PyObject_GC_New(FunctionObject, function_type);
    if (f == nullptr) throw_error();
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->weakrefs = nullptr;
    new (&f->fields) Fields{};
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));

    Fields& fields = f->fields;
    fields.code = Ref::borrow(code);
    fields.argnames = make_argnames(spec);
    fields.name = interned(spec.name());
    fields.qualname = interned(spec.qualname);
    fields.module = Ref::borrow(S.module_name);
    fields.doc =
        spec.doc != nullptr ? Ref::check(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
    fields.defaults = make_defaults(spec);
    fields.annotations = make_annotations(spec);
    fields.globals = Ref::borrow(M.dict);
    fields.site =
        TracebackSite(Ref::check(PyUnicode_FromFormat("%U.%s", S.module_name, spec.qualname)));
    PyObject_GC_Track(f);
    return self;
}

}  // namespace rt
