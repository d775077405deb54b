"""The station simulator: determinism, geometry, the physics of the written
observations (checked from the files themselves), injected slips and the
ground-reflection signal in the SNR. No extension module needed."""
import gzip
import math
import pathlib

import numpy as np
import pytest

from rinex_helpers import parse_v3
from skarvo_tools.simulate import (SPEED_OF_LIGHT, SimulationConfig, true_runs, carrier_frequency,
                                   geodetic_to_ecef, simulate_station)

SMALL = dict(duration_s=4 * 3600.0, gps=8, galileo=4, glonass=3)


@pytest.fixture(scope="module")
def sim():
    return simulate_station(seed=11, **SMALL)


@pytest.fixture(scope="module")
def clean():
    return simulate_station(seed=11, slips=False, **SMALL)


def read_rinex(path):
    """The written file read by its columns alone: the header lines and
    {(satellite, epoch index): {code: (value, lli)}}."""
    with (gzip.open if str(path).endswith(".gz") else open)(path, "rt", encoding="ascii") as f:
        header, _, _, obs = parse_v3(f.read().split("\n"))
    data = {}
    for (k, sat, code), (value, lli, _) in obs.items():
        data.setdefault((sat, k), {})[code] = (value, lli)
    return header, data


@pytest.fixture(scope="module")
def written(sim, tmp_path_factory):
    folder = tmp_path_factory.mktemp("sim")
    obs = sim.write_rinex(str(folder / (sim.rinex_name() + ".gz")))
    sp3 = sim.write_sp3(str(folder / sim.sp3_name()))
    return obs, sp3, read_rinex(obs)


def test_same_seed_same_bytes_other_seed_other_data(tmp_path):
    files = []
    for name, seed in (("a", 3), ("b", 3), ("c", 4)):
        s = simulate_station(seed=seed, duration_s=3600.0, gps=4, galileo=0, glonass=0)
        files.append((tmp_path / f"{name}.rnx.gz", tmp_path / f"{name}.sp3", s.rinex_text()))
        s.write_rinex(str(files[-1][0]))
        s.write_sp3(str(files[-1][1]))
    (a_obs, a_sp3, a_text), (b_obs, b_sp3, _), (c_obs, _, _) = files
    assert a_obs.read_bytes() == b_obs.read_bytes() != c_obs.read_bytes()
    assert a_sp3.read_bytes() == b_sp3.read_bytes()
    assert gzip.decompress(a_obs.read_bytes()).decode("ascii") == a_text


@pytest.mark.parametrize("system", "GER")
def test_orbits_are_circular_with_kepler_periods(sim, system):
    sat = next(s for s in sim.satellites if s[0] == system)
    r = np.linalg.norm(sim.position_at(sat, np.linspace(0, 86400, 97)), axis=1)
    assert np.ptp(r) < 2e-3 and 2.5e7 < r[0] < 3.0e7
    # Kepler's third law gives the period; in the Earth-fixed frame the orbit
    # repeats after it once the Earth's rotation over that period is undone.
    period = 2 * math.pi * math.sqrt(r[0] ** 3 / 3.986004418e14)
    p = sim.position_at(sat, np.array([0.0, period]))
    theta = 7.2921151467e-5 * period
    rot = np.array([[math.cos(theta), -math.sin(theta), 0], [math.sin(theta), math.cos(theta), 0], [0, 0, 1]])
    assert np.linalg.norm(rot @ p[1] - p[0]) < 1.0


def test_header_position_and_only_satellites_above_horizon(sim, written):
    header, data = written[2]
    line = next(l for l in header if l[60:].strip() == "APPROX POSITION XYZ")
    xyz = np.array([float(v) for v in line[:60].split()])
    assert np.allclose(xyz, geodetic_to_ecef(52.0, 5.0, 60.0), atol=1e-4)
    assert np.linalg.norm(xyz) == pytest.approx(6.3647e6, rel=1e-3)
    assert all(sim.tracks[sat].elevation_deg[k] > 0.0 for sat, k in data)
    visible = np.array([t.visible for t in sim.tracks.values()])
    assert (visible.sum(axis=1) < sim.t_s.size).any(), "some satellite must set during 4 h"
    assert visible.any(axis=0).all(), "every epoch has at least one satellite"
    assert visible.sum() == len(data)


@pytest.mark.parametrize("system, c1, c2", [("G", "C1C", "C2W"), ("E", "C1C", "C5Q"), ("R", "C1C", "C2P")])
def test_code_multipath_combination_recovers_injected_error(clean, tmp_path, system, c1, c2):
    """From the written file: P1 - (1+k)λ1L1 + kλ2L2 equals the injected code
    error of P1 plus a constant per pass (ionosphere, troposphere and clocks
    cancel); the remainder is phase noise only."""
    path = clean.write_rinex(str(tmp_path / "clean.rnx"))
    _, data = read_rinex(path)
    for sat in (s for s in clean.satellites if s[0] == system):
        track = clean.tracks[sat]
        f1 = carrier_frequency(system, int(c1[1]), track.fcn)
        f2 = carrier_frequency(system, int(c2[1]), track.fcn)
        lam1, lam2, alpha = SPEED_OF_LIGHT / f1, SPEED_OF_LIGHT / f2, (f1 / f2) ** 2
        k = 2.0 / (alpha - 1.0)
        pass_of = {i: lo for lo, hi in true_runs(track.visible) for i in range(lo, hi)}
        by_pass = {}
        for (s, i), obs in ((key, obs) for key, obs in data.items() if key[0] == sat):
            mp = obs[c1][0] - (1 + k) * lam1 * obs["L" + c1[1:]][0] + k * lam2 * obs["L" + c2[1:]][0]
            by_pass.setdefault(pass_of[i], []).append(mp - track.code_error[c1][i])
        for rest in by_pass.values():
            # F14.3 rounding of the phase (1 mm cycles) times (1 + 2k) plus phase noise.
            assert np.std(rest) < 0.03, (sat, np.std(rest))


