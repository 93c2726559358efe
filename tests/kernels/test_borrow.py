"""Borrow tracking shared with other extension modules.

The tests play the part of another participating module: they find the
borrow-checking record on NumPy's core multiarray module and call its
routines through ctypes, as such a module's native code would.
"""

import numpy as np
import pytest
from borrowing import COUNTING_RECORD, FOREIGN_RECORD, assert_free, exclusive

import _tamrix_rs

met = _tamrix_rs.meteorology

def assert_already_borrowed(call, *args):
    with pytest.raises(BaseException) as caught:
        call(*args)
    assert type(caught.value).__name__ == "PanicException"
    assert str(caught.value).endswith("AlreadyBorrowed")


def two_array_function():
    return getattr(met, "dewtemp_array", None)


needs_two_arrays = pytest.mark.skipif(
    two_array_function() is None, reason="no function with two array parameters yet"
)


def test_call_releases_its_borrow(record):
    a = np.linspace(90.0, 110.0, 5)
    assert_free(record, a)
    met.psychrometric_constant_array(a)
    assert_free(record, a)


@pytest.mark.parametrize(
    "held, passed",
    [
        pytest.param(lambda b: b, lambda b: b, id="same array"),
        pytest.param(lambda b: b, lambda b: b[2:5], id="base of a view"),
        pytest.param(lambda b: b[2:5], lambda b: b, id="view of the base"),
        pytest.param(lambda b: b[3:8], lambda b: b[0:4], id="overlapping slice"),
        pytest.param(lambda b: b[::-1], lambda b: b[4:6], id="reversed view"),
        pytest.param(lambda b: b[1::3], lambda b: b[4:5], id="strided view hitting the slice"),
        pytest.param(lambda b: b.reshape(2, 4)[:, 1], lambda b: b[5:6], id="column of a 2-d view"),
    ],
)
def test_exclusive_borrow_elsewhere_blocks_the_call(record, held, passed):
    base = np.linspace(1.0, 8.0, 8)
    blocking, argument = held(base), passed(base)
    with exclusive(record, blocking):
        assert_already_borrowed(met.psychrometric_constant_array, argument)
    # once the blocking borrow ends, nothing of the failed call is left
    assert_free(record, argument)
    assert_free(record, base)


@pytest.mark.parametrize(
    "held, passed",
    [
        pytest.param(lambda b: b[4:], lambda b: b[:4], id="disjoint slices"),
        pytest.param(lambda b: b[1::2], lambda b: b[4:5:2], id="interleaved"),
        pytest.param(lambda b: b[:0], lambda b: b, id="empty view held"),
        pytest.param(lambda b: b, lambda b: b[3:3], id="empty view passed"),
    ],
)
def test_disjoint_exclusive_borrow_does_not_block(record, held, passed):
    base = np.linspace(1.0, 8.0, 8)
    argument = passed(base)
    expected = met.psychrometric_constant_array(argument.copy())
    with exclusive(record, held(base)):
        np.testing.assert_array_equal(met.psychrometric_constant_array(argument), expected)
    assert_free(record, base)


def test_shared_borrows_coexist_and_count(record):
    a = np.ones(4)
    assert record.acquire(record.flags, a) == 0
    try:
        met.psychrometric_constant_array(a)
        met.psychrometric_constant_array(a[1:3])
        # the foreign shared borrow is still counted after our calls end
        assert record.acquire_mut(record.flags, a) == -1
    finally:
        record.release(record.flags, a)
    assert_free(record, a)


def test_exclusive_borrows_follow_the_protocol(record):
    base = np.zeros(8)
    even, odd = base[0::2], base[1::2]
    with exclusive(record, even):
        assert record.acquire_mut(record.flags, even) == -1  # same key
        assert record.acquire(record.flags, even) == -1
        assert record.acquire_mut(record.flags, base[::3]) == -1  # shares element 0
        with exclusive(record, odd):  # interleaved with even, no common byte
            pass
    read_only = np.zeros(3)
    read_only.flags.writeable = False
    assert record.acquire_mut(record.flags, read_only) == -2
    assert_free(record, base)


def test_byte_shifted_reinterpretation_conflicts(record):
    # float64 views of one byte buffer, shifted by 4 bytes: their data pointers
    # differ by less than an item, yet every element overlaps another.
    raw = np.zeros(32, np.uint8)
    first, shifted = raw[0:16].view(np.float64), raw[4:20].view(np.float64)
    with exclusive(record, shifted):
        assert_already_borrowed(met.psychrometric_constant_array, first)
    with exclusive(record, raw[16:32].view(np.float64)):
        met.psychrometric_constant_array(first)
    assert_free(record, raw)


