"""Station-quality archives: many observation files processed on Dask.

Each observation file is one task on a `dask.distributed` cluster (by
default a local one, one single-threaded worker process per core): the
worker reads the file, runs the multipath analysis, attaches elevations when
orbits of its day were given, summarises SNR and slips (the per-file work of
the report, without wavelets or figures) and sends back compact rows. Tasks
carry file paths, not data, so the workers must see the files under the
same paths (one machine, or a shared file system). The run settings reach
every worker once, through a worker plugin that a restarted worker receives
again.

The client journals every finished file at once and folds the rows into the
Parquet tables of the run folder now and then (see `archive_store`), so a
run can be stopped at any time and started again: files already in the
archive with the same path, size and modification time are skipped.
"""
from __future__ import annotations

import collections
import contextlib
import dataclasses
import glob
import logging
import os
import re
import time
import traceback
import uuid
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple

from distributed import WorkerPlugin

from . import sp3files
from .errors import FileFailure, UserError
from .report import ReportOptions, build_report, file_stem

ORBITS_CACHED = 4


# -- finding the files -----------------------------------------------------------------

def is_observation_name(name: str) -> bool:
    """True for the names observation files go by: short names ending in
    .YYo or .YYd (compact), long names whose data type ends in O
    (..._MO.rnx, ..._GO.crx), and other .rnx, .crx or .obs files; each
    possibly with .gz or .Z."""
    n = name.lower()
    for ext in (".gz", ".z"):
        if n.endswith(ext):
            n = n[: -len(ext)]
            break
    if re.search(r"\.\d\d[od]$", n):
        return True
    long_name = re.search(r"_[a-z]([a-z])\.(rnx|crx)$", n)
    if long_name:
        return long_name.group(1) == "o"
    return n.endswith((".rnx", ".crx", ".obs"))


def is_orbit_name(name: str) -> bool:
    return re.search(r"\.(sp3|sp3c|eph)(\.gz|\.z)?$", name.lower()) is not None


def is_navigation_name(name: str) -> bool:
    """Navigation file names: short ones ending in .YYn, .YYg, .YYl, .YYp,
    ... (one letter per system), long ones whose data type ends in N
    (..._MN.rnx); possibly with .gz or .Z."""
    n = re.sub(r"\.(gz|z)$", "", name.lower())
    return re.search(r"(\.\d\d[nglpfhqi]|_[a-z]n\.rnx)$", n) is not None


def _walk(folder: str, accept: Callable[[str], bool],
          sniff: Optional[Callable[[str], bool]]) -> Tuple[List[str], int]:
    found, ignored = [], 0
    for top, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for name in sorted(files):
            if name.startswith("."):
                continue
            path = os.path.join(top, name)
            if accept(name) or (sniff is not None and sniff(path)):
                found.append(path)
            else:
                ignored += 1
    return found, ignored


def discover(patterns: Sequence[str], accept: Callable[[str], bool] = is_observation_name,
             what: str = "observation", sniff: Optional[Callable[[str], bool]] = None) -> Tuple[List[str], int]:
    """Absolute paths of the files named by `patterns`, and how many files of
    walked folders were left out.

    A file named explicitly is always taken; folders (and folders matched by
    a glob) are walked recursively, in sorted order, keeping the names
    `accept` likes and, among the others, the files `sniff` (given a path)
    recognises by their content. The same file reached twice (a symbolic
    link, a repeated argument) is kept once. Raises UserError for a missing
    path, a glob that matches nothing and when nothing at all is found.
    """
    out: List[str] = []
    ignored = 0
    for p in patterns:
        if glob.has_magic(p) and not os.path.exists(p):
            matches = sorted(glob.glob(p, recursive=True))
            if not matches:
                raise UserError(f"no {what} file matches '{p}'")
        elif not os.path.exists(p):
            raise UserError(f"{what} file not found: {p}")
        else:
            matches = [p]
        for m in matches:
            if os.path.isdir(m):
                found, skipped = _walk(m, accept, sniff)
                out += found
                ignored += skipped
            elif os.path.isfile(m) and (m == p or accept(os.path.basename(m))):
                out.append(m)
    seen = set()
    unique = []
    for p in out:
        real = os.path.realpath(p)
        if real not in seen:
            seen.add(real)
            unique.append(os.path.abspath(p))
    if not unique:
        raise UserError(f"no {what} files found in {' '.join(patterns)}")
    return unique, ignored


