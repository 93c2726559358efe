"""Units, humidity kind and metadata of tamrix results: declared units are
converted (never silently taken as the kernel's), specific humidity is
accepted as such, and results carry CF attributes."""

import warnings

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pint = pytest.importorskip("pint")

import tamrix  # noqa: E402
from bitwise import assert_same_bits  # noqa: E402

ureg = pint.UnitRegistry()
T, W, P = np.array([300.0, 280.0, 250.0]), np.array([0.012, 0.004, 0.0005]), 85000.0


def field(values, units=None, **attrs):
    if units is not None:
        attrs["units"] = units
    return xr.DataArray(np.asarray(values, dtype=float), dims="x", attrs=attrs)


def test_pint_quantities_and_pint_backed_dataarrays_are_converted():
    expected = tamrix.relhum(T, W, np.full(3, P))
    as_quantity = tamrix.relhum(ureg.Quantity(T - 273.15, "degC"), ureg.Quantity(W * 1e3, "g/kg"),
                                ureg.Quantity(P / 100.0, "hPa"))
    assert str(as_quantity.units) == "percent"
    np.testing.assert_allclose(as_quantity.magnitude, expected, rtol=1e-12)
    # pint-backed DataArrays have no units attribute: hPa must not pass as Pa.
    backed = [xr.DataArray(ureg.Quantity(v, u), dims="x") for v, u in
              ((T, "K"), (W, "kg/kg"), (np.full(3, P / 100.0), "hPa"))]
    result = tamrix.relhum(*backed)
    assert result.attrs["units"] == "%"
    np.testing.assert_allclose(result.values, expected, rtol=1e-12)
    with pytest.raises(ValueError, match="pressure has units 'meter'.*pascals"):
        tamrix.relhum(T, W, ureg.Quantity(P, "m"))


@pytest.mark.parametrize("chunked", [False, True])
@pytest.mark.parametrize("t_units, w_units, p_units, scale", [
    ("degC", "g/kg", "hPa", (-273.15, 1e3, 0.01)),
    ("kelvin", "kg kg-1", "kPa", (0.0, 1.0, 0.001)),
    ("K", "1", "mbar", (0.0, 1.0, 0.01)),
    ("degrees C", "g kg-1", "mb", (-273.15, 1e3, 0.01)),
])
def test_compatible_units_attributes_are_converted(chunked, t_units, w_units, p_units, scale):
    p = np.full(3, P)
    inputs = [field(T + scale[0], t_units), field(W * scale[1], w_units),
              field(p * scale[2], p_units)]
    if chunked:
        inputs = [i.chunk() for i in inputs]
    result = tamrix.relhum(*inputs)
    np.testing.assert_allclose(result.values, tamrix.relhum(T, W, p), rtol=1e-12)


def test_the_kernel_unit_is_used_without_arithmetic():
    t = field(T * (1 + 1e-16), "K")  # values that any rescaling would round
    assert_same_bits(tamrix.dewtemp(t, field([50.0] * 3, "%")).values,
                     tamrix.dewtemp(t.values, np.full(3, 50.0)))
    # A fraction ("1") is converted to percent for a relative humidity.
    assert_same_bits(tamrix.dewtemp(t, field([0.5] * 3, "1")).values,
                     tamrix.dewtemp(t.values, np.full(3, 50.0)))


def test_specific_humidity_is_converted_to_a_mixing_ratio():
    q = W / (1.0 + W)
    expected = tamrix.relhum(T, q / (1.0 - q), P)
    for given, p in ((q, P), (field(q, "1").chunk(), field([P] * 3, "Pa"))):
        result = tamrix.relhum(T if isinstance(given, np.ndarray) else field(T, "K"),
                               pressure=p, specific_humidity=given)
        assert_same_bits(np.asarray(result), expected)
    assert_same_bits(tamrix.relhum_water(float(T[0]), specific_humidity=float(q[0]), pressure=P),
                     tamrix.relhum_water(T[:1], q[:1] / (1.0 - q[:1]), P)[0])
    with pytest.raises(TypeError, match="exactly one of"):
        tamrix.relhum(T, W, P, specific_humidity=q)
    with pytest.warns(UserWarning, match="standard_name 'specific_humidity'.*specific_humidity="):
        tamrix.relhum(field(T), field(q, standard_name="specific_humidity"), field([P] * 3))


