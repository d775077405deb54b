"""Orbit interpolation: node choice and tie rules, agreement with an
independent exact Lagrange evaluation, accuracy on a real orbit, and the
treatment of degenerate tables."""
import datetime as dt
import math
import pathlib
import threading
from fractions import Fraction

import numpy as np
import pytest

import skarvo_mp as sk
from sp3_text import grid_epoch, sp3_text


def write(tmp_path, text, name="orbit.sp3"):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def xyz(p):
    return (p.x, p.y, p.z)


def exact_seconds(fields):
    """Seconds since 2000-01-01 of epoch fields, as an exact Fraction."""
    y, mo, d, h, mi, s = fields
    days = (dt.date(y, mo, d) - dt.date(2000, 1, 1)).days
    return Fraction(days * 86400 + h * 3600 + mi * 60) + Fraction(s)


def fields_at(t):
    """Epoch fields of t seconds (may be negative or fractional) after 2021-01-01 00:00."""
    whole = math.floor(t)
    c = dt.datetime(2021, 1, 1) + dt.timedelta(seconds=whole)
    return (c.year, c.month, c.day, c.hour, c.minute, c.second + (t - whole))


def lagrange_exact(nodes, t):
    """Lagrange polynomial through `nodes` [(t, (x, y, z))] at t, in exact
    rational arithmetic (no rounding at all)."""
    out = [Fraction(0)] * 3
    for i, (ti, pi) in enumerate(nodes):
        w = Fraction(1)
        for j, (tj, _) in enumerate(nodes):
            if j != i:
                w *= (t - tj) / (ti - tj)
        for c in range(3):
            out[c] += w * Fraction(pi[c])
    return tuple(float(v) for v in out)


def nine_nearest(records, t):
    """The nine records nearest to t; ties go to the record earlier in the list."""
    order = sorted(range(len(records)), key=lambda i: (abs(records[i][0] - t), i))
    return [records[i] for i in order[:9]]


# A satellite-like motion in km: degree 10 in time, so a nine-node fit is
# not exact and the node choice shows in the result.
def motion_km(t):
    u = t / 43200.0
    return (26000.0 * math.cos(2 * math.pi * u), 21000.0 * math.sin(2 * math.pi * u), 15000.0 * math.sin(2 * math.pi * u + 1))


def synthetic(seconds, sat="G01"):
    """SP3 records at the given offsets from 2021-01-01 00:00 (in list order),
    and the same records as (exact time, metres) for the reference."""
    recs, ref = [], []
    for s in seconds:
        x, y, z = motion_km(s)
        recs.append((grid_epoch(s), [(sat, x, y, z)]))
        ref.append((exact_seconds(grid_epoch(s)), tuple(float(f"{v:.6f}") * 1000.0 for v in (x, y, z))))
    return recs, ref


# ---- node choice -----------------------------------------------------------


@pytest.mark.parametrize("reverse", [False, True], ids=["time-order", "reverse-order"])
def test_ninth_node_tie_goes_to_the_earlier_record_in_the_file(tmp_path, reverse):
    # Eleven records at 0, 900, ..., 9000 s, target 4050 s: the ninth node
    # is a tie between 0 s and 8100 s. Only the 8100-s record is off the
    # zero line, so the result shows which one was taken.
    seconds = [900 * k for k in range(11)]
    if reverse:
        seconds.reverse()
    recs = [(grid_epoch(s), [("G01", 1000.0 if s == 8100 else 20000.0, 20000.0, 10000.0)]) for s in seconds]
    d = sk.read_sp3(write(tmp_path, sp3_text(recs)))
    p = d.get_position("G01", sk.Epoch(2021, 1, 1, 1, 7, 30.0))
    if not reverse:
        assert xyz(p) == pytest.approx((20000e3, 20000e3, 10000e3), abs=1e-6)  # nodes 0 .. 7200 s
    else:
        assert abs(p.x - 20000e3) > 1000.0  # 8100 s is earlier in the reversed file


def test_eight_records_are_not_enough_nine_are(tmp_path):
    recs, ref = synthetic([900 * k for k in range(9)])
    nine = sk.read_sp3(write(tmp_path, sp3_text(recs), "nine.sp3"))
    eight = sk.read_sp3(write(tmp_path, sp3_text(recs[:8]), "eight.sp3"))
    assert eight.get_position("G01", sk.Epoch(2021, 1, 1, 0, 30)) is None
    # With nine records every target uses all nine, far outside the span too.
    for fields in [(2021, 1, 1, 0, 30, 0.0), (2021, 1, 1, 5, 0, 1.5), (2020, 12, 31, 22, 0, 0.0), (2021, 1, 2, 3, 0, 0.0)]:
        t = exact_seconds(fields)
        want = lagrange_exact(ref, t)
        got = xyz(nine.get_position("G01", sk.Epoch(*fields)))
        # Far outside the nodes the sum of |Lagrange weights| (the Lebesgue
        # function) multiplies the rounding of any evaluation scheme.
        lebesgue = sum(abs(float(math.prod((t - tj) / (ti - tj) for tj, _ in ref if tj != ti))) for ti, _ in ref)
        tol = 1e-6 + 4 * 2.2e-16 * lebesgue * 3e7
        assert max(abs(a - b) for a, b in zip(got, want)) < tol, fields