def scan_orbits(paths: Sequence[str]) -> List[sp3files.Sp3Source]:
    """The span and spacing of each SP3 file (plain, gzip or compress, read
    where it is). Raises UserError for a file that cannot be read or holds
    no epochs."""
    return sp3files.prepare(paths)


# -- the settings of a run, and what the workers do --------------------------------------

@dataclasses.dataclass(frozen=True)
class ArchiveSettings:
    """What every file of a run is analysed with."""

    systems: Optional[Tuple[str, ...]] = None
    orbits: Tuple[sp3files.Sp3Source, ...] = ()
    nav: Tuple[str, ...] = ()
    # MultipathAnalyzer keyword arguments (code lists, slip thresholds) as
    # sorted (name, value) pairs, and the elevation mask in degrees.
    analyzer: Tuple[Tuple[str, Any], ...] = ()
    elevation_mask: Optional[float] = None

    def stored(self) -> Dict[str, Any]:
        """The settings the results depend on, kept in the run folder: a later
        run into the same folder must use the same ones. (Orbit files are
        not among them: a daily run brings new ones.)"""
        return {"systems": list(self.systems) if self.systems else None,
                "elevation_mask_deg": self.elevation_mask,
                "analyzer": {k: list(v) if isinstance(v, (list, tuple)) else v for k, v in self.analyzer}}


_RUNS: Dict[str, ArchiveSettings] = {}
_ORBITS: "collections.OrderedDict[Tuple[str, ...], Any]" = collections.OrderedDict()
_NAV: Dict[Tuple[str, ...], Any] = {}


class RunSettings(WorkerPlugin):
    """Gives each worker (also one started later, or restarted after a crash)
    the settings of a run, under the run's token."""

    def __init__(self, token: str, settings: ArchiveSettings):
        self.token, self.settings = token, settings

    def setup(self, worker) -> None:
        _RUNS[self.token] = self.settings

    def teardown(self, worker) -> None:
        _RUNS.pop(self.token, None)
        _ORBITS.clear()
        _NAV.clear()


def read_orbits(chosen: Sequence[sp3files.Sp3Source]):
    """The module's SP3 object of the chosen orbit files (merged in time
    order), kept for the next files of the same days: the few most recent
    sets are cached per worker."""
    from .report import module

    key = tuple(s.given for s in chosen)
    if key in _ORBITS:
        _ORBITS.move_to_end(key)
        return _ORBITS[key]
    sp3 = module().read_sp3_files([s.given for s in chosen])
    _ORBITS[key] = sp3
    while len(_ORBITS) > ORBITS_CACHED:
        _ORBITS.popitem(last=False)
    return sp3


def read_navigation(paths: Sequence[str]):
    """The broadcast orbits of all navigation files of a run as one NavData,
    read once per worker (the module picks each satellite's ephemeris by
    time, so the files of every day can be merged)."""
    from .report import module, read_nav

    key = tuple(paths)
    if key not in _NAV:
        _NAV.clear()
        _NAV[key] = read_nav(module(), paths)
    return _NAV[key]


def failure(path: str, size: int, mtime_ns: int, error: str, station: Optional[str] = None) -> Dict[str, Any]:
    """The result of a file that could not be made into rows."""
    station = station or (file_stem(path)[:4].upper() or None)
    return {"file": path, "file_size": size, "file_mtime_ns": mtime_ns, "status": "failed", "station": station,
            "failure": {"file": path, "file_size": size, "file_mtime": mtime_ns, "station": station, "error": error}}


