#include "boundary.hpp"

#include <exception>
#include <new>

namespace rt {

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

}  // namespace rt
