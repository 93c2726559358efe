"""What tamrix adds at the front door: `PanicException` under an importable
name, and a checked `interpolate_columns` for flat column arrays."""

import numpy as np
import pytest
from bitwise import assert_same_bits

import _tamrix_rs
import tamrix

interp = _tamrix_rs.interpolation


def test_panic_exception_is_the_extensions_type_and_its_lookup_prints_nothing(
        python_subprocess):
    result = python_subprocess("""
        import numpy as np, tamrix, _tamrix_rs
        panic = tamrix.PanicException
        print(panic.__module__, panic.__name__, issubclass(panic, Exception),
              "PanicException" in dir(tamrix), hasattr(_tamrix_rs, "PanicException"))
        x = np.arange(4.0)
        try:
            _tamrix_rs.interpolation.interpolate_columns(x, x, x, 5, 1)
        except tamrix.PanicException as failure:
            print(type(failure) is panic, failure)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "pyo3_runtime PanicException False True False",
        "True range end index 5 out of range for slice of length 4"]
    # only the real failure's diagnostic, none for the lookup
    assert result.stderr.count("panicked at") == 1, result.stderr


def test_panic_exception_after_an_earlier_failure_is_that_same_type():
    empty = np.empty(0)
    with pytest.raises(BaseException) as caught:  # noqa: B017 - derives from BaseException
        interp.interpolate_columns(empty, empty, empty, 0, 0)
    assert tamrix.PanicException is type(caught.value)


@pytest.mark.parametrize("xp, data, nlev_in, ncols, message", [
    (4, 4, 5, 1, "xp_flat has 4 values, but nlev_in * ncols = 5 * 1 = 5"),
    (4, 4, 2, 1, "xp_flat has 4 values, but nlev_in * ncols = 2 * 1 = 2"),
    (6, 5, 3, 2, "data_flat has 5 values, but nlev_in * ncols = 3 * 2 = 6"),
    (0, 0, 0, 3, "nlev_in is 0, but each of the 3 columns needs at least one level"),
    (4, 4, -2, -2, "nlev_in must not be negative"),
])
def test_counts_that_do_not_match_the_data_are_a_value_error(xp, data, nlev_in, ncols,
                                                             message):
    with pytest.raises(ValueError, match=message.replace("*", r"\*")):
        tamrix.interpolate_columns(np.arange(float(xp)), np.arange(float(data)), [0.5],
                                   nlev_in, ncols)


@pytest.mark.parametrize("xp, nlev_in, error", [
    (np.ones((2, 3)), 3, "one-dimensional"), (np.ones(6), 3.0, "integer")])
def test_non_flat_data_or_non_integer_counts_are_refused(xp, nlev_in, error):
    with pytest.raises((TypeError, ValueError), match=error):
        tamrix.interpolate_columns(xp, np.ones(6), [1.0], nlev_in, 2)


def test_checked_interpolation_gives_the_kernels_bits():
    rng = np.random.default_rng(1)
    xp = np.sort(rng.uniform(100.0, 1000.0, (7, 5)), axis=1)
    xp[::2] = xp[::2, ::-1].copy()  # columns of both directions
    data = rng.normal(size=35).astype(np.float32)
    targets = np.array([50.0, 300.0, np.nan, 700.0, 999.0])
    expected = interp.interpolate_columns(xp.ravel(), data.astype(np.float64), targets, 5, 7)
    got = tamrix.interpolate_columns(xp.ravel().tolist(), data, targets, 5, 7)
    assert_same_bits(got, expected)


@pytest.mark.parametrize("ncols, targets, size", [(3, [], 0), (0, [1.0, 2.0], 0)])
def test_empty_targets_or_no_columns_give_an_empty_result(ncols, targets, size):
    # The kernel fails on an empty new_levels; there is simply nothing to compute.
    result = tamrix.interpolate_columns(np.ones(2 * ncols), np.ones(2 * ncols), targets, 2, ncols)
    assert result.shape == (size,) and result.dtype == np.float64


def test_the_version_is_the_package_metadata():
    import importlib.metadata

    assert tamrix.__version__ == importlib.metadata.version("tamrix")
