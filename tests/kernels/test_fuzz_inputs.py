"""Arbitrary Python objects at every parameter: a correct result or a clean exception.

Each parameter of each function gets either a valid value or an object from a
zoo of awkward ones (None, strings, containers, huge integers, NumPy scalars
and arrays of every dtype, shape, stride, byte order and alignment, 0-d
arrays, subclasses, objects whose conversion methods raise or return
nonsense). The outcome must be exactly what the documented steps give:
arguments converted in parameter order by the interpreter's own conversion
functions (the first failure decides), then contiguity, then the length rule,
then the transcription of the formula. Never a crash, a hang or a wrong value.
"""

import array
import ctypes
import decimal
import fractions
import math
import operator

import numpy as np
import pytest
from reference import PANIC, Error, reference
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from signatures import FUNCTIONS, KINDS, parameters, valid_arguments
from reference import EXAMPLES, assert_outcome, outcome

ALLOWED = (TypeError, ValueError, OverflowError, MemoryError)

# Converting a complex NumPy scalar, a one-element array or a NumPy Boolean
# warns, in the module as anywhere else.
pytestmark = [pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning"),
              pytest.mark.filterwarnings("ignore::DeprecationWarning")]


def panic_type():
    try:
        FUNCTIONS["interpolate_columns"](*[np.zeros(0)] * 3, 0, 0)
    except BaseException as error:  # noqa: B036
        return type(error)


PanicException = panic_type()


class Raises:
    """__float__ and __index__ raise a new exception of the given type."""

    def __init__(self, error_type, *args):
        self.error_type, self.args = error_type, args

    def __float__(self):
        raise self.error_type(*self.args)

    __index__ = __float__

    def __repr__(self):
        return f"Raises({self.error_type.__name__})"


