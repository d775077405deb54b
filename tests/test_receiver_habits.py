"""What real receivers write, read the way they mean it: 0.000 for a signal
that is listed but not tracked, BeiDou B1I on band 1, carrier phases that
start near zero instead of near the pseudorange, version 2 types of bands 6
to 8, and the half-cycle flag on every phase."""
import math
from decimal import Decimal

import numpy as np
import pytest

import skarvo_mp as sm
from rinex_helpers import rinex2, rinex3, stored_observations

C = 299792458.0


def read(text, name="habit.rnx"):
    return sm.read_rinex_obs_bytes(text.encode(), name)


def dual_track(f1, f2, t, mp, names, iono=5.0, n1=1000.0, n2=-700.0):
    """Code and phase of two carriers (`names`: code1, code2, phase1, phase2)
    with range, ionosphere (`iono` metres at 1575.42 MHz) and code multipath
    `mp` on code1 only."""
    rho = 2.2e7 + 700.0 * t
    i1, i2 = ((iono + 1e-4 * t) * (1575.42e6 / f) ** 2 for f in (f1, f2))
    c1, c2, l1, l2 = names
    return {c1: rho + i1 + mp, c2: rho + i2, l1: (rho - i1) / (C / f1) + n1, l2: (rho - i2) / (C / f2) + n2}


def estimates(results):
    return {(e.satellite, e.signal, e.epoch): e.mp_value for e in results.estimates}


# ---- 0.000 is not an observation ------------------------------------------------

V3_TYPES = {"G": ["C1C", "C2W", "D1C", "L1C", "L2W", "S1C"]}
V2_TYPES = ["C1", "P2", "D1", "L1", "L2", "S1"]


def zero_epochs(missing):
    """Two GPS tracks; G02 lists its second frequency and SNR as `missing`
    (None: blank) in every third epoch."""
    epochs = []
    for i in range(60):
        t = 30.0 * i
        sats = {}
        for sat, amp in (("G01", 0.3), ("G02", 0.2)):
            obs = dual_track(1575.42e6, 1227.6e6, t, amp * math.sin(0.1 * i), ("C1C", "C2W", "L1C", "L2W"))
            obs.update({"D1C": -1200.5, "S1C": 44.0})
            if sat == "G02" and i % 3 == 1:
                obs.update({"C2W": missing, "L2W": missing, "D1C": missing, "S1C": missing})
            sats[sat] = obs
        epochs.append((t, sats))
    return epochs


def v2_epochs(epochs):
    names = dict(zip(V3_TYPES["G"], V2_TYPES))
    return [(t, {sat: {names[c]: v for c, v in obs.items()} for sat, obs in sats.items()}) for t, sats in epochs]


@pytest.mark.parametrize("write", [lambda e: rinex3(e, V3_TYPES), lambda e: rinex2(v2_epochs(e), V2_TYPES)],
                         ids=["v3", "v2"])
@pytest.mark.parametrize("zero", [0.0, -0.0, (0.0, 1)], ids=["zero", "negative-zero", "zero-with-lli"])
def test_zero_field_is_not_observed(tmp_path, write, zero):
    texts = {"zero": write(zero_epochs(zero)), "blank": write(zero_epochs(None))}
    assert texts["zero"] != texts["blank"]
    for name, text in texts.items():
        (tmp_path / f"{name}.rnx").write_text(text)
    stored = {name: stored_observations(tmp_path / f"{name}.rnx") for name in texts}
    assert stored["zero"] == stored["blank"]
    assert not any(v[0] == 0.0 for v in stored["zero"].values())

    runs = {name: sm.MultipathAnalyzer(read(text)).analyze() for name, text in texts.items()}
    assert estimates(runs["zero"]) == estimates(runs["blank"])
    assert [(s.satellite, s.epoch, s.method) for s in runs["zero"].cycle_slips] == []
    # G01 on both codes at 60 epochs, G02 at the 40 with both phases.
    assert runs["zero"].total_estimates() == 2 * 60 + 2 * 40


# ---- BeiDou B1I written on band 1 -------------------------------------------------

B1I, B1C, B2I = 1561.098e6, 1575.42e6, 1207.14e6


