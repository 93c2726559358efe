"""The module tree: names, documentation, __all__, import behaviour."""

import importlib
import sys
import sysconfig

import pytest

import _tamrix_rs

SUBMODULES = ["meteorology", "gradient", "interpolation"]


def test_top_level_module():
    assert _tamrix_rs.__name__ == "_tamrix_rs"
    assert _tamrix_rs.__doc__ == ""
    assert _tamrix_rs.__all__ == SUBMODULES


@pytest.mark.parametrize("name", SUBMODULES)
def test_submodules_are_plain_attributes(name):
    sub = getattr(_tamrix_rs, name)
    assert sub.__name__ == name
    assert sub.__doc__ is None
    assert f"_tamrix_rs.{name}" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module(f"_tamrix_rs.{name}")
    assert list(sub.__all__) == [n for n in sub.__all__ if callable(getattr(sub, n))]
    # Nothing beyond the published functions: additions live in tamrix._kernels.
    assert sorted(n for n in vars(sub) if not n.startswith("_")) == sorted(sub.__all__)


def test_the_tree_holds_its_32_functions():
    sizes = [len(getattr(_tamrix_rs, name).__all__) for name in SUBMODULES]
    assert sizes == [18, 6, 8]


@pytest.mark.parametrize("name", SUBMODULES)
def test_functions_belong_to_their_submodule(name):
    sub = getattr(_tamrix_rs, name)
    for fname in sub.__all__:
        fn = getattr(sub, fname)
        assert fn.__name__ == fname
        assert fn.__module__ == name
        assert fn.__self__ is sub
        assert fn.__text_signature__.startswith("(")


def test_reimport_gives_the_same_module_object():
    first = sys.modules.pop("_tamrix_rs")
    try:
        second = importlib.import_module("_tamrix_rs")
        assert second is first
        assert second.meteorology is first.meteorology
    finally:
        sys.modules["_tamrix_rs"] = first


def test_import_does_not_import_numpy(python_subprocess):
    result = python_subprocess(
        """
        import sys, _tamrix_rs
        assert "numpy" not in sys.modules
        _tamrix_rs.meteorology.psychrometric_constant_scalar(100.0)
        assert "numpy" not in sys.modules
        print("ok")
        """
    )
    assert result.stdout.strip() == "ok", result.stderr


def test_second_interpreter_cannot_import(python_subprocess):
    # A legacy (shared-GIL) subinterpreter gets past CPython's own check, so
    # the import reaches the module's initialisation.
    result = python_subprocess(
        """
        import _tamrix_rs
        try:
            import _interpreters as interpreters
            interp = interpreters.create(interpreters.new_config("legacy"))
            run = lambda code: interpreters.exec(interp, code)
        except ImportError:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=False)
            run = lambda code: interpreters.run_string(interp, code)
        try:
            print(run("import _tamrix_rs"))
        except Exception as error:
            print(error)
        """
    )
    assert "ImportError" in result.stdout, (result.stdout, result.stderr)
    # A free-threaded CPython refuses every single-phase module itself, first.
    refused_by_cpython = sysconfig.get_config_var("Py_GIL_DISABLED") and (
        "does not support loading in subinterpreters" in result.stdout)
    assert "does not support subinterpreters" in result.stdout or refused_by_cpython