@pytest.mark.parametrize("kind", ["numpy", "float32", "dask", "number"])
def test_relhum_keeps_missing_data_missing_unless_asked_for_the_floor(kind):
    import _tamrix_rs

    t, w = np.array([300.0, np.nan, 280.0, 150.0]), np.array([0.012, 0.004, np.nan, 0.0])
    convert = {"numpy": np.asarray, "float32": lambda a: a.astype(np.float32),
               "dask": lambda a: pytest.importorskip("dask.array").from_array(a, chunks=2),
               "number": lambda a: a}[kind]
    if kind == "number":
        results = [np.array([tamrix.relhum(float(a), float(b), P, **policy)
                             for a, b in zip(t, w)]) for policy in ({}, {"nan_policy": "floor"})]
    else:
        results = [np.asarray(tamrix.relhum(convert(t), convert(w), P, **policy))
                   for policy in ({}, {"nan_policy": "floor"})]
    kernel = _tamrix_rs.meteorology.relhum_array(t, w, np.full(4, P))
    assert np.isnan(results[0][1:3]).all()
    # The floor stays where the inputs are numbers (150 K and w = 0 give it).
    assert_same_bits(results[0][[0, 3]], kernel[[0, 3]].astype(results[0].dtype))
    assert_same_bits(results[1], kernel.astype(results[1].dtype))
    assert kernel[1] == kernel[2] == kernel[3] == 0.0001
    with pytest.raises(ValueError, match="nan_policy"):
        tamrix.relhum(t, W, P, nan_policy="omit")


@pytest.mark.parametrize("keep_attrs", [None, False, True])
def test_results_carry_cf_attributes_and_keep_attrs(keep_attrs):
    t = field(T, "K", standard_name="air_temperature", history="model run 7")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = tamrix.relhum(t, field(W, "kg/kg"), field([P] * 3, "Pa"),
                               keep_attrs=keep_attrs, name="hur")
    assert result.name == "hur"
    assert result.attrs["standard_name"] == "relative_humidity"
    assert result.attrs["units"] == "%" and result.attrs["long_name"] == "relative humidity"
    assert ("history" in result.attrs) is bool(keep_attrs)
    with xr.set_options(keep_attrs=True):
        assert tamrix.dewtemp(t, field([50.0] * 3, "%")).attrs["history"] == "model run 7"


@pytest.mark.parametrize("text, pint_name", [("kg kg-1", "kg/kg"), ("m2 s-2", "m**2/s**2"),
                                             ("%", "percent"), ("g kg-1", "g/kg")])
def test_cf_spellings_are_read_without_cf_xarray(text, pint_name):
    from tamrix._units import plain_registry

    units = plain_registry()
    assert units.Unit(text) == units.Unit(pint_name)


# Spelling -> the value 20 in that unit, in kelvin (None: refused).
TEMPERATURES = [
    ("degrees C", 293.15), ("degree C", 293.15), ("deg C", 293.15), ("degree Celsius", 293.15),
    ("degrees Celsius", 293.15), ("degrees celsius", 293.15), ("degrees K", 20.0),
    ("degrees kelvin", 20.0), ("degC", 293.15), ("degrees_C", 293.15), ("deg_C", 293.15),
    ("celsius", 293.15), ("K", 20.0), ("degK", 20.0), ("°C", 293.15), ("C", 293.15),
    ("degrees F", 266.48333333333335), ("Kelvin", 20.0),
    ("delta_degC", None), ("delta_degree_Celsius", None), ("degrees", None), ("kC", None),
]


