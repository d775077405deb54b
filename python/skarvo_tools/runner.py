"""Running reports: one file in this process, or many on a pool of worker processes.

Workers are started with the "spawn" method: the extension module runs a
thread pool of its own, and a forked child would inherit its state without
its threads. Workers ignore Ctrl-C (SIGINT): the parent alone handles it,
cancels what is queued, terminates the workers and summarises the files
already done.
"""
from __future__ import annotations

import concurrent.futures as cf
import dataclasses
import json
import multiprocessing
import os
import signal
import sys
import traceback
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

from . import page, plots, quality, tables
from .errors import FileFailure, UserError
from .report import Report, ReportOptions, build_report, file_stem


def to_json(data: Any) -> str:
    """Strict JSON (no NaN or infinity), keys in the report's order."""
    return json.dumps(data, indent=1, ensure_ascii=False, allow_nan=False)


def write_outputs(report: Report, folder: str, draw_plots: bool) -> None:
    """Writes index.html, report.json, summary.csv and the figures into `folder`."""
    os.makedirs(folder, exist_ok=True)
    data = report.data
    made: List[Tuple[str, str]] = []
    if draw_plots:
        made = plots.draw(data, lambda: plots.make_plots(data, report.details, folder),
                          lambda: quality.make_figures(data["quality"], folder) if data.get("quality") else [])
    data["outputs"] = {"folder": folder, "html": "index.html", "json": "report.json", "csv": "summary.csv",
                       "plots": [name for name, _ in made]}
    tables.write_csv(os.path.join(folder, "summary.csv"), tables.csv_rows(data, data["file"]["path"]))
    if data.get("quality"):
        data["outputs"]["quality_csv"] = "quality.csv"
        quality.write_csv(os.path.join(folder, "quality.csv"), quality.csv_rows(data["quality"], data["file"]["path"]))
    with open(os.path.join(folder, "report.json"), "w", encoding="utf-8") as f:
        f.write(to_json(data) + "\n")
    with open(os.path.join(folder, "index.html"), "w", encoding="utf-8") as f:
        f.write(page.report_page(data, made, "report.json", "summary.csv"))


def report_one(path: str, options: ReportOptions) -> Report:
    """The report of one file, with its files written when `options.out_dir` is set."""
    report = build_report(path, options)
    if options.out_dir:
        write_outputs(report, options.out_dir, options.plots)
    return report


OK, NO_MULTIPATH, FAILED, INTERRUPTED = "ok", "no multipath", "failed", "interrupted"
NOT_REPORTED = (FAILED, INTERRUPTED)


@dataclasses.dataclass
class Batch:
    """Outcome of a batch: one entry per file (in input order; after an
    interruption the files not done are entries with status "interrupted")."""

    entries: List[Dict[str, Any]]
    interrupted: bool = False

    def count(self, status: str) -> int:
        return sum(1 for e in self.entries if e["status"] == status)


def summary_text(batch: Batch, out_dir: Optional[str]) -> str:
    """The closing line of a batch: files with multipath, without, failed (and not done)."""
    total = len(batch.entries)
    parts = [f"{batch.count(OK)} of {total} files reported", f"{batch.count(NO_MULTIPATH)} without multipath",
             f"{batch.count(FAILED)} failed"]
    if batch.interrupted:
        parts.append(f"{batch.count(INTERRUPTED)} not done (interrupted: partial summary)")
    text = ", ".join(parts)
    if out_dir:
        text += f"; combined CSV {os.path.join(out_dir, 'summary.csv')}"
    return text