class Returns:
    """__float__ and __index__ return the given object."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Returns({self.value!r})"


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexOnly({self.value!r})"


class FloatOverride(float):
    def __float__(self):  # never consulted: a float subclass is read directly
        return 99.0


class BadBool:
    def __bool__(self):
        raise ValueError("no truth")


class Subclass(np.ndarray):
    pass


def misaligned(n):
    raw = np.zeros(8 * n + 1, dtype=np.uint8)
    out = np.ndarray((n,), dtype=np.float64, buffer=raw.data, offset=1)
    out[:] = np.arange(n) + 0.5
    return out


SCALARS = [
    None, "1.0", b"1", "", [], [1.0], (1.0,), {}, {1.0}, object(), 1j, 0, 1, -1, 7, True, False,
    2**63, 2**64 - 1, 2**64, -(2**64), 10**400, -(10**400), 1.5, -0.0, math.inf, math.nan,
    FloatOverride(2.5), decimal.Decimal("1.25"), fractions.Fraction(1, 3),
    np.float16(1.5), np.float32(2.5), np.float64(3.5), np.longdouble(4.5), np.int8(-3),
    np.int64(2**62), np.uint64(2**64 - 1), np.bool_(True), np.bool_(False), np.complex128(1 + 2j),
    np.str_("1.0"), np.datetime64("2020-01-01"), np.timedelta64(5, "s"),
    Raises(ValueError, "bad value"), Raises(TypeError, "bad type"), Raises(OverflowError, "big"),
    Raises(MemoryError), Raises(PanicException, "raised by a callback"),
    Returns("nonsense"), Returns(None), Returns(1.5), Returns(3), Returns(-1), Returns(2**70),
    IndexOnly(5), IndexOnly(-5), IndexOnly(2**64), IndexOnly(10**400), BadBool(),
    array.array("d", [1.0, 2.0]), memoryview(b"12345678"),
]

ARRAYS = [
    np.array(1.0), np.zeros((2, 3)), np.zeros((3, 1)), np.zeros((0, 3)), np.zeros((1, 1, 4)),
    np.asfortranarray(np.zeros((3, 2))), np.arange(10.0)[::2], np.arange(10.0)[::-1],
    np.arange(10.0)[::3][:1], np.broadcast_to(np.float64(2.0), (4,)),
    np.broadcast_to(np.float64(2.0), (1,)), np.arange(5.0).astype(">f8"),
    np.arange(5.0).astype("<f8"), np.zeros(5, dtype=np.float32), np.zeros(5, dtype=np.float16),
    np.zeros(5, dtype=np.longdouble), np.zeros(5, dtype=np.complex128), np.zeros(5, dtype=np.int64),
    np.zeros(5, dtype=np.uint8), np.zeros(5, dtype=bool), np.zeros(5, dtype=object),
    np.zeros(5, dtype="U3"), np.zeros(5, dtype="M8[s]"), np.zeros(5, dtype="V8"),
    np.zeros(5, dtype=[("a", "f8")]), np.zeros(5).view(Subclass), np.ma.masked_array(np.arange(5.0)),
    np.array([[1.0, 2.0]]).view(np.matrix), misaligned(5), misaligned(0), misaligned(3)[::2], np.zeros(0),
    np.zeros(1), np.full(5, np.nan), np.array([-1e308, -5e307, 0.0, 5e307, 1e308]),
]
_readonly = np.arange(5.0)
_readonly.flags.writeable = False
ARRAYS.append(_readonly)

ZOO = SCALARS + ARRAYS

_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.restype, _as_double.argtypes = ctypes.c_double, [ctypes.py_object]


def convert(kind, value):
    """The converted value, or the exception the documented conversion raises."""
    if kind == "F" or (kind == "O" and value is not None):
        # the interpreter's own float conversion, as the module calls it
        return value if type(value) is float else _as_double(value)
    if kind == "O":
        return None
    if kind == "B":
        if isinstance(value, bool):
            return value
        if type(value).__module__ == "numpy" and type(value).__name__ in ("bool_", "bool"):
            return bool(value)
        raise TypeError("not a flag")
    if kind == "C":
        number = value if isinstance(value, int) else operator.index(value)
        if not 0 <= number < 2**64:
            raise OverflowError("out of range")
        return int(number)
    if not (isinstance(value, np.ndarray) and value.ndim == 1 and value.dtype == np.float64):
        raise TypeError("not a float64 vector")
    return value


def expected_outcome(name, args):
    kinds, params = KINDS[name], parameters(name)
    converted = []
    for kind, param, value in zip(kinds, params, args):
        try:
            converted.append(convert(kind, value))
        except BaseException as error:  # noqa: B036
            if type(error).__name__ == "PanicException":
                return Error(PANIC, frozenset([str(error)]))
            kind_of_error = type(error)
            if issubclass(kind_of_error, TypeError):
                return Error(TypeError, None, f"argument '{param}': ")
            return Error(kind_of_error)
    for kind, value in zip(kinds, converted):
        if kind == "A" and not (value.flags.c_contiguous or value.flags.f_contiguous):
            return Error(TypeError, frozenset(["The given array is not contiguous"]))
    if name == "interpolate_columns" and converted[4] * max(len(converted[2]), 1) > 10**6:
        # far too large to allocate, or to evaluate here
        if len(converted[2]) == 0:
            return Error(PANIC, frozenset(["chunk_size must not be zero"]))
        return Error((MemoryError, PANIC))
    plain = [v.tolist() if isinstance(v, np.ndarray) else v for v in converted]
    return reference(name, plain, params)


def check(actual, expected):
    if isinstance(actual, BaseException) and not isinstance(actual, ALLOWED + (PanicException,)):
        raise AssertionError(f"unexpected exception {actual!r}")
    if isinstance(expected, Error) and isinstance(expected.type, tuple):
        assert type(actual).__name__ in [t if isinstance(t, str) else t.__name__
                                         for t in expected.type], repr(actual)
        return
    if isinstance(expected, Error) and expected.prefix is not None:
        assert type(actual) is TypeError and str(actual).startswith(expected.prefix), repr(actual)
        return
    if isinstance(expected, Error) and expected.type not in (TypeError, ValueError, PANIC):
        assert type(actual) is expected.type, repr(actual)  # raised by a callback, unchanged
        return
    assert_outcome(actual, expected)


@st.composite
def arguments(draw, name):
    n = draw(st.sampled_from([0, 1, 3, 5]))
    args = valid_arguments(name, n)
    for i in range(len(args)):
        if draw(st.booleans()):
            args[i] = draw(st.sampled_from(ZOO))
    keywords = draw(st.booleans())
    return args, keywords


@pytest.mark.parametrize("name", sorted(KINDS))
@settings(max_examples=EXAMPLES * 5 // 2, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_any_object_gives_a_correct_result_or_a_clean_exception(name, data):
    args, keywords = data.draw(arguments(name))
    function = FUNCTIONS[name]
    if keywords:
        actual = outcome(lambda: function(**dict(zip(parameters(name), args))))
    else:
        actual = outcome(function, *args)
    check(actual, expected_outcome(name, args))


@pytest.mark.parametrize("name", sorted(KINDS))
def test_every_zoo_object_at_every_parameter(name):
    for position in range(len(KINDS[name])):
        for value in ZOO:
            args = valid_arguments(name, 3)
            args[position] = value
            try:
                check(outcome(FUNCTIONS[name], *args), expected_outcome(name, args))
            except AssertionError as failure:
                raise AssertionError(f"{parameters(name)[position]} = {value!r}: {failure}")
