"""What this installation of tamrix runs on."""

from importlib import metadata
from typing import Any


def _config() -> dict[str, Any]:
    from . import _libm

    vector, reason = _libm.status()
    try:
        version = metadata.version("tamrix")
    except metadata.PackageNotFoundError:
        version = "unknown"
    return {
        "tamrix": version,
        "exp_log": {"path": "vector" if vector else "scalar", "reason": reason},
    }


def show_config(mode: str = "stdout") -> dict[str, Any] | None:
    """Prints (mode="stdout") or returns (mode="dicts") the configuration:
    which exp/log path the kernels take and why. The vector path gives the C
    library's bits exactly and is chosen only where that was verified at
    start-up; TAMRIX_SCALAR_LIBM=1 in the environment forces the C library."""
    config = _config()
    if mode == "dicts":
        return config
    if mode != "stdout":
        raise ValueError(f"mode must be 'stdout' or 'dicts', not {mode!r}")
    print(f"tamrix {config['tamrix']}")
    print(f"exp/log: {config['exp_log']['path']} ({config['exp_log']['reason']})")
    return None
