"""Station quality figures against independent counts on real files."""
import math
import pathlib

import numpy as np
import pytest

import skarvo_mp as mp
from rinex_helpers import parse_v3
from skarvo_tools import quality, sp3files
from skarvo_tools.report import ReportOptions, build_report

C_MS = mp.SPEED_OF_LIGHT * 1e-3


def read_v3_records(path):
    """{(sat, epoch to the millisecond): {code: value}} of the observation
    records and the header code lists, cut from a RINEX 3 text by column
    (values of 0 are not observations)."""
    _, lists, epochs, obs = parse_v3(pathlib.Path(path).read_text(encoding="ascii", errors="replace").splitlines())
    records = {}
    for (k, sat, code), (value, _, _) in obs.items():
        y, mo, d, h, mi, sec = epochs[k][2:29].split()
        if int(epochs[k][31]) <= 1 and value != 0.0:
            records.setdefault((sat, f"{y}-{mo}-{d}T{h}:{mi}:{float(sec):06.3f}"), {})[code] = value
    return lists, records


@pytest.mark.parametrize("obs_name,sp3_name", [("rinex3/pdel0010.21o", "sp3/igs21385.sp3")])
def test_completeness_equals_an_independent_count(data, obs_name, sp3_name):
    obs = mp.read_rinex_obs(data(obs_name))
    sp3 = mp.read_sp3(data(sp3_name))
    rx = obs.approx_position
    q = mp.station_quality(obs, sp3=sp3, receiver=rx, elevation_mask=10.0)
    lists, records = read_v3_records(data(obs_name))

    # The file has no gaps: its epochs are the grid.
    assert q["time"]["grid_epochs"] == obs.num_epochs
    epochs = obs.epochs()
    elevation, expected = {}, {}
    for sat in sp3.satellites():
        if sat[0] not in lists:
            continue
        els = np.array([np.nan if (v := mp.compute_elevation(sp3, rx, sat, e)) is None else v for e in epochs])
        expected[sat[0]] = expected.get(sat[0], 0) + int(np.count_nonzero(els >= 10.0))
        for e, el in zip(epochs, els):
            elevation[(sat, e.to_iso()[:23])] = el

    rows = {(s, c): (exp, got, stored) for s, c, exp, got, stored in q["completeness"]["signals"]}
    assert q["completeness"]["expected_satellite_epochs"] == expected
    for system, codes in lists.items():
        for code in codes:
            if code[0] not in "CL":
                continue
            stored = sum(1 for (sat, _), v in records.items() if sat[0] == system and code in v)
            observed = sum(1 for (sat, e), v in records.items()
                           if sat[0] == system and code in v and elevation.get((sat, e), np.nan) >= 10.0)
            known = system in expected
            assert rows[(system, code)] == ((expected[system], observed, stored) if known else (None, None, stored))


def test_without_orbit_only_stored_counts(data):
    obs = mp.read_rinex_obs(data("rinex3/pdel0010.21o"))
    q = mp.station_quality(obs)["completeness"]
    assert not q["with_orbit"] and q["snr_by_elevation"] and all(r[2] is None and r[3] is None for r in q["signals"])
    assert sum(r[4] for r in q["signals"]) > 0
    with pytest.raises(ValueError):
        mp.station_quality(obs, sp3=mp.read_sp3(data("sp3/igs21385.sp3")))
    with pytest.raises(ValueError):
        mp.station_quality(obs, elevation_mask=math.nan)


def test_gaps_against_numpy_steps(gunzipped):
    obs = mp.read_rinex_obs(gunzipped("rinex3/CEDA00USA_R_20182100000_23H_15S_MO.rnx.gz"))
    t = mp.station_quality(obs, systems=["G"])["time"]
    ms = np.array([round(e.julian_date() * 86400e3) for e in obs.epochs()], dtype=np.int64)
    steps = np.diff(np.unique(ms))
    missing = np.rint(steps / 15000).astype(int) - 1
    assert t["interval"] == 15.0 and t["duplicates"] == 0 and t["out_of_order"] == 0
    assert len(t["gaps"]) == np.count_nonzero(missing > 0) == 814
    assert t["missing_epochs"] == missing.sum() == t["grid_epochs"] - len(ms)
    assert [g[2] for g in t["gaps"]] == list(missing[missing > 0])


@pytest.mark.parametrize("name,flags", [
    ("rinex2/07590920.05o", [4, 4, 4]),
    ("odd/14601736.18o", [2, 3, 2]),
])
def test_event_records_are_counted(data, name, flags):
    obs = mp.read_rinex_obs(data(name))
    events = mp.station_quality(obs)["time"]["events"]
    assert sorted(f for _, f in events) == sorted(flags)


