"""What the report and the module must never do: present a file that is not
observation data, or a file without multipath, as a normal result; show an
interval of 0 or a zero RMS for nothing; extrapolate orbits; hide a system
without elevations; ignore Ctrl-C (in a process of its own)."""
import csv
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import skarvo_mp as mp
from skarvo_tools import plots, report

from conftest import run_cli

ROOT = pathlib.Path(__file__).resolve().parents[1]
PDEL, DELF, ONESAT, GEOP = "rinex3/pdel0010.21o", "rinex2/delf0010.21o", "odd/rinex2onesat.10o", "rinex3/GEOP092I.24o.gz"
IGS = "sp3/igs21385.sp3"


def csv_rows(path):
    with open(path, encoding="utf-8", newline="") as f:
        return list(csv.DictReader(f))


# -- files that are not observation data ---------------------------------------------

HEADER = "{:<20}{:<20}{:<20}RINEX VERSION / TYPE\n"


@pytest.mark.parametrize("relative, found", [
    ("nav/brdc0010.21n", 'a RINEX navigation file ("NAVIGATION DATA")'),  # version written "2"
    ("nav/amel0010.21g", 'a RINEX GLONASS navigation file ("G: GLONASS NAV DATA")'),
    ("nav/ELKO00USA_R_20182100000_01D_MN.rnx.gz", 'a RINEX navigation file ("N: GNSS NAV DATA")'),
    ("sp3/igs21385.sp3", "an SP3 orbit file"),
    ("odd/sio06492.sp3", "an SP3 orbit file"),  # no version letter
    ("odd/igs19362.sp3c", "an SP3 orbit file"),  # a leading blank line
    ("MANIFEST.md", "text without any RINEX header line"),
])
def test_reader_refuses_what_is_not_observation_data(data, relative, found):
    with pytest.raises(IOError) as err:
        mp.read_rinex_obs(str(data(relative)))
    assert str(err.value) == f"Failed to read RINEX: Invalid file format: expected RINEX observation data, got {found}"


@pytest.mark.parametrize("text, found", [
    (HEADER.format("     3.04", "M", "") + "END OF HEADER".rjust(73) + "\n", "a RINEX meteorological file"),
    (HEADER.format("     3.04", "C", "") + "END OF HEADER".rjust(73) + "\n", "a RINEX clock file"),
    (HEADER.format("     2.11", "H: GEO NAV MSG DATA", ""), "a RINEX SBAS navigation file"),
    ("#dP2023  2 19  0  0  0.00000000     289 d+D   IGS20 FIT AIUB\n", "an SP3 orbit file"),
    ("Hello,\nthis is a letter, not a RINEX file.\n", "text without any RINEX header line"),
])
def test_bytes_reader_names_the_file_type(text, found):
    with pytest.raises(IOError, match=f"^Failed to parse RINEX: Invalid file format: expected RINEX "
                                      f"observation data, got {found}"):
        mp.read_rinex_obs_bytes(text.encode(), "x.rnx")


@pytest.mark.parametrize("text, epochs", [
    ("", 0),  # empty: an empty result, as before
    ("\n\n", 0),
    (HEADER.format("     3.04", "", "M") + "END OF HEADER".rjust(73) + "\n", 0),  # blank type: let through
    (HEADER.format("     3.04", "o", "M") + "END OF HEADER".rjust(73) + "\n> 2024 01 01 00 00  0.0000000  0  0\n", 1),
    ("MARKER".ljust(60) + "MARKER NAME\n" + "END OF HEADER".rjust(73) + "\n", 0),  # no version line
])
def test_observation_files_and_empty_input_are_still_read(text, epochs):
    assert mp.read_rinex_obs_bytes(text.encode(), "ok.rnx").num_epochs == epochs


# -- files without multipath ----------------------------------------------------------

def test_file_without_estimates_is_no_multipath_everywhere(data, tmp_path):
    rc, out, err = run_cli("report", data(ONESAT), data(DELF), "--out", tmp_path, "--no-plots")
    assert rc == 0, err
    lines = out.splitlines()
    assert lines[-1].startswith("1 of 2 files reported, 1 without multipath, 0 failed")
    empty = next(line for line in lines if "rinex2onesat" in line)
    assert empty.startswith("no multipath") and "no arc was long enough" in empty and "RMS" not in empty
    rows = csv_rows(tmp_path / "summary.csv")
    onesat = [r for r in rows if r["file"].endswith("rinex2onesat.10o")]
    assert onesat and all(r["status"] == "no multipath" and "no arc" in r["error"] and r["rms_m"] == ""
                          for r in onesat)
    assert {r["status"] for r in rows if r["file"].endswith("delf0010.21o")} == {"ok"}
    one = json.loads((tmp_path / "rinex2onesat" / "report.json").read_text())
    assert one["status"] == "no multipath" and one["status_reason"]
    assert all(r["estimates"] == 0 and r["rms_m"] is None and r["weighted_rms_m"] is None for r in one["multipath"])
    text = run_cli("report", data(ONESAT), "--no-plots", "--out", tmp_path / "single")[1]
    assert "status: no multipath" in text and "0.0000" not in text and "–" in text


