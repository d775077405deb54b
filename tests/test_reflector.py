"""Reflector heights from SNR: the periodogram against an independent NumPy
computation, recovery of known reflectors on simulated days, rejection of
arcs without a reflection, settings errors, the command and the report."""
import json

import numpy as np
import pytest

import skarvo_mp
from skarvo_tools import cli
from skarvo_tools.simulate import simulate_station

SMALL = dict(gps=16, galileo=12, glonass=4, slips=False)


def lomb_scargle_numpy(x, y, freqs):
    """Textbook Lomb-Scargle power with tau, as amplitude sqrt(4P/n)."""
    out = []
    for f in freqs:
        w = 2 * np.pi * f
        tau = np.arctan2(np.sum(np.sin(2 * w * x)), np.sum(np.cos(2 * w * x))) / (2 * w)
        c, s = np.cos(w * (x - tau)), np.sin(w * (x - tau))
        p = 0.5 * ((y @ c) ** 2 / (c @ c) + (y @ s) ** 2 / (s @ s))
        out.append(np.sqrt(4 * p / len(x)))
    return np.array(out)


@pytest.mark.parametrize("grid", ["uniform", "uneven"])
def test_lomb_scargle_matches_numpy_and_recovers_a_sinusoid(grid):
    rng = np.random.default_rng(4)
    x = np.sort(rng.uniform(0.08, 0.42, 300))
    y = 3.0 * np.cos(2 * np.pi * 21.0 * x + 0.7) + 0.2 * rng.standard_normal(300)
    y -= y.mean()
    freqs = np.linspace(2.0, 80.0, 2001) if grid == "uniform" else np.sort(rng.uniform(2.0, 80.0, 400))
    amp = skarvo_mp.lomb_scargle(x, y, freqs)
    assert np.allclose(amp, lomb_scargle_numpy(x, y, freqs), rtol=1e-9, atol=1e-9)
    if grid == "uniform":
        assert abs(freqs[np.argmax(amp)] - 21.0) < 0.1
        assert amp.max() == pytest.approx(3.0, rel=0.1)
    with pytest.raises(ValueError, match="same length"):
        skarvo_mp.lomb_scargle(x, y[:-1], freqs)


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    """Written and parsed simulated days, one per reflector model."""
    cache = {}

    def get(model, **extra):
        key = (model, tuple(sorted(extra.items())))
        if key not in cache:
            sim = simulate_station(seed=5, reflector_model=model, **SMALL, **extra)
            folder = tmp_path_factory.mktemp(f"refl-{model}")
            obs_path, sp3_path = folder / sim.rinex_name(), folder / "orbit.sp3"
            sim.write_rinex(str(obs_path))
            sim.write_sp3(str(sp3_path))
            cache[key] = (sim, skarvo_mp.read_rinex_obs(str(obs_path)), skarvo_mp.read_sp3(str(sp3_path)),
                          obs_path, sp3_path)
        return cache[key]

    return get


def test_constant_reflector_daily_height_within_2_cm(simulated):
    sim, obs, sp3, _, _ = simulated("constant")
    r = skarvo_mp.reflector_heights(obs, sp3)
    daily = {d["signal"]: d for d in r["daily"]}
    assert set(daily) >= {"all", "GPS S1C", "GPS S2W", "GAL S5Q", "GLO S1C"}
    for d in daily.values():
        assert d["arcs"] >= 5
        assert abs(d["height_m"] - 1.8) < 0.02, d
    a = r["arcs"]
    acc = a["accepted"]
    # Every arc respects the window; accepted arcs agree closely with the truth.
    assert np.all((a["min_elevation_deg"] >= 5.0) & (a["max_elevation_deg"] <= 25.0))
    assert np.all(a["coverage"][acc] >= 0.75)
    assert np.percentile(np.abs(a["height_m"][acc] - 1.8), 95) < 0.03
    assert set(np.unique(a["rising"])) == {False, True}


