"""The archive on Dask: a real local cluster of two worker processes (127.0.0.1
only) over real files and broken ones; resumed runs, interrupted and crashed
runs, a worker killed in the middle of a task, rows against the module's own
numbers, and the timeline pages."""
import os
import re
import signal
import threading
import time

import pytest

pytest.importorskip("distributed")
pytest.importorskip("pyarrow")

import pandas as pd  # noqa: E402

import skarvo_mp as mp  # noqa: E402
from skarvo_tools import archive, archive_store, timeline  # noqa: E402
from skarvo_tools.errors import UserError  # noqa: E402

from conftest import data_path, run_cli  # noqa: E402

REAL = ["rinex3/pdel0010.21o", "rinex2/delf0010.21o", "odd/flrs0010.12o", "rinex2/zegv0010.21o",
        "rinex3/ACOR00ESP_R_20213550000_01D_30S_MO.rnx", "rinex3/CEDA00USA_R_20182100000_23H_15S_MO.rnx.gz"]
IGS = "sp3/igs21385.sp3"
SLOW = "rinex3/CEDA00USA_R_20182100000_23H_15S_MO.rnx.gz"

needs_cluster = pytest.mark.skipif(
    os.environ.get("SKARVO_SANITIZED") == "1",
    reason="worker processes would start under the sanitizer runtime as well: the cluster starts slowly and the "
           "timing of the worker-kill test is unreliable there; the per-file work of the tasks is checked by "
           "the other tests of the sanitizer run")


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster
    import logging

    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address="127.0.0.1:0",
                           scheduler_kwargs={"dashboard": False}, silence_logs=logging.CRITICAL)
    c = Client(cluster)
    yield c
    c.close()
    cluster.close()


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """The real files (the slowest first) and three broken ones."""
    folder = tmp_path_factory.mktemp("broken")
    (folder / "bad00010.21o").write_text("this is not a RINEX file\n")
    (folder / "empty0010.21o").write_bytes(b"")
    header = data_path("rinex3/pdel0010.21o").read_text().split("END OF HEADER")[0] + "END OF HEADER\n"
    (folder / "hdr00010.21o").write_text(header)  # a header without epochs
    real = [str(data_path(r)) for r in [SLOW] + [r for r in REAL if r != SLOW]]
    return real + [str(folder / n) for n in ("bad00010.21o", "empty0010.21o", "hdr00010.21o")]


@pytest.fixture(scope="module")
def settings():
    return archive.ArchiveSettings(systems=("G", "R", "E", "C"),
                                   orbits=tuple(archive.scan_orbits([str(data_path(IGS))])))


def tables(run_dir):
    """The three tables as sorted pandas frames (physical layout ignored)."""
    out = {}
    for name, keys in (("signals", ["file", "signal"]), ("files", ["file"]), ("failures", ["file"])):
        t = archive_store.read_table(str(run_dir), name).to_pandas()
        out[name] = t.sort_values(keys).reset_index(drop=True)
    return out


def assert_same(a, b):
    for name in a:
        pd.testing.assert_frame_equal(a[name], b[name], check_like=False)


@pytest.fixture(scope="module")
def reference(client, inputs, settings, tmp_path_factory):
    run = tmp_path_factory.mktemp("reference")
    summary = archive.run_archive(str(run), inputs, settings, client)
    return run, summary, tables(run)


