"""NumPy, pandas and xarray views: every array equals the object API or the
peer reader it mirrors, element by element."""
import gc
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import skarvo_mp as sk
from conftest import ROOT, data_path
from rinex_helpers import rinex3, v3_header

V2 = "rinex2/npaz3550.21o"
V3 = "crx/P43300USA_R_20190012056_17M_15S_MO.rnx"
V4 = "rinex4/ACRG00GHA_R_20240010000_01H_30S_MO.rnx"
V2_NAMES = {"C1": "C1C", "P1": "C1P", "L1": "L1C", "D1": "D1C", "S1": "S1C", "C2": "C2C", "P2": "C2P",
            "L2": "L2C", "D2": "D2C", "S2": "S2C", "C5": "C5X", "L5": "L5X", "D5": "D5X", "S5": "S5X"}


@pytest.fixture(scope="module", params=[V2, V3, V4], ids=["v2", "v3", "v4"])
def obs(request):
    return sk.read_rinex_obs(str(data_path(request.param)))


@pytest.fixture(scope="module")
def empty(tmp_path_factory):
    path = tmp_path_factory.mktemp("empty") / "empty.rnx"
    path.write_text(v3_header())
    return sk.read_rinex_obs(str(path))


def epoch_ms(epochs):
    return np.array([e.to_iso().rstrip("Z") for e in epochs], dtype="datetime64[ms]")


def code_name(code, version):
    """Wide-layout variable name of a stored code."""
    if version.startswith("2."):
        return {v: k for k, v in V2_NAMES.items()}[code]
    return code


def pivot(long, wide, version):
    """The long table spread into the wide layout by NumPy alone."""
    grids = {}
    rows = np.searchsorted(wide["time"], long["time"])
    assert (wide["time"][rows] == long["time"]).all()
    assert list(wide["sv"]) == list(long["satellites"])
    for k, code in enumerate(long["codes"]):
        grid = np.full((len(wide["time"]), len(wide["sv"])), np.nan)
        pick = long["code"] == k
        grid[rows[pick], long["satellite"][pick]] = long["value"][pick]
        grids[code_name(str(code), version)] = grid
    return grids


# ---- RinexObsData -----------------------------------------------------------------


def test_long_table_mirrors_the_object_api(obs):
    d = obs.to_numpy()
    n = len(d["value"])
    assert n > 400
    assert {k: (v.dtype.str[1:], len(v)) for k, v in d.items() if k not in ("satellites", "codes")} == {
        "time": ("M8[ms]", n), "satellite": ("i4", n), "code": ("i2", n), "value": ("f8", n),
        "lli": ("i1", n), "ssi": ("i1", n)}
    assert list(d["satellites"]) == [s.id for s in obs.satellites()]
    # Rows run in file order: every epoch's rows together, epochs in order.
    times = epoch_ms(obs.epochs())
    starts = np.r_[True, d["time"][1:] != d["time"][:-1]]
    assert np.array_equal(d["time"][starts], times[np.isin(times, d["time"])])
    sat_ids = d["satellites"][d["satellite"]]
    codes = d["codes"][d["code"]]
    for letter in obs.satellites_by_system():
        mine = np.char.startswith(sat_ids, letter)
        assert sorted(set(codes[mine])) == obs.observation_types(letter)
    assert set(np.unique(d["lli"])) <= set(range(-1, 10)) and set(np.unique(d["ssi"])) <= set(range(-1, 10))
    # S-code rows with a positive value are the SNR series, point for point.
    for sat in obs.satellites()[::5]:
        for series in obs.get_snr_series(sat.id):
            pick = (sat_ids == sat.id) & (codes == series.code) & (d["value"] > 0)
            assert d["value"][pick].tolist() == series.values
            assert (d["time"][pick].astype("int64") / 1e3).tolist() == pytest.approx(series.times, abs=1e-6)


