import numpy as np
import pytest
from borrowing import REGISTRY, Record, capsule_pointer, core_multiarray
from support import run_python

import _tamrix_rs


@pytest.fixture
def python_subprocess():
    return run_python


@pytest.fixture(scope="module")
def record():
    _tamrix_rs.meteorology.psychrometric_constant_array(np.ones(1))  # the first array call publishes the table
    capsule = getattr(core_multiarray(), REGISTRY)
    found = Record.from_address(capsule_pointer(capsule, REGISTRY.encode()))
    assert found.version == 1
    return found


@pytest.fixture
def kernel_calls(monkeypatch):
    """Every call of a kernel (the functions of _tamrix_rs's submodules and of
    tamrix._kernels) made while the test runs, as (name, arguments)."""
    import tamrix._kernels

    calls = []
    modules = [getattr(_tamrix_rs, s) for s in _tamrix_rs.__all__] + [tamrix._kernels]
    for module in modules:
        for name in [n for n in dir(module) if not n.startswith("_")]:
            function = getattr(module, name)
            if callable(function):
                def recording(*args, _function=function, _name=name):
                    calls.append((_name, args))
                    return _function(*args)
                monkeypatch.setattr(module, name, recording)
    return calls
