#include "consts.hpp"

namespace rt {

Strings S{};
Numbers N{};

namespace {

bool made = false;

int intern(PyObject*& slot, const char* text) noexcept {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr ? 0 : -1;
}

int number(PyObject*& slot, PyObject* value) noexcept {
    slot = value;
    return slot != nullptr ? 0 : -1;
}

}  // namespace

int init_constants() noexcept {
    if (made) return 0;
        // A failure part-way leaves the entries made so far referenced by the table; they are
        // made again (and the old ones kept alive) on the next attempt, a bounded cost paid
        // only when start-up runs out of memory.
#define RT_MAKE_NAME(id) \
    if (intern(S.id, #id) < 0) return -1;
#define RT_MAKE_TEXT(id, text) \
    if (intern(S.id, text) < 0) return -1;
    RT_NAMES(RT_MAKE_NAME)
    RT_TEXTS(RT_MAKE_TEXT)
#undef RT_MAKE_NAME
#undef RT_MAKE_TEXT
    if (number(N.f0_01, PyFloat_FromDouble(0.01)) < 0) return -1;
    if (number(N.f0_99, PyFloat_FromDouble(0.99)) < 0) return -1;
    if (number(N.f_minus0_5, PyFloat_FromDouble(-0.5)) < 0) return -1;
    if (number(N.i0, PyLong_FromLong(0)) < 0) return -1;
    if (number(N.i1, PyLong_FromLong(1)) < 0) return -1;
    if (number(N.i24, PyLong_FromLong(24)) < 0) return -1;
    if (number(N.i500, PyLong_FromLong(500)) < 0) return -1;
    if (number(N.i700, PyLong_FromLong(700)) < 0) return -1;
    if (number(N.i800, PyLong_FromLong(800)) < 0) return -1;
    if (number(N.from_1, PySlice_New(N.i1, Py_None, Py_None)) < 0) return -1;
    if (number(N.empty_tuple, PyTuple_New(0)) < 0) return -1;
    made = true;
    return 0;
}

}  // namespace rt
