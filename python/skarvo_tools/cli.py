"""The `skarvo-mp` command.

    skarvo-mp report OBS [OBS ...] [--sp3 FILE ...] [--nav FILE ...] [--position X Y Z]
                     [--systems G,R,E,C] [--antenna-height H] [--out DIR]
                     [--json] [--no-plots] [--jobs N] [analysis options]
    skarvo-mp demo [--out DIR] [--seed N] [--hours H] [--no-plots]
    skarvo-mp reflector OBS (--sp3 FILE [FILE ...] | --nav FILE [FILE ...]) [--elevation LO HI]
                     [--azimuth LO HI [LO HI ...]] [--heights LO HI] [--out DIR]
                     [--json] [--no-plots]
    skarvo-mp archive RUN_DIR OBS [OBS ...] [--sp3 FILE ... | --nav FILE ...]
                      [--systems G,R,E,C] [--scheduler ADDRESS] [--jobs N]
                      [--redo failed|no-orbits|all] [--log-every N] [analysis options]
    skarvo-mp timeline RUN_DIR [--station NAME ...] [--out DIR]

Analysis options (shared by every command that analyses files):
    --elevation-mask DEG, --include-codes LIST, --exclude-codes LIST,
    --gf-threshold BASE RATE, --code-phase-threshold BASE RATE

Exit status: 0 success (also for files read correctly that have no
multipath estimate: they are reported as "no multipath"), 1 when at least
one observation file failed (the others are still reported), 2 for a usage
error (one line on stderr, no traceback), 130 when interrupted (the files
done so far are summarised).
"""
from __future__ import annotations

import argparse
import glob
import gzip
import math
import os
import re
import sys
from typing import Any, Dict, List, Optional, Sequence, TextIO

from . import __version__
from .errors import FileFailure, UserError

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class _Parser(argparse.ArgumentParser):
    """argparse with a one-line error instead of the usage block."""

    def error(self, message: str):  # noqa: D401 - argparse API
        raise UserError(f"{self.prog}: {message} (see --help)")


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: '{text}'") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number, got '{text}'")
    return value


def _finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: '{text}'") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be finite, got '{text}'")
    return value


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: '{text}'") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got '{text}'")
    return value


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: '{text}'") from None
    if not 0 <= value < 2 ** 63:
        raise argparse.ArgumentTypeError(f"must lie in [0, 2^63), got '{text}'")
    return value