@needs_cluster
def test_run_rows_and_second_run_skips(client, inputs, settings, reference):
    run, summary, ref = reference
    assert (summary.ok + summary.no_multipath, summary.skipped) == (len(REAL), 0)
    assert sorted(ref["files"]["status"].unique()) in (["ok"], ["no multipath", "ok"])
    errors = dict(summary.failures)
    assert set(errors) == set(inputs[len(REAL):])
    assert "no observation epochs" in errors[inputs[-1]]
    assert sorted(ref["failures"]["file"]) == sorted(errors)

    # The rows of a file are the module's own numbers for it.
    pdel = str(data_path("rinex3/pdel0010.21o"))
    obs = mp.read_rinex_obs(pdel)
    results = mp.MultipathAnalyzer(obs, systems=["G", "R", "E", "C"]).analyze()
    computed, failed = results.compute_elevations(mp.read_sp3(str(data_path(IGS))), obs.approx_position)
    results = results.apply_elevation_mask(10.0)  # the report's default mask
    rows = ref["signals"][ref["signals"]["file"] == pdel].set_index("signal")
    assert list(rows.index) == sorted(s.signal for s in results.statistics)
    for s in results.statistics:
        r = rows.loc[s.signal]
        assert (r["estimates"], r["cycle_slips"]) == (s.count, s.cycle_slips)
        if s.count:
            assert r["rms_m"] == pytest.approx(s.rms, rel=1e-12)
        if s.count and s.system == "G":  # the orbit file places GPS only: no weighted RMS for the others
            assert r["weighted_rms_m"] == pytest.approx(s.weighted_rms, rel=1e-12)
        else:
            assert pd.isna(r["weighted_rms_m"])
        assert (r["elevations_computed"], r["elevations_failed"]) == (computed, failed)
        assert (r["station"], str(r["day"]), r["orbit_source"]) == ("PDEL", "2021-01-01", "sp3")

    # The day's quality figures are the module's own too: completeness above
    # the mask from the signals' expected and observed counts, epochs, clock.
    q = mp.station_quality(obs, sp3=mp.read_sp3(str(data_path(IGS))), receiver=obs.approx_position,
                           systems=["G", "R", "E", "C"], elevation_mask=10.0)
    known = [(e, o) for _, _, e, o, _ in q["completeness"]["signals"] if e is not None]
    row = ref["files"][ref["files"]["file"] == pdel].iloc[0]
    assert (row["expected_observations"], row["observed_observations"]) == (
        sum(e for e, _ in known), sum(o for _, o in known))
    assert row["completeness_percent"] == pytest.approx(100.0 * sum(o for _, o in known) / sum(e for e, _ in known))
    assert (row["missing_epochs"], row["duplicated_epochs"], row["clock_jumps"], row["quality_mask_deg"]) == (
        q["time"]["missing_epochs"], q["time"]["duplicates"], len(q["clock"]["jumps"]), 10.0)

    # Readable without this package, partitioned by station and year.
    direct = pd.read_parquet(run / "signals")
    assert len(direct) == len(ref["signals"]) and {"station", "year"} <= set(direct.columns)

    before = {p: p.stat().st_mtime_ns for p in run.rglob("part-*.parquet")}
    again = archive.run_archive(str(run), inputs, settings, client)
    assert (again.skipped, again.submitted) == (len(inputs), 0)
    assert {p: p.stat().st_mtime_ns for p in run.rglob("part-*.parquet")} == before


class Stop(BaseException):
    """Ends a run the way a crash does: nothing after it runs in the loop."""


@needs_cluster
@pytest.mark.parametrize("how", ["ctrl-c", "crash"])
def test_stopped_run_resumes_to_the_same_archive(client, inputs, settings, reference, tmp_path, how):
    seen = []

    def stop(result):
        seen.append(result["file"])
        if len(seen) == 3:
            raise KeyboardInterrupt if how == "ctrl-c" else Stop

    with pytest.raises(KeyboardInterrupt if how == "ctrl-c" else Stop):
        archive.run_archive(str(tmp_path), inputs, settings, client, on_result=stop)
    journal = tmp_path / archive_store.JOURNAL
    if how == "crash":
        assert len(journal.read_text().splitlines()) == 3  # journalled, not yet in the tables
    else:
        with archive_store.Store(str(tmp_path), settings.stored()) as store:
            assert len(store.index) == 3
    resumed = archive.run_archive(str(tmp_path), inputs, settings, client)
    assert resumed.skipped == 3 and resumed.processed == len(inputs) - 3
    assert not journal.exists() or journal.stat().st_size == 0
    assert_same(tables(tmp_path), reference[2])


