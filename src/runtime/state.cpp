#include "state.hpp"

namespace rt {

ModuleState M{};

void clear_state() noexcept {
    Py_CLEAR(M.module);
    Py_CLEAR(M.dict);
    Py_CLEAR(M.builtins);
    Py_CLEAR(M.range);
}

}  // namespace rt
