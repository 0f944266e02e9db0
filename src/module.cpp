// Module start-up: the create and exec slots of the one module object, the imports of the
// libraries under their aliases, and the publication of `obtain_dataset` and `plotPrediction`.
#include <array>
#include <cstdio>
#include <string>

#include "api.hpp"
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
rt::TracebackSite init_site("init sorvani_kb.datavisualization.plotPrediction");

// ---- create slot ------------------------------------------------------------------------------

// Copies one attribute of the import spec into the module namespace; a missing one is skipped.
int copy_spec_attr(PyObject* spec, PyObject* ns, PyObject* from, PyObject* to, bool allow_none) {
    PyObject* value = PyObject_GetAttr(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int rc = 0;
    if (allow_none || value != Py_None) rc = PyDict_SetItem(ns, to, value);
    Py_DECREF(value);
    return rc;
}

PyObject* create_module(PyObject* spec, PyModuleDef* /*def*/) noexcept {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (first_interpreter == -1) {
        first_interpreter = id;
    } else if (first_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (M.module != nullptr) return rt::new_ref(M.module);
    if (rt::init_constants() < 0) return nullptr;

    Ref name = Ref::steal(PyObject_GetAttr(spec, S.name));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* ns = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, ns, S.loader, S.__loader__, true) < 0 ||
        copy_spec_attr(spec, ns, S.origin, S.__file__, true) < 0 ||
        copy_spec_attr(spec, ns, S.parent, S.__package__, true) < 0 ||
        copy_spec_attr(spec, ns, S.submodule_search_locations, S.__path__, false) < 0) {
        return nullptr;
    }
    return module.release();
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
    PyObject* value = PyObject_GetAttr(M.builtins, name.get());
    if (value == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        }
        rt::throw_error();
    }
    return Ref::steal(value);
}

bool initialising(Obj module) {
    PyObject* spec = PyObject_GetAttr(module.get(), S.__spec__);
    if (spec == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyObject* flag = PyObject_GetAttr(spec, S._initializing);
    Py_DECREF(spec);
    if (flag == nullptr) {
        PyErr_Clear();
        return false;
    }
    const int on = PyObject_IsTrue(flag);
    Py_DECREF(flag);
    if (on < 0) PyErr_Clear();
    return on > 0;
}

// `import a.b.c`, giving the module a.b.c itself: taken from sys.modules when it is there and
// fully initialised, otherwise imported and reached from its top-level package part by part.
Ref import_dotted(const char* dotted) {
    Ref name = Ref::check(PyUnicode_FromString(dotted));
    PyObject* known = PyDict_GetItemWithError(PyImport_GetModuleDict(), name.get());
    if (known == nullptr && PyErr_Occurred()) rt::throw_error();
    if (known != nullptr && known != Py_None && !initialising(known)) return Ref::borrow(known);

    Ref module =
        Ref::check(PyImport_ImportModuleLevelObject(name.get(), M.dict, nullptr, nullptr, 0));
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
    Ref module = Ref::check(
        PyImport_ImportModuleLevelObject(package_name.get(), M.dict, nullptr, fromlist.get(), 0));
    PyObject* value = PyObject_GetAttr(module.get(), name.get());
    if (value != nullptr) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rt::throw_error();
    PyErr_Clear();
    // A submodule of that name that is loaded but not bound on its package.
    Ref full = Ref::check(PyUnicode_FromFormat("%U.%U", package_name.get(), name.get()));
    PyObject* sub = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
    if (sub != nullptr) return Ref::borrow(sub);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
    rt::throw_error();
}

void bind_global(Obj name, Obj value) {
    rt::check_rc(PyDict_SetItem(M.dict, name.get(), value.get()));
}

constexpr std::array<const rt::Spec*, 7> all_specs = {
    &obtain_dataset_spec,     &init_spec,           &plot_pred_spec,      &plot_hierarchical_spec,
    &plot_sum_hierarchy_spec, &dist_residuals_spec, &plot_residuals_spec,
};

// Steps that add an "init" traceback entry when they fail: registration in sys.modules, the
// imports, the function `obtain_dataset` and the class `plotPrediction`.
void run_body(rt::Line& at) {
    at(1);
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* known = PyDict_GetItemWithError(modules, S.module_name);
    if (known == nullptr) {
        if (PyErr_Occurred()) rt::throw_error();
        rt::check_rc(PyDict_SetItem(modules, S.module_name, M.module));
    }
    Py_XSETREF(M.range, builtin(S.range).release());
    std::array<Ref, all_specs.size()> codes;
    for (size_t i = 0; i < all_specs.size(); ++i) codes[i] = rt::make_code(*all_specs[i]);

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

    at(11);
    bind_global(S.obtain_dataset, rt::make_function(obtain_dataset_spec, codes[0]));

    at(43);
    Ref ns = rt::dict({{S.__module__, S.module_name}, {S.__qualname__, S.plotPrediction}});
    Ref doc = Ref::check(PyUnicode_FromString(class_doc));
    rt::check_rc(PyDict_SetItem(ns.get(), S.__doc__, doc.get()));
    Ref init;
    for (size_t i = 1; i < all_specs.size(); ++i) {
        const rt::Spec& spec = *all_specs[i];
        at(spec.first_line);
        Ref fn = rt::make_function(spec, codes[i]);
        rt::check_rc(PyDict_SetItemString(ns.get(), spec.name, fn.get()));
        if (i == 1) init = fn;
    }
    at(43);
    Ref cls = rt::call(reinterpret_cast<PyObject*>(&PyType_Type),
                       {S.plotPrediction, rt::N.empty_tuple, ns});
    speed_up_construction(cls, init);
    bind_global(S.plotPrediction, cls);

    Ref tests = Ref::check(PyDict_New());
    bind_global(S.__test__, tests);
}

int exec_module(PyObject* module) noexcept {
    if (M.module != nullptr) {
        if (M.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'plotPrediction' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    // The namespace and the builtins are replaced together, never left empty: a function
    // object that outlived a failed start-up (reachable from its traceback) still finds them.
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) return -1;
    M.module = rt::new_ref(module);
    Py_XSETREF(M.dict, rt::new_ref(PyModule_GetDict(module)));
    Py_XSETREF(M.builtins, builtins);
    if (PyDict_SetItem(M.dict, S.__builtins__, M.builtins) < 0 || check_version() < 0 ||
        rt::init_constants() < 0 || rt::ready_function_type() < 0) {
        Py_CLEAR(M.module);
        return -1;
    }
    rt::Line at(1);
    try {
        run_body(at);
        return 0;
    } catch (const rt::PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    init_site.add(at.no());
    Py_CLEAR(M.module);
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
