"""Types of the public signatures.

Every function is overloaded from the narrowest kind of input to the
broadest, so that a type checker sees what actually comes back: a float for
Python numbers, a NumPy scalar for NumPy scalars, a float ndarray for arrays
and sequences, a DataArray when any argument is one, a pint Quantity for
pint input. dask arrays (untyped) and mixtures the functions refuse at run
time fall through to the last overload, which returns Any.

xarray and pint are imported for type checkers only; the aliases are
strings, so nothing here imports them at run time.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, TypeAlias

if TYPE_CHECKING:
    from collections.abc import Sequence

    import numpy as np
    import numpy.typing as npt
    import pint
    import xarray

# A Python number (mypy takes int and bool as float) or a NumPy scalar.
Scalar: TypeAlias = "float | np.floating[Any] | np.integer[Any] | np.bool_"
# NumPy arrays and (nested) sequences of numbers, and numbers among them.
ArrayIn: TypeAlias = "npt.NDArray[Any] | Sequence[Any] | Scalar"
# The arguments of a call on DataArrays: DataArrays, with numbers among them.
DataArrayIn: TypeAlias = "xarray.DataArray | Scalar"
# The arguments of a call on pint quantities.
QuantityIn: TypeAlias = "pint.Quantity[Any] | Scalar"
# Array results: the dtype is float64 or that of the inputs (see dtype=).
FloatArray: TypeAlias = "npt.NDArray[np.floating[Any]]"
# Anything numpy.dtype accepts, or None for the inputs' result type.
DTypeLike: TypeAlias = "npt.DTypeLike | None"
# Hybrid coefficients (and other levels given once for every column).
Coefficients: TypeAlias = "npt.NDArray[Any] | Sequence[Any] | Scalar | xarray.DataArray"
