#include "borrow.hpp"

#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "numpy_api.hpp"
#include "once.hpp"
#include "panic.hpp"
#include "tamrix/borrow_table.hpp"
#include "tamrix/failure.hpp"

namespace tamrix::borrow {
namespace {

// The attribute of NumPy's core multiarray module, and the name of the
// capsule stored there, under which the participating modules publish the
// table. It is the name the most widely deployed of them use, so that their
// borrows and ours meet in one table.
constexpr char registry_name[] = "_RUST_NUMPY_BORROW_CHECKING_API";

// Laid out as every participating module expects (C layout). Whoever creates
// it first fills it; everybody else only calls through it.
struct Record {
  std::uint64_t version;
  void* flags;  // the table, passed back to the routines
  int (*acquire)(void*, PyObject*);
  int (*acquire_mut)(void*, PyObject*);
  void (*release)(void*, PyObject*);
  void (*release_mut)(void*, PyObject*);
};
static_assert(std::is_standard_layout_v<Record> && sizeof(Record) == 48);

constexpr std::uint64_t protocol_version = 1;

// Found or made on first need, by one thread while any other waits: two
// threads publishing a table each would keep borrows in different tables. The
// capsule reference is kept for the life of the process, so the record it
// points to is never freed under us.
binding::Once<const Record> shared_record;

// --- Reading an array as the table sees it ----------------------------------

// The object owning the memory: the end of the base chain through arrays.
std::uintptr_t owner_of(PyArrayObject* array) noexcept {
  PyObject* owner = reinterpret_cast<PyObject*>(array);
  while (PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(owner))) {
    owner = base;
    if (!PyArray_Check(base)) break;
  }
  return reinterpret_cast<std::uintptr_t>(owner);
}

Key key_of(PyArrayObject* array) noexcept {
  const auto ndim = static_cast<std::size_t>(PyArray_NDIM(array));
  // The descriptor layout differs between NumPy 1 and 2; PyArray_ITEMSIZE
  // reads the item size for the NumPy found at run time.
  return borrow::key_of(reinterpret_cast<std::uintptr_t>(PyArray_DATA(array)),
                        std::span<const npy_intp>(PyArray_DIMS(array), ndim),
                        std::span<const npy_intp>(PyArray_STRIDES(array), ndim),
                        static_cast<std::uint64_t>(PyArray_ITEMSIZE(array)));
}

// --- The routines published in the record -----------------------------------
//
// Other modules call these through the record with the interpreter lock
// held, with arrays of any dtype and dimension. Nothing may escape into their
// C code, so every failure becomes a return code.

Table& table_of(void* flags) noexcept { return *static_cast<Table*>(flags); }

template <int (Table::*Acquire)(std::uintptr_t, const Key&)>
int acquire_routine(void* flags, PyObject* object) noexcept {
  if (!PyArray_Check(object)) return cannot_register;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  try {
    return (table_of(flags).*Acquire)(owner_of(array), key_of(array));
  } catch (...) {
    return cannot_register;
  }
}

int acquire_exclusive_routine(void* flags, PyObject* object) noexcept {
  if (PyArray_Check(object) && !PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(object))) {
    return not_writeable;
  }
  return acquire_routine<&Table::acquire_exclusive>(flags, object);
}

template <void (Table::*Release)(std::uintptr_t, const Key&) noexcept>
void release_routine(void* flags, PyObject* object) noexcept {
  if (!PyArray_Check(object)) return;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  (table_of(flags).*Release)(owner_of(array), key_of(array));
}

void free_record(PyObject* capsule) noexcept {
  auto* record = static_cast<Record*>(PyCapsule_GetPointer(capsule, registry_name));
  if (record == nullptr) {
    PyErr_Clear();
    return;
  }
  delete static_cast<Table*>(record->flags);
  delete record;
}

// --- Finding the record -----------------------------------------------------

// The system's established message prefix, misspelling included: callers
// match on it.
[[noreturn]] void fail_api(const std::string& detail) {
  binding::fail_with_pending_error("Interal borrow checking API error: " + detail);
}

// Creates an empty table with this module's routines and publishes it.
py::Ref publish_own_record(PyObject* module) {
  auto table = std::make_unique<Table>();
  auto record = std::make_unique<Record>(Record{
      protocol_version,
      table.get(),
      &acquire_routine<&Table::acquire_shared>,
      &acquire_exclusive_routine,
      &release_routine<&Table::release_shared>,
      &release_routine<&Table::release_exclusive>,
  });
  py::Ref capsule(PyCapsule_New(record.get(), registry_name, &free_record));
  if (!capsule) fail_api("cannot create the borrow checking capsule");
  table.release();  // the capsule owns both now
  record.release();
  if (PyObject_SetAttrString(module, registry_name, capsule.get()) < 0) {
    fail_api("cannot publish the borrow checking capsule");
  }
  return capsule;
}