def test_interval_comes_from_observation_epochs(data, tmp_path):
    obs = mp.read_rinex_obs(str(data(GEOP)))
    assert obs.interval == 0.0 and obs.epoch_flags()[:2] == [2, 0]  # an event record shares the first time
    assert report.observation_interval(obs) == 1.0
    text = run_cli("report", data(GEOP), "--no-plots", "--out", tmp_path)[1]
    assert json.loads((tmp_path / "report.json").read_text())["file"]["interval_s"] == 1.0
    assert "no elevations: no elevation mask applied, no weighted RMS" in text


# -- orbits ---------------------------------------------------------------------------

def test_real_orbit_reaches_one_record_interval_past_its_last_record(data):
    sp3 = mp.read_sp3(str(data(IGS)))  # records every 900 s, 00:00 to 23:45
    assert sp3.get_position("G01", mp.Epoch(2021, 1, 2, 0, 0, 0.0)) is not None
    for epoch in (mp.Epoch(2021, 1, 2, 0, 0, 1.0), mp.Epoch(2021, 1, 2, 3), mp.Epoch(2020, 12, 31, 23, 44)):
        assert sp3.get_position("G01", epoch) is None
        assert mp.compute_elevation(sp3, mp.Ecef(3924687.702, 301132.766, 5001910.775), "G01", epoch) is None


@pytest.mark.parametrize("mask", [10.0, 25.0])
def test_report_statistics_come_from_the_masked_estimates(data, tmp_path, mask):
    text = run_cli("report", data(PDEL), "--sp3", data(IGS), "--no-plots", "--elevation-mask", mask, "--out", tmp_path)[1]
    assert f"estimates at or above the {mask:g}° elevation mask" in text
    d = json.loads((tmp_path / "report.json").read_text())
    assert d["elevations"]["mask_deg"] == mask and d["settings"]["elevation_mask_deg"] == mask
    # pdel carries GPS and GLONASS; the orbit file is GPS only.
    by_system = d["elevations"]["by_system"]
    assert by_system["R"]["placed"] == 0 and by_system["R"]["unplaced"] > 0 and by_system["G"]["unplaced"] == 0
    assert any("no GLONASS (R) estimate got an elevation" in w for w in d["warnings"])
    obs = mp.read_rinex_obs(str(data(PDEL)))
    results = mp.MultipathAnalyzer(obs, elevation_cutoff=mask).analyze()
    results.compute_elevations(mp.read_sp3(str(data(IGS))), obs.approx_position)
    for row in d["multipath"]:
        if row["system"] != "G":
            continue
        mp_values = np.array([e.mp_value for e in results.estimates
                              if e.signal == row["code"] and e.system == "G" and e.elevation >= mask])
        assert row["estimates"] == mp_values.size
        assert row["rms_m"] == pytest.approx(float(np.sqrt(np.mean(mp_values ** 2))), rel=1e-9)


# -- analysis options and inputs --------------------------------------------------------

def test_analysis_options_reach_the_analyzer(data, capsys):
    def signals(*extra):
        d = json.loads(run_cli("report", data(PDEL), "--json", "--no-plots", *extra)[1])
        return [r["signal"] for r in d["multipath"]], d["cycle_slips"]["by_method"]["gf"]

    everything, gf = signals()
    assert gf > 0 and "GPSM2W" in everything
    assert signals("--include-codes", "c1c")[0] == [s for s in everything if s.endswith("1C")]
    assert "GPSM2W" not in signals("--exclude-codes", "GC2W")[0]
    assert signals("--gf-threshold", "1000", "1")[1] == 0
    run_cli("report", "--help")  # argparse prints its help on sys.stdout
    help_text = capsys.readouterr().out
    for option in ("--elevation-mask", "--include-codes", "--exclude-codes", "--gf-threshold",
                   "--code-phase-threshold"):
        assert option in help_text


def test_folder_is_searched_for_observation_files_by_content(data, tmp_path):
    (tmp_path / "in" / "deeper").mkdir(parents=True)
    shutil.copy(data(DELF), tmp_path / "in" / "deeper" / "station.data")  # no observation extension
    shutil.copy(data(GEOP), tmp_path / "in" / "geop.bin")  # gzip under another name
    shutil.copy(data("nav/brdc0010.21n"), tmp_path / "in" / "brdc0010.21o")  # a name that lies
    (tmp_path / "in" / "notes.21o").write_text("not a RINEX file\n")
    rc, out, err = run_cli("report", tmp_path / "in", "--out", tmp_path / "out", "--no-plots")
    assert rc == 0, err
    assert "2 of 2 files reported" in out or "1 of 2 files reported, 1 without multipath" in out
    reported = {pathlib.Path(r["file"]).name for r in csv_rows(tmp_path / "out" / "summary.csv")}
    assert reported == {"station.data", "geop.bin"}


# -- Ctrl-C -----------------------------------------------------------------------------

