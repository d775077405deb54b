"""Running reports: one file in this process, or many on a pool of worker processes.

Workers are started with the "spawn" method: the extension module runs a
thread pool of its own, and a forked child would inherit its state without
its threads.
"""
from __future__ import annotations

import concurrent.futures as cf
import dataclasses
import json
import multiprocessing
import os
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
        reason = plots.available()
        if reason:
            data["warnings"].append(reason)
        else:
            try:
                made = plots.make_plots(data, report.details, folder)
                if data.get("quality"):
                    made += quality.make_figures(data["quality"], folder)
            except Exception as exc:  # a figure must never cost the tables
                data["warnings"].append(f"plots failed: {type(exc).__name__}: {exc}")
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


def _worker(path: str, options: ReportOptions) -> Tuple[str, Any]:
    """Pool job: ("ok", JSON data) or ("failed", one-line reason). Never raises."""
    try:
        return "ok", report_one(path, options).data
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
              progress_stream: TextIO = sys.stderr) -> List[Dict[str, Any]]:
    """Reports on many files on `jobs` worker processes.

    Returns one entry per input path, in input order: {"path", "status"
    ("ok"/"failed"), "data" or "error", "page"}. A failing file never stops
    the others. If a worker process dies (which the module should never
    cause), the files it may have held are retried one at a time, each in
    a fresh process, so that only the culprit is reported as failed.
    """
    folders = unique_folders(paths, options.out_dir) if options.out_dir else [None] * len(paths)
    entries: List[Optional[Dict[str, Any]]] = [None] * len(paths)
    progress = Progress(len(paths), progress_stream)
    ctx = multiprocessing.get_context("spawn")

    def record(i: int, status: str, payload: Any) -> None:
        entry = {"path": paths[i], "status": status}
        if status == "ok":
            entry["data"] = payload
            if folders[i]:
                entry["page"] = os.path.relpath(os.path.join(folders[i], "index.html"), options.out_dir)
        else:
            entry["error"] = payload
        entries[i] = entry
        progress.step(status == "ok", os.path.basename(paths[i]))

    def opts(i: int) -> ReportOptions:
        return dataclasses.replace(options, out_dir=folders[i])

    retry: List[int] = []
    try:
        with cf.ProcessPoolExecutor(max_workers=max(1, min(jobs, len(paths))), mp_context=ctx) as pool:
            futures = {pool.submit(_worker, paths[i], opts(i)): i for i in range(len(paths))}
            for fut in cf.as_completed(futures):
                i = futures[fut]
                try:
                    status, payload = fut.result()
                except cf.process.BrokenProcessPool:
                    retry.append(i)
                    continue
                record(i, status, payload)
        for i in sorted(retry):
            with cf.ProcessPoolExecutor(max_workers=1, mp_context=ctx) as pool:
                try:
                    status, payload = pool.submit(_worker, paths[i], opts(i)).result()
                except cf.process.BrokenProcessPool:
                    status, payload = "failed", "the worker process died while reporting on this file"
            record(i, status, payload)
    finally:
        progress.close()

    done = [e for e in entries if e is not None]
    if options.out_dir:
        os.makedirs(options.out_dir, exist_ok=True)
        rows = []
        for e in done:
            rows += tables.csv_rows(e.get("data"), e["path"], e.get("error"))
        tables.write_csv(os.path.join(options.out_dir, "summary.csv"), rows)
        quality.write_csv(os.path.join(options.out_dir, "quality.csv"),
                          [r for e in done if e.get("data") and e["data"].get("quality")
                           for r in quality.csv_rows(e["data"]["quality"], e["path"])])
        with open(os.path.join(options.out_dir, "index.html"), "w", encoding="utf-8") as f:
            f.write(page.batch_page(done, "summary.csv"))
    return done
