"""Python code run during a call (a later argument's conversion, a foreign
borrow routine) cannot make the call read freed memory or leave a borrow
behind, whatever it does to the arrays already accepted."""

import numpy as np
import pytest
from borrowing import COUNTING_RECORD, assert_free

import _tamrix_rs

met = _tamrix_rs.meteorology
it = _tamrix_rs.interpolation


class Meddler:
    """A number, flag or count whose conversion first runs `meddle`."""

    def __init__(self, value, meddle):
        self.value, self.meddle = value, meddle

    def convert(self):
        self.meddle()
        return self.value

    __float__ = __index__ = __bool__ = convert


class MeddlingFlag(Meddler):
    __module__ = "numpy"  # taken for NumPy's Boolean scalar, whose truth slot is called


MeddlingFlag.__name__ = "bool_"


def resized(array, n, fill=None):
    def meddle():
        array.resize(n, refcheck=False)
        if fill is not None:
            array[:] = fill(n)
    return meddle


def surface(n=5):
    return [np.linspace(start, start + 10.0, n).copy() for start in (280.0, 90_000.0, 95_000.0, 10.0)]


def extrapolate_shrunk_t_bot():
    t_bot, p_sfc, ps, phi_sfc = surface()
    with pytest.raises(ValueError, match=r"^All arrays must have the same length \(got 2, 5, 5, 5\)$"):
        it.temp_extrapolate_array(t_bot, Meddler(85_000.0, resized(t_bot, 2)), p_sfc, ps, phi_sfc)
    return t_bot


def hybrid_moved_psfc():
    hya, hyb = np.linspace(0.0, 5000.0, 3), np.linspace(0.0, 1.0, 3)
    psfc = np.linspace(95_000.0, 101_000.0, 4).copy()
    fill = lambda n: np.linspace(90_000.0, 100_000.0, n)  # noqa: E731
    result = it.pressure_at_hybrid_levels_array(
        hya, hyb, psfc, Meddler(100_000.0, resized(psfc, 200_000, fill)))
    expected = it.pressure_at_hybrid_levels_array(hya, hyb, fill(200_000), 100_000.0)
    np.testing.assert_array_equal(result, expected)
    return psfc


def columns_of_a_freed_coordinate_array():
    xp = np.tile(np.linspace(1.0, 6.0, 6), 1_000_000).copy()  # 48 MB: returned to the system
    data = xp * 2.0
    with pytest.raises(BaseException, match="out of range for slice of length 6") as caught:
        it.interpolate_columns(xp, data, np.array([2.5]), 6, Meddler(1_000_000, resized(xp, 6)))
    assert type(caught.value).__name__ == "PanicException"
    return xp


def heat_index_of_a_grown_temperature():
    t, rh = np.linspace(80.0, 100.0, 5).copy(), np.linspace(40.0, 60.0, 5)
    message = r"^temperature and relative_humidity must have the same length \(100000 != 5\)$"
    with pytest.raises(ValueError, match=message):
        met.heat_index_array(t, rh, MeddlingFlag(True, resized(t, 100_000)))
    return t


def extrapolate_reshaped_t_bot():
    t_bot, p_sfc, ps, phi_sfc = surface()

    with pytest.raises(TypeError, match=r"^argument 't_bot': 'ndarray' object cannot be converted"):
        it.temp_extrapolate_array(t_bot, Meddler(85_000.0, resized(t_bot, (5, 1))), p_sfc, ps, phi_sfc)
    return t_bot


@pytest.mark.parametrize("call", [
    extrapolate_shrunk_t_bot,
    hybrid_moved_psfc,
    columns_of_a_freed_coordinate_array,
    heat_index_of_a_grown_temperature,
    extrapolate_reshaped_t_bot,
])
def test_arrays_changed_by_later_conversions_are_read_as_they_are_now(record, call):  # noqa: F811
    changed = call()
    assert_free(record, changed)  # not even the borrow of the array's old memory is left


RESIZING_RECORD = COUNTING_RECORD + """
acquired, released = [], []
def state(array):
    return array.ctypes.data, array.shape
def acquire(flags, array):
    if meddle and array is meddle[0][0]:
        meddle.pop(0)[1]()
    acquired.append(state(array))
    return 0
def release(flags, array):
    released.append(state(array))
record.acquire, record.release = ACQUIRE(acquire), RELEASE(release)
a, b = np.linspace(280.0, 300.0, 3).copy(), np.linspace(40.0, 60.0, 3)
"""


SHRUNK = "ValueError tk and rh must have the same length (2 != 3)"
GROWN = "ValueError tk and rh must have the same length (1000000 != 3)"


@pytest.mark.parametrize("registering, meddle, outcome", [
    # the foreign routine registering b shrinks a, which the call must see
    ("b", "lambda: a.resize(2, refcheck=False)", SHRUNK),
    ("b", "lambda: a.resize(10**6, refcheck=False)", GROWN),
    ("b", "lambda: None", "computed 3"),
    # it changes the very array it registers: the view it registered then is
    # the one to release
    ("a", "lambda: a.resize(2, refcheck=False)", SHRUNK),
    ("a", "lambda: a.resize(10**6, refcheck=False)", GROWN),
    ("a", "lambda: a.resize((3, 1), refcheck=False)",
     "TypeError argument 'tk': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
])
def test_foreign_routines_changing_arrays_and_every_borrow_ended(python_subprocess, registering,
                                                                 meddle, outcome):
    result = python_subprocess(RESIZING_RECORD + f"""
meddle = [({registering}, {meddle})]
try:
    print("computed", len(met.dewtemp_array(a, b)))
except BaseException as error:
    print(type(error).__name__, error)
print(sorted(acquired) == sorted(released) or (acquired, released))
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [outcome, "True"]


@pytest.mark.parametrize("call, outcome", [
    ("met.dewtemp_array(a, np.ones(4))", "ValueError tk and rh must have the same length (3 != 4)"),
    ("met.dewtemp_array(a, np.ones(8)[::2])", "TypeError The given array is not contiguous"),
    ("met.heat_index_array(a, b, 1)",
     "TypeError argument 'alternate_coeffs': 'int' object cannot be converted to 'PyBool'"),
    ("met.relhum_array(a, b, [1.0])",
     "TypeError argument 'pressure': 'list' object cannot be converted to 'PyArray<T, D>'"),
])
def test_foreign_routines_run_with_the_pending_error_kept_aside(python_subprocess, call, outcome):
    result = python_subprocess(COUNTING_RECORD + f"""
try:
    {call}
except BaseException as error:
    print(type(error).__name__, error)
print(sum(event == "acquire" for event, *_ in calls) == sum(event == "release" for event, *_ in calls))
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [outcome, "True"]

