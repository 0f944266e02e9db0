// Module start-up: the create and exec slots of the one module object, the imports of the
// libraries under their aliases, and the publication of `obtain_dataset` and `plotPrediction`.
#include <array>
#include <cstdio>
#include <span>
#include <string>

#include "api.hpp"
#include "runtime/boundary.hpp"
#include "runtime/consts.hpp"
#include "runtime/function.hpp"
#include "runtime/ops.hpp"
#include "runtime/state.hpp"
#include "runtime/traceback.hpp"
#include "version.hpp"

namespace sorvani {
namespace {

using rt::M;
using rt::Obj;
using rt::Ref;
using rt::S;

constexpr const char* class_doc = "class for plot prediction,result of job\n    ";

int64_t first_interpreter = -1;

// ---- create slot ------------------------------------------------------------------------------

// Copies one attribute of the import spec into the module namespace; a missing one is skipped.
void copy_spec_attr(Obj spec, Obj ns, Obj from, Obj to, bool allow_none) {
    PyObject* value = PyObject_GetAttr(spec.get(), from.get());
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rt::throw_error();
        PyErr_Clear();
        return;
    }
    Ref kept = Ref::steal(value);
    if (allow_none || value != Py_None) rt::check_rc(PyDict_SetItem(ns.get(), to.get(), value));
}

Ref create(Obj spec) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred() != nullptr) rt::throw_error();
    if (first_interpreter == -1) {
        first_interpreter = id;
    } else if (first_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        rt::throw_error();
    }
    if (M.module) return Ref::borrow(M.module);
    rt::check_rc(rt::init_constants());

    Ref name = rt::getattr(spec, S.name);
    Ref module = Ref::check(PyModule_NewObject(name.get()));
    Obj ns = PyModule_GetDict(module.get());
    copy_spec_attr(spec, ns, S.loader, S.__loader__, true);
    copy_spec_attr(spec, ns, S.origin, S.__file__, true);
    copy_spec_attr(spec, ns, S.parent, S.__package__, true);
    copy_spec_attr(spec, ns, S.submodule_search_locations, S.__path__, false);
    return module;
}

PyObject* create_module(PyObject* spec, PyModuleDef* /*def*/) noexcept {
    return rt::guarded<PyObject*>(nullptr, [&] { return create(spec).release(); });
}

// ---- exec slot --------------------------------------------------------------------------------

int check_version() noexcept {
    std::array<char, 16> compiled{};
    std::snprintf(compiled.data(), compiled.size(), "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    // The running version string as Python reports it (sys.version), which is what
    // Py_GetVersion gives unless someone has replaced it.
    const char* running = nullptr;
    PyObject* version = PySys_GetObject("version");  // borrowed
    if (version != nullptr && PyUnicode_Check(version)) running = PyUnicode_AsUTF8(version);
    if (running == nullptr) {
        PyErr_Clear();
        running = Py_GetVersion();
    }
    if (version_matches(compiled.data(), running)) return 0;
    const std::string shown = leading_version(running);
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time version %s of module '%.100s' does not match runtime "
                            "version %s",
                            compiled.data(), "sorvani_kb.datavisualization.plotPrediction",
                            shown.c_str());
}

Ref builtin(Obj name) {
    PyObject* value = PyObject_GetAttr(M.builtins.get(), name.get());
    if (value == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        }
        rt::throw_error();
    }
    return Ref::steal(value);
}

// Whether `module` is still being imported (its spec says `_initializing`). Any error on the
// way counts as "no".
bool initialising(Obj module) {
    Ref spec = Ref::steal(PyObject_GetAttr(module.get(), S.__spec__));
    Ref flag = spec ? Ref::steal(PyObject_GetAttr(spec.get(), S._initializing)) : Ref();
    const int on = flag ? PyObject_IsTrue(flag.get()) : 0;
    if (on <= 0) PyErr_Clear();
    return on > 0;
}

// `import a.b.c`, giving the module a.b.c itself: taken from sys.modules when it is there and
// fully initialised, otherwise imported and reached from its top-level package part by part.
Ref import_dotted(const char* dotted) {
    Ref name = Ref::check(PyUnicode_FromString(dotted));
    PyObject* known = PyDict_GetItemWithError(PyImport_GetModuleDict(), name.get());
    if (known == nullptr && PyErr_Occurred() != nullptr) rt::throw_error();
    if (known != nullptr && known != Py_None && !initialising(known)) return Ref::borrow(known);

    Ref module =
        Ref::check(PyImport_ImportModuleLevelObject(name.get(), M.dict.get(), nullptr, nullptr, 0));
    const std::string path = dotted;
    size_t start = path.find('.');
    while (start != std::string::npos) {
        const size_t end = path.find('.', start + 1);
        const std::string part =
            path.substr(start + 1, end == std::string::npos ? end : end - start - 1);
        PyObject* next = PyObject_GetAttrString(module.get(), part.c_str());
        if (next == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rt::throw_error();
            PyErr_Clear();
            const std::string missing = path.substr(0, end);
            PyErr_Format(PyExc_ModuleNotFoundError, "No module named '%s'", missing.c_str());
            rt::throw_error();
        }
        module = Ref::steal(next);
        start = end;
    }
    return module;
}