def _elevation_mask(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: '{text}'") from None
    if not (math.isfinite(value) and 0.0 <= value < 90.0):
        raise argparse.ArgumentTypeError(f"must lie in [0, 90) degrees, got '{text}'")
    return value


_CODE_ENTRY = re.compile(r"^[GRECJSIM]?[CLDSX][0-9][A-Z]$")


def _code_list(text: str) -> List[str]:
    out = []
    for piece in re.split(r"[,\s]+", text.strip()):
        if not piece:
            continue
        entry = piece.upper()
        if not _CODE_ENTRY.match(entry):
            raise argparse.ArgumentTypeError(
                f"'{piece}' is not a signal code: use a 3-character code such as C1C or L3Q, or a system "
                "letter and a code such as RL3Q")
        out.append(entry)
    if not out:
        raise argparse.ArgumentTypeError("no code given")
    return out


def _threshold(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: '{text}'") from None
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"must be a non-negative number, got '{text}'")
    return value


def add_analysis_options(parser: argparse.ArgumentParser) -> None:
    """The options of the multipath analysis, for every subcommand that
    analyses observation files; `analysis_settings` turns them into
    MultipathAnalyzer keyword arguments."""
    group = parser.add_argument_group("analysis options")
    group.add_argument("--elevation-mask", type=_elevation_mask, metavar="DEG",
                       help="elevation mask in degrees (default 10): with an orbit, estimates below it are "
                            "left out of every statistic")
    group.add_argument("--include-codes", type=_code_list, metavar="LIST",
                       help="analyse only these signals, comma-separated: codes (C1C) or system+code (GC1C)")
    group.add_argument("--exclude-codes", type=_code_list, metavar="LIST",
                       help="leave these signals out, comma-separated, e.g. RL3Q for a GLONASS L3Q phase "
                            "whose lock flaps every few epochs")
    group.add_argument("--gf-threshold", type=_threshold, nargs=2, metavar=("BASE", "RATE"),
                       help="cycle-slip threshold of the geometry-free test: BASE metres plus RATE metres "
                            "per second of time step (default 0.10 0.003)")
    group.add_argument("--code-phase-threshold", type=_threshold, nargs=2, metavar=("BASE", "RATE"),
                       help="cycle-slip threshold of the code-minus-phase test: BASE metres plus RATE "
                            "metres per second of time step (default 5.0 0.10)")


def analysis_settings(args: argparse.Namespace) -> Dict[str, Any]:
    """MultipathAnalyzer keyword arguments from the analysis options given
    (the elevation mask is returned separately by `elevation_mask_of`)."""
    out: Dict[str, Any] = {}
    if getattr(args, "include_codes", None):
        out["include_codes"] = list(args.include_codes)
    if getattr(args, "exclude_codes", None):
        out["exclude_codes"] = list(args.exclude_codes)
    if getattr(args, "gf_threshold", None):
        out["ion_delta_base"], out["ion_delta_rate"] = args.gf_threshold
    if getattr(args, "code_phase_threshold", None):
        out["cp_delta_base"], out["cp_delta_rate"] = args.code_phase_threshold
    return out


def elevation_mask_of(args: argparse.Namespace) -> Optional[float]:
    return getattr(args, "elevation_mask", None)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="skarvo-mp", description=(
        "GNSS observation quality: code multipath, cycle slips, SNR and ground reflections "
        "of RINEX observation files, as tables, JSON, figures and an HTML page."))
    parser.add_argument("--version", action="version", version=f"skarvo-mp {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    rep = sub.add_parser("report", help="report on one or many RINEX observation files",
                         description="Report on RINEX observation files (plain, .gz, .Z, compact RINEX). With several files "
                                     "(or a quoted glob) they are processed in parallel and a combined CSV "
                                     "is written.")
    rep.add_argument("obs", nargs="+", metavar="OBS",
                     help="observation file(s), quoted glob pattern(s) or folder(s); a folder is searched, "
                          "with its subfolders, for RINEX observation files (recognised by their content, "
                          "whatever their names)")
    rep.add_argument("--sp3", nargs="+", action="extend", default=[], metavar="FILE",
                     help="SP3 orbit file(s), plain, .gz or .Z, for elevations (files of neighbouring days are "
                          "merged; put OBS first or use --sp3 last)")
    rep.add_argument("--nav", nargs="+", action="extend", default=[], metavar="FILE",
                     help="RINEX navigation file(s) (versions 2-4, plain or .gz): broadcast orbits for "
                          "elevations when no --sp3 is given (several files, e.g. one per system, are merged)")
    rep.add_argument("--position", nargs=3, type=_finite_float, metavar=("X", "Y", "Z"),
                     help="receiver ECEF position in metres (default: the header's APPROX POSITION XYZ)")
    rep.add_argument("--systems", default=None, metavar="G,R,E,C",
                     help="systems to analyse, as letters (default G,R,E,C)")
    rep.add_argument("--antenna-height", type=_positive_float, metavar="H",
                     help="antenna height above the reflecting ground (m): draws the Fresnel zones")
    rep.add_argument("--out", metavar="DIR", help="folder for index.html, report.json, summary.csv and "
                     "figures (default ./skarvo-mp-report; with --json, nothing is written unless --out "
                     "is given)")
    rep.add_argument("--json", action="store_true", help="print the report as JSON on stdout")
    rep.add_argument("--no-plots", action="store_true", help="do not draw figures")
    rep.add_argument("--jobs", type=_positive_int, metavar="N",
                     help="worker processes for several files (default: one per core)")
    rep.add_argument("--reflector", action="store_true",
                     help="add reflector heights from SNR (needs --sp3 or --nav; also done with --antenna-height)")
    add_analysis_options(rep)

    demo = sub.add_parser("demo", help="simulate a station-day and report on it against the truth",
                          description="Simulate a station-day with known multipath, cycle slips and a ground "
                                      "reflector, run the full report on it and compare the results with "
                                      "the truth.")
    demo.add_argument("--out", default="skarvo-mp-demo", metavar="DIR",
                      help="folder for the simulated files and the report (default ./skarvo-mp-demo)")
    demo.add_argument("--seed", type=_seed, default=1, metavar="N", help="random seed (default 1)")
    demo.add_argument("--hours", type=_positive_float, default=24.0, metavar="H",
                      help="length of the simulated span in hours (default 24)")
    demo.add_argument("--no-plots", action="store_true", help="do not draw figures")

    ref = sub.add_parser("reflector", help="reflector heights below the antenna from SNR interference",
                         description="Reflector heights from the SNR of rising and setting satellite arcs: "
                                     "a Lomb-Scargle periodogram of delta-SNR against sin(elevation) per arc, "
                                     "quality control, the robust daily height per signal and combined, and a "
                                     "height against time from the wavelet ridge of the accepted arcs.")
    ref.add_argument("obs", metavar="OBS", help="observation file (plain or .gz)")
    ref.add_argument("--sp3", nargs="+", action="extend", default=[], metavar="FILE",
                     help="SP3 orbit file(s) covering the day (plain or .gz)")
    ref.add_argument("--nav", nargs="+", action="extend", default=[], metavar="FILE",
                     help="RINEX navigation file(s): broadcast orbits when no --sp3 is given "
                          "(several files are merged)")
    ref.add_argument("--position", nargs=3, type=_finite_float, metavar=("X", "Y", "Z"),
                     help="receiver ECEF position in metres (default: the header's APPROX POSITION XYZ)")
    ref.add_argument("--elevation", nargs=2, type=_finite_float, default=[5.0, 25.0], metavar=("LO", "HI"),
                     help="elevation window in degrees (default 5 25)")
    ref.add_argument("--azimuth", nargs="+", type=_finite_float, metavar="DEG",
                     help="azimuth sectors as pairs LO HI in degrees (LO > HI wraps through north)")
    ref.add_argument("--heights", nargs=2, type=_finite_float, default=[0.5, 8.0], metavar=("LO", "HI"),
                     help="reflector heights searched, metres (default 0.5 8)")
    ref.add_argument("--height-step", type=_positive_float, default=0.01, metavar="M",
                     help="grid step of the periodogram, metres (default 0.01; the peak is refined)")
    ref.add_argument("--systems", default=None, metavar="G,R,E,C", help="systems to use (default: all)")
    ref.add_argument("--codes", default=None, metavar="S1C,S2W", help="S-codes to use (default: all)")
    ref.add_argument("--min-amplitude", type=_finite_float, default=2.0, metavar="A",
                     help="smallest accepted peak amplitude, linear SNR units (default 2)")
    ref.add_argument("--min-peak-to-noise", type=_finite_float, default=3.0, metavar="R",
                     help="smallest accepted peak over the mean periodogram (default 3)")
    ref.add_argument("--min-coverage", type=_finite_float, default=0.75, metavar="F",
                     help="smallest accepted fraction of the elevation window an arc spans (default 0.75)")
    ref.add_argument("--knot-spacing", type=_positive_float, default=3600.0, metavar="S",
                     help="spline knot spacing of the height against time, seconds (default 3600)")
    ref.add_argument("--out", metavar="DIR", help="folder for reflector.json, the CSV tables and figures "
                     "(default ./skarvo-mp-reflector; with --json nothing is written unless --out is given)")
    ref.add_argument("--json", action="store_true", help="print the result as JSON on stdout")
    ref.add_argument("--no-plots", action="store_true", help="do not draw figures")

    arc = sub.add_parser("archive", help="process many observation files on Dask into a Parquet archive",
                         description="Process observation files (plain, .gz, .Z, compact; folders are walked "
                                     "recursively) on a Dask cluster, one task per file, into a resumable "
                                     "Parquet archive in RUN_DIR: signals/ and files/ partitioned by station "
                                     "and year, failures/. Files already in the archive with the same path, "
                                     "size and modification time are skipped.")
    arc.add_argument("run_dir", metavar="RUN_DIR", help="folder of the archive (created when missing)")
    arc.add_argument("obs", nargs="+", metavar="OBS", help="observation files, folders or quoted glob patterns")
    orbits = arc.add_mutually_exclusive_group()
    orbits.add_argument("--sp3", nargs="+", action="extend", default=[], metavar="FILE",
                        help="SP3 orbit files, folders or globs (plain, .gz or .Z); each observation file uses "
                             "those that cover its span")
    orbits.add_argument("--nav", nargs="+", action="extend", default=[], metavar="FILE",
                        help="RINEX navigation files, folders or globs (versions 2-4, plain or .gz): broadcast "
                             "orbits instead of SP3; all of them are merged and serve every file")
    arc.add_argument("--systems", default=None, metavar="G,R,E,C",
                     help="systems to analyse, as letters (default G,R,E,C)")
    arc.add_argument("--scheduler", metavar="ADDRESS",
                     help="address of a running Dask scheduler, e.g. tcp://10.0.0.5:8786 (default: a local "
                          "cluster of one single-threaded worker process per core)")
    arc.add_argument("--jobs", type=_positive_int, metavar="N",
                     help="worker processes of the local cluster (default: one per core)")
    arc.add_argument("--redo", action="append", choices=("failed", "no-orbits", "all"), default=[],
                     help="process again files already in the archive: those that failed, those analysed "
                          "without orbits, or all (may be repeated)")
    arc.add_argument("--log-every", type=_positive_int, default=100, metavar="N",
                     help="when stderr is not a terminal, a progress line every N files (default 100)")
    add_analysis_options(arc)

    tl = sub.add_parser("timeline", help="station timelines of an archive: figures and an HTML page",
                        description="Draw the timelines of the stations of an archive: multipath RMS per "
                                    "signal, slips and observations per slip, SNR per signal, with markers "
                                    "where the receiver or antenna changed.")
    tl.add_argument("run_dir", metavar="RUN_DIR", help="folder of an archive made by 'skarvo-mp archive'")
    tl.add_argument("--station", action="append", default=[], metavar="NAME",
                    help="only this station (may be repeated; default: every station)")
    tl.add_argument("--out", metavar="DIR", help="folder for the pages and figures (default RUN_DIR/timeline)")
    return parser


