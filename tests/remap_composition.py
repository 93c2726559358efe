"""Model levels to pressure levels by composing the documented kernels
column by column: what tamrix._kernels.remap_hybrid_to_pressure must give,
bit for bit (the logarithm is the C library's, through ctypes)."""

import numpy as np
from reference import log

from _tamrix_rs import interpolation as it


def c_log(values):
    return np.array([log(float(v)) for v in np.ravel(values)]).reshape(np.shape(values))


def compose(variables, kinds, ps, hya, hyb, p0, targets, *, log, extrapolate, phi_sfc=None,
            t_bot=None, out_dtypes=None):
    """The remapped variables, each (outer, len(targets), inner), from
    variables of shape (outer, nlev, inner) and ps of shape (outer, inner)."""
    outer, inner = ps.shape
    nlev, nout, ncols = len(hya), len(targets), ps.size
    # (nlev, ncols): level k of column j, columns in C order of (outer, inner)
    p = it.pressure_at_hybrid_levels_array(hya, hyb, np.ascontiguousarray(ps, np.float64).ravel(),
                                           p0).reshape(nlev, ncols)
    x, g = (c_log(p), c_log(targets)) if log else (p, np.asarray(targets, np.float64))
    xp_flat = np.ascontiguousarray(x.T).ravel()
    results = []
    for index, (data, kind) in enumerate(zip(variables, kinds)):
        columns = np.moveaxis(np.asarray(data, np.float64), 1, -1).reshape(ncols, nlev)
        out = it.interpolate_columns(xp_flat, np.ascontiguousarray(columns).ravel(), g, nlev,
                                     ncols).reshape(ncols, nout)
        if extrapolate:
            _extrapolate(out, columns, kind, p, ps.ravel(), targets, phi_sfc, t_bot)
        out = np.moveaxis(out.reshape(outer, inner, nout), -1, 1)
        dtype = np.float64 if out_dtypes is None else out_dtypes[index]
        results.append(out.astype(dtype))
    return results


def _extrapolate(out, columns, kind, p, ps, targets, phi_sfc, t_bot):
    """Targets of greater pressure than a column's lowest model level (the
    level of largest pressure) are extrapolated from that level."""
    phi = None if phi_sfc is None else np.asarray(phi_sfc, np.float64).ravel()
    tb = None if t_bot is None else np.asarray(t_bot, np.float64).ravel()
    for j in range(out.shape[0]):
        if np.isnan(p[:, j]).all():
            continue
        lowest = int(np.nanargmax(p[:, j]))
        p_lowest = float(p[lowest, j])
        for k, target in enumerate(targets):
            if not target > p_lowest:
                continue
            if kind == "plain":
                out[j, k] = columns[j, lowest]
            elif kind == "temperature":
                out[j, k] = it.temp_extrapolate_scalar(columns[j, lowest], target, p_lowest,
                                                       ps[j], phi[j])
            else:
                out[j, k] = it.geo_height_extrapolate_scalar(tb[j], target, p_lowest, ps[j],
                                                             phi[j])