@needs_cluster
def test_worker_killed_in_the_middle_of_a_task_loses_nothing(client, inputs, settings, reference, tmp_path):
    pids = client.run(os.getpid)
    killed = []

    def killer():
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not killed:
            for worker, keys in client.processing().items():
                if any("CEDA" in str(k) for k in keys):
                    time.sleep(0.15)
                    os.kill(pids[worker], signal.SIGKILL)
                    killed.append(worker)
                    return
            time.sleep(0.01)

    thread = threading.Thread(target=killer)
    thread.start()
    summary = archive.run_archive(str(tmp_path), inputs, settings, client)
    thread.join()
    client.wait_for_workers(2, timeout=60)
    assert killed and killed[0] not in client.nthreads()
    assert summary.processed == len(inputs)
    assert_same(tables(tmp_path), reference[2])


@needs_cluster
def test_changed_and_failed_files_are_redone(client, settings, tmp_path):
    src = data_path("rinex2/zegv0010.21o").read_bytes()
    obs = tmp_path / "obs" / "zegv0010.21o"
    obs.parent.mkdir()
    obs.write_bytes(b"broken\n")
    run = tmp_path / "run"
    first = archive.run_archive(str(run), [str(obs)], settings, client)
    assert len(first.failures) == 1
    assert archive.run_archive(str(run), [str(obs)], settings, client).submitted == 0
    obs.write_bytes(src)  # repaired: new size and time
    fixed = archive.run_archive(str(run), [str(obs)], settings, client)
    assert (fixed.ok, fixed.failures) == (1, [])
    t = tables(run)
    assert t["failures"].empty and list(t["files"]["status"]) == ["ok"]
    assert archive.run_archive(str(run), [str(obs)], settings, client, redo=["all"]).submitted == 1
    assert len(tables(run)["signals"]) == len(t["signals"])  # replaced, not appended


@needs_cluster
def test_cli_archive_on_a_scheduler_and_timeline(client, inputs, tmp_path, reference):
    run = tmp_path / "run"
    rc, out, err = run_cli("archive", run, *inputs, "--sp3", data_path(IGS), "--scheduler", client.scheduler.address,
                           "--log-every", "4")
    assert rc == 1, err
    assert re.search(r"9 files processed .*: \d with multipath, \d without, 3 failed", out)
    assert "4/9 files" in err and "bad00010.21o" in err
    assert_same(tables(run), reference[2])
    assert run_cli("timeline", run, "--station", "PDEL")[0] == 0
    page = (run / "timeline" / "PDEL" / "index.html").read_text()
    assert "mp_rms.png" in page and 'class="equipment"' in page
    assert run_cli("timeline", run, "--station", "NOPE")[0] == 2


def test_timeline_pools_files_of_a_day_and_marks_equipment_changes():
    import datetime as dt

    d1, d2 = dt.date(2024, 1, 1), dt.date(2024, 1, 2)

    def file_row(day, name, receiver):
        return {"day": day, "file": name, "first_epoch": None, "receiver": receiver, "antenna": "ANT",
                "day_slips": 2, "day_slips_gf": 1, "day_slips_code_phase": 0, "day_slips_lli": 1,
                "day_slip_epochs": 2, "day_observations": 100, "orbit_source": "none"}

    files = [file_row(d1, "a", "REC A"), file_row(d1, "b", "REC A"), file_row(d2, "c", "REC B")]
    signals = [{"day": d1, "signal": "GPSM1C", "system": "G", "estimates": 100, "rms_m": 0.3,
                "snr_count": 10, "snr_mean_dbhz": 40.0},
               {"day": d1, "signal": "GPSM1C", "system": "G", "estimates": 300, "rms_m": 0.5,
                "snr_count": 30, "snr_mean_dbhz": 44.0}]
    h = timeline.StationHistory("X", files, signals, [])
    assert h.rms["GPSM1C"][d1] == pytest.approx(((100 * 0.09 + 300 * 0.25) / 400) ** 0.5)
    assert h.snr["GPSM1C"][d1] == pytest.approx(43.0)
    assert h.daily[d1]["observations_per_slip"] == pytest.approx(50.0)
    assert h.changes() == [(d2, "receiver REC A → REC B")]
    assert [e[:3] for e in h.equipment()] == [(d1, d1, "REC A"), (d2, d2, "REC B")]


