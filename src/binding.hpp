// The declarative function table and the generic argument binding.
//
// Each Python function is described once by a `Description` (its name, its
// parameters with their kinds, its documentation text). A table row pairs a
// description with a body; `entry<D, Body>` is the generic wrapper that binds
// positional and keyword arguments, converts each in parameter order, checks
// array contiguity, runs the body and releases what it acquired, on every
// path, with every C++ failure turned into a Python exception.
//
// Bodies: `scalar<D, kernel>` and `elementwise<D, kernel>` cover kernels that
// map doubles (and flags) to a double; anything else is a function
// `PyObject* body(Call&)`. A scalar function's row is `scalar_row<D, kernel>`,
// whose entry point skips the general binding for plain positional floats.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "arrays.hpp"
#include "interrupt.hpp"
#include "once.hpp"
#include "panic.hpp"
#include "python.hpp"
#include "tamrix/lanes.hpp"
#include "tamrix/libm.hpp"
#include "tamrix/parallel.hpp"

namespace tamrix::binding {

enum class Kind : std::uint8_t {
  Float,
  Flag,
  OptionalFloat,
  Count,
  FloatArray,
  OptionalFloatArray
};

// Optional parameters may be omitted or given None.
constexpr bool is_optional(Kind kind) {
  return kind == Kind::OptionalFloat || kind == Kind::OptionalFloatArray;
}

struct Param {
  const char* name;
  Kind kind;
};

constexpr Param Float(const char* name) { return {name, Kind::Float}; }
constexpr Param Flag(const char* name) { return {name, Kind::Flag}; }
constexpr Param OptionalFloat(const char* name) { return {name, Kind::OptionalFloat}; }
constexpr Param Count(const char* name) { return {name, Kind::Count}; }
constexpr Param FloatArray(const char* name) { return {name, Kind::FloatArray}; }
constexpr Param OptionalFloatArray(const char* name) { return {name, Kind::OptionalFloatArray}; }

inline constexpr std::size_t max_params = 5;

// Immutable description of one Python function. Every parameter may be given
// by position or keyword; the required ones are those before the first
// optional parameter.
struct Description {
  const char* name;
  std::array<Param, max_params> params{};
  std::size_t count = 0;
  std::size_t required = 0;
  const char* doc = "";

  constexpr Description(const char* function_name, std::initializer_list<Param> parameters,
                        const char* documentation = "")
      : name(function_name), doc(documentation) {
    for (const Param& param : parameters) {
      params[count++] = param;
      if (!is_optional(param.kind) && required + 1 == count) required = count;
    }
  }
};

// The arguments of one call, converted. Owns the accepted arrays and releases
// them in reverse parameter order when it goes away.
class Call {
 public:
  // `keywords` holds the interned parameter names (see interned_names), or
  // is null.
  Call(const Description& description, PyObject* const* keywords) noexcept
      : description_(description), keywords_(keywords) {}
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // Binds, converts and checks contiguity. False means a Python exception is
  // pending; internal failures are thrown. From the contiguity check on, no
  // Python code runs until the call releases its arrays, so the array views
  // stay valid for the kernel.
  bool prepare(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  double number(std::size_t i) const noexcept { return values_[i].number; }
  bool flag(std::size_t i) const noexcept { return values_[i].flag; }
  std::uint64_t count(std::size_t i) const noexcept { return values_[i].count; }
  std::optional<double> optional(std::size_t i) const noexcept {
    return values_[i].present ? std::optional<double>(values_[i].number) : std::nullopt;
  }
  const ArrayArg& array(std::size_t i) const noexcept { return values_[i].array; }
  // An optional array parameter: the accepted array, or null when omitted.
  const ArrayArg* optional_array(std::size_t i) const noexcept {
    return values_[i].present ? &values_[i].array : nullptr;
  }
  const Description& description() const noexcept { return description_; }

 private:
  struct Value {
    union {
      double number;
      bool flag;
      std::uint64_t count;
      ArrayArg array;
    };
    bool present;
  };

  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const;
  bool convert(std::size_t i, PyObject* object);
  // Whether parameter i holds an accepted array (converted, and not omitted).
  bool holds_array(std::size_t i) const noexcept;
  // Python code run by a conversion (or by a borrow routine) may have
  // resized or reshaped an array accepted before it: borrows the views that
  // will be read.
  void settle_borrows();

  const Description& description_;
  PyObject* const* keywords_;
  std::array<Value, max_params> values_;
  std::size_t converted_ = 0;  // parameters converted so far (arrays among them are owned)
};

using EntryPoint = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct Function {
  const Description* description;
  EntryPoint entry;
};

// The parameter names as interned strings, made once per function (or null
// if that failed). Keyword names at call sites are interned too, so a
// keyword is usually matched by identity, without comparing text.
PyObject* const* interned_names(const Description& description) noexcept;

template <const Description& D, auto Body>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static Once<PyObject* const> keywords;
    Call call(D, keywords.get([] { return interned_names(D); }));
    if (!call.prepare(args, nargs, kwnames)) return nullptr;
    return Body(call);
  });
}

