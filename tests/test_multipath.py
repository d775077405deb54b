"""Code multipath analysis on small observation files written by the tests:
settings and their errors, pairing, the MP combination against an independent
NumPy computation, arcs, slips, statistics and the result objects."""
import gc
import itertools
import math

import numpy as np
import pytest

import skarvo_mp as sm
from rinex_helpers import parse_v3, rinex3

C = 299792458.0
F = {("G", 1): 1575420000.0, ("G", 2): 1227600000.0, ("E", 1): 1575420000.0, ("E", 5): 1176450000.0,
     ("R", 1): 1602000000.0 + 1 * 562500.0, ("R", 2): 1246000000.0 + 1 * 437500.0}  # R05: channel 1


def read(text):
    return sm.read_rinex_obs_bytes(text.encode(), "synthetic.rnx")


def track(sys_letter, b1, b2, t, mp, code1, code2, ph1, ph2, snr=None, n1=1000.0, n2=-700.0, iono=None):
    """Observations of a dual-frequency track: range, ionosphere and code
    multipath `mp` on code1."""
    f1, f2 = F[(sys_letter, b1)], F[(sys_letter, b2)]
    alpha = f1 * f1 / (f2 * f2)
    rho = 2.2e7 + 700.0 * t
    i1 = 5.0 + 1e-4 * t if iono is None else iono
    obs = {code1: rho + i1 + mp, code2: rho + alpha * i1,
           ph1: (rho - i1) / (C / f1) + n1, ph2: (rho - alpha * i1) / (C / f2) + n2}
    if snr:
        obs[snr] = 45.0
    return obs


TYPES = {"G": ["C1C", "C2W", "L1C", "L2W", "S1C"], "E": ["C1C", "C5Q", "L1C", "L5Q"],
         "R": ["C1C", "C2P", "L1C", "L2P"]}


def day_text(n=240, lli_at=None, l2_jump_at=None):
    epochs = []
    for i in range(n):
        t = 30.0 * i
        g01 = track("G", 1, 2, t, 0.3 * math.sin(i * 0.1), "C1C", "C2W", "L1C", "L2W", snr="S1C")
        g02 = track("G", 1, 2, t, 0.2 * math.cos(i * 0.07), "C1C", "C2W", "L1C", "L2W")
        if l2_jump_at is not None and i >= l2_jump_at:
            g01["L2W"] += 2.0
        if lli_at is not None and i == lli_at:
            g02["L1C"] = (g02["L1C"], 1)
        e11 = track("E", 1, 5, t, 0.1 * math.sin(i * 0.2), "C1C", "C5Q", "L1C", "L5Q")
        r05 = track("R", 1, 2, t, 0.25 * math.sin(i * 0.05), "C1C", "C2P", "L1C", "L2P")
        epochs.append((t, {"G02": g02, "R05": r05, "E11": e11, "G01": g01}))
    return rinex3(epochs, TYPES)


@pytest.fixture(scope="module")
def day():
    return read(day_text(lli_at=100))


def raw_mp(text, sat, code, ph1, ph2):
    """The MP combination of the values written in `text`, and their times."""
    obs = parse_v3(text.splitlines(), {sat})[3]
    f1, f2 = F[(sat[0], int(ph1[1]))], F[(sat[0], int(ph2[1]))]
    k = 2.0 / (f1 * f1 / (f2 * f2) - 1.0)
    epochs = sorted(e for e, s, c in obs if c == code)
    p, l1, l2 = (np.array([obs[(e, sat, c)][0] for e in epochs]) for c in (code, ph1, ph2))
    return 30.0 * np.array(epochs), p - (1 + k) * (C / f1) * l1 + k * (C / f2) * l2


def series(results, sat, signal):
    est = [e for e in results.estimates if e.satellite == sat and e.signal == signal]
    return np.array([e.mp_value for e in est]), [e.epoch for e in est]


# ---- constructor ---------------------------------------------------------------