def test_tide_is_followed_within_10_cm_rms(simulated):
    sim, obs, sp3, _, _ = simulated("tide")
    s = skarvo_mp.reflector_heights(obs, sp3)["series"]
    truth = sim.reflector_height_at(s["t"] - sim.start_unix_s())
    ok = np.isfinite(s["height_m"])
    assert ok.mean() > 0.9
    err = s["height_m"][ok] - truth[ok]
    assert np.sqrt(np.mean(err ** 2)) < 0.10
    assert np.all(s["sigma_m"][ok] > 0)


def test_step_shows_in_heights_before_and_after(simulated):
    sim, obs, sp3, _, _ = simulated("step")
    r = skarvo_mp.reflector_heights(obs, sp3, time_resolved=False)
    a = r["arcs"]
    acc = a["accepted"]
    t = a["t_mean"] - sim.start_unix_s()
    before = np.median(a["height_m"][acc & (t < 43200 - 3600)])
    after = np.median(a["height_m"][acc & (t > 43200 + 3600)])
    assert before == pytest.approx(1.8, abs=0.02) and after == pytest.approx(1.5, abs=0.02)
    assert len(r["series"]["t"]) == 0


def test_arcs_without_reflection_are_rejected(simulated):
    _, obs, sp3, _, _ = simulated("constant", reflection_strength=0.0)
    a = skarvo_mp.reflector_heights(obs, sp3)["arcs"]
    assert len(a["height_m"]) > 100
    assert a["accepted"].mean() < 0.05


@pytest.mark.parametrize("azimuth", [[(300, 60)], (300, 60), np.array([300.0, 60.0]), [np.array([300, 60])]],
                         ids=["list", "pair", "numpy-pair", "numpy-list"])
def test_sectors_systems_and_codes_select_arcs(simulated, azimuth):
    _, obs, sp3, _, _ = simulated("constant")
    a = skarvo_mp.reflector_heights(obs, sp3, azimuth=azimuth, systems=["G"], codes=["S1C"],
                                    time_resolved=False)["arcs"]
    assert len(a["satellite"]) > 0
    assert set(a["signal"]) == {"GPS S1C"}
    assert np.all((a["azimuth_deg"] >= 300) | (a["azimuth_deg"] < 60))


def test_result_is_deterministic_and_periodograms_match_arcs(simulated):
    _, obs, sp3, _, _ = simulated("constant")
    r1 = skarvo_mp.reflector_heights(obs, sp3, periodograms=True)
    r2 = skarvo_mp.reflector_heights(obs, sp3, periodograms=True)
    for k in ("height_m", "amplitude", "peak_to_noise"):
        assert np.array_equal(r1["arcs"][k], r2["arcs"][k])
    pg = r1["periodograms"]
    assert pg.shape == (len(r1["arcs"]["height_m"]), len(r1["heights_m"]))
    peak = r1["heights_m"][np.argmax(pg, axis=1)]
    assert np.all(np.abs(peak - r1["arcs"]["height_m"]) <= 0.01 + 1e-9)


@pytest.mark.parametrize("kwargs, message", [
    (dict(elevation=(25, 5)), "elevation window"),
    (dict(elevation=(5,)), "elevation must be a pair"),
    (dict(heights=(0, 8)), "heights must satisfy"),
    (dict(height_step=0.0), "height_step must be positive"),
    (dict(azimuth=[(10, 10)]), "azimuth sectors"),
    (dict(min_coverage=1.5), "min_coverage"),
    (dict(systems=["X"]), "Invalid system 'X'"),
    (dict(codes=["C1C"]), "Invalid SNR code 'C1C'"),
    (dict(knot_spacing=10.0), "knot_spacing"),
])
def test_bad_settings_raise_value_error(simulated, kwargs, message):
    _, obs, sp3, _, _ = simulated("constant")
    with pytest.raises(ValueError, match=message):
        skarvo_mp.reflector_heights(obs, sp3, **kwargs)


def test_orbit_must_be_sp3_or_nav(simulated):
    _, obs, _, _, _ = simulated("constant")
    with pytest.raises(TypeError, match="Sp3Data.*NavData"):
        skarvo_mp.reflector_heights(obs, "orbit.sp3")