def test_wide_layout_equals_the_long_table(obs):
    long, wide = obs.to_numpy(), obs.to_numpy(wide=True)
    assert wide["time"].dtype == np.dtype("datetime64[ms]")
    grids = pivot(long, wide, obs.version)
    for name, grid in grids.items():
        np.testing.assert_array_equal(wide[name], grid)
    # Codes the header declares but no record carries are all NaN.
    for name in set(wide) - set(grids) - {"time", "sv"}:
        assert np.isnan(wide[name]).all()


def test_records_sharing_a_time_tag_merge_in_the_wide_layout(tmp_path):
    types = {"G": ["C1C", "L1C", "S1C"]}
    text = rinex3([(0, {"G01": {"C1C": 1.0, "S1C": (40.0, 1)}}),
                   (0, {"G01": {"C1C": 2.0}, "G02": {"L1C": 3.0}}),
                   (30, {"G02": {"C1C": None, "L1C": 4.0}})], types)
    (tmp_path / "dup.rnx").write_text(text)
    obs = sk.read_rinex_obs(str(tmp_path / "dup.rnx"))
    long, wide, ds = obs.to_numpy(), obs.to_numpy(wide=True), obs.to_xarray()
    del obs
    gc.collect()
    # One block holds every code's grid; the arrays outlive the observation object.
    assert wide["C1C"].base is wide["L1C"].base is not None
    assert long["value"].tolist() == [1.0, 40.0, 2.0, 3.0, 4.0]
    np.testing.assert_array_equal(ds["C1C"].values, wide["C1C"])
    assert long["lli"].tolist() == [-1, 1, -1, -1, -1]
    assert len(wide["time"]) == 2
    np.testing.assert_array_equal(wide["C1C"], [[2.0, np.nan], [np.nan, np.nan]])  # the later record wins
    np.testing.assert_array_equal(wide["S1C"], [[40.0, np.nan], [np.nan, np.nan]])
    np.testing.assert_array_equal(wide["L1C"], [[np.nan, 3.0], [np.nan, 4.0]])


def test_empty_file_gives_empty_arrays(empty):
    long = empty.to_numpy()
    assert all(len(v) == 0 for v in long.values())
    wide = empty.to_numpy(wide=True)
    assert wide["C1C"].shape == (0, 0) and len(wide["time"]) == 0
    assert dict(empty.to_xarray().sizes) == {"time": 0, "sv": 0}
    assert len(empty.to_pandas()) == 0


def test_pandas_table_decodes_to_the_long_table(obs):
    d, df = obs.to_numpy(), obs.to_pandas()
    assert list(df.columns) == ["time", "satellite", "code", "value", "lli", "ssi"]
    assert df["satellite"].dtype == "category" and str(df["lli"].dtype) == "Int8"
    np.testing.assert_array_equal(df["satellite"].astype(str).to_numpy(), d["satellites"][d["satellite"]])
    np.testing.assert_array_equal(df["time"].to_numpy(), d["time"])
    np.testing.assert_array_equal(df["value"].to_numpy(), d["value"])
    assert (df["ssi"].isna().to_numpy() == (d["ssi"] < 0)).all()
    assert (df["lli"].fillna(-1).to_numpy(dtype="int8") == d["lli"]).all()


@pytest.fixture(scope="module", params=[V2, "odd/z_tracking.rnx"], ids=["v2-npaz", "v3-crlf"])
def with_georinex(request):
    georinex = pytest.importorskip("georinex")
    path = data_path(request.param)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ref = georinex.load(path, useindicators=True)
    return sk.read_rinex_obs(str(path)), ref


