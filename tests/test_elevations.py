"""Elevations of multipath estimates from an SP3 orbit of the same day, and the
weighted RMS recomputed from them."""
import math
import threading

import numpy as np
import pytest

import skarvo_mp as sm
from rinex_helpers import label

pytestmark = pytest.mark.realdata

ESBC = "rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz"
RECEIVER = sm.Ecef(3582105.2910, 532589.7313, 5232754.8054)  # header APPROX POSITION XYZ


@pytest.fixture(scope="module")
def esbc():
    from conftest import data_path  # the `data` fixture is per test

    return sm.read_rinex_obs(str(data_path(ESBC)))


@pytest.fixture(scope="module")
def sp3(gunzipped):
    return sm.read_sp3(str(gunzipped("sp3/Sta21114.sp3.gz")))


def weight(el):
    """Inverse of the relative variance 1 / (4 sin^2 e) below 30 degrees; 0 when unknown."""
    if el >= 30.0:
        return 1.0
    if not el > 0.0:
        return 0.0
    return 4.0 * math.sin(math.radians(el)) ** 2


def test_compute_elevation(sp3):
    epoch = sm.Epoch(2020, 6, 25, 0, 0, 30.0)
    els = {s: sm.compute_elevation(sp3, RECEIVER, s, epoch) for s in sp3.satellites()}
    # C44's records (good clocks) begin at 03:00: no elevation hours before them.
    assert els.pop("C44") is None
    assert all(isinstance(e, float) and -90.0 <= e <= 90.0 for e in els.values())
    # Roughly half of a constellation is below the horizon: negative values come back as they are.
    assert sum(e < 0 for e in els.values()) > 10 and sum(e > 0 for e in els.values()) > 10
    assert els["G05"] == pytest.approx(sm.calculate_azel(RECEIVER, sp3.get_position("G05", epoch))[1])
    for bad in ("X05", "G", "S20"):
        assert sm.compute_elevation(sp3, RECEIVER, bad, epoch) is None


def test_compute_elevations_fills_and_reweights(esbc, sp3):
    # SBAS is not in this orbit file: its estimates fail and their elevations become unknown.
    res = sm.MultipathAnalyzer(esbc, systems=["G", "R", "E", "C", "S"]).analyze()
    before = {s.signal: (s.rms, s.weighted_rms) for s in res.statistics}
    seen = []  # readers in another thread wait for the running computation
    reader = threading.Thread(target=lambda: seen.extend(len(res.estimates) for _ in range(3)))
    reader.start()
    computed, failed = res.compute_elevations(sp3, RECEIVER)
    reader.join()
    est = res.estimates
    assert seen == [len(est)] * 3
    sbas = [e for e in est if e.system == "S"]
    assert computed + failed == len(est) and computed > 300000
    assert failed == len(sbas) > 0
    assert all(math.isnan(e.elevation) and math.isnan(e.azimuth) for e in sbas)
    others = [e for e in est if e.system != "S"]
    assert all(0.0 < e.elevation <= 90.0 and 0.0 <= e.azimuth < 360.0 for e in others)
    assert min(e.elevation for e in others) < 10.0  # real low-elevation data, not placeholders
    for e in others[::997]:
        assert e.elevation == sm.compute_elevation(sp3, RECEIVER, e.satellite, sm.Epoch.parse(e.epoch))

    for st in res.statistics:
        rows = [(e.mp_value, e.elevation) for e in est if label(e) == st.signal]
        x = np.array([r[0] for r in rows])
        w = np.array([weight(r[1]) for r in rows])
        assert st.rms == before[st.signal][0]
        if st.system == "S":  # no weight at all: the value stays
            assert st.weighted_rms == before[st.signal][1]
            continue
        assert st.weighted_rms == pytest.approx(math.sqrt((w * x * x).sum() / w.sum()), rel=1e-10)
        # Low satellites weigh less: the weighted RMS falls below the plain one.
        assert st.weighted_rms < st.rms

    # A second call gives the same values.
    first = [(e.elevation, e.azimuth) for e in est[:1000]]
    assert res.compute_elevations(sp3, RECEIVER) == (computed, failed)
    assert [(e.elevation, e.azimuth) for e in res.estimates[:1000]] == first


def test_empty_results_are_left_alone(esbc, sp3):
    res = sm.MultipathAnalyzer(esbc, elevation_cutoff=50.0).analyze()
    assert res.compute_elevations(sp3, RECEIVER) == (0, 0)
    assert all(s.weighted_rms == 0.0 for s in res.statistics)


@pytest.fixture(scope="module")
def grg(gunzipped):
    """The reference day's orbit that lacks BeiDou and some GPS satellites."""
    return sm.read_sp3(str(gunzipped("sp3/GRG0MGXFIN_20201770000_01D_15M_ORB.SP3.gz")))


@pytest.fixture(scope="module")
def placed(esbc, grg):
    """Results of the reference day (mask 12.5 degrees) with elevations from `grg`."""
    res = sm.MultipathAnalyzer(esbc, elevation_cutoff=12.5).analyze()
    res.compute_elevations(grg, RECEIVER)
    return res


def key(e):
    known = math.isfinite(e.elevation)  # NaN never equals itself
    return (e.satellite, e.epoch, e.signal, e.mp_value, known and e.elevation, known and e.azimuth, e.snr)


