// `tamrix._kernels`: the package's own extension module, with the kernels
// that lie outside the documented tree of `_tamrix_rs`. It is built from the
// same numeric core, so its results are those of the core's kernels bit for
// bit.
//
// Arrays are read and written in place through the buffer protocol (NumPy
// arrays among them), so the module needs no NumPy headers; results go to
// arrays the caller provides. Long computations release the interpreter lock.
#include <initializer_list>

#include "functions.hpp"
#include "libm_paths.hpp"

namespace {

int add_functions(PyObject* module) {
  tamrix::binding::settle_libm_paths();
  using namespace tamrix::kernels;
  for (PyMethodDef* group :
       {libm_methods, thickness_methods, remap_methods, extrapolation_methods}) {
    if (PyModule_AddFunctions(module, group) != 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_functions)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tamrix._kernels",
    "The package's own kernels, outside the documented tree of _tamrix_rs: which\n"
    "exp/log and acos paths the kernels take, and batched kernels built from the same core.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__kernels() { return PyModuleDef_Init(&module_def); }
