#include "traceback.hpp"

#include "consts.hpp"
#include "ops.hpp"
#include "state.hpp"

namespace rt {

Ref new_code(const char* name, int line) {
    Ref code = Ref::check(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty("sorvani_kb/datavisualization/plotPrediction.py", name, line)));
    if constexpr (compat::empty_code_needs_bytecode) {
        Ref bytecode = Ref::check(PyBytes_FromStringAndSize(compat::return_none_bytecode,
                                                            sizeof compat::return_none_bytecode));
        Ref consts = Ref::check(PyTuple_Pack(1, Py_None));
        Ref replace = getattr(code, S.replace);
        code = call(replace, {},
                    {{S.co_code, bytecode}, {S.co_consts, consts}, {S.co_stacksize, N.i1}});
    }
    return code;
}

namespace {

// The frame of an entry: `code` running in the module's namespace.
Ref new_frame(Obj code) {
    return Ref::check(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), M.dict.get(), nullptr)));
}

}  // namespace

void TracebackSite::add(int line) noexcept {
    Ref frame;
    {
        const compat::SavedError pending;  // the exception the entry is for, put back below
        try {
            if (!codes_) codes_ = Ref::check(PyDict_New());
            Ref key = from_ssize(line);
            Ref code = Ref::borrow(PyDict_GetItemWithError(codes_.get(), key.get()));
            if (!code) {
                if (PyErr_Occurred() != nullptr || !name_) throw_error();
                const char* name = PyUnicode_AsUTF8(name_.get());
                if (name == nullptr) throw_error();
                code = new_code(name, line);
                check_rc(PyDict_SetItem(codes_.get(), key.get(), code.get()));
            }
            frame = new_frame(code);
        } catch (...) {
            PyErr_Clear();
        }
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

int TracebackSite::traverse(visitproc visit, void* arg) const noexcept {
    Py_VISIT(name_.get());
    Py_VISIT(codes_.get());
    return 0;
}

void TracebackSite::clear() noexcept {
    codes_.reset();
    name_.reset();
}

}  // namespace rt