def _snr_code(code: Optional[str]) -> Optional[str]:
    """The SNR code of a pseudorange code: C1C -> S1C, P2 -> S2."""
    return "S" + code[1:] if code and code[0] in "CP" and len(code) >= 2 else None


def rows_from_report(data: Dict[str, Any], path: str, size: int, mtime_ns: int) -> Dict[str, Any]:
    """The rows of one file from its report data: one file row, one row per
    signal (with the SNR of the matching S-code), or a failure when the file
    has no epoch (no station-day to speak of)."""
    f = data["file"]
    if not f["day"]:
        return failure(path, size, mtime_ns, "the file holds no observation epochs", f["station"])
    cs = data["cycle_slips"]
    el = data.get("elevations")
    source = {"file": path, "file_size": size, "file_mtime": mtime_ns, "day": f["day"]}
    facts = {
        "receiver": f["receiver"], "antenna": f["antenna"], "marker": f["marker"],
        "rinex_version": f["rinex_version"], "interval_s": f["interval_s"], "epochs": f["epochs"],
        "first_epoch": f["first_epoch"], "last_epoch": f["last_epoch"],
        "orbit_source": _orbit_source(el),
        "orbit_files": _orbit_files(el),
        "elevations_computed": el["computed"] if el else None,
        "elevations_failed": el["failed"] if el else None,
        "day_slips": cs["total"],
        "day_slips_gf": cs["by_method"].get("gf", 0),
        "day_slips_code_phase": cs["by_method"].get("code_phase", 0),
        "day_slips_lli": cs["by_method"].get("lli", 0),
        "day_slip_epochs": cs["slip_epochs"],
        "day_observations": cs["observations"],
        "day_observations_per_slip": cs["observations_per_slip"],
    }
    facts.update(quality_columns(data))
    snr = {(r["system"], r["code"]): r for r in data["snr"] or []}
    signal_rows = []
    for m in data["multipath"]:
        s = snr.get((m["system"], _snr_code(m["code"])), {})
        signal_rows.append({**source, "signal": m["signal"], "system": m["system"], "code": m["code"],
                            "estimates": m["estimates"], "rms_m": m["rms_m"],
                            "weighted_rms_m": m["weighted_rms_m"], "mean_m": m["mean_m"], "std_m": m["std_m"],
                            "min_m": m["min_m"], "max_m": m["max_m"], "cycle_slips": m["cycle_slips"],
                            "observations_per_slip": m["observations_per_slip"],
                            "snr_code": _snr_code(m["code"]) if s else None, "snr_count": s.get("count"),
                            "snr_mean_dbhz": s.get("mean_dbhz"), "snr_p10_dbhz": s.get("p10_dbhz"),
                            "snr_p90_dbhz": s.get("p90_dbhz"), **facts})
    status = data.get("status") or ("ok" if signal_rows else "no multipath")
    reason = data.get("status_reason")
    if status != "ok" and not reason and not signal_rows:
        reason = "no signal could be paired for the multipath combination"
    file_row = {**source, "status": status, "status_reason": reason, "signals": len(signal_rows),
                "satellites": f["satellites"], **facts, "warnings": "; ".join(data["warnings"]) or None}
    return {"file": path, "file_size": size, "file_mtime_ns": mtime_ns, "status": file_row["status"],
            "station": f["station"], "file_row": file_row, "signal_rows": signal_rows}


def _orbit_source(el: Optional[Dict[str, Any]]) -> str:
    if not el:
        return "none"
    return "broadcast" if el.get("source") == "broadcast" else "sp3"


def _orbit_files(el: Optional[Dict[str, Any]]) -> Optional[str]:
    if not el:
        return None
    files = el.get("nav") if el.get("source") == "broadcast" else el.get("sp3")
    if not files:
        return None
    # Every navigation file of the run serves each day: name them when few.
    return ", ".join(files) if len(files) <= 3 else f"{len(files)} navigation files"


