// The functions of `tamrix._kernels`, one group per source file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tamrix::kernels {

// A function taking keywords (METH_VARARGS | METH_KEYWORDS) as a method
// table entry, which stores every function under one pointer type.
inline PyCFunction with_keywords(PyObject* (*function)(PyObject*, PyObject*, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// libm.cpp: which exp/log and acos paths the kernels take, and each path on its own.
extern PyMethodDef libm_methods[];
// thickness.cpp: pressure thickness of many columns.
extern PyMethodDef thickness_methods[];
// remap.cpp: model levels to pressure levels, every variable of a block at once.
extern PyMethodDef remap_methods[];
// extrapolation.cpp: below-ground extrapolation with a level per element.
extern PyMethodDef extrapolation_methods[];

}  // namespace tamrix::kernels