@pytest.mark.parametrize("kwargs, message", [
    (dict(include_codes=["C1"]), "include_codes entry 'C1' must be a 3-char code ('C1C') or system+code ('GC1C')"),
    (dict(include_codes=["C1C", "GC1CX"]),
     "include_codes entry 'GC1CX' must be a 3-char code ('C1C') or system+code ('GC1C')"),
    (dict(exclude_codes=["XC1C"]), "exclude_codes entry 'XC1C' has an unknown system prefix"),
    (dict(exclude_codes=["XQ1C"]), "exclude_codes entry 'XQ1C' is not a valid signal code"),
    (dict(exclude_codes=["\u00e91C"]), "exclude_codes entry '\u00e91C' is not a valid signal code"),
    (dict(include_codes=["Q1C"], exclude_codes=["C1"]), "include_codes entry 'Q1C' is not a valid signal code"),
], ids=["short", "second-entry", "prefix", "code-before-prefix", "multibyte", "include-first"])
def test_constructor_rejects_bad_code_lists(day, kwargs, message):
    with pytest.raises(ValueError) as info:
        sm.MultipathAnalyzer(day, **kwargs)
    assert str(info.value) == message


def test_constructor_signature():
    assert sm.MultipathAnalyzer.__text_signature__ == (
        "(obs_data, elevation_cutoff=10.0, systems=None, bias_window_seconds=1500.0, min_arc_seconds=300.0, "
        "arc_gap_factor=5.0, include_codes=None, exclude_codes=None, max_epochs=None, detect_cycle_slips=True, "
        "ion_delta_base=0.10, ion_delta_rate=0.003, cp_delta_base=5.0, cp_delta_rate=0.10)")
    assert sm.MultipathAnalyzer.analyze.__text_signature__ == "($self)"


# ---- pairing, MP values and arcs ------------------------------------------------

def test_labels_estimate_order_and_statistics_against_numpy(day):
    res = sm.MultipathAnalyzer(day).analyze()
    assert [s.signal for s in res.statistics] == ["GALM1C", "GALM5Q", "GLOM1C", "GLOM2P", "GPSM1C", "GPSM2W"]
    runs = [key for key, _ in itertools.groupby((e.system, e.signal, e.satellite) for e in res.estimates)]
    assert runs == [("E", "C1C", "E11"), ("E", "C5Q", "E11"), ("R", "C1C", "R05"), ("R", "C2P", "R05"),
                    ("G", "C1C", "G01"), ("G", "C1C", "G02"), ("G", "C2W", "G01"), ("G", "C2W", "G02")]
    assert res.total_estimates() == len(res.estimates)
    assert res.total_cycle_slips() == len(res.cycle_slips) == 1
    assert repr(res) == f"AnalysisResults(estimates={len(res.estimates)}, signals=6, cycle_slips=1)"
    short = {"G": "GPS", "E": "GAL", "R": "GLO"}
    for st in res.statistics:
        x = np.array([e.mp_value for e in res.estimates if short[e.system] + "M" + e.signal[1:] == st.signal])
        assert st.count == len(x)
        assert st.mean == pytest.approx(x.mean(), abs=1e-12)
        assert st.std_dev == pytest.approx(x.std(), rel=1e-12)
        assert st.rms == pytest.approx(np.sqrt((x * x).mean()), rel=1e-12)
        assert (st.min, st.max) == (x.min(), x.max())
        assert st.weighted_rms == st.rms
    gps = res.statistics[4]
    assert (gps.signal, gps.system, gps.code) == ("GPSM1C", "G", "C1C")
    assert repr(gps) == f"MultipathStats(signal='GPSM1C', rms={gps.rms:.4f}, count={gps.count})"


@pytest.mark.parametrize("sat, code, ph1, ph2, window", [
    ("G01", "C2W", "L2W", "L1C", None), ("E11", "C5Q", "L5Q", "L1C", None), ("R05", "C1C", "L1C", "L2P", None),
    ("G02", "C1C", "L1C", "L2W", 1500.0),
])
def test_bias_removal_matches_independent_computation(sat, code, ph1, ph2, window):
    # Without a window each 2-hour arc loses its mean (GPS C1C: checked on a
    # real file); with one, the mean of the centred window.
    text = day_text()
    res = sm.MultipathAnalyzer(read(text), bias_window_seconds=window).analyze()
    t, mp = raw_mp(text, sat, code, ph1, ph2)
    expected = mp - (mp.mean() if window is None else
                     np.array([mp[np.abs(t - ti) <= window / 2].mean() for ti in t]))
    got, _ = series(res, sat, code)
    assert len(got) == len(mp) == 240
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-7)
    if window is None:
        assert abs(got.sum()) < 1e-8