def test_command_writes_json_tables_and_figures(simulated, tmp_path, capsys):
    _, _, _, obs_path, sp3_path = simulated("constant")
    out = tmp_path / "out"
    code = cli.main(["reflector", str(obs_path), "--sp3", str(sp3_path), "--json", "--out", str(out),
                     "--elevation", "5", "25", "--heights", "0.5", "6"])
    assert code == 0
    data = json.loads(capsys.readouterr().out)
    assert {"satellite", "signal", "height_m", "accepted"} <= set(data["arcs"][0])
    daily = {d["signal"]: d for d in data["daily"]}
    assert abs(daily["all"]["height_m"] - 1.8) < 0.02 and daily["all"]["arcs"] > 0
    assert {"height_m", "std_m", "arcs"} <= set(daily["all"])
    names = {p.name for p in out.iterdir()}
    assert {"reflector.json", "reflector_arcs.csv", "reflector_daily.csv", "reflector_daily.png",
            "reflector_periodograms.png", "reflector_arcs.png"} <= names


@pytest.mark.parametrize("extra, message", [
    (["--azimuth", "10"], "pairs"),
    ([], "need orbits"),
])
def test_command_usage_errors(simulated, extra, message, capsys):
    _, _, _, obs_path, sp3_path = simulated("constant")
    args = ["reflector", str(obs_path)] + (["--sp3", str(sp3_path)] if message != "need orbits" else []) + extra
    assert cli.main(args) == 2
    assert message in capsys.readouterr().err


def test_report_gains_a_reflector_section_only_when_asked(simulated, tmp_path, capsys):
    _, _, _, obs_path, sp3_path = simulated("constant")
    for flag, expected in (([], False), (["--reflector"], True)):
        out = tmp_path / f"rep{len(flag)}"
        assert cli.main(["report", str(obs_path), "--sp3", str(sp3_path), "--json", "--no-plots",
                         "--out", str(out)] + flag) == 0
        data = json.loads(capsys.readouterr().out)
        assert ("reflector" in data) is expected
        if expected:
            assert abs(data["reflector"]["height_m"] - 1.8) < 0.02
            assert "Reflector height" in (out / "index.html").read_text()


def test_orbit_of_another_day_gives_no_arcs(simulated, tmp_path):
    _, obs, _, _, _ = simulated("constant")
    other = simulate_station(seed=5, start=(2025, 6, 20, 0, 0, 0), duration_s=3 * 3600, gps=4, galileo=0,
                             glonass=0, slips=False)
    other.write_sp3(str(tmp_path / "other.sp3"))
    r = skarvo_mp.reflector_heights(obs, skarvo_mp.read_sp3(str(tmp_path / "other.sp3")))
    # No extrapolation days away from the orbit's records: nothing is estimated.
    assert len(r["arcs"]["height_m"]) == 0
    assert r["daily"] == [] and len(r["series"]["t"]) == 0


@pytest.mark.realdata
def test_real_day_gives_one_stable_height_from_either_orbit(data):
    # The reference day seen towards the south, where one reflector dominates.
    obs = skarvo_mp.read_rinex_obs(str(data("rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz")))
    sp3 = skarvo_mp.read_sp3(str(data("sp3/GRG0MGXFIN_20201770000_01D_15M_ORB.SP3.gz")))
    nav = skarvo_mp.read_rinex_nav(str(data("nav/ESBC00DNK_R_20201770000_01D_MN.rnx.gz")))
    kw = dict(azimuth=(150, 210), systems=["G", "E"], time_resolved=False)
    r = skarvo_mp.reflector_heights(obs, sp3, **kw)
    h = r["arcs"]["height_m"][r["arcs"]["accepted"]]
    med = np.median(h)
    # Most accepted arcs agree within 20 cm.
    assert len(h) > 20 and 2.5 < med < 4.0 and np.mean(np.abs(h - med) < 0.2) > 0.7
    precise = {d["signal"]: d for d in r["daily"]}
    broadcast = {d["signal"]: d for d in skarvo_mp.reflector_heights(obs, nav, **kw)["daily"]}
    assert precise["all"]["arcs"] > 20
    assert abs(broadcast["all"]["height_m"] - precise["all"]["height_m"]) < 0.01
    # The precise orbit file lacks G04, whose arcs only the broadcast orbits place.
    assert 0 <= broadcast["all"]["arcs"] - precise["all"]["arcs"] <= 0.05 * precise["all"]["arcs"]
