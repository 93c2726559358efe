"""Borrow tracking seen from another participating module.

The tests play the part of such a module: they find the borrow-checking
record on NumPy's core multiarray module and call its routines through
ctypes, as its native code would, or publish a record of their own in a
fresh interpreter (`FOREIGN_RECORD`, `COUNTING_RECORD`).
"""

import ctypes
import importlib
from contextlib import contextmanager

import numpy as np

import _tamrix_rs

REGISTRY = "_RUST_NUMPY_BORROW_CHECKING_API"

ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Record(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("flags", ctypes.c_void_p),
        ("acquire", ACQUIRE),
        ("acquire_mut", ACQUIRE),
        ("release", RELEASE),
        ("release_mut", RELEASE),
    ]


capsule_pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(
    ("PyCapsule_GetPointer", ctypes.pythonapi)
)


def core_multiarray():
    major = int(np.__version__.split(".")[0])
    return importlib.import_module("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray")


@contextmanager
def exclusive(record, array):
    assert record.acquire_mut(record.flags, array) == 0
    try:
        yield
    finally:
        record.release_mut(record.flags, array)


def assert_free(record, array):
    """Nothing is borrowed any more: an exclusive borrow is granted."""
    assert record.acquire_mut(record.flags, array) == 0
    record.release_mut(record.flags, array)


def borrow_record():
    _tamrix_rs.meteorology.psychrometric_constant_array(np.ones(1))  # publishes the table
    capsule = getattr(core_multiarray(), REGISTRY)
    return Record.from_address(capsule_pointer(capsule, REGISTRY.encode()))


def assert_not_borrowed(record, objects, label):
    """Every call ended its borrows: another module may borrow the memory exclusively."""
    for o in objects:
        if isinstance(o, np.ndarray) and o.flags.writeable:
            assert record.acquire_mut(record.flags, o) == 0, label
            record.release_mut(record.flags, o)


FOREIGN_RECORD = f"""
import ctypes, importlib, numpy as np
REGISTRY = {REGISTRY!r}
ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
class Record(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("flags", ctypes.c_void_p),
                ("acquire", ACQUIRE), ("acquire_mut", ACQUIRE),
                ("release", RELEASE), ("release_mut", RELEASE)]
new_capsule = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)(
    ("PyCapsule_New", ctypes.pythonapi))
major = int(np.__version__.split(".")[0])
multiarray = importlib.import_module("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray")
"""


COUNTING_RECORD = (
    FOREIGN_RECORD
    + """
calls = []
codes = {}
def acquire(flags, array):
    calls.append(("acquire", flags, array.ctypes.data))
    return codes.get(array.ctypes.data, 0)
def release(flags, array):
    calls.append(("release", flags, array.ctypes.data))
def exclusive(flags, array):
    calls.append(("exclusive", flags, array.ctypes.data))
    return 0
record = Record(7, 1234, ACQUIRE(acquire), ACQUIRE(exclusive), RELEASE(release), RELEASE(exclusive))
name = ctypes.create_string_buffer(REGISTRY.encode())
capsule = new_capsule(ctypes.addressof(record), name, None)
setattr(multiarray, REGISTRY, capsule)
import _tamrix_rs
met = _tamrix_rs.meteorology
a, b = np.ones(3), np.ones(3)
def seen(*events):
    expected = [(event, 1234, array.ctypes.data) for event, array in events]
    print(calls == expected or calls)
    calls.clear()
"""
)