// A table row.
template <const Description& D, auto Body>
constexpr Function row() {
  return {&D, &entry<D, Body>};
}

// Creates the function objects of a submodule, in table order, and adds each
// to it. Returns false with a Python exception pending on failure.
bool register_functions(PyObject* submodule, std::span<const Function> functions);

// Adds `object` to `module` under `name` and appends the name to `__all__`.
bool add_to_module(PyObject* module, PyObject* name, PyObject* object);

// --- Length rules -----------------------------------------------------------

using LengthRule = bool (*)(const Call&);

// All array parameters have the same length: check_len2 for two arrays,
// check_len3 for three, nothing for one.
bool equal_lengths(const Call& call);

// --- Generic bodies for per-element kernels ---------------------------------

// The one compiled copy of a kernel (see TAMRIX_ONE_COMPILED_COPY) that the
// scalar and the array form of a function both call, so that they agree bit
// for bit, NaN payloads included.
template <auto Kernel, class... Args>
TAMRIX_ONE_COMPILED_COPY double shared_kernel(Args... args) {
  return Kernel(args...);
}

// A kernel of a single double cannot meet two different NaNs (every NaN in it
// comes from that one input, or is the default NaN made from infinities), so
// any copy gives the same bits and the kernel may be inlined and vectorised.
// Kernels of several doubles go through their one shared copy.
template <auto Kernel, class... Args>
inline double evaluate(Args... args) {
  if constexpr ((std::is_same_v<Args, double> + ... + 0) <= 1) {
    return Kernel(args...);
  } else {
    return shared_kernel<Kernel>(args...);
  }
}

namespace detail {

inline bool is_nan(double value) { return std::isnan(value); }
inline bool is_nan(bool) { return false; }

}  // namespace detail

// The one evaluation of a scalar function. Without a NaN argument a kernel
// meets no NaN but the default one that invalid operations make (no kernel's
// NaN constant reaches its result then), which every compiled copy treats
// alike: the kernel is inlined. With a NaN argument it takes the copy the
// array form takes (evaluate).
template <auto Kernel, class... Args>
inline double evaluate_once(Args... args) {
  if ((detail::is_nan(args) || ...)) return evaluate<Kernel>(args...);
  return Kernel(args...);
}

namespace detail {

// What kernel argument I receives: the array's data (read per element), or
// the converted scalar (the same for every element).
template <const Description& D, std::size_t I>
auto operand(const Call& call) {
  constexpr Kind kind = D.params[I].kind;
  if constexpr (kind == Kind::FloatArray) {
    return call.array(I).data;
  } else if constexpr (kind == Kind::Flag) {
    return call.flag(I);
  } else {
    static_assert(kind == Kind::Float, "per-element kernels take floats, flags and arrays");
    return call.number(I);
  }
}

inline double at(const double* data, std::size_t k) { return data[k]; }
inline double at(double value, std::size_t) { return value; }
inline bool at(bool value, std::size_t) { return value; }

template <const Description& D>
constexpr std::size_t first_array() {
  for (std::size_t i = 0; i < D.count; ++i) {
    if (D.params[i].kind == Kind::FloatArray) return i;
  }
  return D.count;
}

}  // namespace detail

// A scalar function: the kernel applied once to the converted arguments.
template <const Description& D, auto Kernel>
PyObject* scalar(Call& call) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return PyFloat_FromDouble(evaluate_once<Kernel>(detail::operand<D, I>(call)...));
  }
  (std::make_index_sequence<D.count>{});
}

