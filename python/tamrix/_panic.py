"""`PanicException`, the type of the kernels' internal failures, under an
importable name.

The extension creates the type on its first internal failure and places it in
no module, so the only way to reach it is to take it from a failure. One is
provoked here, once per process, the first time `tamrix.PanicException` is
looked up: an empty `new_levels` makes `interpolate_columns` fail before any
work is done. The diagnostic the extension writes for every failure would
read like a real problem, so standard error is pointed at the null device for
the length of that one call.
"""

from __future__ import annotations

import contextlib
import os
import sys
import threading
from collections.abc import Iterator

import numpy as np

import _tamrix_rs

_lock = threading.Lock()
_panic_type: type[BaseException] | None = None


@contextlib.contextmanager
def _stderr_discarded() -> Iterator[None]:
    """Standard error (file descriptor 2, which native code writes to) goes
    to the null device; when it cannot be redirected it is left alone."""
    try:
        sys.stderr.flush()
    except (AttributeError, OSError, ValueError):
        pass
    try:
        saved = os.dup(2)
    except OSError:
        yield
        return
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, 2)
        finally:
            os.close(null)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def _provoke() -> type[BaseException]:
    empty = np.empty(0)
    try:
        _tamrix_rs.interpolation.interpolate_columns(empty, empty, empty, 0, 0)
    except BaseException as failure:  # noqa: B036 - the type derives from BaseException
        kind = type(failure)
        if kind.__module__ == "pyo3_runtime" and kind.__name__ == "PanicException":
            return kind
        raise
    raise RuntimeError("interpolate_columns accepted an empty new_levels; the type of internal "
                       "failures cannot be obtained")


def panic_exception() -> type[BaseException]:
    """The extension's `PanicException` type (made on first use)."""
    global _panic_type
    with _lock:
        if _panic_type is None:
            with _stderr_discarded():
                _panic_type = _provoke()
        return _panic_type
