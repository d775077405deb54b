"""analyze_snr_wavelets: argument resolution, per-satellite results, merge
order and the reference day (independence from the number of workers: see
test_pool.py)."""
import math

import pytest

import skarvo_mp as sk
from rinex_helpers import rinex2, rinex3, snr_wave


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
    assert list(got["residuals"]) == list(got["band_power"]) == ["C06", "C11", "E11", "G05"]
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


def test_satellite_list_order_repeats_and_absent_entries(obs):
    every = sk.analyze_snr_wavelets(obs, None)
    assert sk.analyze_snr_wavelets(obs, []) == every
    assert sk.analyze_snr_wavelets(obs, ["c6", "C11", "E11", "g5", "G05"]) == sk.analyze_snr_wavelets(
        obs, ["G05", "E11", "C11", "C06"]) == every
    # J01 has too few values; G30 and R01 have none.
    assert sk.analyze_snr_wavelets(obs, ["J01", "G30", "R01"]) == dict(every, residuals={}, band_power={})
    with pytest.raises(ValueError) as err:
        sk.analyze_snr_wavelets(obs, ["G05", "Z7"])
    assert str(err.value) == "Invalid satellite id 'Z7'"


def test_interval_and_bands_given_or_found(obs):
    got = sk.analyze_snr_wavelets(obs, ["G05"], interval=15.0, bands=[(100.0, 1000.0)])
    assert got["interval"] == 15.0 and got["bands"] == [[100.0, 1000.0]]
    assert len(got["band_power"]["G05"]["power"]) == 1
    # Empty bands mean the defaults, reported as none.
    got = sk.analyze_snr_wavelets(obs, ["G05"], bands=[])
    assert got["bands"] == [] and got["band_power"] == sk.analyze_snr_wavelets(obs, ["G05"])["band_power"]
    # Without an interval, the step of the first two epochs; a gap splits the arcs.
    got = sk.analyze_snr_wavelets(build(n=60, step=1.0), ["G05"])
    assert got["interval"] == 1.0 and got["bands"][0] == [2.0, 20.0]
    got = sk.analyze_snr_wavelets(build(missing=range(100, 120)), ["G05"])["residuals"]["G05"]
    assert len(got["orders"]) == 2 and len(got["t"]) == 180


def test_long_series_are_thinned_to_every_third_sample():
    obs = sk.read_rinex_obs_bytes(rinex3([(1.0 * i, {"C11": {"S2I": snr_wave(i)}}) for i in range(50000)],
                                         {"C": ["S2I"]}).encode(), "long.rnx")
    got = sk.analyze_snr_wavelets(obs)
    assert len(got["residuals"]["C11"]["t"]) == 16667 and got["residuals"]["C11"]["t"][:3] == [0.0, 3.0, 6.0]
    assert 0 < len(got["band_power"]["C11"]["t"]) <= 96


def test_satellites_in_byte_order_of_their_identifiers():
    # A blank system letter in a version 2 list is GPS: cell "300" is G300,
    # which sorts before G31.
    text = rinex2([(30.0 * i, {"G31": {"S1": snr_wave(i)}, "300": {"S1": snr_wave(i, 1)}}) for i in range(80)], ["S1"])
    got = sk.analyze_snr_wavelets(sk.read_rinex_obs_bytes(text.encode(), "ids.20o"))
    assert list(got["residuals"]) == list(got["band_power"]) == ["G300", "G31"]


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