@pytest.mark.parametrize("name, expected", [
    ("pdel0010.21o", True), ("york0440.15d", True), ("rob40020.13d.Z", True), ("ABCD0010.21O.gz", True),
    ("ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz", True), ("NYA100NOR_S_20241240000_01D_30S_MO.crx.gz", True),
    ("ESBC00DNK_R_20201770000_01D_MN.rnx.gz", False), ("brdc0010.21n", False), ("igs21385.sp3", False),
    ("z_tracking.rnx", True), ("MANIFEST.md", False),
])
def test_observation_names(name, expected):
    assert archive.is_observation_name(name) is expected
    navigation = name in ("ESBC00DNK_R_20201770000_01D_MN.rnx.gz", "brdc0010.21n")
    assert archive.is_navigation_name(name) is navigation


def test_discovery_walks_folders_and_refuses_nothing_found(tmp_path):
    (tmp_path / "a" / "b").mkdir(parents=True)
    for rel in ("a/x0010.21o", "a/b/y0010.21o.gz", "a/b/notes.txt", "a/brdc0010.21n"):
        (tmp_path / rel).write_text("")
    os.symlink(tmp_path / "a" / "x0010.21o", tmp_path / "link.21o")
    paths, ignored = archive.discover([str(tmp_path / "a"), str(tmp_path / "link.21o")])
    assert [os.path.relpath(p, tmp_path) for p in paths] == ["a/x0010.21o", "a/b/y0010.21o.gz"]
    assert ignored == 2
    for bad in ([str(tmp_path / "missing.21o")], [str(tmp_path / "*.22o")]):
        with pytest.raises(UserError):
            archive.discover(bad)


def test_store_guards_its_folder(tmp_path, settings):
    with archive_store.Store(str(tmp_path), settings.stored()):
        with pytest.raises(UserError, match="another archive run"):
            archive_store.Store(str(tmp_path), settings.stored()).open()
    with pytest.raises(UserError, match="systems"):
        archive_store.Store(str(tmp_path), {"systems": ["G"]}).open()


def test_journal_line_cut_short_is_dropped_and_the_rest_folded(tmp_path, settings):
    good = archive.failure("/x/a0010.21o", 10, 5, "broken")
    (tmp_path / archive_store.JOURNAL).write_text(
        __import__("json").dumps(good) + "\n" + '{"file": "/x/b0010.21o", "sta')
    with archive_store.Store(str(tmp_path), settings.stored()) as store:
        assert set(store.index) == {"/x/a0010.21o"}
    assert list(archive_store.read_table(str(tmp_path), "failures")["error"].to_pylist()) == ["broken"]


@needs_cluster
def test_broadcast_orbits_give_elevations(client, tmp_path):
    rc, _, err = run_cli("archive", tmp_path, data_path("rinex3/pdel0010.21o"), "--nav", data_path("nav/brdc0010.21n"),
                         "--scheduler", client.scheduler.address)
    assert rc == 0, err
    row = archive_store.read_table(str(tmp_path), "files").to_pylist()[0]
    assert row["orbit_source"] == "broadcast" and row["elevations_computed"] > 0
    assert row["orbit_files"] == str(data_path("nav/brdc0010.21n"))
