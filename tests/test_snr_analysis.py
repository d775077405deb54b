"""analyze_snr_wavelets: argument resolution, per-satellite results, merge
order, independence from the number of workers, and the reference day."""
import math
import os
import subprocess
import sys
import textwrap

import pytest

import skarvo_mp as sk
from snr_files import rinex3, snr_wave


TYPES = {"G": ["S1C", "S1W", "S2W"], "E": ["S2L", "S2W", "S5Q"], "C": ["S2I"], "J": ["S1C"]}
REFERENCE_DAY = "rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz"


def build(n=200, step=30.0, missing=(), extra=None):
    epochs = []
    for i in range(n):
        if i in missing:
            continue
        sats = {
            "G05": {"S1C": snr_wave(i), "S1W": snr_wave(i, 1), "S2W": snr_wave(i, 2)},
            "E11": {"S2W": snr_wave(i, 3), "S5Q": snr_wave(i, 4), "S2L": snr_wave(i, 5)},
            "C06": {"S2I": snr_wave(i, 6)},
            "C11": {"S2I": snr_wave(i, 7)},
        }
        if i < 39:
            sats["J01"] = {"S1C": snr_wave(i, 8)}
        if extra:
            sats.update(extra(i))
        epochs.append((step * i, sats))
    return sk.read_rinex_obs_bytes(rinex3(epochs, TYPES).encode(), "analysis.rnx")


@pytest.fixture(scope="module")
def obs():
    return build()


def test_result_shape_and_order(obs):
    got = sk.analyze_snr_wavelets(obs)
    assert list(got) == ["bands", "interval", "residuals", "band_power"]
    assert got["interval"] == 30.0
    assert got["bands"] == [[60.0, 120.0], [120.0, 300.0], [300.0, 900.0], [900.0, 1800.0]]
    # Identifier order; J01 has only 39 values.
    assert list(got["residuals"]) == ["C06", "C11", "E11", "G05"]
    assert list(got["band_power"]) == ["C06", "C11", "E11", "G05"]
    g = got["residuals"]["G05"]
    assert list(g) == ["code", "t0", "t", "v", "orders"]
    assert g["code"] == "S1C" and got["residuals"]["E11"]["code"] == "S2L"
    assert g["t0"] == 1593043200.0 and g["t"][:3] == [0.0, 30.0, 60.0]
    assert len(g["v"]) == 200 and g["orders"] == [9]
    bp = got["band_power"]["G05"]
    assert list(bp) == ["t", "power"] and len(bp["power"]) == 4
    assert 0 < len(bp["t"]) <= 96 and all(len(row) == len(bp["t"]) for row in bp["power"])
    assert all(math.isfinite(x) for row in bp["power"] for x in row)


def test_residual_is_the_detrended_linear_amplitude(obs):
    got = sk.analyze_snr_wavelets(obs, ["G05"])["residuals"]["G05"]
    (series,) = obs.get_snr_series("G05", "S1C")
    amplitude = [10 ** (s / 20) for s in series.values]
    residual, order = sk.detrend_arc(series.times, amplitude)
    assert got["v"] == residual and got["orders"] == [order]


def test_empty_satellite_list_means_all(obs):
    assert sk.analyze_snr_wavelets(obs, []) == sk.analyze_snr_wavelets(obs, None)


def test_invalid_satellite_raises_before_work(obs):
    with pytest.raises(ValueError) as err:
        sk.analyze_snr_wavelets(obs, ["G05", "Z7"])
    assert str(err.value) == "Invalid satellite id 'Z7'"


def test_absent_and_short_satellites_have_no_entry(obs):
    got = sk.analyze_snr_wavelets(obs, ["J01", "G30", "R01"])
    assert got["residuals"] == {} and got["band_power"] == {}


def test_empty_bands_use_the_defaults_but_report_none(obs):
    got = sk.analyze_snr_wavelets(obs, ["G05"], bands=[])
    assert got["bands"] == []
    default = sk.analyze_snr_wavelets(obs, ["G05"])
    assert got["band_power"] == default["band_power"]


def test_given_interval_and_bands(obs):
    got = sk.analyze_snr_wavelets(obs, ["G05"], interval=15.0, bands=[(100.0, 1000.0)])
    assert got["interval"] == 15.0 and got["bands"] == [[100.0, 1000.0]]
    assert len(got["band_power"]["G05"]["power"]) == 1


def test_a_gap_splits_the_arcs():
    got = sk.analyze_snr_wavelets(build(missing=range(100, 120)), ["G05"])["residuals"]["G05"]
    assert len(got["orders"]) == 2 and len(got["t"]) == 180


def test_interval_from_the_first_two_epochs():
    got = sk.analyze_snr_wavelets(build(n=60, step=1.0), ["G05"])
    assert got["interval"] == 1.0
    assert got["bands"][0] == [2.0, 20.0]


def test_input_order_does_not_matter(obs):
    a = sk.analyze_snr_wavelets(obs, ["G05", "E11", "C11", "C06"])
    b = sk.analyze_snr_wavelets(obs, ["c6", "C11", "E11", "g5", "G05"])
    assert a == b


WORKLOAD = textwrap.dedent(
    """
    import hashlib, os, sys
    if sys.argv[2]:
        os.sched_setaffinity(0, {int(sys.argv[2])})
    import skarvo_mp as sk
    obs = sk.read_rinex_obs(sys.argv[1])
    print(hashlib.sha256(repr(sk.analyze_snr_wavelets(obs, ["G05", "E11", "C11", "C06"])).encode()).hexdigest())
    """
)


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs at least two CPUs")
def test_bit_identical_for_one_and_many_workers(tmp_path):
    path = tmp_path / "analysis.rnx"
    epochs = [(30.0 * i, {s: {c: snr_wave(i, k) for c in TYPES[s[0]]} for k, s in enumerate(["G05", "E11", "C11", "C06"])})
              for i in range(3000) if i % 700 != 5]
    path.write_text(rinex3(epochs, TYPES))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    digests = {
        subprocess.run([sys.executable, "-c", WORKLOAD, str(path), cpu], capture_output=True, text=True, check=True,
                       env=env, timeout=300).stdout
        for cpu in (str(min(os.sched_getaffinity(0))), "")
    }
    assert len(digests) == 1


@pytest.mark.realdata
def test_reference_day(data):
    obs = sk.read_rinex_obs(str(data(REFERENCE_DAY)))
    got = sk.analyze_snr_wavelets(obs)
    assert got["interval"] == 30.0
    expected = set()
    for sat in obs.satellites():
        codes = obs.snr_codes(sat.id)
        if not codes:
            continue
        best = min(codes, key=lambda c: (c[1] != "1", c))
        (series,) = obs.get_snr_series(sat.id, best) or [None]
        if series is not None and len(series.values) >= 40:
            expected.add(sat.id)
    assert set(got["residuals"]) == expected and len(expected) > 50
    assert list(got["residuals"]) == sorted(expected)
    for sat in expected:
        res, bp = got["residuals"][sat], got["band_power"][sat]
        assert all(math.isfinite(v) for v in res["v"])
        assert all(math.isfinite(v) for row in bp["power"] for v in row)
        assert all(0 <= t <= 86400 for t in bp["t"])