def test_xarray_layout_matches_georinex(with_georinex):
    obs, ref = with_georinex
    ds = obs.to_xarray()
    assert dict(ds.sizes) == dict(ref.sizes)
    assert list(ds.sv.values) == list(ref.sv.values)
    np.testing.assert_array_equal(ds.time.values, ref.time.values.astype("datetime64[ms]"))
    values = {v for v in ref.data_vars if not v.endswith(("lli", "ssi"))}
    assert set(ds.data_vars) == values
    with_indicators = obs.to_xarray(indicators=True)
    assert set(ref.data_vars) <= set(with_indicators.data_vars)
    for name in ref.data_vars:
        assert with_indicators[name].dims == ("time", "sv")
        np.testing.assert_array_equal(with_indicators[name].values, ref[name].values, err_msg=name)
    for name in values:
        np.testing.assert_array_equal(ds[name].values, ref[name].values, err_msg=name)
    assert ds.attrs["version"] == ref.attrs["version"]
    assert ds.attrs["interval"] == ref.attrs["interval"]
    assert ds.attrs["position"] == pytest.approx(ref.attrs["position"])
    # Indicators of the long table against the peer's, where a value exists.
    long, wide = obs.to_numpy(), obs.to_numpy(wide=True)
    rows = np.searchsorted(wide["time"], long["time"])
    for k, code in enumerate(long["codes"]):
        name = code_name(str(code), obs.version)
        pick = long["code"] == k
        for kind in ("lli", "ssi"):
            if name + kind not in ref:
                continue  # the peer keeps version 3 LLI of L1/L2 phases only
            got = ref[name + kind].values[rows[pick], long["satellite"][pick]]
            np.testing.assert_array_equal(np.where(np.isnan(got), -1, got), long[kind][pick], err_msg=name + kind)


# ---- AnalysisResults ------------------------------------------------------------------


@pytest.fixture(scope="module")
def results():
    obs = sk.read_rinex_obs(str(data_path(V3)))
    res = sk.MultipathAnalyzer(obs, min_arc_seconds=120.0).analyze()
    computed, failed = res.compute_elevations(sk.read_sp3(str(data_path("sp3/igs20342.sp3"))), obs.approx_position)
    assert computed > 0 and failed > 0  # only GPS is in the orbit file
    return res


def test_results_arrays_equal_the_result_objects(results):
    d = results.to_numpy()
    e = d["estimates"]
    objs = results.estimates
    assert len(e["mp"]) == len(objs) > 0
    assert e["satellites"][e["satellite"]].tolist() == [o.satellite for o in objs]
    assert e["signals"][e["signal"]].tolist() == [o.signal for o in objs]
    assert e["system"].tolist() == [o.system for o in objs]
    assert e["time"].tolist() == epoch_ms(sk.Epoch.parse(o.epoch) for o in objs).tolist()
    assert e["mp"].tolist() == [o.mp_value for o in objs]
    np.testing.assert_array_equal(e["elevation"], [o.elevation for o in objs])
    np.testing.assert_array_equal(e["azimuth"], [o.azimuth for o in objs])
    np.testing.assert_array_equal(e["snr"], [np.nan if o.snr is None else o.snr for o in objs])

    stats = d["statistics"]
    for field in ("signal", "system", "code", "count", "rms", "mean", "std_dev", "min", "max", "weighted_rms",
                  "cycle_slips"):
        assert stats[field].tolist() == [getattr(s, field) for s in results.statistics], field
    slips = d["cycle_slips"]
    assert len(slips["satellite"]) == results.total_cycle_slips() > 0
    for field in ("satellite", "system", "method", "signal", "magnitude", "threshold"):
        assert slips[field].tolist() == [getattr(s, field) for s in results.cycle_slips], field
    assert slips["time"].tolist() == epoch_ms(sk.Epoch.parse(s.epoch) for s in results.cycle_slips).tolist()


def test_results_frames(results):
    d = results.to_numpy()
    for table, cols in d.items():
        df = results.to_pandas(table)
        assert list(df.columns) == (["satellite", "system", "time", "signal", "mp", "elevation", "azimuth", "snr"]
                                    if table == "estimates" else list(cols))
        np.testing.assert_array_equal(df.iloc[:, -1].to_numpy(), cols["snr" if table == "estimates" else list(cols)[-1]])
    e = d["estimates"]
    np.testing.assert_array_equal(results.to_pandas()["signal"].astype(str).to_numpy(), e["signals"][e["signal"]])
    with pytest.raises(ValueError, match="table must be 'estimates', 'statistics' or 'cycle_slips', got 'x'"):
        results.to_pandas("x")


