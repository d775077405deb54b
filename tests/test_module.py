"""The module object: registration order, docstrings, text signatures,
constants, the cached module and the refusal of sub-interpreters."""
import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import skarvo_mp

CLASSES = ["GnssSystem", "Satellite", "Epoch", "Ecef", "Geodetic", "RinexObsData", "MultipathEstimate",
           "MultipathStats", "CycleSlip", "AnalysisResults", "MultipathAnalyzer", "SnrSeries", "Sp3Data"]
FUNCTIONS = ["read_rinex_obs", "read_rinex_obs_bytes", "read_sp3", "get_frequency", "get_wavelength", "calculate_azel",
             "compute_elevation", "version", "morlet_cwt", "band_power", "red_noise_significance", "period_bands",
             "detrend_arc", "split_arcs", "fresnel_zone", "fresnel_map", "scalogram", "analyze_snr_wavelets"]
# Names added after the specified ones, in registration order.
ADDED = ["NavData", "read_rinex_nav", "lomb_scargle", "reflector_heights", "decode_file", "morlet_cwt_array",
         "band_power_array", "scalogram_array", "analyze_snr_wavelets_array", "station_quality", "read_sp3_files",
         "partner_bands"]
CONSTANTS = ["SPEED_OF_LIGHT", "GM_WGS84", "EARTH_RADIUS", "GPS_L1_WAVELENGTH"]


def test_all_lists_every_name_in_registration_order():
    assert skarvo_mp.__all__ == CLASSES + FUNCTIONS + ADDED + CONSTANTS
    for name in skarvo_mp.__all__:
        assert hasattr(skarvo_mp, name)


def test_module_doc_and_version():
    assert skarvo_mp.__doc__ == "Python module definition"
    assert skarvo_mp.version() == "1.0.1"
    assert skarvo_mp.__version__ == skarvo_mp.version() and "__version__" not in skarvo_mp.__all__
    assert inspect.signature(skarvo_mp.version) == inspect.Signature()
    with pytest.raises(TypeError):
        skarvo_mp.version(1)


def test_version_matches_distribution_metadata():
    metadata = pytest.importorskip("importlib.metadata")
    try:
        dist_version = metadata.version("skarvo_mp")
    except metadata.PackageNotFoundError:
        pytest.skip("module loaded from a build folder, not an installed distribution")
    assert dist_version == skarvo_mp.version()


@pytest.mark.parametrize("name, value", [
    ("SPEED_OF_LIGHT", 299792458.0), ("GM_WGS84", 3.986005e14), ("EARTH_RADIUS", 6378137.0),
    ("GPS_L1_WAVELENGTH", 299792458.0 / 1575.42e6),
])
def test_constants_are_exact_floats(name, value):
    got = getattr(skarvo_mp, name)
    assert type(got) is float and got == value


@pytest.mark.parametrize("name, doc, signature", [
    ("GnssSystem", "Python-exposed GNSS System enum", "(code)"), ("Satellite", "Python-exposed Satellite", "(id)"),
    ("Epoch", "Python-exposed Epoch (time)", "(year, month, day, hour=0, minute=0, second=0.0)"),
    ("Ecef", "Python-exposed ECEF coordinates", "(x, y, z)"),
    ("Geodetic", "Python-exposed Geodetic coordinates", "(lat, lon, height)"),
])
def test_class_doc_and_text_signature(name, doc, signature):
    cls = getattr(skarvo_mp, name)
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    assert str(inspect.signature(cls)) == signature
    assert repr(cls) == f"<class '{name}'>"


@pytest.mark.parametrize("name", CLASSES)
def test_every_class_reports_builtins_and_python_exposed_doc(name):
    cls = getattr(skarvo_mp, name)
    assert cls.__module__ == "builtins"
    assert cls.__doc__.startswith("Python-exposed ") or (
        name == "SnrSeries" and cls.__doc__ == "SNR time series for one satellite and one S-code")