def test_estimate_attributes_and_copies(day):
    res = sm.MultipathAnalyzer(day).analyze()
    first = res.estimates[0]
    assert (first.satellite, first.system, first.signal, first.epoch) == ("E11", "E", "C1C", "2020-06-25T00:00:00.000Z")
    assert (first.elevation, first.azimuth, first.snr) == (45.0, 0.0, None)
    # The S-code of the code's band only: S1C for C1C, none for C2W.
    assert {e.signal: e.snr for e in res.estimates if e.satellite == "G01"} == {"C1C": 45.0, "C2W": None}
    # Elevation and azimuth can be set; the list hands out copies.
    first.elevation, first.azimuth = 10, 123.5
    assert (first.elevation, first.azimuth, res.estimates[0].elevation) == (10.0, 123.5, 45.0)
    assert repr(first).startswith("MultipathEstimate(satellite='E11', signal='C1C', epoch='2020-06-25T00:00:00.000Z'")


def test_cutoff_above_placeholder_keeps_empty_statistics(day):
    res = sm.MultipathAnalyzer(day, elevation_cutoff=50.0).analyze()
    assert res.estimates == [] and len(res.statistics) == 6
    for st in res.statistics:
        assert (st.count, st.system, st.code, st.rms, st.weighted_rms) == (0, "", "", 0.0, 0.0)


G02_LLI = [("G02", "lli")]


@pytest.mark.parametrize("kwargs, labels, slips", [
    (dict(systems=["gps", "E"]), ["GALM1C", "GALM5Q", "GPSM1C", "GPSM2W"], G02_LLI),
    (dict(systems=["GLONASS"]), ["GPSM1C", "GPSM2W"], G02_LLI), (dict(systems=["X", ""]), [], []),
    (dict(systems=["R", "E"]), ["GALM1C", "GALM5Q", "GLOM1C", "GLOM2P"], []),
    (dict(include_codes=["gc1c"]), ["GPSM1C"], G02_LLI),
    (dict(include_codes=[" c1c "]), ["GALM1C", "GLOM1C", "GPSM1C"], G02_LLI),
    (dict(include_codes=["C1C"], exclude_codes=["C1C"]), [], G02_LLI),
    (dict(exclude_codes=["RC2P", "C5Q"]), ["GALM1C", "GLOM1C", "GPSM1C", "GPSM2W"], G02_LLI),
    # Entries naming phases select the phases whose slips are reported.
    (dict(exclude_codes=["GL1C"]), ["GALM1C", "GALM5Q", "GLOM1C", "GLOM2P", "GPSM1C", "GPSM2W"], []),
    (dict(include_codes=["C1C", "L2W"]), ["GALM1C", "GLOM1C", "GPSM1C"], []),
    (dict(include_codes=["C1C", "L1C"]), ["GALM1C", "GLOM1C", "GPSM1C"], G02_LLI),
])
def test_selection(day, kwargs, labels, slips):
    res = sm.MultipathAnalyzer(day, **kwargs).analyze()
    assert [s.signal for s in res.statistics] == labels
    # Slips are those of the selected systems (and phases) only.
    assert [(s.satellite, s.method) for s in res.cycle_slips] == slips
    assert res.total_cycle_slips() == len(slips) == sum(res.cycle_slip_counts.values())
    if kwargs == dict(exclude_codes=["GL1C"]):  # an unreported phase still breaks the arcs
        default = sm.MultipathAnalyzer(day).analyze()
        assert [e.mp_value for e in res.estimates] == [e.mp_value for e in default.estimates]


@pytest.mark.parametrize("max_epochs, count, second", [(80, 80, "01:30"), (100, 80, "01:30"), (0, 240, "00:30"),
                                                       (5000, 240, "00:30")])
def test_max_epochs_thins_evenly(day, max_epochs, count, second):
    res = sm.MultipathAnalyzer(day, max_epochs=max_epochs).analyze()
    _, epochs = series(res, "G01", "C1C")
    assert len(epochs) == count
    assert epochs[:2] == ["2020-06-25T00:00:00.000Z", f"2020-06-25T00:{second}.000Z"]


# ---- cycle slips --------------------------------------------------------------