# ---- transforms and float inputs ---------------------------------------------------------

RNG = np.random.default_rng(17)
SERIES = np.sin(np.arange(500) * 0.21) + RNG.normal(0, 0.3, 500)


@pytest.mark.parametrize("name, args, key", [
    ("morlet_cwt", (SERIES, 30.0), None),
    ("band_power", (SERIES, 30.0, [(60.0, 300.0), (300.0, 900.0), (1e9, 2e9)]), None),
    ("scalogram", (np.arange(500) * 30.0, SERIES, 30.0, 200), None),
], ids=["morlet", "band_power", "scalogram"])
def test_array_transforms_equal_the_list_forms_and_own_their_memory(name, args, key):
    lists = getattr(sk, name)(*(a.tolist() if isinstance(a, np.ndarray) else a for a in args))
    arrays = getattr(sk, name + "_array")(*args)
    if isinstance(lists, list):
        lists, arrays = {"power": lists}, {"power": arrays}
    assert arrays.keys() == lists.keys()
    kept = {}
    for k, v in arrays.items():
        if isinstance(v, float):
            assert v == lists[k]
            continue
        assert v.dtype == np.float64 and v.flags.c_contiguous
        np.testing.assert_array_equal(v, np.array(lists[k]).reshape(v.shape), err_msg=k)
        if v.size:
            # The array wraps the C++ buffer: its base is the owning capsule.
            assert type(v.base).__name__ == "PyCapsule" and not v.flags.owndata
        kept[k] = (v, v.copy())
    del arrays, lists
    gc.collect()
    for v, copy in kept.values():
        np.testing.assert_array_equal(v, copy)


def test_snr_wavelets_arrays_equal_the_list_form():
    obs = sk.read_rinex_obs(str(data_path(V3)))
    lists, arrays = sk.analyze_snr_wavelets(obs), sk.analyze_snr_wavelets_array(obs)
    assert arrays["interval"] == lists["interval"]
    assert arrays["bands"].tolist() == lists["bands"]
    assert list(arrays["residuals"]) == list(lists["residuals"]) and lists["residuals"]
    for sat, res in lists["residuals"].items():
        got = arrays["residuals"][sat]
        assert (got["code"], got["t0"]) == (res["code"], res["t0"])
        assert [got[k].tolist() for k in ("t", "v", "orders")] == [res[k] for k in ("t", "v", "orders")]
        band, ref = arrays["band_power"][sat], lists["band_power"][sat]
        assert band["t"].tolist() == ref["t"] and band["power"].shape == (len(ref["power"]), len(ref["t"]))
        assert band["power"].tolist() == ref["power"]


class NoItems(np.ndarray):
    """An array that fails when read element by element."""

    def __getitem__(self, i):
        raise AssertionError("read element by element")

    def __iter__(self):
        raise AssertionError("read element by element")


# One call per way a series is passed: alone, beside a second series, by
# keyword, inside a list of tuples.
FLOAT_CALLS = [
    ("morlet_cwt", lambda y: ((y, 30.0), {})),
    ("red_noise_significance", lambda y: ((y, 30.0, y[:5] + 100.0), {})),
    ("split_arcs", lambda y: ((np.cumsum(np.abs(y)),), {"dt": 0.5})),
    ("fresnel_map", lambda y: (([("G01", y * 100.0, np.abs(y) * 40.0)], 2.0), {})),
]


@pytest.mark.parametrize("name, call", FLOAT_CALLS, ids=[c[0] for c in FLOAT_CALLS])
def test_float64_arrays_are_taken_as_buffers(name, call):
    fn = getattr(sk, name)
    y = SERIES[:200].copy()
    args, kwargs = call(y)
    expected = fn(*[a.tolist() if isinstance(a, np.ndarray) else a for a in args], **kwargs)
    assert fn(*args, **kwargs) == expected
    if name != "fresnel_map":
        guarded = [a.view(NoItems) if isinstance(a, np.ndarray) else a for a in args]
        assert fn(*guarded, **kwargs) == expected
    # Other arrays (strided, float32-exact, integer) are still read element by element.
    assert fn(*[np.repeat(a, 2)[::2] if isinstance(a, np.ndarray) else a for a in args], **kwargs) == expected