const Record* find_record() {
  PyObject* module = numpy::multiarray_module();
  if (module == nullptr) fail_api("NumPy's core multiarray module is not loaded");
  py::Ref capsule(PyObject_GetAttrString(module, registry_name));
  if (!capsule) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail_api("cannot read the registry");
    PyErr_Clear();
    capsule = publish_own_record(module);
  }
  if (!PyCapsule_IsValid(capsule.get(), registry_name)) {
    fail_api(std::string("the registry entry is not a capsule named ") + registry_name);
  }
  const auto* found =
      static_cast<const Record*>(PyCapsule_GetPointer(capsule.get(), registry_name));
  if (found->version < protocol_version) {
    fail_api("unsupported protocol version " + std::to_string(found->version));
  }
  capsule.release();  // kept for the process
  return found;
}

const Record& record() { return *shared_record.get(&find_record); }

// Another module's routines may run Python code, which must not start with an
// exception pending (the call may be failing with one). It is kept aside
// meanwhile. The protocol gives the routines no way to report an error, so
// one they leave behind is reported as unraisable.
class PendingErrorAside {
 public:
  PendingErrorAside() noexcept : saved_(PyErr_GetRaisedException()) {}
  ~PendingErrorAside() {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(saved_);
  }
  PendingErrorAside(const PendingErrorAside&) = delete;
  PendingErrorAside& operator=(const PendingErrorAside&) = delete;

 private:
  PyObject* saved_;
};

// A new array over `data` whose base is `array`, so that it leads to the
// same owner: what the routines, which read the key from the array they are
// given, see for a view the array itself no longer presents. Null (with no
// error pending) when it cannot be made.
py::Ref view_of_owner(PyObject* array, PyArray_Descr* descr, int ndim, npy_intp* shape,
                      npy_intp* strides, void* data) noexcept {
  Py_INCREF(descr);  // PyArray_NewFromDescr steals it
  py::Ref view(PyArray_NewFromDescr(&PyArray_Type, descr, ndim, shape, strides, data, 0, nullptr));
  if (!view) {
    PyErr_Clear();
    return view;
  }
  Py_INCREF(array);  // stolen, even on failure
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), array) < 0) {
    PyErr_Clear();
    return py::Ref();
  }
  return view;
}

// The registered 1-D view, for an array that presents another one now.
py::Ref stand_in_for(PyObject* array, const SharedBorrow& borrow) noexcept {
  npy_intp shape[1] = {borrow.length};
  npy_intp strides[1] = {borrow.stride};
  return view_of_owner(array, numpy::float64_descr(), 1, shape, strides,
                       const_cast<void*>(borrow.data));
}

bool is_plain_vector(PyArrayObject* array) noexcept {
  return PyArray_NDIM(array) == 1 && PyArray_ITEMSIZE(array) == sizeof(double);
}

// What a routine that just returned 0 registered: the array's view now.
// When that cannot be recorded the borrow is ended at once, through the
// array, which still presents it.
SharedBorrow registered_view(const Record& shared, PyObject* object) {
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  SharedBorrow borrow{PyArray_DATA(array), 0, 0, nullptr, true};
  if (is_plain_vector(array)) {
    borrow.length = PyArray_DIM(array, 0);
    borrow.stride = PyArray_STRIDE(array, 0);
    return borrow;
  }
  py::Ref view = view_of_owner(object, PyArray_DESCR(array), PyArray_NDIM(array),
                               PyArray_DIMS(array), PyArray_STRIDES(array), PyArray_DATA(array));
  if (!view) {
    shared.release(shared.flags, object);
    throw std::bad_alloc();
  }
  borrow.other_view = view.release();
  return borrow;
}

}  // namespace

SharedBorrow acquire_shared(PyObject* object) {
  const Record& shared = record();
  int code = 0;
  SharedBorrow borrow{};
  {
    PendingErrorAside aside;
    code = shared.acquire(shared.flags, object);
    // Read before anything else can run Python code (the unraisable hook,
    // say) that changes the array again.
    if (code == borrowed) borrow = registered_view(shared, object);
  }
  if (code == borrowed) return borrow;
  if (code == already_borrowed) {
    throw Failure("The array's memory is exclusively borrowed by another module: AlreadyBorrowed");
  }
  throw Failure("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

bool covers(PyObject* object, const SharedBorrow& borrow) noexcept {
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  return borrow.other_view == nullptr && is_plain_vector(array) &&
         PyArray_DATA(array) == borrow.data && PyArray_DIM(array, 0) == borrow.length &&
         PyArray_STRIDE(array, 0) == borrow.stride;
}

void release_shared(PyObject* array, SharedBorrow& borrow) noexcept {
  // A held borrow was registered, so the record is known by now.
  const Record* shared = shared_record.peek();
  if (!borrow.held || shared == nullptr) return;
  borrow.held = false;
  PendingErrorAside aside;
  if (py::Ref other(std::exchange(borrow.other_view, nullptr)); other) {
    shared->release(shared->flags, other.get());
  } else if (covers(array, borrow)) {
    shared->release(shared->flags, array);
  } else if (py::Ref stand_in = stand_in_for(array, borrow)) {
    shared->release(shared->flags, stand_in.get());
  }
}

}  // namespace tamrix::borrow