def beidou_text():
    """C11 tracks B1I as C1I/L1I (the 3.02 habit) and B2I; C12 also B1C as
    C1P/L1P, with its own multipath, and only an S1P: the SNR of another
    signal."""
    types = {"C": ["C1I", "C1P", "C7I", "L1I", "L1P", "L7I", "S1I", "S1P"]}
    epochs = []
    for i in range(60):
        t = 30.0 * i
        c11 = dual_track(B1I, B2I, t, 0.4 * math.sin(0.15 * i), ("C1I", "C7I", "L1I", "L7I"), iono=8.0)
        c11["S1I"] = 40.0
        c12 = dual_track(B1I, B2I, t, 0.3 * math.cos(0.1 * i), ("C1I", "C7I", "L1I", "L7I"), iono=6.0)
        b1c = dual_track(B1C, B2I, t, 0.5 * math.sin(0.2 * i), ("C1P", "C7I", "L1P", "L7I"), iono=6.0, n1=300.0)
        c12.update({"C1P": b1c["C1P"], "L1P": b1c["L1P"], "S1P": 47.0})
        epochs.append((t, {"C11": c11, "C12": c12}))
    return rinex3(epochs, types)


def test_beidou_b1i_on_band_1():
    assert sm.get_frequency("C", 1) == B1C
    run = sm.MultipathAnalyzer(read(beidou_text()), bias_window_seconds=None).analyze()
    assert [s.signal for s in run.statistics] == ["BDSM1I", "BDSM1P", "BDSM7I"]
    # A wrong carrier leaves ionosphere in the geometry-free combination: a
    # slip at every epoch of every B1I phase.
    assert list(run.cycle_slips) == []
    est = estimates(run)
    for sat, code, amp, rate, trig in [("C11", "C1I", 0.4, 0.15, math.sin), ("C12", "C1I", 0.3, 0.1, math.cos),
                                       ("C12", "C1P", 0.5, 0.2, math.sin)]:
        mp = np.array([amp * trig(rate * i) for i in range(60)])
        got = np.array([v for (s, g, _), v in sorted(est.items()) if (s, g) == (sat, code)])
        np.testing.assert_allclose(got, mp - mp.mean(), atol=2e-3)
    # B1C takes the SNR of its own signal or none, never B1I's.
    snr = {(e.satellite, e.signal): e.snr for e in run.estimates}
    assert snr[("C11", "C1I")] == 40.0 and snr[("C12", "C1P")] == 47.0 and snr[("C12", "C1I")] is None


def test_b1i_pairs_alike_on_band_1_and_band_2():
    # B1I, B3I and B2I, with B1I spelt as in RINEX 3.02 (band 1) and as in
    # later versions (band 2): B3I must pair with B1I either way, not with
    # the close B2I carrier.
    def text(b1i):
        types = {"C": [f"C{b1i}I", "C6I", "C7I", f"L{b1i}I", "L6I", "L7I"]}
        epochs = []
        for i in range(60):
            t, rho, tec = 30.0 * i, 2.2e7 + 700.0 * i * 30.0, 5.0 + 3e-3 * i
            obs = {}
            for (code, phase), f, mp in [((f"C{b1i}I", f"L{b1i}I"), B1I, 0.3 * math.sin(0.1 * i)),
                                         (("C6I", "L6I"), 1268.52e6, 0.2 * math.cos(0.2 * i)), (("C7I", "L7I"), B2I, 0.0)]:
                iono = tec * (1575.42e6 / f) ** 2
                obs.update({code: rho + iono + mp, phase: (rho - iono) / (C / f) + 100.0})
            epochs.append((t, {"C08": obs}))
        return rinex3(epochs, types)

    runs = [sm.MultipathAnalyzer(read(text(b))).analyze() for b in (1, 2)]
    assert [(s.signal, s.count) for s in runs[0].statistics] == [("BDSM1I", 60), ("BDSM6I", 60), ("BDSM7I", 60)]
    assert [(s.signal.replace("2I", "1I"), s.count, s.rms) for s in runs[1].statistics] == \
        [(s.signal, s.count, s.rms) for s in runs[0].statistics]
    assert list(runs[0].cycle_slips) == list(runs[1].cycle_slips) == []


# ---- raw phase offsets ------------------------------------------------------------

def shift_phases(text, cycles):
    """`text` (RINEX 3) with cycles[code] * (+1 or -1 by satellite number)
    whole cycles added to every phase value."""
    out, types, in_header, sys_ = [], {}, True, None
    for line in text.splitlines(keepends=True):
        if in_header:
            if line[60:].strip() == "SYS / # / OBS TYPES":
                sys_ = line[0] if line[0] != " " else sys_
                types.setdefault(sys_, []).extend(line[7:60].split())
            in_header = "END OF HEADER" not in line
        elif line[:1] in types:
            sign = 1 if int(line[1:3]) % 2 else -1
            cells = list(line.rstrip("\r\n"))
            for k, code in enumerate(types[line[0]]):
                a = 3 + 16 * k
                field = "".join(cells[a:a + 14])
                if code[0] == "L" and field.strip():
                    cells[a:a + 14] = f"{Decimal(field.strip()) + sign * cycles[code[:2]]:14.3f}"
            line = "".join(cells) + "\n"
        out.append(line)
    return "".join(out)


