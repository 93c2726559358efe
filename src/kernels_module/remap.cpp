// remap_hybrid_to_pressure: the binding of the remap engine. It checks every
// argument (shapes, dtypes, kinds, memory shared between outputs and inputs)
// before any work starts, then runs the engine without the interpreter lock.
#include "tamrix/remap.hpp"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "functions.hpp"
#include "interrupt.hpp"

namespace tamrix::kernels {
namespace {

constexpr Accepts either_float{.float32 = true};
constexpr Accepts either_float_out{.float32 = true, .writable = true};

// The items of a sequence argument, as a tuple of its own: another thread
// (in a free-threaded build) may change a list while the call reads it.
class Items {
 public:
  ~Items() { Py_XDECREF(tuple_); }
  bool take(PyObject* object, const char* name) {
    tuple_ = PySequence_Tuple(object);
    if (tuple_ == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s must be a sequence, not '%.200s'", name,
                   Py_TYPE(object)->tp_name);
      return false;
    }
    return true;
  }
  std::size_t size() const { return static_cast<std::size_t>(PyTuple_GET_SIZE(tuple_)); }
  PyObject* operator[](std::size_t i) const {
    return PyTuple_GET_ITEM(tuple_, static_cast<Py_ssize_t>(i));
  }

 private:
  PyObject* tuple_ = nullptr;
};

bool kind_of(PyObject* object, std::size_t i, remap::Kind& kind) {
  const char* text = PyUnicode_Check(object) ? PyUnicode_AsUTF8(object) : nullptr;
  if (text != nullptr && std::strcmp(text, "plain") == 0) {
    kind = remap::Kind::plain;
  } else if (text != nullptr && std::strcmp(text, "temperature") == 0) {
    kind = remap::Kind::temperature;
  } else if (text != nullptr && std::strcmp(text, "geopotential") == 0) {
    kind = remap::Kind::geopotential;
  } else {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError,
                 "kinds[%zu] must be 'plain', 'temperature' or 'geopotential', not %R", i, object);
    return false;
  }
  return true;
}

remap::Field field_of(const Array& array) {
  return {array.data(), array.element() == Element::float32};
}

// The arrays of one call, with the names errors give them.
struct Arguments {
  std::vector<std::string> names;  // "variables[0]", ...; kept for the arrays' names
  std::vector<Array> variables;
  std::vector<Array> outputs;
  std::vector<remap::Kind> kinds;
  Array ps, hya, hyb, targets, phi_sfc, t_bot;
  bool has_phi_sfc = false;
  bool has_t_bot = false;
};

bool same_count(const Items& items, const char* name, std::size_t count) {
  if (items.size() == count) return true;
  PyErr_Format(PyExc_ValueError, "%s holds %zu items, but variables holds %zu", name, items.size(),
               count);
  return false;
}

bool is_2d(const Array& array) {
  if (array.ndim() == 2) return true;
  PyErr_Format(PyExc_ValueError, "%s must have 2 dimensions (outer, inner), not %d", array.name(),
               array.ndim());
  return false;
}

bool take_sequences(Arguments& a, PyObject* const objects[3]) {
  Items variables, outputs, kinds;
  if (!variables.take(objects[0], "variables") || !outputs.take(objects[1], "outputs") ||
      !kinds.take(objects[2], "kinds") || !same_count(outputs, "outputs", variables.size()) ||
      !same_count(kinds, "kinds", variables.size())) {
    return false;
  }
  const std::size_t count = variables.size();
  a.names.reserve(2 * count);
  a.variables.reserve(count);
  a.outputs.reserve(count);
  a.kinds.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    a.names.push_back("variables[" + std::to_string(i) + "]");
    a.names.push_back("outputs[" + std::to_string(i) + "]");
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!a.variables.emplace_back().acquire(variables[i], a.names[2 * i].c_str(), either_float) ||
        !a.outputs.emplace_back().acquire(outputs[i], a.names[2 * i + 1].c_str(),
                                          either_float_out) ||
        !kind_of(kinds[i], i, a.kinds[i])) {
      return false;
    }
  }
  return true;
}

bool take_surface(Array& array, PyObject* object, const char* name, std::size_t outer,
                  std::size_t inner) {
  return array.acquire(object, name, either_float) && array.has_shape({outer, inner});
}

// Extrapolating a kind needs its surface fields.
bool surface_fields_given(const Arguments& a) {
  for (const remap::Kind kind : a.kinds) {
    const char* missing = nullptr;
    if (kind != remap::Kind::plain && !a.has_phi_sfc) missing = "phi_sfc";
    if (kind == remap::Kind::geopotential && !a.has_t_bot) missing = "t_bot";
    if (missing != nullptr) {
      PyErr_Format(PyExc_ValueError, "extrapolating '%s' needs %s",
                   kind == remap::Kind::temperature ? "temperature" : "geopotential", missing);
      return false;
    }
  }
  return true;
}

// Every output is written while the inputs are read: none may share memory
// with an input or with another output.
bool outputs_stand_alone(const Arguments& a) {
  std::vector<const Array*> others = {&a.ps, &a.hya, &a.hyb, &a.targets};
  if (a.has_phi_sfc) others.push_back(&a.phi_sfc);
  if (a.has_t_bot) others.push_back(&a.t_bot);
  for (const Array& v : a.variables) others.push_back(&v);
  for (const Array& o : a.outputs) others.push_back(&o);
  for (const Array& out : a.outputs) {
    for (const Array* other : others) {
      if (other != &out && out.overlaps(*other)) {
        PyErr_Format(PyExc_ValueError, "%s must not share memory with %s", out.name(),
                     other->name());
        return false;
      }
    }
  }
  return true;
}

