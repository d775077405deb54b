"""The skarvo-mp command: reports on real files with and without orbits, the
JSON against the module's own numbers, the HTML page, figures, batches with a
broken file, temporary files, and the error paths."""
import collections
import csv
import gzip
import html.parser
import importlib.util
import io
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np
import pytest

import skarvo_mp as mp
from skarvo_tools import plots, report, runner
from skarvo_tools.simulate import simulate_station

from conftest import data_path, run_cli as run

ROOT = pathlib.Path(__file__).resolve().parents[1]
PDEL = "rinex3/pdel0010.21o"
FLRS = "odd/flrs0010.12o"
IGS = "sp3/igs21385.sp3"


class Page(html.parser.HTMLParser):
    """Tables (by class, rows of cell texts), image sources, links and title of a page."""

    def __init__(self, text):
        super().__init__()
        self.tables, self.images, self.links, self.cell = {}, [], [], None
        self.title = re.search(r"<title>(.*?)</title>", text, re.S).group(1)
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "table":
            self.table = self.tables.setdefault(a.get("class", ""), [])
        elif tag == "tr":
            self.table.append([])
        elif tag in ("td", "th"):
            self.cell = []
        self.images += [a["src"]] if tag == "img" else []
        self.links += [a["href"]] if tag == "a" else []

    def handle_endtag(self, tag):
        if tag in ("td", "th"):
            self.table[-1].append("".join(self.cell).strip())
            self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell.append(data)


@pytest.fixture(scope="module")
def small_sim(tmp_path_factory):
    """A short simulated day: plain SP3, gzip SP3 and the observation file."""
    folder = tmp_path_factory.mktemp("clisim")
    sim = simulate_station(seed=21, duration_s=3 * 3600.0, gps=8, galileo=4, glonass=2)
    return {
        "sim": sim,
        "obs": sim.write_rinex(str(folder / (sim.rinex_name() + ".gz"))),
        "sp3": sim.write_sp3(str(folder / sim.sp3_name())),
        "sp3gz": sim.write_sp3(str(folder / (sim.sp3_name() + ".gz"))),
    }


# -- the command line itself -----------------------------------------------------------

def test_help_imports_neither_numpy_nor_matplotlib_nor_the_module():
    code = ("import sys; from skarvo_tools.cli import main; rc = main(['--help']); "
            "assert rc == 0, rc; bad = [m for m in ('numpy', 'matplotlib', 'skarvo_mp') if m in sys.modules]; "
            "assert not bad, bad")
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "report" in done.stdout and "demo" in done.stdout
    rc, out, err = run()  # no command: the help, and status 2
    assert rc == 2 and "usage: skarvo-mp" in out and err == ""


@pytest.mark.parametrize("args, message", [
    (["report", "missing.rnx"], "skarvo-mp: error: observation file not found: missing.rnx"),
    (["report", "nowhere/*.rnx"], "skarvo-mp: error: no observation file matches 'nowhere/*.rnx'"),
    (["report", "{file}", "--systems", "G,X"],
     "skarvo-mp: error: --systems: unknown system 'X' (use letters among G R E C J S I)"),
    (["report", "{file}", "--systems", ","], "skarvo-mp: error: --systems: no system given"),
    (["report", "{file}", "--position", "52.0", "5.0", "60"],
     "skarvo-mp: error: --position expects ECEF X Y Z in metres (distance from the Earth's centre "
     "6000-6600 km), got 0.1 km"),
    (["report", "{file}", "--position", "1", "nan", "2"],
     "skarvo-mp report: argument --position: must be finite, got 'nan' (see --help)"),
    (["report", "{file}", "--jobs", "0"], "skarvo-mp report: argument --jobs: must be at least 1, got '0' (see --help)"),
    (["report", "{file}", "--antenna-height", "-2"],
     "skarvo-mp report: argument --antenna-height: must be a positive number, got '-2' (see --help)"),
    (["report", "{file}", "--bogus"], "skarvo-mp: unrecognized arguments: --bogus (see --help)"),
    (["report"], "skarvo-mp report: the following arguments are required: OBS (see --help)"),
    (["demo", "--seed", "x"], "skarvo-mp demo: argument --seed: not a whole number: 'x' (see --help)"),
    (["demo", "--hours", "0"], "skarvo-mp demo: argument --hours: must be a positive number, got '0' (see --help)"),
    (["frobnicate"], "skarvo-mp: argument COMMAND: invalid choice: 'frobnicate' (choose from 'report', 'demo', "
                     "'reflector', 'archive', 'timeline') (see --help)"),
    (["report", "{dir}"], "skarvo-mp: error: no RINEX observation file found in the folder {dir}"),
    (["report", "{file}", "--elevation-mask", "90"],
     "skarvo-mp report: argument --elevation-mask: must lie in [0, 90) degrees, got '90' (see --help)"),
    (["report", "{file}", "--exclude-codes", "L3"],
     "skarvo-mp report: argument --exclude-codes: 'L3' is not a signal code: use a 3-character code such as "
     "C1C or L3Q, or a system letter and a code such as RL3Q (see --help)"),
    (["report", "{file}", "--gf-threshold", "0.1"],
     "skarvo-mp report: argument --gf-threshold: expected 2 arguments (see --help)"),
    (["report", "{file}", "--out", "{file}"], "skarvo-mp: error: --out {file} exists and is not a folder"),
], ids=lambda v: v if isinstance(v, str) and len(v) < 30 else None)
def test_user_errors_give_one_line_and_status_2(tmp_path, args, message):
    (tmp_path / "obs.rnx").write_text("x\n")
    fill = lambda a: a.replace("{file}", str(tmp_path / "obs.rnx")).replace("{dir}", str(tmp_path))  # noqa: E731
    assert run(*map(fill, args)) == (2, "", fill(message) + "\n")


