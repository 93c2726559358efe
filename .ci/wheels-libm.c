/* Linked into the binary wheels only (see .ci/wheels).
 *
 * The wheels are linked against glibc 2.28, so a call to exp binds the
 * version of exp that glibc 2.28 exports: exp@GLIBC_2.2.5. From glibc 2.29
 * on, that version is a wrapper kept for old programs, and the default exp
 * (exp@@GLIBC_2.29, which every program built there calls, Python's math
 * module and ctypes included) gives other bits where the wrapper handles an
 * error the old way: log of a negative number is +NaN from the wrapper and
 * the NaN of an invalid operation (-NaN on x86-64) from the default. The
 * kernels promise the running C library's results, so the functions that
 * glibc gave a new default version after 2.28 are called here through the
 * default version of the libm the process runs with, looked up by name on
 * first use. On glibc 2.28 that is the only version there is.
 *
 * .ci/wheels fails a wheel that binds any other libm function to a version
 * that is not the default one: a function added here keeps it passing. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

typedef double (*unary)(double);
typedef double (*binary)(double, double);

/* libm.so.6 is loaded already: the extension module needs it. A function
 * that cannot be found leaves nothing sound to compute with. */
static void* default_version(const char* name) {
  void* libm = dlopen("libm.so.6", RTLD_LAZY | RTLD_NOLOAD);
  void* function = libm != NULL ? dlsym(libm, name) : NULL;
  if (libm != NULL) dlclose(libm);
  if (function == NULL) {
    fprintf(stderr, "tamrix: %s not found in libm.so.6\n", name);
    abort();
  }
  return function;
}

/* Threads that race on the first call find the same function. */
#define LOOKED_UP(type, name)                                        \
  static type name##_function(void) {                                \
    static type found;                                               \
    type f = __atomic_load_n(&found, __ATOMIC_ACQUIRE);              \
    if (__builtin_expect(f == NULL, 0)) {                            \
      f = (type)default_version(#name);                              \
      __atomic_store_n(&found, f, __ATOMIC_RELEASE);                 \
    }                                                                \
    return f;                                                        \
  }

#define UNARY(name)                                                  \
  LOOKED_UP(unary, name)                                             \
  __attribute__((visibility("hidden"))) double name(double x) {      \
    return name##_function()(x);                                     \
  }

#define BINARY(name)                                                 \
  LOOKED_UP(binary, name)                                            \
  __attribute__((visibility("hidden"))) double name(double x, double y) { \
    return name##_function()(x, y);                                  \
  }

/* New default versions since glibc 2.28 (x86-64): GLIBC_2.29 and 2.35. */
UNARY(exp)
UNARY(exp2)
UNARY(log)
UNARY(log2)
BINARY(pow)
BINARY(hypot)
