"""Multipath analysis of real receiver files: magnitudes against what geodetic
stations show, an independent computation from the file text, loss-of-lock
counts, and files with quirks that must give results without failing."""
import numpy as np
import pytest

import skarvo_mp as sm


pytestmark = pytest.mark.realdata

ESBC = "rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz"
C = 299792458.0


@pytest.fixture(scope="module")
def esbc_text(gunzipped):
    return gunzipped(ESBC).read_text()


@pytest.fixture(scope="module")
def esbc():
    from conftest import data_path  # the `data` fixture is per test

    return sm.read_rinex_obs(str(data_path(ESBC)))


def scan(text, sat=None, codes=()):
    """Observation types per system, the number of phase fields with loss of
    lock (LLI bit 0 or 1), and the values of `codes` of `sat` per epoch."""
    types, lli, values, epoch = {}, 0, {}, None
    lines = iter(text.splitlines())
    for line in lines:
        label = line[60:].strip()
        if label == "SYS / # / OBS TYPES":
            if line[0] != " ":
                current = types.setdefault(line[0], [])
            current.extend(line[7:58].split())
        if label == "END OF HEADER":
            break
    for line in lines:
        if line.startswith(">"):
            epoch = line[2:29]
            continue
        codes_here = types.get(line[0], [])
        for k, code in enumerate(codes_here):
            pos = 3 + 16 * k
            if code[0] == "L" and len(line) > pos + 14 and line[pos + 14].isdigit() and int(line[pos + 14]) & 3:
                lli += 1
        if line[:3] == sat:
            row = {}
            for code in codes:
                k = codes_here.index(code)
                field = line[3 + 16 * k: 3 + 16 * k + 14].strip()
                if field:
                    row[code] = float(field)
            values[epoch] = row
    return types, lli, values


@pytest.mark.parametrize("label", ["GPSM1C", "GPSM2W", "GALM1C", "GALM5Q"])
def test_geodetic_station_rms(esbc, label):
    res = sm.MultipathAnalyzer(esbc).analyze()
    st = {s.signal: s for s in res.statistics}[label]
    assert 0.1 < st.rms < 0.8
    assert st.count > 10000 and abs(st.mean) < 0.01
    assert st.weighted_rms == st.rms


def test_independent_mp_of_one_satellite(esbc, esbc_text):
    _, _, rows = scan(esbc_text, "G05", ("C1C", "L1C", "L2W"))
    res = sm.MultipathAnalyzer(esbc, bias_window_seconds=None, include_codes=["GC1C"]).analyze()
    est = [e for e in res.estimates if e.satellite == "G05"]
    assert len(est) > 500
    f1, f2 = 1575420000.0, 1227600000.0
    alpha = f1 * f1 / (f2 * f2)
    k = 2.0 / (alpha - 1.0)

    def raw(epoch_iso):
        d, t = epoch_iso.split("T")
        key = f"{d[:4]} {d[5:7]} {d[8:10]} {t[:2]} {t[3:5]} {t[6:8]}.0000000"
        r = rows[key]
        return r["C1C"] - (1 + k) * (C / f1) * r["L1C"] + k * (C / f2) * r["L2W"]

    mp = np.array([raw(e.epoch) for e in est])
    got = np.array([e.mp_value for e in est])
    # Within an arc the difference is that arc's mean, a constant: split
    # where it changes and check each arc against its own mean.
    offset = mp - got
    cuts = np.flatnonzero(np.abs(np.diff(offset)) > 1e-4) + 1
    arcs = np.split(np.arange(len(est)), cuts)
    assert len(arcs) >= 2
    for arc in arcs:
        assert len(arc) >= 10
        np.testing.assert_allclose(got[arc], mp[arc] - mp[arc].mean(), rtol=0, atol=1e-6)
        assert abs(got[arc].sum()) < 1e-6


def test_lli_slips_equal_flagged_phase_fields(esbc, esbc_text):
    _, flagged, _ = scan(esbc_text)
    res = sm.MultipathAnalyzer(esbc).analyze()
    lli = [s for s in res.cycle_slips if s.method == "lli"]
    assert len(lli) == flagged == 490
    assert all(s.magnitude == 1.0 and s.threshold == 0.0 and s.signal.startswith("L") for s in lli)


def test_slip_list_order_and_counts(esbc):
    res = sm.MultipathAnalyzer(esbc).analyze()
    slips = res.cycle_slips
    keys = [(s.epoch, s.satellite, s.signal) for s in slips]
    assert keys == sorted(keys)
    short = {"G": "GPS", "R": "GLO", "E": "GAL", "C": "BDS", "J": "QZS", "S": "SBS"}
    per_phase = {}
    for s in slips:
        key = short[s.system] + s.signal
        per_phase[key] = per_phase.get(key, 0) + 1
    # Every slip counts for its first phase; gf slips also for their partner.
    counts = res.cycle_slip_counts
    assert all(counts[k] >= n for k, n in per_phase.items())
    assert sum(counts.values()) == len(slips) + sum(s.method == "gf" for s in slips)


@pytest.mark.parametrize("path", [
    "rinex3/ACOR00ESP_R_20213550000_01D_30S_MO.rnx",
    "rinex3/CEDA00USA_R_20182100000_23H_15S_MO.rnx.gz",
    "rinex3/pdel0010.21o",
    "rinex3/GEOP092I.24o.gz",
    "rinex4/ACRG00GHA_R_20240010000_01H_30S_MO.rnx",
    "rinex2/delf0010.21o",
    "rinex2/07590920.05o",
    "odd/pixel6.23o",
    "odd/z_tracking.rnx",
    "odd/VLNS0010.22O",
    "odd/14601736.18o",
    "odd/rinex2onesat.10o",
])
def test_real_files_analyse_without_failing(data, path):
    obs = sm.read_rinex_obs(str(data(path)))
    res = sm.MultipathAnalyzer(obs, systems=["G", "R", "E", "C", "J", "S", "I", "M"]).analyze()
    short = {"G": "GPS", "R": "GLO", "E": "GAL", "C": "BDS", "J": "QZS", "S": "SBS", "I": "IRN"}
    labels = [s.signal for s in res.statistics]
    assert labels == sorted(labels)
    counts = {}
    for e in res.estimates:
        key = short[e.system] + "M" + e.signal[1:]
        counts[key] = counts.get(key, 0) + 1
        assert np.isfinite(e.mp_value)
    assert {s.signal: s.count for s in res.statistics if s.count} == counts
    assert res.total_estimates() == len(res.estimates)