def test_at_a_node_the_node_comes_back_exactly(tmp_path):
    recs, ref = synthetic([900 * k for k in range(30)])
    d = sk.read_sp3(write(tmp_path, sp3_text(recs)))
    for (fields, _), (_, pos) in zip(recs, ref):
        assert xyz(d.get_position("G01", sk.Epoch(*fields))) == pos


@pytest.mark.parametrize("spacing, count", [(900, 96), (300, 289), (30, 200)], ids=["15min", "5min", "30s"])
def test_equals_independent_lagrange_on_the_same_nodes(tmp_path, spacing, count):
    seconds = [spacing * k for k in range(count)]
    recs, ref = synthetic(seconds)
    d = sk.read_sp3(write(tmp_path, sp3_text(recs)))
    rng = np.random.default_rng(11)
    span = seconds[-1]
    # Random instants with sub-millisecond fractions, inside and just
    # outside the table, plus exact midpoints (ties at the ninth node).
    targets = list(rng.uniform(-3 * spacing, span + 3 * spacing, 300)) + [spacing * (k + 0.5) for k in range(0, count, 7)]
    for t in targets:
        fields = fields_at(round(float(t), 6))
        tt = exact_seconds(fields)
        want = lagrange_exact(sorted(nine_nearest(ref, tt)), tt)
        got = xyz(d.get_position("G01", sk.Epoch(*fields)))
        assert max(abs(a - b) for a, b in zip(got, want)) < 1e-3, (t, got, want)


def test_time_offsets_are_exact(tmp_path):
    # A straight line at 4 km/s is reproduced by any nine nodes; a time
    # axis of Julian date x 86400 (about 30 microseconds resolution) would
    # be off by up to ~0.1 m here.
    recs = []
    for k in range(20):
        s = 30 * k
        recs.append((grid_epoch(s), [("G01", 20000.0 + 4.0 * s, -15000.0 - 1.5 * s, 10000.0)]))
    d = sk.read_sp3(write(tmp_path, sp3_text(recs)))
    for sec in [0.000001, 7.123456, 95.5, 301.999999]:
        p = d.get_position("G01", sk.Epoch(2021, 1, 1, 0, 0, sec))
        assert p.x == pytest.approx(20000e3 + 4000.0 * sec, abs=1e-6)
        assert p.y == pytest.approx(-15000e3 - 1500.0 * sec, abs=1e-6)
    # Fields that carry (second 75, minute 60) name the same instant.
    a = d.get_position("G01", sk.Epoch(2021, 1, 1, 0, 1, 15.25))
    b = d.get_position("G01", sk.Epoch(2021, 1, 1, 0, 0, 75.25))
    c = d.get_position("G01", sk.Epoch(2020, 12, 31, 23, 60, 75.25))
    assert xyz(a) == xyz(b) == xyz(c)


# ---- degenerate tables -------------------------------------------------------


def test_repeated_epochs_keep_their_first_record(tmp_path):
    recs, _ = synthetic([900 * k for k in range(15)])
    doubled = []
    for fields, sats in recs:
        doubled.append((fields, sats))
        doubled.append((fields, [(s, x + 5.0, y, z) for s, x, y, z in sats]))  # same epoch again
    clean = sk.read_sp3(write(tmp_path, sp3_text(recs), "clean.sp3"))
    dup = sk.read_sp3(write(tmp_path, sp3_text(doubled), "dup.sp3"))
    for sec in np.linspace(-1000, 14 * 900 + 1000, 57):
        e = sk.Epoch(2021, 1, 1, 0, 0, float(sec) + 1000.0)
        p = dup.get_position("G01", e)
        assert all(math.isfinite(v) for v in xyz(p))
        assert xyz(p) == xyz(clean.get_position("G01", e))


def test_missing_positions_and_bad_epochs_are_not_nodes(tmp_path):
    recs, _ = synthetic([900 * k for k in range(15)])
    text = sp3_text(recs)
    lines = text.splitlines()
    extra = [
        # A 0,0,0 position (the format's "missing") with a valid clock.
        "*  2021  1  1  1  7 30.00000000",
        "PG01      0.000000      0.000000      0.000000     12.345678",
        # An epoch whose second is not a number: its record is stored, not used.
        "*  2021  1  1  1  0         nan",
        "PG01   5000.000000   5000.000000   5000.000000     12.345678",
        "PG02   5000.000000   5000.000000   5000.000000     12.345678",
    ]
    polluted = "\n".join(lines[:-1] + extra + lines[-1:]) + "\n"
    clean = sk.read_sp3(write(tmp_path, text, "clean.sp3"))
    d = sk.read_sp3(write(tmp_path, polluted, "polluted.sp3"))
    assert d.satellites() == ["G01", "G02"]
    for minute in range(0, 200, 7):
        e = sk.Epoch(2021, 1, 1, 0, minute, 30.0)
        assert xyz(d.get_position("G01", e)) == xyz(clean.get_position("G01", e))
    assert d.get_position("G02", sk.Epoch(2021, 1, 1, 1)) is None


