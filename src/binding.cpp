#include "binding.hpp"

#include <cstring>
#include <deque>
#include <new>
#include <string>

#include "tamrix/failure.hpp"

namespace tamrix::binding {
namespace {

std::string parameter_list(const Description& d, const std::size_t* missing, std::size_t k) {
  // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
  std::string text;
  for (std::size_t j = 0; j < k; ++j) {
    if (j > 0) text += k > 2 ? ", " : " ";
    if (j > 0 && j + 1 == k) text += "and ";
    text += "'";
    text += d.params[missing[j]].name;
    text += "'";
  }
  return text;
}

void raise_too_many_positional(const Description& d, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (d.required == d.count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", d.name,
                 d.count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zd %s given", d.name,
                 d.required, d.count, given, verb);
  }
}

// The index of the parameter named by a keyword, or count when none matches.
std::size_t find_parameter(const Description& d, PyObject* const* interned, PyObject* keyword) {
  if (interned != nullptr) {
    for (std::size_t i = 0; i < d.count; ++i) {
      if (interned[i] == keyword) return i;
    }
  }
  Py_ssize_t length = 0;
  const char* name = PyUnicode_AsUTF8AndSize(keyword, &length);
  if (name == nullptr) {
    PyErr_Clear();  // not encodable: it cannot name a parameter
    return d.count;
  }
  for (std::size_t i = 0; i < d.count; ++i) {
    const char* candidate = d.params[i].name;
    if (std::strlen(candidate) == static_cast<std::size_t>(length) &&
        std::memcmp(candidate, name, length) == 0) {
      return i;
    }
  }
  return d.count;
}

bool convert_float(PyObject* object, double& out) {
  if (PyFloat_CheckExact(object)) {
    out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  out = PyFloat_AsDouble(object);
  return !(out == -1.0 && PyErr_Occurred());
}

bool is_numpy_bool_type(PyTypeObject* type) {
  py::Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy")) {
    return false;
  }
  py::Ref name(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

bool convert_flag(PyObject* object, bool& out) {
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(object);
  if (is_numpy_bool_type(type)) {
    inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                   reinterpret_cast<PyObject*>(type));
      return false;
    }
    const int value = truth(object);
    if (value != 0 && value != 1) return false;
    out = value == 1;
    return true;
  }
  py::Ref name = py::type_qualname(object);
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyBool'", name.get());
  return false;
}

bool convert_count(PyObject* object, std::uint64_t& out) {
  py::Ref index;
  if (!PyLong_Check(object)) {
    index = py::Ref(PyNumber_Index(object));
    if (!index) return false;
    object = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

// A TypeError raised while converting a parameter is re-raised as
// "argument '<name>': <message>", keeping its cause; other errors pass as
// they are. A PanicException from Python code is resumed as a failure.
void annotate_conversion_error(const char* parameter) {
  resume_if_panic();
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* raised = PyErr_GetRaisedException();
  if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  py::Ref message(PyObject_Str(raised));
  if (!message) {
    Py_DECREF(raised);
    return;
  }
  py::Ref text(PyUnicode_FromFormat("argument '%s': %U", parameter, message.get()));
  py::Ref replacement(text ? PyObject_CallOneArg(PyExc_TypeError, text.get()) : nullptr);
  if (!replacement) {
    Py_DECREF(raised);
    return;
  }
  PyException_SetCause(replacement.get(), PyException_GetCause(raised));
  Py_DECREF(raised);
  PyErr_SetRaisedException(replacement.release());
}

// Method definitions and their documentation strings live as long as the
// process: function objects point into them.
std::deque<PyMethodDef> method_definitions;
std::deque<std::string> documentation;

const char* documentation_of(const Description& d) {
  std::string text = d.name;
  text += "(";
  for (std::size_t i = 0; i < d.count; ++i) {
    if (i > 0) text += ", ";
    text += d.params[i].name;
    if (is_optional(d.params[i].kind)) text += "=None";
  }
  text += ")\n--\n\n";
  text += d.doc;
  return documentation.emplace_back(std::move(text)).c_str();
}

}  // namespace

PyObject* const* interned_names(const Description& description) noexcept {
  auto* names = new (std::nothrow) PyObject*[max_params]();
  if (names == nullptr) return nullptr;
  for (std::size_t i = 0; i < description.count; ++i) {
    names[i] = PyUnicode_InternFromString(description.params[i].name);
    if (names[i] == nullptr) {
      PyErr_Clear();  // matching by text still works
      for (std::size_t j = 0; j < i; ++j) Py_DECREF(names[j]);
      delete[] names;
      return nullptr;
    }
  }
  return names;  // kept for the life of the process
}

Call::~Call() {
  for (std::size_t i = converted_; i-- > 0;) {
    if (holds_array(i)) release_float_array(values_[i].array);
  }
}

bool Call::holds_array(std::size_t i) const noexcept {
  const Kind kind = description_.params[i].kind;
  return i < converted_ &&
         (kind == Kind::FloatArray || (kind == Kind::OptionalFloatArray && values_[i].present));
}

bool Call::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** slots) const {
  const Description& d = description_;
  if (static_cast<std::size_t>(nargs) > d.count) {
    raise_too_many_positional(d, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const std::size_t i = find_parameter(d, keywords_, keyword);
    if (i == d.count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", d.name,
                   keyword);
      return false;
    }
    if (slots[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", d.name,
                   d.params[i].name);
      return false;
    }
    slots[i] = args[nargs + k];
  }

  if (static_cast<std::size_t>(nargs) < d.required) {
    std::size_t missing[max_params];
    std::size_t k = 0;
    for (std::size_t i = 0; i < d.required; ++i) {
      if (slots[i] == nullptr) missing[k++] = i;
    }
    if (k > 0) {
      const std::string list = parameter_list(d, missing, k);
      PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", d.name, k,
                   k == 1 ? "argument" : "arguments", list.c_str());
      return false;
    }
  }
  return true;
}