def quality_columns(data: Dict[str, Any]) -> Dict[str, Any]:
    """Per-day quality figures of the report's quality section, for the
    columns of `archive_store.QUALITY_COLUMNS` (None where the report has none)."""
    q = data.get("quality")
    if not q:
        from .archive_store import QUALITY_COLUMNS
        return {name: None for name, _ in QUALITY_COLUMNS}
    whole, t, clock = q["completeness"]["file"], q["time"], q["clock"]
    return {
        "quality_mask_deg": q["elevation_mask_deg"],
        "expected_observations": whole["expected"],
        "observed_observations": whole["observed"],
        "completeness_percent": whole["percent"],
        "missing_epochs": t["missing_epochs"],
        "gap_count": t["gap_count"],
        "duplicated_epochs": t["duplicates"],
        "out_of_order_epochs": t["out_of_order"],
        "event_records": len(t["events"]),
        "clock_jumps": clock["jump_count"],
        "clock_behaviour": clock["behaviour"],
    }


def process_file(path: str, size: int, mtime_ns: int, token: str) -> Dict[str, Any]:
    """The task of one observation file on a worker: its rows, or a failure
    with a one-line reason. Never raises for a bad file."""
    settings = _RUNS.get(token)
    if settings is None:  # the plugin never reached this worker: let Dask report it
        raise RuntimeError("this worker did not receive the run settings")
    start, cpu = time.perf_counter(), time.process_time()
    options = ReportOptions(sp3=settings.orbits, nav=settings.nav, systems=settings.systems, plots=False,
                            wavelets=False, analyzer=dict(settings.analyzer),
                            elevation_mask=settings.elevation_mask, orbit_reader=read_orbits,
                            nav_reader=read_navigation)
    try:
        report = build_report(path, options)
        result = rows_from_report(report.data, path, size, mtime_ns)
        timings = dict(report.details.get("timings", {}))
    except FileFailure as exc:
        result, timings = failure(path, size, mtime_ns, str(exc)), {}
    except UserError as exc:
        result, timings = failure(path, size, mtime_ns, str(exc)), {}
    except MemoryError:
        result, timings = failure(path, size, mtime_ns, "out of memory"), {}
    except Exception as exc:  # a bug: keep the run going, say what happened
        if os.environ.get("SKARVO_MP_DEBUG"):
            traceback.print_exc()
        result, timings = failure(path, size, mtime_ns, f"internal error: {type(exc).__name__}: {exc}"), {}
    timings["task_s"] = time.perf_counter() - start
    timings["task_cpu_s"] = time.process_time() - cpu
    result["timings"] = timings
    return result


# -- progress -------------------------------------------------------------------------------

def _duration(seconds: float) -> str:
    seconds = int(round(seconds))
    if seconds < 90:
        return f"{seconds} s"
    if seconds < 5400:
        return f"{round(seconds / 60)} min"
    return f"{seconds // 3600} h {seconds % 3600 // 60:02d} min"


class Progress:
    """Files done, rate and time left: one refreshed line on a terminal, a
    log line every `every` files (and at the end) elsewhere."""

    def __init__(self, total: int, stream: TextIO, every: int = 100):
        self.total, self.done, self.failed = total, 0, 0
        self.stream, self.every = stream, max(1, every)
        self.tty = bool(getattr(stream, "isatty", lambda: False)())
        self.start = time.monotonic()
        self._last_draw = 0.0

    def text(self) -> str:
        elapsed = max(time.monotonic() - self.start, 1e-9)
        rate = self.done / elapsed
        left = f", about {_duration((self.total - self.done) / rate)} left" if 0 < self.done < self.total else ""
        failed = f" ({self.failed} failed)" if self.failed else ""
        return f"{self.done}/{self.total} files{failed}, {rate * 60:.1f} files/min{left}"

    def step(self, ok: bool) -> None:
        self.done += 1
        self.failed += 0 if ok else 1
        if self.tty:
            now = time.monotonic()
            if now - self._last_draw >= 0.2 or self.done == self.total:
                self._last_draw = now
                width = 24
                filled = int(width * self.done / max(self.total, 1))
                self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {self.text()}".ljust(100))
                self.stream.flush()
        elif self.done % self.every == 0 or self.done == self.total:
            self.stream.write(f"skarvo-mp: {self.text()}\n")
            self.stream.flush()

    def close(self) -> None:
        if self.tty and self.done:
            self.stream.write("\n")
            self.stream.flush()