def _ignore_interrupt() -> None:
    """Worker initializer: Ctrl-C reaches the whole process group; only the parent acts on it."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _stop(pool: cf.ProcessPoolExecutor) -> None:
    """Cancels the queued jobs and ends the workers at once (running jobs are lost)."""
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for p in processes:
        if p.is_alive():
            p.terminate()
    for p in processes:
        p.join(timeout=2.0)
        if p.is_alive():
            p.kill()
            p.join(timeout=1.0)


def _worker(path: str, options: ReportOptions) -> Tuple[str, Any]:
    """Pool job: ("ok" or "no multipath", JSON data) or ("failed", one-line
    reason). Never raises."""
    try:
        data = report_one(path, options).data
        return (NO_MULTIPATH if data.get("status") == NO_MULTIPATH else OK), data
    except (FileFailure, UserError) as exc:
        return "failed", str(exc)
    except MemoryError:
        return "failed", "out of memory"
    except Exception as exc:  # a bug: keep the batch going, say what happened
        if os.environ.get("SKARVO_MP_DEBUG"):
            traceback.print_exc()
        return "failed", f"internal error: {type(exc).__name__}: {exc}"


def unique_folders(paths: Sequence[str], root: str) -> List[str]:
    """One output folder per file, named after the file; repeated names get a suffix."""
    used, out = set(), []
    for p in paths:
        base = file_stem(p) or "obs"
        name, k = base, 2
        while name in used:
            name, k = f"{base}_{k}", k + 1
        used.add(name)
        out.append(os.path.join(root, name))
    return out


class Progress:
    """A one-line progress bar on a terminal; silent elsewhere."""

    def __init__(self, total: int, stream: TextIO):
        self.total, self.done, self.failed = total, 0, 0
        self.stream = stream
        self.active = bool(getattr(stream, "isatty", lambda: False)())

    def step(self, ok: bool, name: str) -> None:
        self.done += 1
        self.failed += 0 if ok else 1
        if not self.active:
            return
        width = 30
        filled = int(width * self.done / max(self.total, 1))
        failed = f", {self.failed} failed" if self.failed else ""
        text = f"\r[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} files{failed}  {name[:40]}"
        self.stream.write(text.ljust(100)[:120])
        self.stream.flush()

    def close(self) -> None:
        if self.active:
            self.stream.write("\r" + " " * 120 + "\r")
            self.stream.flush()


def run_batch(paths: Sequence[str], options: ReportOptions, jobs: int,
              progress_stream: TextIO = sys.stderr) -> Batch:
    """Reports on many files on `jobs` worker processes.

    Returns a Batch with one entry per input path, in input order: {"path",
    "status" ("ok", "no multipath", "failed" or "interrupted"), "data" or
    "error", "page"}. A failing file never stops the others. If a worker
    process dies (which the module should never cause), the files it may
    have held are retried one at a time, each in a fresh process, so that
    only the culprit is reported as failed. On Ctrl-C (KeyboardInterrupt)
    the queued files are cancelled, the workers terminated, and the summary
    CSV and page are written for the files done, the others marked
    "interrupted".
    """
    folders = unique_folders(paths, options.out_dir) if options.out_dir else [None] * len(paths)
    entries: List[Optional[Dict[str, Any]]] = [None] * len(paths)
    progress = Progress(len(paths), progress_stream)
    ctx = multiprocessing.get_context("spawn")

    def record(i: int, status: str, payload: Any) -> None:
        entry = {"path": paths[i], "status": status}
        if status in (OK, NO_MULTIPATH):
            entry["data"] = payload
            if folders[i]:
                entry["page"] = os.path.relpath(os.path.join(folders[i], "index.html"), options.out_dir)
        else:
            entry["error"] = payload
        entries[i] = entry
        progress.step(status != FAILED, os.path.basename(paths[i]))

    def opts(i: int) -> ReportOptions:
        return dataclasses.replace(options, out_dir=folders[i])

    def new_pool(workers: int) -> cf.ProcessPoolExecutor:
        return cf.ProcessPoolExecutor(max_workers=workers, mp_context=ctx, initializer=_ignore_interrupt)

    retry: List[int] = []
    interrupted = False
    pool: Optional[cf.ProcessPoolExecutor] = None
    try:
        pool = new_pool(max(1, min(jobs, len(paths))))
        futures = {pool.submit(_worker, paths[i], opts(i)): i for i in range(len(paths))}
        for fut in cf.as_completed(futures):
            i = futures[fut]
            try:
                status, payload = fut.result()
            except cf.process.BrokenProcessPool:
                retry.append(i)
                continue
            record(i, status, payload)
        pool.shutdown(wait=True)
        for i in sorted(retry):
            pool = new_pool(1)
            try:
                status, payload = pool.submit(_worker, paths[i], opts(i)).result()
            except cf.process.BrokenProcessPool:
                status, payload = FAILED, "the worker process died while reporting on this file"
            pool.shutdown(wait=True)
            record(i, status, payload)
    except KeyboardInterrupt:
        interrupted = True
        if pool is not None:
            _stop(pool)
    finally:
        progress.close()

    done: List[Dict[str, Any]] = []
    for i, e in enumerate(entries):
        if e is not None:
            done.append(e)
        elif interrupted:
            done.append({"path": paths[i], "status": INTERRUPTED, "error": "not reported: interrupted"})
    batch = Batch(done, interrupted)
    if options.out_dir:
        write_batch_summary(batch, options.out_dir)
    return batch


def write_batch_summary(batch: Batch, out_dir: str) -> None:
    """summary.csv and index.html of a batch (partial when interrupted)."""
    os.makedirs(out_dir, exist_ok=True)
    rows = []
    for e in batch.entries:
        rows += tables.csv_rows(e.get("data"), e["path"], e.get("error"), e["status"])
    tables.write_csv(os.path.join(out_dir, "summary.csv"), rows)
    quality.write_csv(os.path.join(out_dir, "quality.csv"),
                      [r for e in batch.entries if e.get("data") and e["data"].get("quality")
                       for r in quality.csv_rows(e["data"]["quality"], e["path"])])
    with open(os.path.join(out_dir, "index.html"), "w", encoding="utf-8") as f:
        f.write(page.batch_page(batch.entries, "summary.csv", partial=batch.interrupted))
