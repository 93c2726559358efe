# The package's own extension module: kernels outside the documented tree of
# _tamrix_rs, built from the same numeric core. Arrays are any C-contiguous
# buffers of the stated dtype (NumPy arrays among them), read and written in
# place; results go to the arrays passed as outputs. Wrong arguments raise
# TypeError or ValueError naming the parameter; a native failure raises
# RuntimeError (MemoryError when memory runs out).
from collections.abc import Buffer
from typing import Literal

def status() -> tuple[bool, str]: ...
def vector_supported() -> bool: ...
def apply(function: Literal["exp", "log"], path: Literal["vector", "scalar", "selected"],
          source: Buffer, destination: Buffer) -> None: ...
def delta_pressure_columns(pressure_lev: Buffer, surface_pressure: Buffer, nlev: int,
                           pressure_top: Buffer | None, out: Buffer) -> None: ...
