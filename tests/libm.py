"""The C library's elementary functions and IEEE division, for exact transcriptions.

Python's math module refuses the inputs where the C library answers with an
infinity or a NaN (log(0), cos(inf)), and Python's `/` raises on a zero
divisor; the kernels see the C results, NaN bit patterns included.
"""

import ctypes
import ctypes.util

import numpy as np

_libm = ctypes.CDLL(ctypes.util.find_library("m"))


def _function(name):
    f = getattr(_libm, name)
    f.restype, f.argtypes = ctypes.c_double, [ctypes.c_double]
    return f


cos = _function("cos")
log = _function("log")


def divide(a: float, b: float) -> float:
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))