@pytest.mark.parametrize("cutoff", [None, 30.0, -90.0], ids=["analyzer-mask", "30deg", "everything-known"])
def test_elevation_mask_recomputes_statistics(placed, cutoff):
    est = placed.estimates
    masked = placed.apply_elevation_mask() if cutoff is None else placed.apply_elevation_mask(cutoff)
    limit = 12.5 if cutoff is None else cutoff
    kept = [e for e in est if math.isfinite(e.elevation) and e.elevation >= limit]
    assert 0 < len(kept) < len(est) or limit < 0
    assert [key(e) for e in masked.estimates] == [key(e) for e in kept]
    assert masked.total_estimates() == len(kept)

    before = {s.signal: s for s in placed.statistics}
    assert [s.signal for s in masked.statistics] == list(before)
    by_label = {}
    for e in kept:
        by_label.setdefault(label(e), []).append(e)
    for st in masked.statistics:
        rows = by_label.get(st.signal, [])
        assert st.count == len(rows) and st.cycle_slips == before[st.signal].cycle_slips
        if not rows:
            assert (st.system, st.code, st.rms, st.weighted_rms, st.min, st.max) == ("", "", 0.0, 0.0, 0.0, 0.0)
            continue
        x = np.array([e.mp_value for e in rows])
        w = np.array([weight(e.elevation) for e in rows])
        assert (st.system, st.code) == (rows[0].system, rows[0].signal)
        assert (st.min, st.max) == (x.min(), x.max())
        assert [st.rms, st.mean, st.std_dev, st.weighted_rms] == pytest.approx(
            [math.sqrt((x * x).mean()), x.mean(), x.std(), math.sqrt((w * x * x).sum() / w.sum())], rel=1e-9, abs=1e-12)

    # Slips are kept; the original results are not changed.
    assert masked.cycle_slip_counts == placed.cycle_slip_counts
    assert [(s.satellite, s.epoch, s.signal) for s in masked.cycle_slips] == [
        (s.satellite, s.epoch, s.signal) for s in placed.cycle_slips]
    assert [key(e) for e in placed.estimates[::1000]] == [key(e) for e in est[::1000]]


@pytest.mark.parametrize("cutoff, count", [(None, "all"), (45.0, "all"), (45.5, 0)])
def test_elevation_mask_before_elevations_sees_the_placeholder(esbc, cutoff, count):
    res = sm.MultipathAnalyzer(esbc, systems=["E"], max_epochs=300).analyze()
    masked = res.apply_elevation_mask(cutoff)
    assert masked.total_estimates() == (res.total_estimates() if count == "all" else 0)
    assert [s.signal for s in masked.statistics] == [s.signal for s in res.statistics]
    if count == 0:
        assert all(s.count == 0 and s.rms == 0.0 for s in masked.statistics)
    with pytest.raises(ValueError, match="not NaN"):
        res.apply_elevation_mask(float("nan"))


def test_unplaced_estimates_are_unknown_and_weigh_nothing(placed, grg):
    # The orbit lacks BeiDou and some GPS satellites: their estimates no longer
    # pass for 45 degrees with full weight, and the mask drops them.
    est = placed.estimates
    unknown = [e for e in est if math.isnan(e.elevation)]
    assert {e.system for e in unknown} == {"C", "G"} and all(math.isnan(e.azimuth) for e in unknown)
    assert sum(e.system == "G" for e in unknown) > 1000
    for e in unknown[::503]:
        assert sm.compute_elevation(grg, RECEIVER, e.satellite, sm.Epoch.parse(e.epoch)) is None
    assert not any(math.isnan(e.elevation) for e in placed.apply_elevation_mask(-90.0).estimates)

    stats = {s.signal: s for s in placed.statistics}
    gps = [e for e in est if e.system == "G" and e.signal == "C1C"]
    x = np.array([e.mp_value for e in gps])
    w = np.array([weight(e.elevation) for e in gps])
    assert stats["GPSM1C"].weighted_rms == pytest.approx(math.sqrt((w * x * x).sum() / w.sum()), rel=1e-10)
    # Down-weighting the horizon brings the weighted RMS well below the plain one.
    assert stats["GPSM1C"].weighted_rms < 0.6 * stats["GPSM1C"].rms
    # A signal without any known elevation keeps the value it had.
    assert stats["BDSM2I"].weighted_rms == stats["BDSM2I"].rms


def test_a_second_orbit_keeps_what_the_first_placed(esbc, sp3, grg):
    res = sm.MultipathAnalyzer(esbc, systems=["C", "G"], max_epochs=480).analyze()
    res.compute_elevations(sp3, RECEIVER)
    first = [(e.system, e.elevation, e.azimuth) for e in res.estimates]
    assert all(math.isfinite(el) for _, el, _ in first)
    computed, failed = res.compute_elevations(grg, RECEIVER)  # no BeiDou in this one
    assert failed >= sum(s == "C" for s, _, _ in first) > 0
    assert [(e.system, e.elevation, e.azimuth) for e in res.estimates if e.system == "C"] == [
        f for f in first if f[0] == "C"]


def test_below_the_horizon_is_written_and_weighs_nothing(esbc, sp3):
    # Seen from a wrong position 90 degrees of longitude away, many of the
    # tracked satellites are below the horizon.
    res = sm.MultipathAnalyzer(esbc, systems=["G"], max_epochs=480).analyze()
    computed, failed = res.compute_elevations(sp3, sm.Ecef(-RECEIVER.y, RECEIVER.x, RECEIVER.z))
    el = np.array([e.elevation for e in res.estimates])
    assert failed > 0 and computed > 0 and (el <= 0).sum() == failed and (el > 0).sum() == computed
    assert res.apply_elevation_mask(0.0).total_estimates() == computed
