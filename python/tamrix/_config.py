"""What this installation of tamrix runs on."""

from importlib import metadata
from typing import Any


def _config() -> dict[str, Any]:
    from . import _kernels

    paths: dict[str, dict[str, str]] = {}
    for name, status in (("exp_log", _kernels.status), ("acos", _kernels.acos_status)):
        vector, reason = status()
        paths[name] = {"path": "vector" if vector else "scalar", "reason": reason}
    try:
        version = metadata.version("tamrix")
    except metadata.PackageNotFoundError:
        version = "unknown"
    return {"tamrix": version, **paths}


def show_config(mode: str = "stdout") -> dict[str, Any] | None:
    """Show which exp/log and acos paths the kernels take in this process, and why.

    The kernels with one exp() or log() per element (dewtemp, relhum_ice,
    relhum_water, the saturation vapour pressure and its slope, both
    extrapolations) take four exponentials or logarithms at a time with the
    C library's exact bits where that was verified at start-up (glibc 2.36
    on a CPU with AVX2 and FMA, checked against the library on ~39,000 hard
    inputs), and call the C library otherwise; max_daylight's grid does the
    same with acos (checked on ~12,600 inputs of its own). TAMRIX_SCALAR_LIBM=1
    in the environment forces the C library for all of them. Either way the
    results are the same numbers.

    Parameters
    ----------
    mode : {"stdout", "dicts"}
        Print the configuration, or return it as a dictionary.

    Returns
    -------
    dict or None
        With mode="dicts": ``{"tamrix": version, "exp_log": {"path":
        "vector" or "scalar", "reason": text}, "acos": {...}}`` with the
        same keys for acos; None after printing.

    References
    ----------
    .. [1] glibc 2.36, sysdeps/ieee754/dbl-64/e_exp.c, e_log.c and e_asin.c
           (the table and polynomial algorithms the vector paths repeat).

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
    print(f"acos: {config['acos']['path']} ({config['acos']['reason']})")
    return None