bool Call::convert(std::size_t i, PyObject* object) {
  Value& value = values_[i];
  value.present = true;
  switch (description_.params[i].kind) {
    case Kind::Float:
      return convert_float(object, value.number);
    case Kind::Flag:
      return convert_flag(object, value.flag);
    case Kind::OptionalFloat:
      if (object == nullptr || object == Py_None) {
        value.present = false;
        return true;
      }
      return convert_float(object, value.number);
    case Kind::Count:
      return convert_count(object, value.count);
    case Kind::FloatArray:
      return accept_float_array(object, value.array);
    case Kind::OptionalFloatArray:
      if (object == nullptr || object == Py_None) {
        value.present = false;
        return true;
      }
      return accept_float_array(object, value.array);
  }
  return false;
}

bool Call::prepare(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[max_params] = {};
  if (!bind(args, nargs, kwnames, slots)) return false;
  const Description& d = description_;
  for (std::size_t i = 0; i < d.count; ++i) {
    if (!convert(i, slots[i])) {
      annotate_conversion_error(d.params[i].name);
      return false;
    }
    converted_ = i + 1;
  }
  settle_borrows();
  for (std::size_t i = 0; i < d.count; ++i) {
    if (holds_array(i) && !take_view(values_[i].array, d.params[i].name)) return false;
  }
  return true;
}

void Call::settle_borrows() {
  // Re-registering calls the table's routines, which may run Python code and
  // change an array again; a few rounds settle any sane caller.
  constexpr int max_rounds = 8;
  for (int round = 0; round < max_rounds; ++round) {
    bool changed = false;
    for (std::size_t i = 0; i < description_.count; ++i) {
      if (holds_array(i)) changed = borrow_current_view(values_[i].array) || changed;
    }
    if (!changed) return;
  }
  throw Failure("array arguments kept changing while their borrows were registered");
}

bool equal_lengths(const Call& call) {
  const Description& d = call.description();
  std::size_t arrays[max_params];
  std::size_t k = 0;
  for (std::size_t i = 0; i < d.count; ++i) {
    if (d.params[i].kind == Kind::FloatArray) arrays[k++] = i;
  }
  auto size = [&](std::size_t j) { return call.array(arrays[j]).size; };
  auto name = [&](std::size_t j) { return d.params[arrays[j]].name; };
  if (k == 2) return check_len2(size(0), size(1), name(0), name(1));
  if (k == 3) return check_len3(size(0), size(1), size(2), name(0), name(1), name(2));
  if (k > 3) throw Failure("equal_lengths supports at most three arrays");
  return true;
}

bool add_to_module(PyObject* module, PyObject* name, PyObject* object) {
  py::Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = py::Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    throw Failure("could not append __name__ to __all__");
  }
  return PyObject_SetAttr(module, name, object) == 0;
}

bool register_functions(PyObject* submodule, std::span<const Function> functions) {
  py::Ref module_name(PyModule_GetNameObject(submodule));
  if (!module_name) return false;
  for (const Function& function : functions) {
    PyMethodDef& def = method_definitions.emplace_back();
    def.ml_name = function.description->name;
    def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function.entry));
    def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    def.ml_doc = documentation_of(*function.description);
    py::Ref object(PyCFunction_NewEx(&def, submodule, module_name.get()));
    if (!object) return false;
    py::Ref name(PyObject_GetAttrString(object.get(), "__name__"));
    if (!name) return false;
    if (!add_to_module(submodule, name.get(), object.get())) return false;
  }
  return true;
}

}  // namespace tamrix::binding