@pytest.mark.parametrize("text, kelvin", TEMPERATURES)
def test_temperature_spellings_convert_or_are_refused(text, kelvin):
    from tamrix import _units

    t = field([20.0], text)
    if kelvin is None:
        with pytest.raises(ValueError, match=rf"dewtemp: temperature has units '{text}', but "
                                             r"it must be in kelvin \('K'\)"):
            tamrix.dewtemp(t, field([50.0], "%"))
        return
    np.testing.assert_allclose(_units.convert_array(np.array([20.0]), text, _units.KELVIN, "t"),
                               [kelvin], rtol=1e-15)
    assert_same_bits(tamrix.dewtemp(t, field([50.0], "%")).values,
                     tamrix.dewtemp(np.array([kelvin]), 50.0))


@pytest.mark.parametrize("text", ["degrees K", "degrees kelvin", "delta_degC", "degrees C"])
def test_pint_quantities_that_are_no_absolute_temperature_are_refused(text):
    with pytest.raises(ValueError, match="dewtemp: temperature has units .* kelvin"):
        tamrix.dewtemp(ureg.Quantity(20.0, text), 50.0)


@pytest.mark.parametrize("text, unit, factor", [
    ("hPa", "PASCAL", 100.0), ("mb", "PASCAL", 100.0), ("mbar", "PASCAL", 100.0),
    ("kPa", "PASCAL", 1000.0), ("MPa", "PASCAL", 1e6), ("Pa", "KILOPASCAL", 0.001),
    ("hPa", "KILOPASCAL", 0.1), ("millibars", "PASCAL", 100.0)])
def test_pressures_scale_without_pint_as_pint_does(text, unit, factor):
    from tamrix import _units

    values = np.random.default_rng(1).uniform(0.0, 2e5, 1000)
    target = getattr(_units, unit)
    got = _units.convert_array(values, text, target, "p")
    assert_same_bits(got, values * factor)
    pint_text = "mbar" if text in ("mb", "millibars") else text
    assert_same_bits(got, _units.registry().Quantity(values, pint_text).to(target.pint_name).m)


def test_units_that_differ_in_case_are_not_one_unit():
    levels = field([1.0, 2.0, 3.0], "MPa")
    with pytest.raises(ValueError, match="same unit"):
        tamrix.delta_pressure(levels, field([2.5], "mPa")[0], dim="x")
    assert tamrix.delta_pressure(field([1.0, 2.0], "hPa"), field([3.0], "mb")[0],
                                 dim="x").attrs["units"] == "hPa"


def test_the_kernels_spelling_needs_no_pint(python_subprocess):
    result = python_subprocess("""
        import sys
        sys.modules["pint"] = None
        import numpy as np
        from tamrix import _units
        a = np.array([1.0, 2.0])
        print(_units.convert_array(a, "K", _units.KELVIN, "t") is a,
              _units.kernel_spelling("degrees_K", _units.KELVIN),
              _units.convert_array(a, "mb", _units.PASCAL, "p").tolist())
        try:
            _units.convert_array(a, "degC", _units.KELVIN, "f: t")
        except ValueError as error:
            print(error)
        print("pint" in sys.modules and sys.modules["pint"] is not None)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "True True [100.0, 200.0]",
        "f: t has units 'degC', but it must be in kelvin ('K'); install pint to have it "
        "converted, or convert it first", "False"]


def test_delta_pressure_converts_pint_quantities_to_one_unit():
    levels = np.array([100.0, 200.0, 300.0, 400.0, 500.0])
    result = tamrix.delta_pressure(ureg.Quantity(levels, "hPa"),
                                   ureg.Quantity(np.array([45000.0, 60000.0]), "Pa"), axis=-1)
    assert str(result.units) == "hectopascal"
    assert_same_bits(result.magnitude, tamrix.delta_pressure(levels, np.array([450.0, 600.0]),
                                                             axis=-1))
    backed = tamrix.delta_pressure(xr.DataArray(ureg.Quantity(levels, "hPa"), dims="lev"),
                                   field([45000.0, 60000.0], "Pa"))
    assert backed.attrs["units"] == "hPa" and backed.dims == ("lev", "x")
