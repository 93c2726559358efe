#include "libm_paths.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "python.hpp"
#include "tamrix/libm.hpp"

namespace tamrix::binding {
namespace {

// Where a decision is published: the attribute of `sys` and the name of the
// capsule stored there.
struct Place {
  const char* attribute;
  const char* capsule_name;
};

Place place_of(libm::Path path) {
  if (path == libm::Path::acos) return {"_tamrix_acos_path", "tamrix._acos_path"};
  return {"_tamrix_exp_log_path", "tamrix._exp_log_path"};
}

constexpr std::uint64_t record_version = 1;

// Plain C layout: each module reads it with its own copy of this code.
struct Record {
  std::uint64_t version;
  std::uint64_t vector;  // 0 or 1
  char reason[240];      // NUL-terminated, truncated if need be
};

// The decision a capsule holds, if it is one. A record claiming the vector
// path on a CPU that cannot run it is nobody's decision.
std::optional<libm::Status> published_status(PyObject* capsule, const char* capsule_name) {
  if (capsule == nullptr || !PyCapsule_IsValid(capsule, capsule_name)) return std::nullopt;
  const auto* record = static_cast<const Record*>(PyCapsule_GetPointer(capsule, capsule_name));
  if (record->version < record_version || (record->vector != 0 && !libm::vector_supported())) {
    return std::nullopt;
  }
  return libm::Status{record->vector != 0,
                      std::string(record->reason, strnlen(record->reason, sizeof record->reason))};
}

void free_record(PyObject* capsule) noexcept {
  delete static_cast<Record*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
}

py::Ref capsule_of(const libm::Status& status, const char* capsule_name) {
  auto record = std::make_unique<Record>();
  record->version = record_version;
  record->vector = status.vector ? 1 : 0;
  std::strncpy(record->reason, status.reason.c_str(), sizeof record->reason - 1);
  py::Ref capsule(PyCapsule_New(record.get(), capsule_name, &free_record));
  if (capsule) record.release();
  return capsule;
}

// dict[key], or null.
py::Ref lookup(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, key, &value) < 0) PyErr_Clear();
  return py::Ref(value);
#else
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr) PyErr_Clear();
  return py::Ref(Py_XNewRef(value));
#endif
}

// dict.setdefault(key, value) in one step, also against other threads of a
// free-threaded interpreter: the value that is there afterwards.
py::Ref set_default(PyObject* dict, PyObject* key, PyObject* value) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* result = nullptr;
  if (PyDict_SetDefaultRef(dict, key, value, &result) < 0) PyErr_Clear();
  return py::Ref(result);
#else
  PyObject* result = PyDict_SetDefault(dict, key, value);
  if (result == nullptr) PyErr_Clear();
  return py::Ref(Py_XNewRef(result));
#endif
}

libm::Status exchange_through_sys(libm::Path path, libm::Decide decide) noexcept {
  const Place place = place_of(path);
  try {
    py::Ref sys(PyImport_ImportModule("sys"));
    PyObject* dict = sys ? PyModule_GetDict(sys.get()) : nullptr;
    py::Ref key(PyUnicode_InternFromString(place.attribute));
    if (dict == nullptr || !key) {
      PyErr_Clear();
      return decide();
    }
    // Read first: deciding runs a self-check of about a millisecond.
    if (auto adopted = published_status(lookup(dict, key.get()).get(), place.capsule_name)) {
      return *adopted;
    }
    const libm::Status own = decide();
    py::Ref capsule = capsule_of(own, place.capsule_name);
    if (!capsule) {
      PyErr_Clear();
      return own;
    }
    // Another thread may have published meanwhile: its decision wins.
    auto settled =
        published_status(set_default(dict, key.get(), capsule.get()).get(), place.capsule_name);
    return settled ? *settled : own;
  } catch (...) {
    PyErr_Clear();
    return decide();
  }
}

}  // namespace

void settle_libm_paths() { libm::settle(&exchange_through_sys); }

}  // namespace tamrix::binding