namespace detail {

// An argument that needs no conversion: an exact float for a Float, True or
// False for a Flag. Its value is what the conversion would give.
template <Kind K>
bool is_plain(PyObject* object) {
  if constexpr (K == Kind::Float) return PyFloat_CheckExact(object);
  if constexpr (K == Kind::Flag) return PyBool_Check(object);
  return false;
}

template <Kind K>
auto plain_value(PyObject* object) {
  if constexpr (K == Kind::Float) {
    return PyFloat_AS_DOUBLE(object);
  } else {
    return object == Py_True;
  }
}

}  // namespace detail

// The entry point of a scalar function. The usual call, every argument given
// by position as a float (or bool), goes straight to the kernel: binding and
// converting it in full costs as much as a short kernel. Any other call
// takes the general path, with the same result.
template <const Description& D, auto Kernel>
PyObject* scalar_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    const bool plain = kwnames == nullptr && nargs == static_cast<Py_ssize_t>(D.count) &&
                       (detail::is_plain<D.params[I].kind>(args[I]) && ...);
    if (!plain) return entry<D, scalar<D, Kernel>>(module, args, nargs, kwnames);
    return guarded([&] {
      return PyFloat_FromDouble(
          evaluate_once<Kernel>(detail::plain_value<D.params[I].kind>(args[I])...));
    });
  }
  (std::make_index_sequence<D.count>{});
}

template <const Description& D, auto Kernel>
constexpr Function scalar_row() {
  return {&D, &scalar_entry<D, Kernel>};
}

// An element-wise array function: element k of the result is the kernel
// applied to element k of every array argument (and the scalar arguments).
template <const Description& D, auto Kernel, Cost C = Cost{}, LengthRule Rule = &equal_lengths>
PyObject* elementwise(Call& call) {
  static_assert(detail::first_array<D>() < D.count, "an element-wise function takes an array");
  if (!Rule(call)) return nullptr;
  const std::size_t n = call.array(detail::first_array<D>()).size;
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    const std::tuple ops{detail::operand<D, I>(call)...};
    return make_result_array(parallel_map(n, C, python_signals(), [ops](std::size_t k) {
      return evaluate<Kernel>(detail::at(std::get<I>(ops), k)...);
    }));
  }
  (std::make_index_sequence<D.count>{});
}

namespace detail {

// What a run-wise kernel receives for the elements from `first` on: the array
// data from there, or the scalar unchanged.
inline const double* from(const double* data, std::size_t first) { return data + first; }
inline double from(double value, std::size_t) { return value; }

}  // namespace detail

// An element-wise array function whose kernel takes runs of elements:
// Batch(operands from `first`..., out + first, count) for each piece of the
// parallel split (see tamrix/batched.hpp). `C` is the per-element cost with
// the vector exp/log; the scalar C library costs about four times as much.
template <const Description& D, auto Batch, Cost C, LengthRule Rule = &equal_lengths>
PyObject* elementwise_runs(Call& call) {
  static_assert(detail::first_array<D>() < D.count, "an element-wise function takes an array");
  if (!Rule(call)) return nullptr;
  const std::size_t n = call.array(detail::first_array<D>()).size;
  const Cost cost = libm::status().vector ? C : Cost{C.units * 4};
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    const std::tuple ops{detail::operand<D, I>(call)...};
    DoubleBuffer out(n);
    double* dst = out.data();
    parallel_for(n, cost, python_signals(), [ops, dst](std::size_t first, std::size_t end) {
      Batch(detail::from(std::get<I>(ops), first)..., dst + first, end - first);
    });
    return make_result_array(std::move(out));
  }
  (std::make_index_sequence<D.count>{});
}

// An element-wise function of one array whose kernel is a template that also
// runs on `Lanes` (see map_lanes).
template <const Description& D, template <class> class Kernel, Cost C = Cost{}>
PyObject* elementwise_lanes(Call& call) {
  static_assert(D.count == 1 && D.params[0].kind == Kind::FloatArray);
  const ArrayArg& input = call.array(0);
  DoubleBuffer out(input.size);
  const double* src = input.data;
  double* dst = out.data();
  parallel_for(input.size, C, python_signals(),
               [src, dst](std::size_t lo, std::size_t hi) { map_lanes<Kernel>(src, dst, lo, hi); });
  return make_result_array(std::move(out));
}

}  // namespace tamrix::binding
