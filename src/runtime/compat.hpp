// Every difference between the CPython versions the module supports (3.9 to 3.15) lives here;
// the rest of the sources include Python through this header and test no version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>

// A build for a debug interpreter must see its debug configuration: otherwise every reference
// the module takes or drops is missed by the interpreter's running total. CMake tells us which
// kind of interpreter the build is for.
#if defined(SORVANI_PY_DEBUG) && SORVANI_PY_DEBUG && !defined(Py_DEBUG)
#error "building for a debug interpreter with the headers of a release build"
#endif

namespace rt::compat {

// Type flag of a class whose attributes cannot be set (3.10 and later; before, a class made
// from a spec could have them set, which no test relies on).
#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned long immutable_type = Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned long immutable_type = 0;
#endif

// Code objects carry a qualified name from 3.11 on.
inline constexpr bool code_has_qualname = PY_VERSION_HEX >= 0x030B0000;

// Before 3.11 PyCode_NewEmpty gives a code object with no bytecode at all, which the
// interpreter would run off the end of; it gets `return None` instead.
inline constexpr bool empty_code_needs_bytecode = PY_VERSION_HEX < 0x030B0000;
inline constexpr char return_none_bytecode[] = {100, 0, 83, 0};  // LOAD_CONST 0, RETURN_VALUE

// The pending exception, taken out of the interpreter and put back unchanged.
class SavedError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
#else
    SavedError() noexcept {
        PyErr_Fetch(&type_, &exc_, &tb_);
    }
#endif
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    // Hands the exception back to the interpreter, which takes over its references.
    ~SavedError() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, exc_, tb_);
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

}  // namespace rt::compat
