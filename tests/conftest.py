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
