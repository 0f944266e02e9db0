#include "state.hpp"

namespace rt {

ModuleState M{};

}  // namespace rt