# -- the run ------------------------------------------------------------------------------------

@dataclasses.dataclass
class RunSummary:
    """What a run did."""

    found: int = 0
    skipped: int = 0
    submitted: int = 0
    ok: int = 0
    no_multipath: int = 0
    failures: List[Tuple[str, str]] = dataclasses.field(default_factory=list)
    interrupted: bool = False
    wall_s: float = 0.0
    workers: int = 0
    timings: Dict[str, float] = dataclasses.field(default_factory=dict)

    @property
    def processed(self) -> int:
        return self.ok + self.no_multipath + len(self.failures)


def _needs_work(entry, size: int, mtime_ns: int, redo: Sequence[str]) -> bool:
    if entry is None or entry.size != size or entry.mtime_ns != mtime_ns or "all" in redo:
        return True
    if "failed" in redo and entry.status == "failed":
        return True
    return "no-orbits" in redo and entry.table == "files" and entry.orbit_source == "none"


def run_archive(run_dir: str, paths: Sequence[str], settings: ArchiveSettings, client, *,
                redo: Sequence[str] = (), progress_stream: Optional[TextIO] = None, log_every: int = 100,
                flush_every: int = 500, flush_seconds: float = 60.0,
                on_result: Optional[Callable[[Dict[str, Any]], None]] = None) -> RunSummary:
    """Processes the observation files `paths` (absolute) on the Dask `client`
    into the archive of `run_dir` and returns what was done. `client` may
    also be a callable returning a context manager that gives a client: it
    is called only when there is work to do (no cluster is started for a run
    that has nothing new).

    Files whose path, size and modification time are already in the archive
    are skipped (unless `redo` asks for them: "failed", "no-orbits", "all").
    `on_result` is called with each file's result as it arrives. On Ctrl-C
    (KeyboardInterrupt) the files in flight are cancelled, the finished ones
    are written, and the interrupt is raised again carrying the run's
    summary (`interrupted` set) as its `summary` attribute.
    """
    from . import archive_store

    summary = RunSummary(found=len(paths))
    started = time.monotonic()
    stream = progress_stream
    with archive_store.Store(run_dir, settings.stored()) as store:
        todo = []
        for p in paths:
            try:
                st = os.stat(p)
            except OSError as exc:
                result = failure(p, 0, 0, f"cannot read: {exc.strerror or exc}")
                store.record(result)
                summary.failures.append((p, result["failure"]["error"]))
                continue
            if _needs_work(store.index.get(p), st.st_size, st.st_mtime_ns, redo):
                todo.append((p, st.st_size, st.st_mtime_ns))
        summary.skipped = len(paths) - len(todo) - len(summary.failures)
        summary.submitted = len(todo)
        try:
            if todo:
                with contextlib.ExitStack() as stack:
                    if callable(client) and not hasattr(client, "submit"):
                        client = stack.enter_context(client())
                    summary.workers = len(client.nthreads())
                    if stream is not None:
                        stream.write(f"skarvo-mp: {len(paths)} observation files, {summary.skipped} already in "
                                     f"the archive, {len(todo)} to process on {summary.workers} workers\n")
                        stream.flush()
                    _process(client, todo, settings, store, summary, stream, log_every, flush_every,
                             flush_seconds, on_result)
            elif stream is not None:
                stream.write(f"skarvo-mp: {len(paths)} observation files, all already in the archive\n")
        except KeyboardInterrupt as exc:
            summary.interrupted = True
            store.flush()
            summary.wall_s = time.monotonic() - started
            exc.summary = summary  # type: ignore[attr-defined]
            raise
        except Exception:
            store.flush()
            raise
        store.flush()
    summary.wall_s = time.monotonic() - started
    return summary


