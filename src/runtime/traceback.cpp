#include "traceback.hpp"

#include <frameobject.h>

#include "consts.hpp"
#include "ops.hpp"
#include "state.hpp"

namespace rt {

Ref new_code(const char* name, int line) {
    Ref code = Ref::check(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty("sorvani_kb/datavisualization/plotPrediction.py", name, line)));
#if PY_VERSION_HEX < 0x030B0000
    // Before 3.11 the empty code object has no bytecode at all, which the interpreter would
    // run off the end of; give it `return None`.
    static const char return_none[] = {100, 0, 83, 0};  // LOAD_CONST 0, RETURN_VALUE
    Ref bytecode = Ref::check(PyBytes_FromStringAndSize(return_none, sizeof return_none));
    Ref consts = Ref::check(PyTuple_Pack(1, Py_None));
    Ref replace = getattr(code, S.replace);
    code =
        call(replace, {}, {{S.co_code, bytecode}, {S.co_consts, consts}, {S.co_stacksize, N.i1}});
#endif
    return code;
}

void TracebackSite::add(int line) noexcept {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyFrameObject* frame = nullptr;
    try {
        if (codes_ == nullptr) codes_ = Ref::check(PyDict_New()).release();
        Ref key = from_ssize(line);
        Ref code = Ref::borrow(PyDict_GetItemWithError(codes_, key.get()));
        if (!code) {
            if (PyErr_Occurred()) throw_error();
            code = new_code(name_, line);
            check_rc(PyDict_SetItem(codes_, key.get(), code.get()));
        }
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                            M.dict, nullptr);
        if (frame == nullptr) throw_error();
    } catch (...) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace rt
