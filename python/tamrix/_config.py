"""What this installation of tamrix runs on."""

from importlib import metadata
from typing import Any


def _config() -> dict[str, Any]:
    from . import _kernels

    vector, reason = _kernels.status()
    try:
        version = metadata.version("tamrix")
    except metadata.PackageNotFoundError:
        version = "unknown"
    return {
        "tamrix": version,
        "exp_log": {"path": "vector" if vector else "scalar", "reason": reason},
    }


def show_config(mode: str = "stdout") -> dict[str, Any] | None:
    """Show which exp/log path the kernels take in this process, and why.

    The kernels with one exp() or log() per element (dewtemp, relhum_ice,
    relhum_water, the saturation vapour pressure and its slope, both
    extrapolations) take four exponentials or logarithms at a time with the
    C library's exact bits where that was verified at start-up (glibc 2.36
    on a CPU with AVX2 and FMA, checked against the library on ~39,000 hard
    inputs), and call the C library otherwise. TAMRIX_SCALAR_LIBM=1 in the
    environment forces the C library. Either way the results are the same
    numbers.

    Parameters
    ----------
    mode : {"stdout", "dicts"}
        Print the configuration, or return it as a dictionary.

    Returns
    -------
    dict or None
        With mode="dicts": ``{"tamrix": version, "exp_log": {"path":
        "vector" or "scalar", "reason": text}}``; None after printing.

    References
    ----------
    .. [1] glibc 2.36, sysdeps/ieee754/dbl-64/e_exp.c and e_log.c (the table
           and polynomial algorithms the vector path repeats).

    Examples
    --------
    >>> from tamrix import show_config
    >>> show_config(mode="dicts")["exp_log"]["path"] in ("vector", "scalar")
    True
    """
    config = _config()
    if mode == "dicts":
        return config
    if mode != "stdout":
        raise ValueError(f"mode must be 'stdout' or 'dicts', not {mode!r}")
    print(f"tamrix {config['tamrix']}")
    print(f"exp/log: {config['exp_log']['path']} ({config['exp_log']['reason']})")
    return None