def test_phase_offsets_leave_estimates_alone(data):
    text = data("rinex3/pdel0010.21o").read_text()
    # On GPS the MP combination then carries about 2.4 x 10^7 m, as with
    # receivers that start the phase near zero.
    shifted = shift_phases(text, {"L1": 150_000_000, "L2": 123_456_789})
    runs = [sm.MultipathAnalyzer(read(t)).analyze() for t in (text, shifted)]
    before, after = (estimates(r) for r in runs)
    assert len(before) > 2000 and before.keys() == after.keys()
    assert max(abs(before[k] - after[k]) for k in before) < 1e-6
    assert [(s.satellite, s.epoch, s.method) for s in runs[0].cycle_slips] == \
        [(s.satellite, s.epoch, s.method) for s in runs[1].cycle_slips]


# ---- version 2 bands 6, 7 and 8 -----------------------------------------------------

def test_v2_types_of_bands_6_to_8():
    types = ["C1", "L1", "C6", "L6", "C7", "L7", "D7", "S7", "P7", "C8", "L8", "S8"]
    epochs = []
    for i in range(60):
        t = 30.0 * i
        obs = dual_track(1575.42e6, 1207.14e6, t, 0.3 * math.sin(0.1 * i), ("C1", "C7", "L1", "L7"))
        e5 = dual_track(1575.42e6, 1191.795e6, t, 0.0, ("C1", "C8", "L1", "L8"))
        e6 = dual_track(1575.42e6, 1278.75e6, t, 0.0, ("C1", "C6", "L1", "L6"))
        obs.update({"C8": e5["C8"], "L8": e5["L8"], "C6": e6["C6"], "L6": e6["L6"], "D7": -900.0, "S7": 45.0,
                    "S8": 46.0})
        epochs.append((t, {"E11": obs}))
    obs = read(rinex2(epochs, types), "habit.21o")
    assert obs.observation_types("E") == ["C1C", "C6X", "C7X", "C8X", "D7X", "L1C", "L6X", "L7X", "L8X", "S7X", "S8X"]
    run = sm.MultipathAnalyzer(obs, bias_window_seconds=None).analyze()
    counts = {s.signal: s.count for s in run.statistics}
    assert counts == {"GALM1C": 60, "GALM6X": 60, "GALM7X": 60, "GALM8X": 60}
    est = estimates(run)
    mp = 0.3 * np.sin(0.1 * np.arange(60))
    for signal, expected in [("C1C", mp - mp.mean()), ("C7X", 0.0), ("C8X", 0.0), ("C6X", 0.0)]:
        got = np.array([v for (_, g, _), v in sorted(est.items()) if g == signal])
        np.testing.assert_allclose(got, expected, atol=2e-3)


def test_real_v2_file_with_galileo_bands_7_and_8(data):
    run = sm.MultipathAnalyzer(sm.read_rinex_obs(str(data("rinex2/AJAC3550.21O")))).analyze()
    assert {"GALM7X", "GALM8X"} <= {s.signal for s in run.statistics}


# ---- the half-cycle flag ------------------------------------------------------------

@pytest.mark.parametrize("lli, slips", [(1, 1), (2, 0), (3, 1), (4, 0), (6, 0), (7, 1)])
def test_only_loss_of_lock_bit_is_a_slip(lli, slips):
    epochs = []
    for i in range(40):
        obs = dual_track(1575.42e6, 1227.6e6, 30.0 * i, 0.0, ("C1C", "C2W", "L1C", "L2W"))
        # Every phase carries the flag, as phones write it; the slip test
        # counts the epoch in the middle.
        if i == 20 or lli & 1 == 0:
            obs["L1C"] = (obs["L1C"], lli)
        epochs.append((30.0 * i, {"G01": obs}))
    run = sm.MultipathAnalyzer(read(rinex3(epochs, {"G": ["C1C", "C2W", "L1C", "L2W"]}))).analyze()
    assert [(s.method, s.epoch[11:19]) for s in run.cycle_slips] == [("lli", "00:10:00")] * slips
    # A slip cuts both codes' series into two arcs of 20 epochs, both kept.
    assert run.total_estimates() == 80


def test_phone_file_has_no_loss_of_lock(data):
    run = sm.MultipathAnalyzer(sm.read_rinex_obs(str(data("odd/pixel6.23o")))).analyze()
    assert not [s for s in run.cycle_slips if s.method == "lli"]