def test_internal_error_is_one_line_unless_debugging(data, monkeypatch):
    from skarvo_tools import report

    def broken(*args, **kwargs):
        raise RuntimeError("boom")

    monkeypatch.setattr(report, "snr_table", broken)
    monkeypatch.delenv("SKARVO_MP_DEBUG", raising=False)
    rc, out, err = run("report", data(PDEL), "--json")
    assert (rc, out) == (1, "")
    assert err == "skarvo-mp: internal error: RuntimeError: boom (set SKARVO_MP_DEBUG=1 for the traceback)\n"
    monkeypatch.setenv("SKARVO_MP_DEBUG", "1")
    with pytest.raises(RuntimeError, match="boom"):
        run("report", data(PDEL), "--json")


@pytest.mark.parametrize("option, content, name, message", [
    ("--sp3", None, "absent.sp3", "SP3 file not found: {path}"),
    ("--sp3", b"\x1f\x8b\x08\x00garbage", "bad.sp3.gz",
     "unreadable SP3 file {path}: Failed to read SP3: I/O error: unexpected end of gzip stream"),
    ("--sp3", b"this is not an orbit file\n", "text.sp3", "SP3 file {path} holds no usable orbit records"),
    ("--sp3", b"\xff\xfe\x00binary\n", "binary.sp3", "unreadable SP3 file {path}: Failed to read SP3: "),
    ("--nav", None, "bad.rnx", "navigation file not found: {path}"),
    ("--nav", b"     3.04           OBSERVATION DATA    M                   RINEX VERSION / TYPE\n", "bad.rnx",
     "Failed to read navigation file {path}: Navigation file error: line 1: an observation file"),
])
def test_unusable_orbit_file_is_a_user_error(tmp_path, data, option, content, name, message):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    rc, out, err = run("report", data(PDEL), option, path, "--no-plots", "--out", tmp_path / "out")
    assert (rc, out) == (2, "")
    assert err.startswith("skarvo-mp: error: " + message.format(path=path))
    assert err.count("\n") == 1 and "Traceback" not in err
    assert not (tmp_path / "out").exists()


# -- reports on real files ------------------------------------------------------------------

