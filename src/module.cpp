// The extension module `_tamrix_rs`: a top-level module with the submodules
// meteorology, gradient and interpolation, attached as attributes only.
#include <atomic>
#include <cstdint>

#include "binding.hpp"
#include "libm_paths.hpp"
#include "once.hpp"
#include "panic.hpp"
#include "python.hpp"
#include "submodules.hpp"

namespace tamrix {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_tamrix_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

constexpr std::int64_t no_interpreter = -1;
std::atomic<std::int64_t> first_interpreter{no_interpreter};
binding::Once<PyObject> top_level;  // the module, once built; returned on every later import


bool owned_by_first_interpreter() {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return false;
  std::int64_t expected = no_interpreter;
  if (first_interpreter.compare_exchange_strong(expected, current) || expected == current) {
    return true;
  }
  PyErr_SetString(PyExc_ImportError,
                  "_tamrix_rs does not support subinterpreters: it can only be imported in "
                  "the interpreter that first loaded it");
  return false;
}

bool add_submodule(PyObject* parent, const char* name, bool (*fill)(PyObject*)) {
  py::Ref submodule(PyModule_New(name));
  if (!submodule || !fill(submodule.get())) return false;
  py::Ref module_name(PyModule_GetNameObject(submodule.get()));
  return module_name && binding::add_to_module(parent, module_name.get(), submodule.get());
}

PyObject* build_module() {
  py::Ref module(PyModule_Create(&module_definition));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  // Every process-wide object is made once under a lock, the borrow table
  // and the pool take concurrent callers, and a call shares no state with
  // another: importing the module keeps the interpreter free-threaded.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
  if (!add_submodule(module.get(), "meteorology", &py_meteorology::register_functions) ||
      !add_submodule(module.get(), "gradient", &py_gradient::register_functions) ||
      !add_submodule(module.get(), "interpolation", &py_interpolation::register_functions)) {
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace tamrix

PyMODINIT_FUNC PyInit__tamrix_rs(void) {
  using namespace tamrix;
  return binding::guarded([]() -> PyObject* {
    if (!owned_by_first_interpreter()) return nullptr;
    binding::settle_libm_paths();
    PyObject* module = top_level.get(&build_module);
    if (module == nullptr) return nullptr;
    return Py_NewRef(module);
  });
}