@pytest.mark.parametrize("system, c1, c2", [("G", "C1C", "C2W"), ("E", "C1C", "C7Q")])
def test_ionosphere_delays_lower_frequency_and_advances_phase(clean, system, c1, c2):
    sat = next(s for s in clean.satellites if s[0] == system)
    t = clean.tracks[sat]
    f1 = carrier_frequency(system, int(c1[1]))
    f2 = carrier_frequency(system, int(c2[1]))
    lam1, lam2 = SPEED_OF_LIGHT / f1, SPEED_OF_LIGHT / f2
    code_gf = t.code[c2] - t.code[c1] - t.code_error[c2] + t.code_error[c1]
    phase_gf = lam1 * t.phase["L" + c1[1:]] - lam2 * t.phase["L" + c2[1:]]
    for lo, hi in true_runs(t.visible):
        assert (code_gf[lo:hi] > 0).all()  # the lower frequency is delayed more
        assert np.ptp(code_gf[lo:hi]) > 0.1  # and the delay changes with elevation
        # The phase is advanced by what the code is delayed: the sum stays
        # constant over a pass, up to phase noise.
        assert np.std(code_gf[lo:hi] - phase_gf[lo:hi]) < 0.005


def test_injected_slips_are_integer_steps_with_flags_where_stated(sim, clean, written):
    assert len(sim.slips) >= 4
    assert {s.lli for s in sim.slips} == {True, False}
    data = written[2][1]
    for slip in sim.slips:
        track, ref = sim.tracks[slip.satellite], clean.tracks[slip.satellite]
        for code, cycles in slip.cycles.items():
            diff = track.phase[code] - ref.phase[code]
            k = slip.epoch_index
            assert diff[k - 1] == pytest.approx(0.0, abs=1e-6)
            assert diff[k] == pytest.approx(cycles, abs=1e-6)
            assert data[(slip.satellite, k)][code][1] == (1 if slip.lli else None)
            assert data[(slip.satellite, k - 1)][code][1] is None
    flagged = {(sat, k) for (sat, k), obs in data.items() if any(v[1] == 1 for v in obs.values())}
    assert flagged == {(s.satellite, s.epoch_index) for s in sim.slips if s.lli}


def test_reflector_height_recoverable_from_written_snr(sim, written):
    """Classic ground-reflection retrieval on one low-elevation arc: the
    detrended SNR amplitude against sin(elevation) oscillates at 2h/λ."""
    data = written[2][1]
    h_true = sim.config.reflector_height_m
    lam = SPEED_OF_LIGHT / 1575.42e6
    found = []
    for sat in (s for s in sim.satellites if s[0] == "G"):
        track = sim.tracks[sat]
        idx = [k for k in range(sim.t_s.size) if track.visible[k] and 5 <= track.elevation_deg[k] <= 30]
        if len(idx) < 60:
            continue
        x = np.sin(np.radians(track.elevation_deg[idx]))
        y = np.array([10 ** (data[(sat, k)]["S1C"][0] / 20) for k in idx])
        y = y - np.polyval(np.polyfit(x, y, 3), x)
        heights = np.arange(0.5, 4.0, 0.005)
        power = [abs(np.sum(y * np.exp(-4j * np.pi * h * x / lam))) for h in heights]
        found.append(heights[int(np.argmax(power))])
    assert found
    assert np.median(found) == pytest.approx(h_true, abs=0.05)


def test_sp3_positions_and_layout(sim, written):
    lines = pathlib.Path(written[1]).read_text(encoding="ascii").split("\n")
    epochs = [l for l in lines if l.startswith("*")]
    assert lines[0].startswith("#cP") and len(lines[0]) >= 60 and int(lines[0][32:39]) == len(epochs)
    assert float(lines[1][24:38]) == 900.0 and lines[-2] == "EOF"
    # Covers the whole span with a margin on both sides.
    assert epochs[0].split()[1:6] == ["2025", "6", "14", "23", "45"]
    first_p = next(i for i, l in enumerate(lines) if l.startswith("P"))
    for line in lines[first_p:first_p + len(sim.satellites)]:
        assert len(line) == 60
        sat = line[1:4]
        xyz = np.array([float(line[4:18]), float(line[18:32]), float(line[32:46])]) * 1000
        assert np.allclose(xyz, sim.position_at(sat, -900.0)[0], atol=1e-3)
        assert abs(float(line[46:60])) < 900000


@pytest.mark.parametrize("settings, message", [
    (dict(interval_s=0.0), "interval_s must be positive"),
    (dict(duration_s=10.0), "duration_s must be at least one interval"),
    (dict(latitude_deg=91.0), "latitude_deg must lie in"), (dict(gps=-1), "gps must lie in"),
    (dict(glonass=30), "glonass is limited"), (dict(reflector_height_m=0.0), "reflector_height_m must be positive"),
    (dict(marker=""), "marker must be"), (dict(gps=0, galileo=0, glonass=0), "at least one satellite"),
])
def test_config_rejects_bad_settings(settings, message):
    with pytest.raises(ValueError, match=message):
        simulate_station(SimulationConfig(**settings))