def test_json_matches_the_module_numbers(data, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    path = str(data(PDEL))
    rc, out, err = run("report", path, "--json", "--no-plots")
    assert rc == 0, err
    assert os.listdir(tmp_path) == []  # --json without --out writes nothing
    doc = json.loads(out)
    assert doc["schema"] == "skarvo-mp-report/1"

    obs = mp.read_rinex_obs(path)
    results = mp.MultipathAnalyzer(obs).analyze()
    f = doc["file"]
    assert (f["marker"], f["receiver"], f["rinex_version"], f["epochs"], f["satellites"]) == (
        obs.marker_name, obs.receiver_type, obs.version, obs.num_epochs, obs.num_satellites)
    assert f["satellites_by_system"] == obs.satellites_by_system()
    assert (f["first_epoch"], f["last_epoch"], f["interval_s"]) == (
        obs.first_epoch().to_iso(), obs.last_epoch().to_iso(), obs.interval)  # no event records here
    assert f["station"] == "PDEL" and f["day"] == "2021-01-01" and f["doy"] == 1

    rows = [(r["signal"], r["code"], r["estimates"], r["rms_m"], r["weighted_rms_m"], r["mean_m"], r["std_m"],
             r["min_m"], r["max_m"], r["cycle_slips"]) for r in doc["multipath"]]
    # Without elevations there is no weighted RMS to show.
    assert rows == [(s.signal, s.code, s.count, s.rms, None, s.mean, s.std_dev, s.min, s.max,
                     s.cycle_slips) for s in results.statistics]

    cs = doc["cycle_slips"]
    assert cs["total"] == results.total_cycle_slips()
    assert cs["by_method"] == {"gf": 0, "code_phase": 0, "lli": 0} | collections.Counter(
        s.method for s in results.cycle_slips)
    assert cs["by_signal"] == results.cycle_slip_counts
    pairs = {(e.satellite, e.epoch) for e in results.estimates}
    assert cs["observations"] == len(pairs)
    slip_epochs = {(s.satellite, s.epoch) for s in results.cycle_slips}
    assert cs["observations_per_slip"] == pytest.approx(len(pairs) / len(slip_epochs))

    assert [w for w in doc["warnings"] if "SP3" in w]
    assert doc["elevations"] is None

    # SNR statistics against NumPy on the module's series.
    values = collections.defaultdict(list)
    for sat in obs.satellites():
        for series in obs.get_snr_series(sat.id):
            values[(sat.id[0], series.code)] += series.values
    got = {(r["system"], r["code"]): r for r in doc["snr"]}
    assert list(got) == sorted(values, key=lambda k: ("GRECJSIM".index(k[0]), k[1]))
    for key, v in values.items():
        r = got[key]
        assert r["count"] == len(v)
        assert r["mean_dbhz"] == pytest.approx(np.mean(v), rel=1e-12)
        assert r["p10_dbhz"] == pytest.approx(np.percentile(v, 10), rel=1e-12)
        assert r["p90_dbhz"] == pytest.approx(np.percentile(v, 90), rel=1e-12)
    wv = doc["snr_wavelets"]
    assert [s["satellite"] for s in wv["satellites"]] == sorted(mp.analyze_snr_wavelets(obs)["residuals"])
    assert wv["bands_s"] == [[60.0, 120.0], [120.0, 300.0], [300.0, 900.0], [900.0, 1800.0]]


@pytest.fixture(scope="module")
def sp3_report(tmp_path_factory):
    """The report of pdel with orbits, Fresnel zones and figures: (folder, printed text)."""
    folder = tmp_path_factory.mktemp("rep")
    rc, out, err = run("report", data_path(PDEL), "--sp3", data_path(IGS), "--antenna-height", "2.5", "--out", folder)
    assert rc == 0, err
    return folder, out


def test_report_with_sp3_writes_page_figures_json_and_csv(data, sp3_report):
    out_dir, out = sp3_report
    path = str(data(PDEL))
    assert out.startswith("pdel0010.21o  (PDEL, 2021-01-01)")
    doc = json.loads((out_dir / "report.json").read_text())

    obs = mp.read_rinex_obs(path)
    results = mp.MultipathAnalyzer(obs).analyze()
    counts = results.compute_elevations(mp.read_sp3(str(data(IGS))), obs.approx_position)
    el = doc["elevations"]
    assert (el["computed"], el["failed"]) == counts
    assert el["receiver_source"] == "header" and el["computed"] > 0
    # Statistics of the estimates above the 10° mask; GLONASS has no orbit here, so no weighted RMS.
    masked = results.apply_elevation_mask(10.0)
    # A signal whose every estimate was masked has no statistics (None, not 0).
    assert [r["rms_m"] for r in doc["multipath"]] == [s.rms if s.count else None for s in masked.statistics]
    assert [r["weighted_rms_m"] for r in doc["multipath"]] == [
        s.weighted_rms if s.count and s.signal.startswith("GPS") else None for s in masked.statistics]
    assert [(r["system"], r["code"]) for r in doc["multipath"]] == [(s.system, s.code) for s in results.statistics]
    gps = [r for r in doc["multipath"] if r["system"] == "G"]
    assert gps and all(r["weighted_rms_m"] != r["rms_m"] for r in gps)
    assert doc["fresnel"]["footprints"] > 0

    page = Page((out_dir / "index.html").read_text())
    assert page.title == "PDEL 2021-01-01 multipath report"
    table = page.tables["multipath"]
    assert table[0][:4] == ["signal", "code", "estimates", "rms"]
    assert [r[0] for r in table[1:]] == [r["signal"] for r in doc["multipath"]]
    assert [int(r[2]) for r in table[1:]] == [r["estimates"] for r in doc["multipath"]]
    assert {"slips-by-method", "snr"} <= set(page.tables)
    assert "report.json" in page.links and "summary.csv" in page.links
    # Summary and figures come before the tables; every link inside the page has its target.
    text = (out_dir / "index.html").read_text()
    order = [text.index(f'<section id="{sid}">') for sid in ("summary", "figures", "file", "multipath", "slips")]
    assert order == sorted(order) and text.index("<img") < text.index('<table class="multipath"')
    assert all(f'id="{target}"' in text for target in re.findall(r'href="#([\w-]+)"', text))

    with open(out_dir / "summary.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [r["signal"] for r in rows] == [r["signal"] for r in doc["multipath"]]
    assert [float(r["rms_m"]) if r["rms_m"] else None for r in rows] == [r["rms_m"] for r in doc["multipath"]]

    if importlib.util.find_spec("matplotlib") is None:
        assert page.images == [] and any(w.startswith("plots skipped") for w in doc["warnings"])
    else:
        assert sorted(page.images) == sorted(doc["outputs"]["plots"])
        names = set(page.images)
        # GLONASS has no orbit here: its estimates are masked out, figures follow the tables.
        assert "mp_GPSM1C.png" in names and "mp_GLOM1C.png" not in names
        assert {"snr_G.png", "snr_band_power.png", "fresnel.png"} <= names
        for name in names:
            blob = (out_dir / name).read_bytes()
            assert blob[:8] == b"\x89PNG\r\n\x1a\n" and len(blob) > 5000


def test_fresnel_drawing_and_text_agree(data, sp3_report):
    folder, text = sp3_report
    fr = json.loads((folder / "report.json").read_text())["fresnel"]
    obs = mp.read_rinex_obs(str(data(PDEL)))
    results = mp.MultipathAnalyzer(obs).analyze()
    results.compute_elevations(mp.read_sp3(str(data(IGS))), obs.approx_position)
    prints = mp.fresnel_map(report.fresnel_tracks(results.estimates), 2.5)
    envelope = plots.fresnel_envelope(np, prints, 2.5, mp.GPS_L1_WAVELENGTH)
    assert max(e[3] for e in envelope) == pytest.approx(fr["max_reach_m"], rel=1e-9)
    assert fr["max_reach_m"] > fr["max_distance_m"] == pytest.approx(max(p["dist"] for p in prints))
    # Specular point h / tan e, zone centre beyond it, as fresnel_zone's documentation says.
    a, b, dist = mp.fresnel_zone(10.0, 2.5)
    assert dist == pytest.approx(2.5 / np.tan(np.radians(10.0)))
    assert report.fresnel_centre(10.0, 2.5, mp.GPS_L1_WAVELENGTH) > dist
    page = (folder / "index.html").read_text()
    assert f"up to {fr['max_reach_m']:.1f} m" in page and f"{fr['max_reach_m']:.1f} m" in text


def test_page_screenshot_in_a_headless_browser(sp3_report, tmp_path):
    browser = next(filter(None, map(shutil.which, ("chromium", "chromium-browser", "google-chrome"))), None)
    if browser is None:
        pytest.skip("no headless browser installed")
    shot = tmp_path / "page.png"
    subprocess.run([browser, "--headless", "--disable-gpu", "--no-sandbox", f"--screenshot={shot}",
                    "--window-size=1300,1800", (sp3_report[0] / "index.html").as_uri()],
                   capture_output=True, timeout=120, check=False)
    assert shot.exists() and shot.stat().st_size > 20_000 and shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_without_matplotlib_a_one_line_notice_and_no_figures(data, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    rc, out, err = run("report", data(PDEL), "--out", tmp_path)
    assert rc == 0, err
    notes = [l for l in out.splitlines() if l.startswith("note: plots skipped")]
    assert notes == ["note: plots skipped: matplotlib is not installed (pip install 'skarvo_mp[plots]')"]
    assert Page((tmp_path / "index.html").read_text()).images == []
    assert not list(tmp_path.glob("*.png"))


# -- orbits: compressed, merged, temporary files ---------------------------------------------

def test_gzip_sp3_is_read_in_place_and_the_report_is_deterministic(small_sim, tmp_path, monkeypatch):
    private_tmp = tmp_path / "tmp"
    private_tmp.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(private_tmp))
    docs = []
    for sp3 in ("sp3gz", "sp3", "sp3"):
        rc, _, err = run("report", small_sim["obs"], "--sp3", small_sim[sp3], "--no-plots", "--out",
                         tmp_path / f"run{len(docs)}")
        assert rc == 0, err
        doc = json.loads((tmp_path / f"run{len(docs)}" / "report.json").read_text())
        doc["outputs"]["folder"] = doc["elevations"]["sp3"] = doc["settings"]["sp3"] = None
        docs.append(doc)
    assert os.listdir(private_tmp) == []
    assert docs[0] == docs[1] == docs[2]
    assert docs[0]["elevations"]["estimates_after_mask"] == sum(r["estimates"] for r in docs[0]["multipath"])
    assert docs[0]["elevations"]["failed"] == 0


def test_compact_day_with_packed_orbit_needs_no_temporary_file(data, tmp_path, monkeypatch):
    crx = tmp_path / "P43300USA_R_20190012056_17M_15S_MO.crx.gz"
    crx.write_bytes(gzip.compress(data("crx/P43300USA_R_20190012056_17M_15S_MO.crx").read_bytes()))
    orbit = tmp_path / "igs20342.sp3.Z"
    ncompress = pytest.importorskip("ncompress")
    orbit.write_bytes(ncompress.compress(data("sp3/igs20342.sp3").read_bytes()))

    def refuse(*args, **kwargs):
        raise AssertionError("a temporary file was made")

    with monkeypatch.context() as m:
        for name in ("mkdtemp", "mkstemp", "NamedTemporaryFile", "TemporaryDirectory"):
            m.setattr(tempfile, name, refuse)
        rc, out, err = run("report", crx, "--json", "--no-plots", "--sp3", orbit)
    assert rc == 0, err
    packed = json.loads(out)
    rc, out, err = run("report", data("crx/P43300USA_R_20190012056_17M_15S_MO.rnx"), "--json", "--no-plots",
                       "--sp3", data("sp3/igs20342.sp3"))
    plain = json.loads(out)
    assert packed["multipath"] == plain["multipath"] and packed["elevations"]["computed"] > 0
    assert packed["elevations"]["computed"] == plain["elevations"]["computed"]


def test_sp3_files_of_a_split_day_are_merged(small_sim, tmp_path):
    lines = pathlib.Path(small_sim["sp3"]).read_text().splitlines(keepends=True)
    epochs = [i for i, l in enumerate(lines) if l.startswith("*")]
    middle, overlap = epochs[len(epochs) // 2], epochs[len(epochs) // 2 - 2]  # the second file repeats two epochs
    (tmp_path / "a.sp3").write_text("".join(lines[:middle] + ["EOF\n"]))
    with gzip.open(tmp_path / "b.sp3.gz", "wt") as f:
        f.write("".join(lines[:epochs[0]] + lines[overlap:]))
    rc, out, err = run("report", small_sim["obs"], "--json", "--no-plots", "--sp3", tmp_path / "b.sp3.gz",
                       tmp_path / "a.sp3")
    assert rc == 0, err
    merged = json.loads(out)
    rc, out, _ = run("report", small_sim["obs"], "--json", "--no-plots", "--sp3", small_sim["sp3"])
    whole = json.loads(out)
    assert merged["multipath"] == whole["multipath"]
    assert merged["elevations"]["computed"] == whole["elevations"]["computed"]
    assert merged["elevations"]["sp3"] == [str(tmp_path / "b.sp3.gz"), str(tmp_path / "a.sp3")]


def test_sp3_of_another_day_is_not_used_and_position_option_overrides_header(small_sim, data):
    rc, out, err = run("report", small_sim["obs"], "--json", "--no-plots", "--sp3", data(IGS))
    assert rc == 0, err
    doc = json.loads(out)
    assert doc["elevations"] is None
    assert any(w.startswith("no SP3 file covers 2025-06-15 00:00 to 2025-06-15 02:59") for w in doc["warnings"])
    x, y, z = (float(v) for v in small_sim["sim"].receiver_ecef)
    rc, out, err = run("report", small_sim["obs"], "--json", "--no-plots", "--sp3", small_sim["sp3"],
                       "--position", x + 1000.0, y, z)
    assert rc == 0, err
    el = json.loads(out)["elevations"]
    assert el["receiver_source"] == "option" and el["receiver_m"] == [x + 1000.0, y, z]


# -- batches ------------------------------------------------------------------------------------

def test_batch_with_a_broken_file(data, tmp_path):
    broken = tmp_path / "broken.rnx.gz"
    broken.write_bytes(b"\x1f\x8b\x08\x00 and then not gzip data at all")
    files = [str(data(PDEL)), str(broken), str(data(FLRS))]
    out_dir = tmp_path / "batch"
    rc, out, err = run("report", *files, "--out", out_dir, "--jobs", "2", "--no-plots")
    assert rc == 1
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"skarvo-mp: {broken}: Failed to read RINEX: ")
    assert out.splitlines()[-1] == f"2 of 3 files reported, 0 without multipath, 1 failed; combined CSV {out_dir / 'summary.csv'}"
    assert out.splitlines()[1].startswith(f"FAILED  {broken}: ")

    with open(out_dir / "summary.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [r["status"] for r in rows if r["file"] == str(broken)] == ["failed"]
    assert rows[[r["file"] for r in rows].index(str(broken))]["error"].startswith("Failed to read RINEX: ")
    for good in (files[0], files[2]):
        doc = json.loads((out_dir / pathlib.Path(good).stem / "report.json").read_text())
        mine = [r for r in rows if r["file"] == good]
        assert [r["signal"] for r in mine] == [r["signal"] for r in doc["multipath"]]
        assert [float(r["rms_m"]) for r in mine] == [r["rms_m"] for r in doc["multipath"]]

    page = Page((out_dir / "index.html").read_text())
    table = page.tables["batch"]
    assert len(table) == 4 and table[2][-1].startswith("failed: Failed to read RINEX")
    assert page.links == ["pdel0010/index.html", "flrs0010/index.html", "summary.csv"]
    for link in page.links:
        assert (out_dir / link).is_file()


def test_unsupported_file_alone_and_in_a_json_batch(data):
    path = data("odd/KOSG0010.95O")  # version written as "2", which the reader refuses
    message = "Failed to read RINEX: Unsupported RINEX version: 2"
    assert run("report", path, "--no-plots", "--json") == (1, "", f"skarvo-mp: {path}: {message}\n")
    rc, out, err = run("report", data(PDEL), path, "--json", "--jobs", "2")
    assert rc == 1
    doc = json.loads(out)
    assert doc["schema"] == "skarvo-mp-batch/1"
    assert [r["file"]["name"] for r in doc["reports"]] == ["pdel0010.21o"]
    assert doc["failures"] == [{"path": str(path), "error": message}]


def test_glob_expansion_and_folder_names(data, tmp_path):
    for sub in ("a", "b"):
        (tmp_path / sub).mkdir()
        (tmp_path / sub / "site.21o").write_bytes(data(PDEL).read_bytes())
    rc, out, err = run("report", str(tmp_path / "*" / "site.21o"), "--out", tmp_path / "out", "--no-plots",
                       "--jobs", "1")
    assert rc == 0, err
    assert all((tmp_path / "out" / name / "index.html").is_file() for name in ("site", "site_2"))
    a, b = (json.loads((tmp_path / "out" / name / "report.json").read_text()) for name in ("site", "site_2"))
    assert a["file"]["path"] == str(tmp_path / "a" / "site.21o")
    assert a["multipath"] == b["multipath"]


def test_progress_bar_only_on_a_terminal():
    class Tty(io.StringIO):
        def isatty(self):
            return True

    for stream, shown in ((Tty(), True), (io.StringIO(), False)):
        p = runner.Progress(3, stream)
        p.step(True, "a.rnx")
        p.step(False, "b.rnx")
        p.close()
        text = stream.getvalue()
        assert ("[####################..........] 2/3 files, 1 failed  b.rnx" in text) is shown
        assert (text == "") is not shown


def test_python_dash_m_runs_the_command(data):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(mp.__file__), str(ROOT / "python")]))
    done = subprocess.run([sys.executable, "-m", "skarvo_tools", "report", str(data(PDEL)), "--json", "--no-plots"],
                          env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["file"]["marker"] == "PDEL"


# -- the demo --------------------------------------------------------------------------------

def test_demo_prints_report_and_truth_comparison(tmp_path):
    rc, out, err = run("demo", "--out", tmp_path / "demo", "--hours", "4", "--seed", "3", "--no-plots")
    assert rc == 0, err
    assert "Code multipath per signal" in out and "Truth against what skarvo_mp recovered" in out
    diffs = [float(l.split()[-1].rstrip("%")) for l in out.splitlines() if l.startswith("  GPSM1C ")
             and l.endswith("%")]
    assert len(diffs) == 1 and abs(diffs[0]) < 10.0
    summary = next(l for l in out.splitlines() if l.startswith("  Cycle slips:"))
    injected = int(summary.split()[2])
    assert injected >= 2
    assert summary.endswith(f"{injected} of those found at their epoch by every test expected to see them")
    assert "  gf/code_phase detections where no slip was injected: 0" in out
    names = sorted(p.name for p in (tmp_path / "demo").iterdir())
    assert names[:2] == ["SIM0SKVFIN_20251660000_01D_15M_ORB.SP3.gz", "SIMU00SIM_S_20251660000_04H_30S_MO.rnx.gz"]
    assert {"report", "truth.json"} <= set(names)
    truth = json.loads((tmp_path / "demo" / "truth.json").read_text())
    assert truth["seed"] == 3 and len(truth["slips"]) == injected
    assert (tmp_path / "demo" / "report" / "index.html").is_file()


def test_report_with_broadcast_orbits_names_its_source(data, tmp_path):
    nav_files = [data("nav/brdc0010.21n"), data("nav/dlf10010.21g")]
    rc, out, err = run("report", data(PDEL), "--nav", *nav_files, "--json", "--no-plots")
    assert rc == 0, err
    doc = json.loads(out)
    el = doc["elevations"]
    assert el["source"] == "broadcast" and el["nav"] == [str(p) for p in nav_files] and el["sp3"] == []
    obs = mp.read_rinex_obs(str(data(PDEL)))
    results = mp.MultipathAnalyzer(obs).analyze()
    merged = mp.read_rinex_nav(str(nav_files[0])).merged(mp.read_rinex_nav(str(nav_files[1])))
    assert (el["computed"], el["failed"]) == results.compute_elevations(merged, obs.approx_position)
    assert el["computed"] > 0 and doc["settings"]["nav"] == el["nav"]
    assert not any("SP3" in w for w in doc["warnings"])
    rc, text, err = run("report", data(PDEL), "--nav", nav_files[0], "--no-plots", "--out", tmp_path / "t")
    assert rc == 0 and "broadcast orbits of brdc0010.21n" in text
    # Precise orbits win when both are given.
    rc, out, err = run("report", data(PDEL), "--nav", nav_files[0], "--sp3", data(IGS), "--json", "--no-plots")
    assert json.loads(out)["elevations"]["source"] == "sp3"


def test_tracks_leave_out_estimates_without_an_orbit_position():
    from types import SimpleNamespace

    from skarvo_tools.report import fresnel_tracks

    def est(sat, epoch, el, az):
        return SimpleNamespace(satellite=sat, epoch=epoch, elevation=el, azimuth=az)

    estimates = [est("G01", "2020-01-01T00:00:30.000Z", 20.0, 100.0), est("G01", "2020-01-01T00:00:00.000Z", 19.0, 99.0),
                 est("G02", "2020-01-01T00:00:00.000Z", float("nan"), float("nan")),  # not in the orbit
                 est("G03", "2020-01-01T00:00:00.000Z", 45.0, 0.0)]  # placeholder: no orbit given
    assert fresnel_tracks(estimates) == [("G01", [99.0, 100.0], [19.0, 20.0])]