def _process(client, todo, settings, store, summary: RunSummary, stream, log_every, flush_every, flush_seconds,
             on_result) -> None:
    from distributed import as_completed
    from distributed.scheduler import KilledWorker

    token = uuid.uuid4().hex
    plugin_name = f"skarvo-mp-archive-{token}"
    client.register_plugin(RunSettings(token, settings), name=plugin_name)
    progress = Progress(len(todo), stream, log_every) if stream is not None else None
    # A bounded window of tasks in flight: enough to keep every worker busy,
    # few enough that the scheduler and this loop stay small for any archive
    # size, and that an interrupted run has little to cancel.
    window = max(8, 4 * sum(client.nthreads().values()))
    queue = iter(enumerate(todo))
    futures: Dict[Any, Tuple[str, int, int]] = {}
    pending = as_completed()

    def submit_next() -> None:
        item = next(queue, None)
        if item is None:
            return
        i, (path, size, mtime_ns) = item
        key = f"skarvo-mp-{token[:8]}-{i:07d}-{os.path.basename(path)}"
        fut = client.submit(process_file, path, size, mtime_ns, token, key=key, pure=False)
        futures[fut] = (path, size, mtime_ns)
        pending.add(fut)

    last_flush = time.monotonic()
    try:
        for _ in range(window):
            submit_next()
        for fut in pending:
            path, size, mtime_ns = futures.pop(fut)
            try:
                result = fut.result()
            except KilledWorker:
                result = failure(path, size, mtime_ns, "the worker process died while processing this file, "
                                 "each time it was tried")
            except Exception as exc:
                result = failure(path, size, mtime_ns, f"internal error: {type(exc).__name__}: {exc}")
            fut.release()
            submit_next()
            _account(summary, result)
            store.record(result)
            if progress is not None:
                progress.step(result["status"] != "failed")
            if on_result is not None:
                on_result(result)
            if len(store.pending) >= flush_every or time.monotonic() - last_flush >= flush_seconds:
                store.flush()
                last_flush = time.monotonic()
    finally:
        if futures:
            client.cancel(list(futures), force=True)
        if progress is not None:
            progress.close()
        with contextlib.suppress(Exception):
            client.unregister_worker_plugin(plugin_name)


def _account(summary: RunSummary, result: Dict[str, Any]) -> None:
    status = result["status"]
    if status == "failed":
        summary.failures.append((result["file"], result["failure"]["error"]))
    elif status == "ok":
        summary.ok += 1
    else:
        summary.no_multipath += 1
    for k, v in result.get("timings", {}).items():
        summary.timings[k] = summary.timings.get(k, 0.0) + v


@contextlib.contextmanager
def open_client(scheduler: Optional[str], jobs: Optional[int]) -> Iterator[Any]:
    """A Dask client: of the cluster at `scheduler`, or of a local cluster of
    `jobs` single-threaded worker processes (default: one per core) that is
    closed on exit."""
    from distributed import Client, LocalCluster

    if scheduler:
        try:
            client = Client(scheduler, timeout="20s")
        except (OSError, TimeoutError, ValueError) as exc:
            raise UserError(f"cannot reach the Dask scheduler at {scheduler}: {exc}") from None
        try:
            yield client
        finally:
            client.close()
        return
    n = jobs or len(os.sched_getaffinity(0)) or 1
    # The scheduler serves HTTP (metrics) even without a dashboard: a free
    # port on the loopback interface keeps two runs on one machine apart and
    # opens nothing to the network.
    cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address="127.0.0.1:0",
                           scheduler_kwargs={"dashboard": False}, silence_logs=logging.ERROR)
    try:
        client = Client(cluster)
        try:
            yield client
        finally:
            client.close()
    finally:
        cluster.close()