@pytest.mark.parametrize("name, signature, doc", [
    ("get_frequency", "(system, band, fcn=None)", "Get frequency for a GNSS signal"),
    ("get_wavelength", "(system, band, fcn=None)", "Get wavelength for a GNSS signal"),
    ("version", "()", "Get library version"), ("read_rinex_obs", "(path)", "Read RINEX observation file"),
    ("read_rinex_obs_bytes", "(data, filename)", "Read RINEX observation from bytes"),
    ("read_sp3", "(path)", "Read SP3 file"),
    ("calculate_azel", "(receiver, satellite)", "Calculate azimuth and elevation"),
    ("compute_elevation", "(sp3, receiver, satellite, epoch)",
     "Compute satellite elevation from SP3 and receiver position"),
    ("morlet_cwt", "(y, dt, dj=0.125, s0=None)",
     "Morlet continuous wavelet transform (Torrence & Compo 1998).\n"
     'Returns {"power", "scales", "periods", "coi"}; `power` has one row per scale.'),
    ("band_power", "(y, dt, bands, dj=0.125)",
     "Scale-averaged wavelet power of `y` for each `(lo, hi)` period band (s)."),
    ("red_noise_significance", "(y, dt, periods, confidence=0.95)",
     "Red-noise significance level per period (T&C eq. 16-18)."),
    ("period_bands", "(dt)", "Interval-adaptive period bands (s) for SNR band power."),
    ("detrend_arc", "(t, values, max_order=9)",
     "Remove the best polynomial trend (order 2..max_order). Returns (residual, order)."),
    ("split_arcs", "(times, dt, gap_factor=5.0)",
     "Split increasing times into contiguous arcs at gaps > gap_factor\u00b7dt.\n"
     "Returns (start, stop) index pairs."),
    ("fresnel_zone", "(elevation, antenna_height, wavelength=None)",
     "First Fresnel zone (a, b, distance) in metres for a horizontal reflector\n"
     "`antenna_height` below the antenna. Wavelength defaults to GPS L1."),
    ("fresnel_map", "(tracks, antenna_height, min_elevation=5.0, wavelength=None)",
     "Fresnel footprints along satellite tracks, one per 10\u00b0\u00d710\u00b0 az/el cell.\n"
     "`tracks` is a list of (satellite, azimuths, elevations) in degrees.\n"
     "Returns dicts with keys sat, az, el, a, b, dist."),
    ("scalogram", "(t, values, interval, max_columns=600)",
     'Wavelet scalogram of the longest arc: {"t", "periods", "power",\n'
     '"significance", "coi", "interval"}. Needs at least 40 samples.'),
    ("analyze_snr_wavelets", "(obs, satellites=None, interval=None, bands=None)",
     "\u03b4SNR residuals and band power per satellite, computed in parallel.\n"
     'Returns {"bands", "interval", "residuals": {sat: {code, t0, t, v, orders}},\n'
     '"band_power": {sat: {t, power}}}.'),
])
def test_function_doc_and_text_signature(name, signature, doc):
    fn = getattr(skarvo_mp, name)
    assert fn.__text_signature__ == signature
    # The readers and fresnel_zone go on with a paragraph of their own.
    assert fn.__doc__ == doc or (name in EXPLAINED and fn.__doc__.startswith(doc + "\n\n"))
    assert str(inspect.signature(fn)) == signature
    assert type(fn).__name__ == "builtin_function_or_method"


@pytest.mark.parametrize("name", CLASSES + ["NavData"])
def test_methods_have_self_signatures_usable_by_inspect(name):
    cls = getattr(skarvo_mp, name)
    for attr, member in vars(cls).items():
        if attr.startswith("_") or not callable(member) or isinstance(member, staticmethod):
            continue
        assert member.__text_signature__.startswith("($self"), attr
        params = list(inspect.signature(member).parameters)
        assert params[0] == "self", attr


@pytest.mark.parametrize("bound, params", [
    (skarvo_mp.Epoch(2024, 1, 1).to_iso, []), (skarvo_mp.Epoch(2024, 1, 1).to_gps_time, []),
    (skarvo_mp.Ecef(1, 2, 3).distance, ["other"]),
])
def test_bound_methods_have_signatures(bound, params):
    assert list(inspect.signature(bound).parameters) == params


@pytest.mark.parametrize("name", ["RinexObsData", "Sp3Data", "SnrSeries", "MultipathEstimate", "MultipathStats",
                                  "CycleSlip", "AnalysisResults"])
def test_result_classes_come_from_the_module_only(name):
    with pytest.raises(TypeError):
        getattr(skarvo_mp, name)()


