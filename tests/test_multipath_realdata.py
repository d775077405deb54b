"""Multipath analysis of real receiver files: magnitudes against what geodetic
stations show, an independent computation from the file text, loss-of-lock
counts, and files with quirks that must give results (and reports) without
failing."""
import collections
import json

import numpy as np
import pytest

import skarvo_mp as sm
from conftest import run_cli
from rinex_helpers import SYSTEM_LABELS, label, parse_v3


pytestmark = pytest.mark.realdata

ESBC = "rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz"
C = 299792458.0


@pytest.fixture(scope="module")
def esbc_g05(gunzipped):
    """{epoch text: {code: value}} of G05, read from the file's columns."""
    _, _, epochs, obs = parse_v3(gunzipped(ESBC).read_text().splitlines(), {"G05"})
    rows = {}
    for (k, _, code), (value, _, _) in obs.items():
        y, mo, d, h, mi, sec = epochs[k][2:29].split()
        rows.setdefault(f"{y}-{mo}-{d}T{h}:{mi}:{int(float(sec)):02d}.000Z", {})[code] = value
    return rows


@pytest.fixture(scope="module")
def esbc():
    from conftest import data_path  # the `data` fixture is per test

    return sm.read_rinex_obs(str(data_path(ESBC)))


@pytest.fixture(scope="module")
def esbc_results(esbc):
    return sm.MultipathAnalyzer(esbc).analyze()


@pytest.mark.parametrize("label", ["GPSM1C", "GPSM2W", "GALM1C", "GALM5Q"])
def test_geodetic_station_rms(esbc_results, label):
    st = {s.signal: s for s in esbc_results.statistics}[label]
    assert 0.1 < st.rms < 0.8
    assert st.count > 10000 and abs(st.mean) < 0.01
    assert st.weighted_rms == st.rms


def test_independent_mp_of_one_satellite(esbc, esbc_g05):
    res = sm.MultipathAnalyzer(esbc, bias_window_seconds=None, include_codes=["GC1C"]).analyze()
    est = [e for e in res.estimates if e.satellite == "G05"]
    assert len(est) > 500
    f1, f2 = 1575420000.0, 1227600000.0
    alpha = f1 * f1 / (f2 * f2)
    k = 2.0 / (alpha - 1.0)

    rows = [esbc_g05[e.epoch] for e in est]
    mp = np.array([r["C1C"] - (1 + k) * (C / f1) * r["L1C"] + k * (C / f2) * r["L2W"] for r in rows])
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


def test_slips_order_counts_and_loss_of_lock(esbc_results):
    slips = esbc_results.cycle_slips
    keys = [(s.epoch, s.satellite, s.signal) for s in slips]
    assert keys == sorted(keys)
    # Every slip counts for its first phase; gf slips also for their partner.
    counts = esbc_results.cycle_slip_counts
    assert all(counts[k] >= n for k, n in collections.Counter(SYSTEM_LABELS[s.system] + s.signal
                                                             for s in slips).items())
    assert sum(counts.values()) == len(slips) + sum(s.method == "gf" for s in slips)
    lli = [s for s in slips if s.method == "lli"]
    # The data's MANIFEST counts 490 fields with LLI bit 0, all of them phases.
    assert len(lli) == 490
    assert all(s.magnitude == 1.0 and s.threshold == 0.0 and s.signal.startswith("L") for s in lli)


@pytest.fixture(scope="module")
def esbc_every_system(esbc):
    return sm.MultipathAnalyzer(esbc, systems=list("GRECJS")).analyze()


@pytest.mark.parametrize("systems", [["G"], ["S", "C"]])
def test_slips_cover_the_selected_systems(esbc, esbc_every_system, systems):
    every, res = esbc_every_system, sm.MultipathAnalyzer(esbc, systems=systems).analyze()
    names = {SYSTEM_LABELS[s] for s in systems}
    want = [(s.satellite, s.epoch, s.method, s.signal) for s in every.cycle_slips if s.system in systems]
    assert want and [(s.satellite, s.epoch, s.method, s.signal) for s in res.cycle_slips] == want
    assert res.total_cycle_slips() == len(want) < every.total_cycle_slips()
    assert res.cycle_slip_counts == {k: v for k, v in every.cycle_slip_counts.items() if k[:3] in names}
    # Detection is per satellite: the selected systems' results are those of the full run.
    picked = [(s.signal, s.count, s.rms, s.cycle_slips) for s in every.statistics if s.signal[:3] in names]
    assert [(s.signal, s.count, s.rms, s.cycle_slips) for s in res.statistics] == picked


@pytest.mark.parametrize("path", [
    "rinex3/ACOR00ESP_R_20213550000_01D_30S_MO.rnx", "rinex3/CEDA00USA_R_20182100000_23H_15S_MO.rnx.gz",
    "rinex3/pdel0010.21o", "rinex3/GEOP092I.24o.gz", "rinex4/ACRG00GHA_R_20240010000_01H_30S_MO.rnx",
    "rinex2/delf0010.21o", "rinex2/07590920.05o", "odd/pixel6.23o", "odd/z_tracking.rnx", "odd/VLNS0010.22O",
    "odd/14601736.18o", "odd/rinex2onesat.10o",
])
def test_real_files_analyse_and_report(data, path):
    """Every quirk of the real files gives results, and the command's report
    on the file shows the same numbers."""
    obs = sm.read_rinex_obs(str(data(path)))
    res = sm.MultipathAnalyzer(obs, systems=list("GRECJSI")).analyze()
    labels = [s.signal for s in res.statistics]
    assert labels == sorted(labels)
    assert all(np.isfinite(e.mp_value) for e in res.estimates)
    assert {s.signal: s.count for s in res.statistics if s.count} == collections.Counter(map(label, res.estimates))
    assert res.total_estimates() == len(res.estimates)

    rc, out, err = run_cli("report", data(path), "--json", "--no-plots", "--systems", "G,R,E,C,J,S,I")
    assert rc == 0, err
    doc = json.loads(out)
    assert (doc["file"]["epochs"], doc["file"]["satellites"]) == (obs.num_epochs, obs.num_satellites)
    assert [(r["signal"], r["estimates"]) for r in doc["multipath"]] == [(s.signal, s.count) for s in res.statistics]