def looks_like_observation_file(path: str) -> bool:
    """Whether a file holds RINEX observation data, judged by its first line
    (gzip is looked into): a RINEX VERSION / TYPE line of type O, or a
    compact RINEX first line."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
            if head[:2] == b"\x1f\x8b":
                f.seek(0)
                with gzip.GzipFile(fileobj=f) as z:
                    head = z.read(4096)
    except (OSError, EOFError, ValueError):
        return False
    text = head.decode("latin-1")
    first = next((line for line in text.splitlines() if line.strip()), "")
    label = first[60:].strip()
    if label == "RINEX VERSION / TYPE":
        return first[20:21] in ("O", "o")
    return label.startswith("CRINEX VERS")


def observation_files_in(folder: str) -> List[str]:
    """Observation files under `folder` (subfolders too, hidden entries
    skipped), in sorted order."""
    found = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for name in sorted(files):
            path = os.path.join(root, name)
            if not name.startswith(".") and os.path.isfile(path) and looks_like_observation_file(path):
                found.append(path)
    return found


def reflector_options(args):
    """ReflectorOptions from parsed arguments; UserError for a bad sector list."""
    from .reflector import ReflectorOptions
    from .report import parse_systems

    sectors = None
    if args.azimuth:
        if len(args.azimuth) % 2:
            raise UserError("--azimuth expects pairs LO HI of degrees")
        sectors = [(args.azimuth[i], args.azimuth[i + 1]) for i in range(0, len(args.azimuth), 2)]
    codes = None
    if args.codes:
        codes = [c.strip().upper() for c in args.codes.split(",") if c.strip()]
    return ReflectorOptions(elevation=tuple(args.elevation), azimuth=sectors, heights=tuple(args.heights),
                            height_step=args.height_step,
                            systems=parse_systems(args.systems) if args.systems else None, codes=codes,
                            min_amplitude=args.min_amplitude, min_peak_to_noise=args.min_peak_to_noise,
                            min_coverage=args.min_coverage, knot_spacing=args.knot_spacing)


def cmd_reflector(args, stdout: TextIO, stderr: TextIO) -> int:
    from . import reflector, runner, sp3files
    from .report import module

    path = expand_inputs([args.obs])[0]
    if not args.sp3 and not args.nav:
        raise UserError("reflector heights need orbits: give --sp3 FILE or --nav FILE")
    options = reflector_options(args)
    position = check_position(args.position)
    out_dir = args.out if args.out is not None else (None if args.json else "skarvo-mp-reflector")
    if out_dir and os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise UserError(f"--out {out_dir} exists and is not a folder")
    mp = module()
    nav = None
    if args.sp3:
        sources = sp3files.prepare(args.sp3, reader=mp.read_sp3)
    else:
        from .report import check_nav_files
        sources = []
        for one in check_nav_files(args.nav, mp):
            nav = one if nav is None else nav.merged(one)
    try:
        result = reflector.analyze(path, sources, options, position, nav=nav)
    except FileFailure as exc:
        stderr.write(f"skarvo-mp: {path}: {exc}\n")
        return EXIT_FAILED
    if out_dir:
        reflector.write_outputs(result, out_dir, not args.no_plots)
    stdout.write(runner.to_json(result.data) + "\n" if args.json else reflector.render_text(result.data))
    return EXIT_OK


def expand_inputs(patterns: Sequence[str]) -> List[str]:
    """Observation paths from arguments: globs are expanded (sorted), folders
    searched for observation files, literal paths must exist. Raises
    UserError for a missing file, an empty glob or a folder without
    observation files."""
    out: List[str] = []
    for p in patterns:
        if glob.has_magic(p) and not os.path.exists(p):
            matches = sorted(m for m in glob.glob(p) if os.path.isfile(m))
            if not matches:
                raise UserError(f"no observation file matches '{p}'")
            out += matches
        elif not os.path.exists(p):
            raise UserError(f"observation file not found: {p}")
        elif os.path.isdir(p):
            matches = observation_files_in(p)
            if not matches:
                raise UserError(f"no RINEX observation file found in the folder {p}")
            out += matches
        else:
            out.append(p)
    seen = set()
    return [p for p in out if not (os.path.realpath(p) in seen or seen.add(os.path.realpath(p)))]


def check_position(values) -> Optional[tuple]:
    if values is None:
        return None
    r = math.sqrt(sum(v * v for v in values))
    if not 6.0e6 <= r <= 6.6e6:
        raise UserError(f"--position expects ECEF X Y Z in metres (distance from the Earth's centre "
                        f"6000-6600 km), got {r / 1000:.1f} km")
    return tuple(values)


def cmd_report(args, stdout: TextIO, stderr: TextIO) -> int:
    from . import report as rep
    from . import runner, sp3files, tables

    paths = expand_inputs(args.obs)
    systems = rep.parse_systems(args.systems) if args.systems is not None else None
    position = check_position(args.position)
    out_dir = args.out if args.out is not None else (None if args.json else "skarvo-mp-report")
    if out_dir and os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise UserError(f"--out {out_dir} exists and is not a folder")
    mp = rep.module()

    sources = sp3files.prepare(args.sp3, reader=mp.read_sp3 if args.sp3 else None)
    nav = rep.check_nav_files(args.nav, mp) if args.nav and not args.sp3 else ()
    options = rep.ReportOptions(sp3=sources, position=position, systems=systems,
                                antenna_height=args.antenna_height, out_dir=out_dir,
                                plots=not args.no_plots, nav=tuple(args.nav) if nav else (),
                                reflector=args.reflector, analyzer=analysis_settings(args),
                                elevation_mask=elevation_mask_of(args))
    if len(paths) == 1:
        try:
            report = runner.report_one(paths[0], options)
        except FileFailure as exc:
            stderr.write(f"skarvo-mp: {paths[0]}: {exc}\n")
            return EXIT_FAILED
        stdout.write(runner.to_json(report.data) + "\n" if args.json else tables.render_text(report.data))
        return EXIT_OK

    jobs = args.jobs or os.cpu_count() or 1
    batch = runner.run_batch(paths, options, jobs, progress_stream=stderr)

    entries = batch.entries
    failed = [e for e in entries if e["status"] == runner.FAILED]
    for e in failed:
        stderr.write(f"skarvo-mp: {e['path']}: {e['error']}\n")
    if args.json:
        stdout.write(runner.to_json({
            "schema": "skarvo-mp-batch/1",
            "partial": batch.interrupted,
            "reports": [e["data"] for e in entries if e["status"] not in runner.NOT_REPORTED],
            "failures": [{"path": e["path"], "error": e["error"]} for e in failed],
            "not_reported": [e["path"] for e in entries if e["status"] == runner.INTERRUPTED],
        }) + "\n")
    else:
        for e in entries:
            stdout.write(batch_line(e) + "\n")
        # The quality summary line of every reported file, as a block.
        for e in entries:
            if e.get("data") and e["data"].get("quality"):
                stdout.write(f"{e['data']['quality']['summary_line']}  {os.path.basename(e['path'])}\n")
        stdout.write(runner.summary_text(batch, out_dir) + "\n")
    if batch.interrupted:
        stderr.write("skarvo-mp: interrupted\n")
        return EXIT_INTERRUPTED
    return EXIT_FAILED if failed else EXIT_OK


def batch_line(e: Dict[str, Any]) -> str:
    """One line per file of a batch: its status and headline numbers."""
    from . import runner, tables

    if e["status"] == runner.FAILED:
        return f"FAILED  {e['path']}: {e['error']}"
    if e["status"] == runner.INTERRUPTED:
        return f"interrupted {e['path']}: not reported"
    d = e["data"]
    head = f"{d['file']['path']}: {d['file']['station']} {d['file']['day']}, {d['file']['epochs']} epochs"
    if e["status"] == runner.NO_MULTIPATH:
        return (f"no multipath {head}, {d['cycle_slips']['total']} slips: "
                f"{d.get('status_reason') or 'no estimate'}")
    worst = max((r["rms_m"] for r in d["multipath"] if r["rms_m"] is not None), default=None)
    return (f"ok      {head}, {len(d['multipath'])} signals, largest RMS {tables.fmt(worst, 3)} m, "
            f"{d['cycle_slips']['total']} slips, {tables.fmt(d['cycle_slips']['observations_per_slip'], 1)} "
            "obs/slip")


def _archive_modules():
    try:
        from . import archive, archive_store
    except ImportError as exc:
        raise UserError(f"this command needs Dask and pyarrow ({exc.name} is missing): "
                        "pip install 'skarvo_mp[archive]'") from None
    return archive, archive_store


def cmd_archive(args, stdout: TextIO, stderr: TextIO) -> int:
    from . import report as rep

    archive, _ = _archive_modules()
    mp = rep.module()
    if os.path.exists(args.run_dir) and not os.path.isdir(args.run_dir):
        raise UserError(f"{args.run_dir} exists and is not a folder")
    systems = rep.parse_systems(args.systems) if args.systems is not None else list(rep.DEFAULT_SYSTEMS)
    # Folders: observation files by their names, the others by their content
    # as the report finds them.
    paths, ignored = archive.discover(args.obs, sniff=looks_like_observation_file)
    if ignored:
        stderr.write(f"skarvo-mp: {ignored} other files in the folders given were left out (not observation "
                     "files)\n")
    orbit_paths = archive.discover(args.sp3, archive.is_orbit_name, "SP3")[0] if args.sp3 else []
    nav_paths = archive.discover(args.nav, archive.is_navigation_name, "navigation")[0] if args.nav else []
    rep.check_nav_files(nav_paths, mp)
    mask = elevation_mask_of(args)
    settings = archive.ArchiveSettings(systems=tuple(systems), orbits=tuple(archive.scan_orbits(orbit_paths)),
                                       nav=tuple(nav_paths), analyzer=tuple(sorted(analysis_settings(args).items())),
                                       elevation_mask=rep.DEFAULT_ELEVATION_MASK if mask is None else mask)
    try:
        summary = archive.run_archive(args.run_dir, paths, settings,
                                      lambda: archive.open_client(args.scheduler, args.jobs), redo=args.redo,
                                      progress_stream=stderr, log_every=args.log_every)
    except KeyboardInterrupt as exc:
        done = getattr(exc, "summary", None)
        if done is not None:
            stderr.write(f"skarvo-mp: interrupted after {done.processed} of {done.submitted} files, which are "
                         f"kept in {args.run_dir}; run the same command again to go on\n")
        raise
    for path, error in summary.failures:
        stderr.write(f"skarvo-mp: {path}: {error}\n")
    if summary.submitted == 0 and not summary.failures:
        stdout.write(f"nothing to do: all {summary.found} files are already in {args.run_dir}\n")
        return EXIT_OK
    stdout.write(f"{summary.processed} files processed in {summary.wall_s:.1f} s on {summary.workers or 0} workers: "
                 f"{summary.ok} with multipath, {summary.no_multipath} without, {len(summary.failures)} failed; "
                 f"{summary.skipped} already in the archive. Tables: "
                 f"{os.path.join(args.run_dir, 'signals')}, files, failures\n")
    return EXIT_FAILED if summary.failures else EXIT_OK


def cmd_timeline(args, stdout: TextIO, stderr: TextIO) -> int:
    _archive_modules()
    from . import timeline

    if not os.path.isdir(args.run_dir):
        raise UserError(f"run folder not found: {args.run_dir}")
    out = args.out or os.path.join(args.run_dir, "timeline")
    pages, notes = timeline.write_timelines(args.run_dir, out, args.station or None)
    for note in notes:
        stderr.write(f"skarvo-mp: note: {note}\n")
    count = len(pages) - (0 if args.station else 1)
    stdout.write(f"{count} station timeline{'s' if count != 1 else ''} written to {out}: {pages[0]}\n")
    return EXIT_OK


def cmd_demo(args, stdout: TextIO, stderr: TextIO) -> int:
    from . import demo

    return demo.run(args.out, seed=args.seed, hours=args.hours, plots=not args.no_plots,
                    stdout=stdout, stderr=stderr)


def main(argv: Optional[Sequence[str]] = None, stdout: Optional[TextIO] = None,
         stderr: Optional[TextIO] = None) -> int:
    """Runs the command; returns the exit status (it never raises for user errors)."""
    stdout = stdout or sys.stdout
    stderr = stderr or sys.stderr
    parser = build_parser()
    try:
        args = parser.parse_args(list(argv) if argv is not None else None)
        if args.command is None:
            parser.print_help(stdout)
            return EXIT_USAGE
        if args.command == "report":
            return cmd_report(args, stdout, stderr)
        if args.command == "reflector":
            return cmd_reflector(args, stdout, stderr)
        if args.command == "archive":
            return cmd_archive(args, stdout, stderr)
        if args.command == "timeline":
            return cmd_timeline(args, stdout, stderr)
        return cmd_demo(args, stdout, stderr)
    except UserError as exc:
        stderr.write(f"skarvo-mp: error: {exc}\n" if not str(exc).startswith("skarvo-mp") else f"{exc}\n")
        return EXIT_USAGE
    except KeyboardInterrupt:
        stderr.write("skarvo-mp: interrupted\n")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # Output piped into a command that stopped reading (e.g. head): stop
        # quietly, and keep the interpreter from failing to flush at exit.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return EXIT_FAILED
    except SystemExit as exc:  # --help and --version
        return int(exc.code or 0) if not isinstance(exc.code, str) else EXIT_USAGE
    except OSError as exc:
        stderr.write(f"skarvo-mp: error: {exc}\n")
        return EXIT_USAGE
    except Exception as exc:  # a bug: say so in one line, keep the traceback for debugging
        if os.environ.get("SKARVO_MP_DEBUG"):
            raise
        stderr.write(f"skarvo-mp: internal error: {type(exc).__name__}: {exc} "
                     "(set SKARVO_MP_DEBUG=1 for the traceback)\n")
        return EXIT_FAILED
