"""End to end against a known truth: simulated station days read, analysed
and given orbits by skarvo_mp, compared with what the simulator injected."""
import math

import numpy as np
import pytest

import skarvo_mp as mp
from rinex_helpers import label
from skarvo_tools.simulate import simulate_station

SPAN = dict(duration_s=6 * 3600.0, gps=10, galileo=8, glonass=3)


@pytest.fixture(scope="module")
def slip_day(tmp_path_factory):
    return _written(simulate_station(seed=5, **SPAN), tmp_path_factory.mktemp("slipday"))


@pytest.fixture(scope="module")
def clean_day(tmp_path_factory):
    return _written(simulate_station(seed=6, slips=False, **SPAN), tmp_path_factory.mktemp("cleanday"))


def _written(sim, folder):
    gz = sim.write_rinex(str(folder / (sim.rinex_name() + ".gz")))
    return {"sim": sim, "gz": gz, "sp3": sim.write_sp3(str(folder / sim.sp3_name())),
            "results": mp.MultipathAnalyzer(mp.read_rinex_obs(gz)).analyze()}


def _epoch_index(sim, iso):
    h, m, s = int(iso[11:13]), int(iso[14:16]), float(iso[17:23])
    days = int(iso[8:10]) - sim.start.day
    return int(round((days * 86400 + h * 3600 + m * 60 + s - sim.start.hour * 3600) / sim.config.interval_s))


LABELS = ["GALM1C", "GALM5Q", "GALM7Q", "GLOM1C", "GLOM2P", "GPSM1C", "GPSM2W", "GPSM5Q"]


@pytest.fixture(scope="module")
def truth_rms(slip_day):
    """Per label: RMS of the injected code error over the estimates' own samples,
    and the module's RMS."""
    results = slip_day["results"]
    sim = slip_day["sim"]
    sums = {}
    for e in results.estimates:
        err = sim.tracks[e.satellite].code_error[e.signal][_epoch_index(sim, e.epoch)]
        acc = sums.setdefault(label(e), [0.0, 0])
        acc[0] += err * err
        acc[1] += 1
    stats = {s.signal: s for s in results.statistics}
    assert sorted(sums) == list(stats) == sorted(sim.signal_models()) == LABELS  # every signal is analysed
    return {k: (math.sqrt(v[0] / v[1]), stats[k].rms, stats[k].count) for k, v in sums.items()}


@pytest.mark.parametrize("label", LABELS)
def test_multipath_rms_recovers_injected_code_error(truth_rms, label):
    injected, measured, count = truth_rms[label]
    assert count > 500
    # The moving-mean bias removal takes a few per cent of a multipath with a
    # 45-s correlation time; more than 10 % would mean a wrong combination,
    # wrong wavelengths or lost arcs.
    assert measured == pytest.approx(injected, rel=0.10)


def test_injected_slips_detected_at_their_epochs_and_nowhere_else(slip_day):
    results, sim = slip_day["results"], slip_day["sim"]
    assert sim.slips
    found = {}
    for s in results.cycle_slips:
        found.setdefault((s.satellite, s.epoch, s.method), set()).add(s.signal)
    for slip in sim.slips:
        expected = sim.expected_detections(slip)
        assert any(expected.values())
        for method in (m for m, due in expected.items() if due):
            assert found.get((slip.satellite, slip.epoch_iso, method)), f"{method} missed {slip}"
        if slip.lli:
            assert found[(slip.satellite, slip.epoch_iso, "lli")] == set(slip.cycles)
    injected = {(s.satellite, s.epoch_iso) for s in sim.slips}
    assert [s for s in results.cycle_slips if s.method != "lli" and (s.satellite, s.epoch) not in injected] == []


def test_clean_day_no_slip_and_elevations_from_simulated_orbits(clean_day):
    results, sim = clean_day["results"], clean_day["sim"]
    assert results.total_estimates() > 10000
    assert results.cycle_slips == [] and all(s.cycle_slips == 0 for s in results.statistics)
    computed, failed = results.compute_elevations(mp.read_sp3(clean_day["sp3"]), mp.Ecef(*sim.receiver_ecef))
    assert (computed, failed) == (results.total_estimates(), 0)
    d_el, d_az = [], []
    for e in results.estimates:
        k = _epoch_index(sim, e.epoch)
        track = sim.tracks[e.satellite]
        d_el.append(abs(e.elevation - track.elevation_deg[k]))
        da = abs(e.azimuth - track.azimuth_deg[k]) % 360.0
        d_az.append(min(da, 360.0 - da))
    assert max(d_el) < 0.01 and max(d_az) < 0.01


def test_band_power_peaks_in_band_of_predicted_reflection_period(slip_day):
    """For satellites whose predicted period at low elevation stays inside one
    band, the band power (averaged over the low-elevation bins) peaks in that
    band."""
    sim = slip_day["sim"]
    obs = mp.read_rinex_obs(slip_day["gz"])
    raw = mp.analyze_snr_wavelets(obs)
    bands = [tuple(b) for b in raw["bands"]]
    assert raw["interval"] == 30.0
    start = (sim.start - type(sim.start)(1970, 1, 1)).total_seconds()
    checked = 0
    for sat, bp in raw["band_power"].items():
        track = sim.tracks[sat]
        ok = np.isfinite(track.elevation_deg)
        low = ok & (track.elevation_deg >= 5) & (track.elevation_deg <= 25)
        if not bp["t"] or low.sum() < 40:
            continue
        period = sim.predicted_snr_period_s(sat)[low]
        lo, hi = np.percentile(period, [10, 90])
        home = [b for b in bands if b[0] <= lo and hi < b[1]]
        if not home:
            continue  # the predicted period crosses a band edge
        t = np.asarray(bp["t"]) + raw["residuals"][sat]["t0"] - start
        el = np.interp(t, sim.t_s[ok], track.elevation_deg[ok])
        sel = (el >= 5) & (el <= 25)
        if not sel.any():
            continue
        power = np.asarray(bp["power"])[:, sel].mean(axis=1)
        assert bands[int(np.argmax(power))] == home[0], sat
        checked += 1
    assert checked >= 3