@pytest.mark.parametrize(
    "dtype, items",
    [(np.int8, 1), (np.complex128, 1), (np.dtype([("a", "i1"), ("b", "f8"), ("c", "i4")]), 2)],
    ids=["int8", "complex128", "structured"],
)
def test_item_size_of_other_dtypes(record, dtype, items):
    # An exclusive borrow of `items` elements ending at byte 32 of a buffer
    # reaches exactly items * itemsize bytes: the float64 view of bytes 24 to
    # 32 conflicts with it, the one of bytes 32 to 40 does not.
    raw = np.zeros(64, np.uint8)
    size = np.dtype(dtype).itemsize * items
    with exclusive(record, raw[32 - size : 32].view(dtype)):
        assert_already_borrowed(met.psychrometric_constant_array, raw[24:32].view(np.float64))
        met.psychrometric_constant_array(raw[32:40].view(np.float64))
    assert_free(record, raw)


def test_arrays_of_any_dimension_through_the_routines(record):
    cube = np.zeros((3, 4, 5), np.float32)
    with exclusive(record, cube[:, ::2, ::-1]):  # ends at element (2, 2, 4)
        assert record.acquire_mut(record.flags, cube[2, 2, 2, ...]) == -1  # 0-d inside
        assert_free(record, cube[2, 3, 4, ...])  # 0-d past the end
        assert record.acquire(record.flags, cube.T) == -1
    assert_free(record, cube)


def test_views_with_all_strides_zero(record):
    raw = np.zeros(24, np.uint8)

    def repeated(offset, count):
        return np.ndarray((count,), np.float64, buffer=raw, offset=offset, strides=(0,))

    with exclusive(record, repeated(4, 3)):
        assert_already_borrowed(met.psychrometric_constant_array, repeated(0, 1))
        met.psychrometric_constant_array(repeated(16, 1))
    assert_free(record, raw)


@needs_two_arrays
def test_same_array_for_two_parameters(record):
    a = np.linspace(280.0, 300.0, 4)
    b = np.linspace(40.0, 60.0, 4)
    function = two_array_function()
    np.testing.assert_array_equal(function(a, a), function(a, a.copy()))
    assert_free(record, a)
    with exclusive(record, b):
        assert_already_borrowed(function, a, b)
        assert_already_borrowed(function, b, a)
    assert_free(record, a)  # the first array's borrow ended with the failed call
    assert_free(record, b)





def test_foreign_record_is_used_unchanged(python_subprocess):
    result = python_subprocess(
        COUNTING_RECORD
        + """
met.psychrometric_constant_array(a)
seen(("acquire", a), ("release", a))
for code in (-1, 5):
    codes[a.ctypes.data] = code
    try:
        met.psychrometric_constant_array(a)
    except BaseException as error:
        print(type(error).__name__, error)
    seen(("acquire", a))  # a refused borrow is not released
print(getattr(multiarray, REGISTRY) is capsule, record.version)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "True",
        "PanicException The array's memory is exclusively borrowed by another module: AlreadyBorrowed",
        "True",
        "PanicException Unexpected return code 5 from borrow checking API",
        "True",
        "True 7",
    ]


@needs_two_arrays
def test_foreign_record_sees_every_array_in_order(python_subprocess):
    result = python_subprocess(
        COUNTING_RECORD
        + """
met.dewtemp_array(a, b)
seen(("acquire", a), ("acquire", b), ("release", b), ("release", a))
codes[b.ctypes.data] = -1
try:
    met.dewtemp_array(a, b)
except BaseException as error:
    print(type(error).__name__, str(error).endswith("AlreadyBorrowed"))
seen(("acquire", a), ("acquire", b), ("release", a))
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["True", "PanicException True", "True"]


@pytest.mark.parametrize(
    "entry",
    [
        "42",
        "new_capsule(ctypes.addressof(version_0), name, None)",
        "new_capsule(ctypes.addressof(version_1), b'other_name', None)",
    ],
    ids=["not a capsule", "version 0", "capsule of another name"],
)
def test_unusable_record_is_an_internal_failure(python_subprocess, entry):
    result = python_subprocess(
        FOREIGN_RECORD
        + f"""
name = ctypes.create_string_buffer(REGISTRY.encode())
version_0, version_1 = Record(0, None), Record(1, None)
entry = {entry}
setattr(multiarray, REGISTRY, entry)
import _tamrix_rs
met = _tamrix_rs.meteorology
for attempt in range(2):
    try:
        met.psychrometric_constant_array(np.ones(2))
    except BaseException as error:
        print(type(error).__name__, str(error).startswith("Interal borrow checking API error"))
print(met.psychrometric_constant_scalar(100.0) > 0, getattr(multiarray, REGISTRY) is entry)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException True"] * 2 + ["True True"]


def test_first_array_call_publishes_the_record(python_subprocess):
    result = python_subprocess(
        FOREIGN_RECORD
        + """
import _tamrix_rs
met = _tamrix_rs.meteorology
met.psychrometric_constant_scalar(100.0)
print(hasattr(multiarray, REGISTRY))
a = np.ones(2)
met.psychrometric_constant_array(a)
capsule = getattr(multiarray, REGISTRY)
get = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(
    ("PyCapsule_GetPointer", ctypes.pythonapi))
record = Record.from_address(get(capsule, REGISTRY.encode()))
print(type(capsule).__name__, record.version, record.acquire_mut(record.flags, a))
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["False", "PyCapsule 1 0"]