def with_clock_jump(src, dst, from_epoch, k, only=None):
    """Copy of a RINEX 3 file whose code ranges (of satellite `only`, else of
    all) jump by k ms of light travel from the `from_epoch`-th epoch on."""
    lists, _ = read_v3_records(src)
    out, n, header = [], -1, True
    for line in src.read_text(encoding="ascii").splitlines():
        if header:
            header = not line[60:].startswith("END OF HEADER")
        elif line.startswith(">"):
            n += 1
        elif n >= from_epoch and line[:1] in lists and only in (None, line[:3]):
            cells = list(line.ljust(3 + 16 * len(lists[line[0]])))
            for i, code in enumerate(lists[line[0]]):
                a = 3 + 16 * i
                text = "".join(cells[a:a + 14]).strip()
                if code[0] == "C" and text and float(text) != 0.0:
                    cells[a:a + 14] = f"{float(text) + k * C_MS:14.3f}"
            line = "".join(cells).rstrip()
        out.append(line)
    dst.write_text("\n".join(out) + "\n")
    return dst


@pytest.mark.parametrize("k", [1, -1, 3])
def test_clock_jumps(data, tmp_path, k):
    src = data("rinex3/pdel0010.21o")
    steered = mp.station_quality(mp.read_rinex_obs(src))["clock"]
    assert steered["jumps"] == [] and steered["steps_checked"] > 0
    jumped = mp.read_rinex_obs(with_clock_jump(src, tmp_path / "pdel0010.21o", 40, k))
    clock = mp.station_quality(jumped)["clock"]
    assert [(e, j) for e, j, *_ in clock["jumps"]] == [(jumped.epochs()[40].to_iso(), k)]
    _, _, size, ranges, agreeing = clock["jumps"][0]
    assert abs(size - k * C_MS) < 0.05 * C_MS and agreeing == ranges


def test_elevation_bins_equal_numpy_binning(data):
    obs = mp.read_rinex_obs(data("rinex3/pdel0010.21o"))
    sp3 = mp.read_sp3(data("sp3/igs21385.sp3"))
    results = mp.MultipathAnalyzer(obs).analyze()
    results.compute_elevations(sp3, obs.approx_position)
    bins = results.multipath_by_elevation(10.0)
    assert set(bins) == {s.signal for s in results.statistics}
    for stats in results.statistics:
        counts, rms = bins[stats.signal]
        est = [e for e in results.estimates if (e.system, e.signal) == (stats.system, stats.code)
               and math.isfinite(e.elevation) and e.elevation >= 0]
        el = np.array([e.elevation for e in est])
        v = np.array([e.mp_value for e in est])
        idx = np.minimum((el // 10).astype(int), 8)
        want_n = np.bincount(idx, minlength=9)
        want_rms = np.sqrt(np.bincount(idx, weights=v * v, minlength=9) / np.maximum(want_n, 1))
        assert counts == list(want_n)
        np.testing.assert_allclose(np.where(want_n > 0, want_rms, np.nan), rms, rtol=1e-12, equal_nan=True)


def test_report_summary_line_and_sections(data, tmp_path):
    sources = sp3files.prepare([str(data("sp3/igs21385.sp3"))], str(tmp_path), reader=mp.read_sp3)
    rep = build_report(str(data("rinex2/delf0010.21o")), ReportOptions(sp3=sources, plots=False, wavelets=False))
    q = rep.data["quality"]
    assert q["summary_line"].startswith("SUM 21 01 01 00:00 21 01 01 00:52")
    whole = q["completeness"]["file"]
    assert whole["expected"] >= whole["observed"] > 0 and 0 < whole["percent"] <= 100
    assert q["clock"]["behaviour"] in ("steered", "free-running")
    assert q["time"]["nominal"]["start"] == "2021-01-01T00:00:00.000Z"
    assert [r["code"] for r in q["summary"]["mp_rms_m"]][:1] == ["C1C"]


@pytest.mark.parametrize("name,span", [
    ("ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz", ("2020-06-25T00:00", "2020-06-26T00:00")),
    ("delf001a.21o", ("2021-01-01T00:00", "2021-01-01T01:00")),
    ("obs.txt", None),
])
def test_nominal_span_from_file_name(name, span):
    got = quality.nominal_span(name)
    assert (got is None) if span is None else tuple(d.isoformat()[:16] for d in got) == span


def test_one_satellite_jumping_is_no_clock_jump(data, tmp_path):
    src = data("rinex3/pdel0010.21o")
    jumped = mp.read_rinex_obs(with_clock_jump(src, tmp_path / "pdel0010.21o", 40, 20, only="G10"))
    assert mp.station_quality(jumped)["clock"]["jumps"] == []


def test_broadcast_orbits_count_like_precise_ones(data):
    obs = mp.read_rinex_obs(data("rinex3/pdel0010.21o"))
    rx = obs.approx_position
    precise = mp.station_quality(obs, sp3=mp.read_sp3(data("sp3/igs21385.sp3")), receiver=rx, systems=["G"])
    broadcast = mp.station_quality(obs, sp3=mp.read_rinex_nav(data("nav/brdc0010.21n")), receiver=rx, systems=["G"])
    p = {r[1]: r for r in precise["completeness"]["signals"]}
    b = {r[1]: r for r in broadcast["completeness"]["signals"]}
    # The two orbits differ by metres: a satellite-epoch at the mask may flip.
    assert p.keys() == b.keys() and all(abs(p[k][2] - b[k][2]) <= 2 and abs(p[k][3] - b[k][3]) <= 2 for k in p)
    with pytest.raises(TypeError):
        mp.station_quality(obs, sp3="orbit.sp3", receiver=rx)
