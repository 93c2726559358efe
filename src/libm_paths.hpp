// One exp/log path and one acos path per process.
//
// Every extension module of the package links its own copy of the numeric
// core, and each copy would decide the exp/log and acos paths on its own at its first
// use: TAMRIX_SCALAR_LIBM changed between two first uses would make them
// disagree, and show_config() report a path the kernels did not take. So the
// first module imported decides and publishes each decision as a capsule in
// the `sys` module, which every module of the interpreter sees, and the
// others adopt it. The exchange happens at import, under the interpreter
// lock: no kernel and no pool thread ever needs Python to learn the path.
#pragma once

namespace tamrix::binding {

// Makes this module's exp/log and acos decisions the process's. Call it when the
// module is imported, before any kernel runs; it never fails (a module that
// cannot reach `sys` decides on its own).
void settle_libm_paths();

}  // namespace tamrix::binding