@pytest.mark.parametrize("obj, attr", [
    (skarvo_mp.Epoch(2024, 1, 1), "year"), (skarvo_mp.Satellite("G05"), "prn"), (skarvo_mp.GnssSystem("G"), "name"),
    (skarvo_mp.Ecef(1, 2, 3), "x"), (skarvo_mp.Geodetic(1, 2, 3), "lat"),
])
def test_value_attributes_are_read_only(obj, attr):
    with pytest.raises(AttributeError):
        setattr(obj, attr, 1)


def test_reimport_returns_the_same_module_object():
    saved = sys.modules.pop("skarvo_mp")
    try:
        again = importlib.import_module("skarvo_mp")
        assert again is saved
    finally:
        sys.modules["skarvo_mp"] = saved


# Each step: "main" imports in the main interpreter, "sub" tries in a new
# sub-interpreter. Whichever comes first, a sub-interpreter is refused at
# once and the main interpreter still gets the module.
@pytest.mark.parametrize("steps", [["main", "sub"], ["sub", "main"], ["sub", "sub", "main", "sub"], ["sub"]],
                         ids=["main-first", "sub-first", "subs-around-main", "sub-only"])
def test_sub_interpreter_is_refused(steps):
    pytest.importorskip("_xxsubinterpreters")
    location = str(__import__("pathlib").Path(skarvo_mp.__file__).parent)
    # Run in a fresh process: the module must not have been imported yet.
    script = textwrap.dedent(
        f"""
        import sys
        import _xxsubinterpreters as si
        sys.path.insert(0, {location!r})
        for step in {steps!r}:
            if step == "main":
                import skarvo_mp
                print("main", skarvo_mp.get_frequency("G", 1))
                continue
            interp = si.create()
            try:
                si.run_string(interp, "import sys; sys.path.insert(0, {location!r}); import skarvo_mp")
            except Exception as exc:
                print("sub", type(exc).__name__, exc)
            else:
                print("sub imported")
            si.destroy(interp)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True,
                         timeout=60).stdout.splitlines()
    refusal = ("sub RunFailedError <class 'ImportError'>: skarvo_mp does not support sub-interpreters: "
               "it can be imported only in the main interpreter")
    assert out == [refusal if s == "sub" else "main 1575420000.0" for s in steps]


# Integer arguments are never wrapped into their width and wrong types never
# pass: the binding refuses them before the library sees them.
@pytest.mark.parametrize("call", [
    lambda: skarvo_mp.Epoch(2024, -1, 1), lambda: skarvo_mp.Epoch(2**31, 1, 1),
    lambda: skarvo_mp.Epoch(2024, 2**32, 1), lambda: skarvo_mp.Epoch(2024, 1.5, 1),
    lambda: skarvo_mp.Satellite(5), lambda: skarvo_mp.GnssSystem(None),
    lambda: skarvo_mp.Ecef("1", 2, 3), lambda: skarvo_mp.calculate_azel(skarvo_mp.Geodetic(1, 2, 3), skarvo_mp.Ecef(1, 2, 3)),
    lambda: skarvo_mp.split_arcs([0.0, 1.0], "x"), lambda: skarvo_mp.detrend_arc([1.0], [1.0], max_order=-1),
    lambda: skarvo_mp.read_rinex_obs_bytes(bytearray(b""), "x.rnx"),
], ids=["month-negative", "year-too-large", "month-too-large", "month-float", "satellite-int", "system-none",
        "ecef-str", "azel-geodetic", "split-dt-str", "detrend-negative-order", "bytes-bytearray"])
def test_bad_argument_types_and_widths_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


EXPLAINED = {"read_rinex_obs", "read_rinex_obs_bytes", "read_sp3", "fresnel_zone"}


@pytest.mark.parametrize("name, words", [
    ("read_rinex_obs", ["version 2, 3 or 4", "gzip", "RinexObsData", "OSError", "navigation"]),
    ("read_rinex_obs_bytes", ["bytes", ".gz", "RinexObsData", "Failed to create temp file", "Failed to parse"]),
    ("read_sp3", ["SP3 versions a to d", "Sp3Data", "OSError", "Failed to read SP3"]),
    ("fresnel_zone", ["specular reflection point", "centre"]),
])
def test_reader_docstrings_say_what_they_take_return_and_raise(name, words):
    paragraph = getattr(skarvo_mp, name).__doc__.split("\n\n", 1)[1]
    assert all(w in paragraph for w in words), paragraph