def test_ctrl_c_stops_a_batch_at_once_with_a_partial_summary(data, tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    # Enough files that a fast idle machine is still busy when the signal comes.
    for k in range(160):
        shutil.copy(data(PDEL), folder / f"f{k:03d}.21o")
    out = tmp_path / "out"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-m", "skarvo_tools", "report", str(folder), "--out", str(out),
                             "--jobs", "2", "--no-plots"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env)
    try:
        deadline = time.monotonic() + 90
        # Once a fourth file is being written, the first ones are in the summary.
        while not (out / "f003" / "index.html").exists() and time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.05)
        time.sleep(0.2)
        assert proc.poll() is None, "the batch ended before it could be interrupted"
        proc.send_signal(signal.SIGINT)
        sent = time.monotonic()
        stdout, stderr = proc.communicate(timeout=20)
        took = time.monotonic() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 130, stderr
    assert took < 5.0
    assert "interrupted" in stderr and "partial summary" in stdout.splitlines()[-1]
    rows = csv_rows(out / "summary.csv")
    statuses = {r["status"] for r in rows}
    assert "ok" in statuses and "interrupted" in statuses
    assert len({r["file"] for r in rows}) == 160  # every file is in the summary, done or not
    assert "partial" in (out / "index.html").read_text()


# -- the module from Python -----------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda: mp.read_rinex_obs_bytes(b"x" * 200_000),
    lambda: mp.read_rinex_obs_bytes(data=b"y" * 50_000, filename=3),
    lambda: mp.Satellite("G" * 100_000),
    lambda: mp.Epoch.parse("1" * 100_000),
    lambda: mp.fresnel_zone("z" * 100_000, 2.0),
], ids=["bytes-no-name", "keywords", "satellite", "epoch", "float"])
def test_argument_errors_never_echo_large_arguments(call):
    with pytest.raises((TypeError, ValueError)) as err:
        call()
    assert len(str(err.value)) < 800
    assert "left out" in str(err.value)


def test_satellite_objects_are_accepted_wherever_a_satellite_is_an_argument(data):
    obs = mp.read_rinex_obs(str(data(PDEL)))
    sat = obs.satellites()[0]
    assert [s.values for s in obs.get_snr_series(sat)] == [s.values for s in obs.get_snr_series(sat.id)]
    assert obs.snr_codes(sat) == obs.snr_codes(sat.id)
    sp3 = mp.read_sp3(str(data(IGS)))
    epoch, g01 = mp.Epoch(2021, 1, 1, 6), mp.Satellite("G01")
    assert sp3.get_position(g01, epoch).x == sp3.get_position("G01", epoch).x
    assert mp.compute_elevation(sp3, obs.approx_position, g01, epoch) == mp.compute_elevation(
        sp3, obs.approx_position, "G01", epoch)
    by_object = mp.analyze_snr_wavelets(obs, satellites=[sat])
    assert list(by_object["residuals"]) == list(mp.analyze_snr_wavelets(obs, satellites=[sat.id])["residuals"])
    assert mp.fresnel_map([(g01, [10.0], [20.0])], 2.0)[0]["sat"] == "G01"


# -- the numbers behind the figures ---------------------------------------------------

def test_clipped_multipath_points_are_counted_not_hidden():
    v = np.concatenate([np.linspace(-0.5, 0.5, 20001), [7.0, 9.0, -12.0]])
    lim, above, below = plots.clip_limit(np, v)
    assert lim == pytest.approx(1.0) and int(above.sum()) == 2 and int(below.sum()) == 1
    assert (np.abs(v[~(above | below)]) <= lim).all()


def test_ring_labels_go_to_the_emptiest_sky_sector():
    rng = np.random.default_rng(5)
    az = rng.uniform(0.0, 360.0, 5000)
    az = az[(az < 120.0) | (az > 150.0)]  # nothing between 120° and 150°
    el = rng.uniform(20.0, 70.0, az.size)
    assert plots.quiet_azimuth(np, az, el) == 135.0


def test_band_power_figure_shows_the_strongest_reflections_not_the_longest_series():
    def sat(power, samples):
        return {"t": list(range(samples)), "power": [[power] * samples, [power / 2] * samples]}

    raw = {"band_power": {"G01": sat(1.0, 900), "G02": sat(30.0, 100), "C03": sat(500.0, 2000),
                          "S23": sat(800.0, 2000), "E11": sat(5.0, 50), "R07": {"t": [], "power": [[], []]}}}
    assert plots.top_reflection_satellites(raw, 3) == ["G02", "E11", "G01"]


def test_gunzip_fixture_skips_every_time_without_the_data(tmp_path_factory, monkeypatch):
    import conftest

    monkeypatch.setattr(conftest, "DATA_DIR", pathlib.Path("/nonexistent-shared-data"))
    monkeypatch.delenv("SKARVO_REQUIRE_DATA", raising=False)
    get = conftest.gunzipper(tmp_path_factory)
    for _ in range(2):  # the second call once found a remembered path without its file
        with pytest.raises(pytest.skip.Exception):
            get(GEOP)