@pytest.mark.parametrize(
    "satellite",
    ["X99", "G99", "", "G", "G-1", "R01", "not a satellite"],
)
def test_unknown_satellites_give_none(tmp_path, satellite):
    recs, _ = synthetic([900 * k for k in range(12)])
    d = sk.read_sp3(write(tmp_path, sp3_text(recs)))
    assert d.get_position(satellite, sk.Epoch(2021, 1, 1, 1)) is None


def test_satellite_text_is_parsed_leniently(tmp_path):
    recs, _ = synthetic([900 * k for k in range(12)])
    d = sk.read_sp3(write(tmp_path, sp3_text(recs)))
    e = sk.Epoch(2021, 1, 1, 1, 2, 3.0)
    want = xyz(d.get_position("G01", e))
    assert [xyz(d.get_position(s, e)) for s in ["g1", " G 01 ", "G+1"]] == [want] * 3


@pytest.mark.parametrize("second", [float("nan"), float("inf"), float("-inf")])
def test_non_finite_target_gives_none(tmp_path, second):
    recs, _ = synthetic([900 * k for k in range(12)])
    d = sk.read_sp3(write(tmp_path, sp3_text(recs)))
    assert d.get_position("G01", sk.Epoch(2021, 1, 1, 1, 0, second)) is None


def test_wrong_argument_types(tmp_path):
    recs, _ = synthetic([900 * k for k in range(12)])
    d = sk.read_sp3(write(tmp_path, sp3_text(recs)))
    with pytest.raises(TypeError):
        d.get_position(1, sk.Epoch(2021, 1, 1))
    with pytest.raises(TypeError):
        d.get_position("G01", "2021-01-01T00:00:00")
    with pytest.raises(TypeError):
        d.get_position("G01")


# ---- a real orbit ------------------------------------------------------------


@pytest.mark.realdata
def test_real_orbit_at_half_rate(data, tmp_path):
    """igs21385 with every other epoch removed (30-minute nodes), compared at
    the removed epochs with the tabulated positions."""
    lines = pathlib.Path(data("sp3/igs21385.sp3")).read_text().splitlines()
    kept, truth, k, epoch = [], [], -1, None
    for line in lines:
        if line.startswith("*"):
            k += 1
            f = line[3:31].split()
            epoch = (int(f[0]), int(f[1]), int(f[2]), int(f[3]), int(f[4]), float(f[5]))
        elif line.startswith("P") and k % 2 == 1:
            truth.append((k, line[1:4], epoch, tuple(float(line[a:a + 14]) * 1000.0 for a in (4, 18, 32))))
        if not (k % 2 == 1 and line[:1] in "*P"):
            kept.append(line)
    d = sk.read_sp3(write(tmp_path, "\n".join(kept) + "\n"))
    assert d.num_satellites == 32

    # Away from the ends: at least five kept epochs on each side (k 9 .. 85),
    # so that the nine nodes surround the target.
    errors = np.array(
        [math.dist(xyz(d.get_position(sat, sk.Epoch(*ep))), pos) for kk, sat, ep, pos in truth if 9 <= kk <= 85]
    )
    assert len(errors) == 39 * 32
    # Error bound of a nine-point Lagrange fit at the middle of two nodes
    # spaced h = 1800 s: |f^(9)| / 9! * prod|t - t_i|, with f^(9) ~ r w^9 for
    # the fastest ECEF harmonic of a GPS orbit, w = orbital rate + Earth
    # rate, r = 26,600 km. That bound is about 3.3 m; the measured worst case
    # is 1.75 m and the median 0.67 m.
    w = 2 * math.pi / 43082.0 + 7.2921151467e-5
    prod = math.prod([900, 900, 2700, 2700, 4500, 4500, 6300, 6300, 8100])
    bound = 2.66e7 * w**9 / math.factorial(9) * prod
    assert 3.0 < bound < 3.6
    assert errors.max() < bound
    assert np.median(errors) < 1.0


@pytest.mark.realdata
def test_threads_share_one_orbit(data):
    d = sk.read_sp3(str(data("sp3/igs21385.sp3")))
    epochs = [sk.Epoch(2021, 1, 1, h, m, 12.5) for h in range(24) for m in range(0, 60, 20)]
    expected = [[xyz(d.get_position(s, e)) for e in epochs] for s in d.satellites()]
    results = [None] * 4

    def work(i):
        results[i] = [[xyz(d.get_position(s, e)) for e in epochs] for s in d.satellites()]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4