// `from package import name`.
Ref import_from(const char* package, Obj name) {
    Ref package_name = Ref::check(PyUnicode_FromString(package));
    Ref fromlist = rt::list({name});
    Ref module = Ref::check(PyImport_ImportModuleLevelObject(package_name.get(), M.dict.get(),
                                                             nullptr, fromlist.get(), 0));
    PyObject* value = PyObject_GetAttr(module.get(), name.get());
    if (value != nullptr) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rt::throw_error();
    PyErr_Clear();
    // A submodule of that name that is loaded but not bound on its package.
    Ref full = Ref::check(PyUnicode_FromFormat("%U.%U", package_name.get(), name.get()));
    PyObject* sub = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
    if (sub != nullptr) return Ref::borrow(sub);
    if (PyErr_Occurred() == nullptr)
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
    rt::throw_error();
}

void bind_global(Obj name, Obj value) {
    rt::check_rc(PyDict_SetItem(M.dict.get(), name.get(), value.get()));
}

// The module's functions, and the methods of its class in the order the class lists them.
constexpr std::array module_functions = {&obtain_dataset_spec};
constexpr std::array class_methods = {
    &init_spec,           &plot_pred_spec,      &plot_hierarchical_spec, &plot_sum_hierarchy_spec,
    &dist_residuals_spec, &plot_residuals_spec,
};

template <std::size_t n>
std::array<Ref, n> make_codes(const std::array<const rt::Spec*, n>& specs) {
    std::array<Ref, n> codes;
    for (std::size_t i = 0; i < n; ++i) codes[i] = rt::make_code(*specs[i]);
    return codes;
}

// Steps that add an "init" traceback entry when they fail: registration in sys.modules, the
// imports, the function `obtain_dataset` and the class `plotPrediction`.
void run_body(rt::Line& at) {
    at(1);
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* known = PyDict_GetItemWithError(modules, S.module_name);
    if (known == nullptr) {
        if (PyErr_Occurred() != nullptr) rt::throw_error();
        rt::check_rc(PyDict_SetItem(modules, S.module_name, M.module.get()));
    }
    M.range.set(builtin(S.range));
    const auto function_codes = make_codes(module_functions);
    const auto method_codes = make_codes(class_methods);

    at(1);
    bind_global(S.np, import_dotted("numpy"));
    at(2);
    bind_global(S.pd, import_dotted("pandas"));
    at(3);
    bind_global(S.plt, import_dotted("matplotlib.pyplot"));
    at(5);
    bind_global(S.qqplot, import_from("statsmodels.graphics.gofplots", S.qqplot));
    at(7);
    bind_global(S.plotly, import_dotted("plotly"));
    at(8);
    bind_global(S.px, import_dotted("plotly.express"));
    at(9);
    bind_global(S.go, import_dotted("plotly.graph_objects"));

    for (std::size_t i = 0; i < module_functions.size(); ++i) {
        const rt::Spec& spec = *module_functions[i];
        at(spec.first_line);
        Ref name = rt::interned(spec.name());
        bind_global(name, rt::make_function(spec, function_codes[i]));
    }

    at(43);
    Ref ns = rt::dict({{S.__module__, S.module_name}, {S.__qualname__, S.plotPrediction}});
    Ref doc = Ref::check(PyUnicode_FromString(class_doc));
    rt::check_rc(PyDict_SetItem(ns.get(), S.__doc__, doc.get()));
    for (std::size_t i = 0; i < class_methods.size(); ++i) {
        const rt::Spec& spec = *class_methods[i];
        at(spec.first_line);
        Ref name = rt::interned(spec.name());
        Ref method = rt::make_function(spec, method_codes[i]);
        rt::check_rc(PyDict_SetItem(ns.get(), name.get(), method.get()));
    }
    at(43);
    Ref cls = rt::call(reinterpret_cast<PyObject*>(&PyType_Type),
                       {S.plotPrediction, rt::N.empty_tuple, ns});
    bind_global(S.plotPrediction, cls);

    Ref tests = Ref::check(PyDict_New());
    bind_global(S.__test__, tests);
}

// The checks and the state that come before the traceback-marked steps.
void prepare(Obj module) {
    // The namespace and the builtins are replaced together, never left empty: a function
    // object that outlived a failed start-up (reachable from its traceback) still finds them.
    Ref builtins = Ref::check(PyImport_ImportModule("builtins"));
    M.module.set(Ref::borrow(module));
    M.dict.set(Ref::borrow(PyModule_GetDict(module.get())));
    M.builtins.set(std::move(builtins));
    rt::check_rc(PyDict_SetItem(M.dict.get(), S.__builtins__, M.builtins.get()));
    rt::check_rc(check_version());
    rt::check_rc(rt::init_constants());
    rt::check_rc(rt::ready_function_type());
}

int exec_module(PyObject* module) noexcept {
    if (M.module) {
        if (M.module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'plotPrediction' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    rt::TracebackSite site;  // the entry a failing step gets, named after the module
    const int prepared = rt::guarded(-1, [&] {
        prepare(module);
        site = rt::TracebackSite(Ref::check(PyUnicode_FromFormat("init %U", S.module_name)));
        return 0;
    });
    if (prepared < 0) {
        M.module.clear();
        return -1;
    }
    rt::Line at(1);
    if (rt::guarded(-1, [&] { return (run_body(at), 0); }) == 0) return 0;
    site.add(at.no());
    M.module.clear();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "plotPrediction",
    nullptr,  // no docstring: __doc__ is None
    0,        // no per-module state
    nullptr,  // no module-level native functions
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace sorvani

PyMODINIT_FUNC PyInit_plotPrediction() {
    return PyModuleDef_Init(&sorvani::module_def);
}
