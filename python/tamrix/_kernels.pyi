# The package's own extension module: kernels outside the documented tree of
# _tamrix_rs, built from the same numeric core. Arrays are any C-contiguous
# buffers of the stated dtype (NumPy arrays among them), read and written in
# place; results go to the arrays passed as outputs. Wrong arguments raise
# TypeError or ValueError naming the parameter; a native failure raises
# RuntimeError (MemoryError when memory runs out).
from collections.abc import Buffer, Sequence
from typing import Literal

def status() -> tuple[bool, str]: ...
def vector_supported() -> bool: ...
def apply(function: Literal["exp", "log"], path: Literal["vector", "scalar", "selected"],
          source: Buffer, destination: Buffer) -> None: ...
def delta_pressure_columns(pressure_lev: Buffer, surface_pressure: Buffer, nlev: int,
                           pressure_top: Buffer | None, out: Buffer) -> None: ...
def remap_hybrid_to_pressure(variables: Sequence[Buffer], outputs: Sequence[Buffer],
                             kinds: Sequence[Literal["plain", "temperature", "geopotential"]],
                             ps: Buffer, hya: Buffer, hyb: Buffer, p0: float, targets: Buffer, *,
                             log: bool, extrapolate: bool, phi_sfc: Buffer | None = None,
                             t_bot: Buffer | None = None) -> None: ...
def temp_extrapolate(t_bot: Buffer, lev: Buffer, p_sfc: Buffer, ps: Buffer, phi_sfc: Buffer,
                     out: Buffer) -> None: ...
def geo_height_extrapolate(t_bot: Buffer, lev: Buffer, p_sfc: Buffer, ps: Buffer,
                           phi_sfc: Buffer, out: Buffer) -> None: ...
