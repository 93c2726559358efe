// The `interpolation` submodule.
#include <span>

#include "binding.hpp"
#include "submodules.hpp"

namespace tamrix::py_interpolation {

bool register_functions(PyObject* module) {
  return binding::register_functions(module, std::span<const binding::Function>{});
}

}  // namespace tamrix::py_interpolation
