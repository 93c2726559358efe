"""Internal failures surface as PanicException, never as a crash."""


NUMPY_BLOCKED = """
import sys
sys.modules["numpy"] = None  # makes "import numpy" fail
import _tamrix_rs
met = _tamrix_rs.meteorology
"""

# The first array call cannot reach NumPy and panics: `first` is what it raised.
PANICKED = NUMPY_BLOCKED + """
try:
    met.psychrometric_constant_array([1.0])
except BaseException as error:
    first = error
panic = type(first)
"""


def test_array_call_without_numpy_panics_and_scalars_still_work(python_subprocess):
    result = python_subprocess(
        PANICKED
        + """
print(panic.__module__, panic.__name__, panic.__qualname__, panic.__bases__[0].__name__)
print(str(first).startswith("Failed to access NumPy array API capsule"), len(first.args))
print(isinstance(first, Exception))
print(panic.__doc__.startswith("\\n") and panic.__doc__.endswith("\\n"),
      len(panic.__doc__.strip("\\n").split("\\n")))
print(met.psychrometric_constant_scalar(100.0))
try:
    met.psychrometric_constant_array([1.0])
except BaseException as error:
    print("again", type(error) is panic)
"""
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines == [
        "pyo3_runtime PanicException PanicException BaseException",
        "True 1",
        "False",
        "True 5",
        repr(100.0 * 0.00066474),
        "again True",
    ]
    # a diagnostic naming the thread and the message goes to standard error
    assert "panicked at" in result.stderr
    assert "Failed to access NumPy array API capsule" in result.stderr


def test_panic_escapes_except_exception(python_subprocess):
    result = python_subprocess(
        NUMPY_BLOCKED
        + """
try:
    try:
        met.psychrometric_constant_array([1.0])
    except Exception:
        print("caught by Exception")
except BaseException:
    print("caught by BaseException")
"""
    )
    assert result.stdout.strip() == "caught by BaseException", result.stderr


def test_panic_raised_by_a_conversion_callback_is_resumed(python_subprocess):
    result = python_subprocess(
        PANICKED
        + """
class Explodes:
    def __float__(self):
        raise panic("boom from python")

try:
    met.psychrometric_constant_scalar(Explodes())
except BaseException as error:
    print(type(error) is panic, str(error))
"""
    )
    assert result.stdout.strip() == "True boom from python", result.stderr
    assert "Python stack trace below" in result.stderr