def test_lli_slip_cuts_both_signals_of_the_satellite(day):
    res = sm.MultipathAnalyzer(day, bias_window_seconds=None).analyze()
    (slip,) = res.cycle_slips
    assert (slip.satellite, slip.system, slip.method, slip.signal) == ("G02", "G", "lli", "L1C")
    assert (slip.epoch, slip.magnitude, slip.threshold) == ("2020-06-25T00:50:00.000Z", 1.0, 0.0)
    assert res.cycle_slip_counts == {"GPSL1C": 1}
    by_label = {s.signal: s.cycle_slips for s in res.statistics}
    assert by_label == {"GALM1C": 0, "GALM5Q": 0, "GLOM1C": 0, "GLOM2P": 0, "GPSM1C": 1, "GPSM2W": 1}
    for code in ("C1C", "C2W"):  # L1C is phase 1 of C1C and phase 2 of C2W
        got, _ = series(res, "G02", code)
        assert len(got) == 240
        assert abs(got[:100].sum()) < 1e-8 and abs(got[100:].sum()) < 1e-8
        assert abs(got[:101].sum()) > 1e-6
    # Without detection: no slips and one arc.
    res = sm.MultipathAnalyzer(day, detect_cycle_slips=False, bias_window_seconds=None).analyze()
    assert res.cycle_slips == [] and res.cycle_slip_counts == {}
    got, _ = series(res, "G02", "C1C")
    assert abs(got.sum()) < 1e-8 and abs(got[:100].sum()) > 1e-6


def test_geometry_free_slip():
    res = sm.MultipathAnalyzer(read(day_text(l2_jump_at=50))).analyze()
    slips = [(s.satellite, s.method, s.signal, s.epoch) for s in res.cycle_slips]
    assert slips == [("G01", "gf", "L1C", "2020-06-25T00:25:00.000Z"), ("G01", "gf", "L2W", "2020-06-25T00:25:00.000Z")]
    f1, f2 = F[("G", 1)], F[("G", 2)]
    alpha = f1 * f1 / (f2 * f2)
    # Two cycles on L2 against 30 s of ionospheric drift (1e-4 m/s on L1).
    change = 2.0 * C / f2 / (alpha - 1) - 30 * 1e-4
    l1, l2 = res.cycle_slips
    assert l1.magnitude == pytest.approx(change, abs=1e-3)  # values written with 3 decimals
    assert l2.magnitude == pytest.approx(alpha * change, abs=1e-3)
    assert l1.threshold == pytest.approx(0.10 + 0.003 * 30)
    assert res.cycle_slip_counts == {"GPSL1C": 2, "GPSL2W": 2}


# ---- independence and unusable input ----------------------------------------

def test_results_outlive_analyzer_and_data():
    obs = read(day_text())
    analyzer = sm.MultipathAnalyzer(obs)
    del obs
    gc.collect()
    res = analyzer.analyze()
    again = analyzer.analyze()
    del analyzer
    gc.collect()
    assert [e.mp_value for e in res.estimates] == [e.mp_value for e in again.estimates]
    assert res is not again


def steady(sats, types=None, n=20):
    """`n` epochs repeating the same values."""
    return rinex3([(30.0 * i, sats) for i in range(n)], types or {s[0]: list(v) for s, v in sats.items()})


@pytest.mark.parametrize("text, labels", [
    (steady({"G01": {"C1C": 2.2e7, "L1C": 1.1e8}}), []),  # one frequency
    (steady({"G01": {"C1C": 2.2e7, "C2W": 2.2e7}}), []),  # no phases
    (steady({"M01": {"C1C": 2.2e7, "C2W": 2.2e7, "L1C": 1.1e8, "L2W": 9e7},
             "G01": {"C4X": 2.2e7, "L4X": 1e8, "C1C": 2.2e7, "L1C": 1.1e8}}), []),  # mixed letter, band 4
    # Values of any finite size only add a constant; values that are not finite form no point.
    (steady({"G01": {"C1C": 2.2e7, "C2W": 2.2e7, "L1C": math.inf, "L2W": -math.inf}}, TYPES), []),
    (rinex3([], TYPES), []),  # header only
    # A single epoch forms MP points (so labels appear) but no arc.
    (rinex3([(0.0, {"G01": track("G", 1, 2, 0.0, 0.0, "C1C", "C2W", "L1C", "L2W")})], TYPES, interval=None),
     ["GPSM1C", "GPSM2W"]),
    (day_text(n=9), ["GPSM1C", "GPSM2W"]),  # points, but every arc too short
], ids=["one-frequency", "no-phases", "mixed-band4", "not-finite", "header-only", "one-epoch", "short-arcs"])
def test_unusable_files_give_empty_results(text, labels):
    res = sm.MultipathAnalyzer(read(text), systems=["G", "M"]).analyze()
    assert res.estimates == []
    assert [(s.signal, s.count) for s in res.statistics] == [(label, 0) for label in labels]

