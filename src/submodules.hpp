// The three submodules: each fills its module object with its functions, in
// registration order. False means a Python exception is pending.
#pragma once

#include "python.hpp"

namespace tamrix::py_meteorology {
bool register_functions(PyObject* module);
}
namespace tamrix::py_gradient {
bool register_functions(PyObject* module);
}
namespace tamrix::py_interpolation {
bool register_functions(PyObject* module);
}