def test_buffers_of_other_shapes_and_types_are_refused_as_before():
    with pytest.raises(TypeError):
        sk.morlet_cwt(np.zeros((4, 4)), 1.0)
    with pytest.raises(TypeError):
        sk.morlet_cwt(b"\0" * 64, 1.0)
    assert sk.split_arcs(np.array([0, 30, 60], dtype=np.int64), 30.0) == [(0, 3)]


def test_module_works_without_numpy_and_names_it_when_needed():
    script = textwrap.dedent(f"""
        import sys
        sys.modules["numpy"] = None
        import skarvo_mp as sk
        assert sk.split_arcs([0.0, 30.0, 400.0], 30.0) == [(0, 2), (2, 3)]
        obs = sk.read_rinex_obs({str(data_path(V4))!r})
        for call in (obs.to_numpy, lambda: sk.morlet_cwt_array([1.0, 2.0], 1.0)):
            try:
                call()
            except ImportError as e:
                print(type(e).__name__, e)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, check=True).stdout
    lines = out.splitlines()
    assert len(lines) == 2
    assert lines[0].startswith("ModuleNotFoundError RinexObsData.to_numpy() needs NumPy")
    assert lines[1].startswith("ModuleNotFoundError morlet_cwt_array() needs NumPy")
    assert "pip install numpy" in lines[0]


# ---- stubs -----------------------------------------------------------------------------------

EXAMPLE = '''
import numpy as np
import numpy.typing as npt
import skarvo_mp as sk

obs: sk.RinexObsData = sk.read_rinex_obs("x.rnx.gz")
cols: dict[str, npt.NDArray[np.generic]] = obs.to_numpy()
grid = obs.to_numpy(wide=True)["C1C"]
ds = obs.to_xarray()
sizes: int = ds.sizes["sv"]
df = obs.to_pandas()
res = sk.MultipathAnalyzer(obs).analyze()
mp: npt.NDArray[np.float64] = res.to_numpy()["estimates"]["mp"]
table = res.to_pandas("statistics")
cwt = sk.morlet_cwt_array(np.zeros(64), 30.0)
power: npt.NDArray[np.float64] = cwt["power"]
bands = sk.band_power_array([0.0] * 64, 30.0, sk.period_bands(30.0))
res_list: list[float] = sk.detrend_arc(np.arange(20.0), np.zeros(20))[0]
'''


def test_stubs_pass_mypy_strict_on_an_example(tmp_path):
    pytest.importorskip("mypy")
    shutil.copy(ROOT / "python" / "skarvo_mp-stubs" / "__init__.pyi", tmp_path / "skarvo_mp.pyi")
    (tmp_path / "example.py").write_text(EXAMPLE)
    cache = ROOT / "build" / "mypy-cache"
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), "example.py"],
                          cwd=tmp_path, env=dict(os.environ, MYPYPATH=str(tmp_path)), capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def test_readme_examples_run(tmp_path, monkeypatch, capsys):
    text = (ROOT / "README.md").read_text()
    section = text.split("## Working with NumPy, pandas and xarray")[1].split("\n## ")[0]
    blocks = [b.split("```")[0] for b in section.split("```python\n")[1:]]
    assert len(blocks) == 4
    for name in (V3, "crx/NYA100NOR_S_20241240000_01D_30S_MO.crx.gz"):
        (tmp_path / pathlib.Path(name).name).symlink_to(data_path(name))
    monkeypatch.chdir(tmp_path)
    for block in blocks:
        exec(compile("import skarvo_mp as mp\n" + block, "README.md", "exec"), {})
    assert "(107, 20000)" in capsys.readouterr().out
