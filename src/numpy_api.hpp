// NumPy's C API, located at run time on first need (never at import).
//
// The table is NumPy's "_ARRAY_API" capsule on its core multiarray module,
// whose package is "numpy._core" from NumPy 2 on and "numpy.core" before.
// One build serves both generations: only fields whose layout they share are
// read directly; the descriptor goes through NumPy's own version-aware
// accessors, which consult the runtime version recorded here.
#pragma once

#include "python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tamrix_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#ifndef TAMRIX_NUMPY_API_DEFINITIONS
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace tamrix::numpy {

// Makes sure the API table is loaded. Throws tamrix::Failure (message
// beginning "Failed to access NumPy array API capsule") when NumPy cannot be
// imported or is broken.
void require_api();

// NumPy's core multiarray module (kept alive for the process). Requires the
// API to be loaded.
PyObject* multiarray_module();

// The float64 descriptor (a borrowed, process-lifetime reference).
PyArray_Descr* float64_descr();

// The NumPy major version found at run time.
int major_version();

}  // namespace tamrix::numpy