PyObject* remap_hybrid_to_pressure(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"variables", "outputs", "kinds",   "ps",  "hya",
                                   "hyb",       "p0",      "targets", "log", "extrapolate",
                                   "phi_sfc",   "t_bot",   nullptr};
  PyObject* sequences[3];
  PyObject *ps, *hya, *hyb, *targets;
  PyObject* phi_sfc = Py_None;
  PyObject* t_bot = Py_None;
  double p0 = 0.0;
  int log = -1;
  int extrapolate = -1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOdO|$ppOO:remap_hybrid_to_pressure",
                                   const_cast<char**>(keywords), &sequences[0], &sequences[1],
                                   &sequences[2], &ps, &hya, &hyb, &p0, &targets, &log,
                                   &extrapolate, &phi_sfc, &t_bot)) {
    return nullptr;
  }
  if (log < 0 || extrapolate < 0) {
    PyErr_Format(PyExc_TypeError,
                 "remap_hybrid_to_pressure() missing required keyword-only argument '%s'",
                 log < 0 ? "log" : "extrapolate");
    return nullptr;
  }
  Arguments a;
  if (!take_sequences(a, sequences) || !a.ps.acquire(ps, "ps", either_float) || !is_2d(a.ps)) {
    return nullptr;
  }
  const std::size_t outer = a.ps.extent(0);
  const std::size_t inner = a.ps.extent(1);
  if (!a.hya.acquire(hya, "hya") || !a.hya.has_shape({a.hya.size()}) ||
      !a.hyb.acquire(hyb, "hyb") || !a.hyb.has_shape({a.hya.size()}) ||
      !a.targets.acquire(targets, "targets") || !a.targets.has_shape({a.targets.size()})) {
    return nullptr;
  }
  const std::size_t levels = a.hya.size();
  const std::size_t nout = a.targets.size();
  if (levels == 0) {
    PyErr_SetString(PyExc_ValueError, "hya and hyb must hold at least one level");
    return nullptr;
  }
  a.has_phi_sfc = phi_sfc != Py_None;
  a.has_t_bot = t_bot != Py_None;
  if ((a.has_phi_sfc && !take_surface(a.phi_sfc, phi_sfc, "phi_sfc", outer, inner)) ||
      (a.has_t_bot && !take_surface(a.t_bot, t_bot, "t_bot", outer, inner))) {
    return nullptr;
  }
  for (std::size_t i = 0; i < a.variables.size(); ++i) {
    if (!a.variables[i].has_shape({outer, levels, inner}) ||
        !a.outputs[i].has_shape({outer, nout, inner})) {
      return nullptr;
    }
  }
  if ((extrapolate && !surface_fields_given(a)) || !outputs_stand_alone(a)) return nullptr;

  std::vector<remap::Variable> variables(a.variables.size());
  for (std::size_t i = 0; i < variables.size(); ++i) {
    variables[i] = {field_of(a.variables[i]),
                    {a.outputs[i].data(), a.outputs[i].element() == Element::float32},
                    a.kinds[i]};
  }
  remap::Block block;
  block.outer = outer;
  block.inner = inner;
  block.hya = a.hya.doubles();
  block.hyb = a.hyb.doubles();
  block.p0 = p0;
  block.targets = a.targets.doubles();
  block.log = log != 0;
  block.extrapolate = extrapolate != 0;
  block.ps = field_of(a.ps);
  if (a.has_phi_sfc) block.phi_sfc = field_of(a.phi_sfc);
  if (a.has_t_bot) block.t_bot = field_of(a.t_bot);
  block.variables = variables;
  if (!without_interpreter_lock([&](PyThreadState* released) {
        remap::hybrid_to_pressure(block, binding::python_signals(released));
      }))
    return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef remap_methods[] = {
    {"remap_hybrid_to_pressure", with_keywords(remap_hybrid_to_pressure),
     METH_VARARGS | METH_KEYWORDS,
     "remap_hybrid_to_pressure(variables, outputs, kinds, ps, hya, hyb, p0, targets, *, log, "
     "extrapolate, phi_sfc=None, t_bot=None)\n--\n\n"
     "Model levels to pressure levels, every variable of a block in one pass.\n\n"
     "variables: arrays of shape (outer, nlev, inner), float32 or float64, in the file's own\n"
     "layout; outputs: writable arrays of shape (outer, len(targets), inner), float32 or\n"
     "float64, every element written; kinds: 'plain', 'temperature' or 'geopotential' per\n"
     "variable. ps (outer, inner): surface pressure; level k has pressure\n"
     "hyb[k] * ps + hya[k] * p0; targets: pressures in the same unit, any order.\n"
     "log: interpolate in ln p, else in p. extrapolate: fill the targets below the lowest\n"
     "model level (temperature and geopotential by the extrapolation kernels, which need\n"
     "phi_sfc, and t_bot for geopotential; other variables take the lowest level's value),\n"
     "else they are NaN. Each value equals composing pressure_at_hybrid_levels_array,\n"
     "log and interpolate_columns on its column, bit for bit. Arrays are C-contiguous;\n"
     "hya, hyb and targets float64."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamrix::kernels
