"""The station-quality archive on disk: three Parquet tables in a run folder.

    RUN_DIR/signals/station=<S>/year=<Y>/part-<n>.parquet   one row per file and signal
    RUN_DIR/files/station=<S>/year=<Y>/part-<n>.parquet     one row per file that was read
    RUN_DIR/failures/part-<n>.parquet                       one row per file that failed
    RUN_DIR/archive.json                                    settings the results were made with

The tables are plain hive-partitioned Parquet, readable with pandas, DuckDB or
Dask alone. Station and year live in the folder names only (URI-encoded), so
readers give them back as partition columns.

Safety: every finished file is first appended as one JSON line to
RUN_DIR/.journal.jsonl (flushed at once), so that a crash or Ctrl-C loses at
most the files still being processed. Journal entries are folded into the
Parquet tables now and then: each touched partition is rewritten whole into a
temporary file under RUN_DIR/.tmp and renamed into place (a reader never sees
a half-written file), then its previous file is removed. A partition thus
holds one live file, the one with the highest number; a leftover older file
(a crash between rename and removal) is removed when the archive is next
opened, and a leftover journal is folded in then too. Folding is idempotent:
rows of a file replace the rows that file had before.

One run at a time writes into a run folder (an exclusive lock on
RUN_DIR/.lock).
"""
from __future__ import annotations

import dataclasses
import datetime as _dt
import fcntl
import json
import os
import re
import urllib.parse
import uuid
from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from .errors import UserError

FORMAT = "skarvo-mp-archive/1"
JOURNAL = ".journal.jsonl"
PART = re.compile(r"^part-(\d+)\.parquet$")

# Columns every file row and every signal row share: where the numbers come from.
_SOURCE = [
    ("file", pa.string()),
    ("file_size", pa.int64()),
    ("file_mtime", pa.timestamp("ns", tz="UTC")),
    ("day", pa.date32()),
]
# Per-file facts repeated on each signal row, so that one table answers most questions.
_FILE_FACTS = [
    ("receiver", pa.string()),
    ("antenna", pa.string()),
    ("marker", pa.string()),
    ("rinex_version", pa.string()),
    ("interval_s", pa.float64()),
    ("epochs", pa.int64()),
    ("first_epoch", pa.timestamp("ms")),
    ("last_epoch", pa.timestamp("ms")),
    ("orbit_source", pa.string()),
    ("orbit_files", pa.string()),
    ("elevations_computed", pa.int64()),
    ("elevations_failed", pa.int64()),
    ("day_slips", pa.int64()),
    ("day_slips_gf", pa.int64()),
    ("day_slips_code_phase", pa.int64()),
    ("day_slips_lli", pa.int64()),
    ("day_slip_epochs", pa.int64()),
    ("day_observations", pa.int64()),
    ("day_observations_per_slip", pa.float64()),
]
# Per-day quality figures of a station, in both tables: completeness above
# the mask (null without orbits), the epoch grid and the receiver clock.
QUALITY_COLUMNS: List[Tuple[str, pa.DataType]] = [
    ("quality_mask_deg", pa.float64()),
    ("expected_observations", pa.int64()),
    ("observed_observations", pa.int64()),
    ("completeness_percent", pa.float64()),
    ("missing_epochs", pa.int64()),
    ("gap_count", pa.int64()),
    ("duplicated_epochs", pa.int64()),
    ("out_of_order_epochs", pa.int64()),
    ("event_records", pa.int64()),
    ("clock_jumps", pa.int64()),
    ("clock_behaviour", pa.string()),
]

SIGNAL_SCHEMA = pa.schema(_SOURCE + [
    ("signal", pa.string()),
    ("system", pa.string()),
    ("code", pa.string()),
    ("estimates", pa.int64()),
    ("rms_m", pa.float64()),
    ("weighted_rms_m", pa.float64()),
    ("mean_m", pa.float64()),
    ("std_m", pa.float64()),
    ("min_m", pa.float64()),
    ("max_m", pa.float64()),
    ("cycle_slips", pa.int64()),
    ("observations_per_slip", pa.float64()),
    ("snr_code", pa.string()),
    ("snr_count", pa.int64()),
    ("snr_mean_dbhz", pa.float64()),
    ("snr_p10_dbhz", pa.float64()),
    ("snr_p90_dbhz", pa.float64()),
] + _FILE_FACTS + QUALITY_COLUMNS)

FILE_SCHEMA = pa.schema(_SOURCE + [
    ("status", pa.string()),
    ("status_reason", pa.string()),
    ("signals", pa.int64()),
    ("satellites", pa.int64()),
] + _FILE_FACTS + QUALITY_COLUMNS + [
    ("warnings", pa.string()),
])

FAILURE_SCHEMA = pa.schema([
    ("file", pa.string()),
    ("file_size", pa.int64()),
    ("file_mtime", pa.timestamp("ns", tz="UTC")),
    ("station", pa.string()),
    ("error", pa.string()),
])


@dataclasses.dataclass(frozen=True)
class Entry:
    """What the archive knows of one observation file."""

    size: int
    mtime_ns: int
    table: str  # "files" or "failures"
    partition: Optional[Tuple[str, int]]  # (station, year) of its files/signals rows
    status: str  # "ok", "no multipath" or "failed"
    orbit_source: Optional[str]


def partition_dir(root: str, table: str, station: str, year: int) -> str:
    return os.path.join(root, table, f"station={urllib.parse.quote(station, safe='')}", f"year={year}")


def _parts(folder: str) -> List[Tuple[int, str]]:
    """(number, path) of the part files of a folder, highest number first."""
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return []
    out = [(int(m.group(1)), os.path.join(folder, n)) for n in names if (m := PART.match(n))]
    return sorted(out, reverse=True)


def _partitions(root: str, table: str) -> List[Tuple[str, int, str]]:
    """(station, year, folder) of every partition of a table."""
    out = []
    base = os.path.join(root, table)
    for s in sorted(os.listdir(base)) if os.path.isdir(base) else []:
        if not s.startswith("station="):
            continue
        for y in sorted(os.listdir(os.path.join(base, s))):
            if y.startswith("year=") and y[5:].lstrip("-").isdigit():
                out.append((urllib.parse.unquote(s[8:]), int(y[5:]), os.path.join(base, s, y)))
    return out


def _read(path: Optional[str], schema: pa.Schema) -> pa.Table:
    """A part file as a table of `schema` (columns added since it was written are null)."""
    if path is None:
        return schema.empty_table()
    table = pq.read_table(path, partitioning=None)
    columns = []
    for field in schema:
        if field.name in table.column_names:
            columns.append(table.column(field.name).cast(field.type))
        else:
            columns.append(pa.nulls(table.num_rows, field.type))
    return pa.Table.from_arrays(columns, schema=schema)


def _date(text: Optional[str]) -> Optional[_dt.date]:
    return _dt.date.fromisoformat(text) if text else None


def _epoch(text: Optional[str]) -> Optional[_dt.datetime]:
    if not text:
        return None
    return _dt.datetime.fromisoformat(text[:23])


def _to_table(rows: Sequence[Dict[str, Any]], schema: pa.Schema) -> pa.Table:
    """Journal rows (JSON values) as a table: dates, epochs and mtimes converted."""
    arrays = []
    for field in schema:
        values = [r.get(field.name) for r in rows]
        if field.name == "file_mtime":
            arrays.append(pa.array(values, pa.int64()).cast(field.type))
        elif field.name == "day":
            arrays.append(pa.array([_date(v) for v in values], field.type))
        elif pa.types.is_timestamp(field.type):
            arrays.append(pa.array([_epoch(v) for v in values], field.type))
        else:
            arrays.append(pa.array(values, field.type))
    return pa.Table.from_arrays(arrays, schema=schema)


class Store:
    """An open run folder: the index of known files, the journal and the tables."""

    def __init__(self, root: str, settings: Dict[str, Any]):
        self.root = os.path.abspath(root)
        self.settings = settings
        self.index: Dict[str, Entry] = {}
        self.pending: List[Dict[str, Any]] = []
        self._lock_fd: Optional[int] = None
        self._journal = None

    # -- opening and closing --------------------------------------------------------

    def open(self) -> "Store":
        if os.path.exists(self.root) and not os.path.isdir(self.root):
            raise UserError(f"{self.root} exists and is not a folder")
        os.makedirs(os.path.join(self.root, ".tmp"), exist_ok=True)
        self._lock_fd = os.open(os.path.join(self.root, ".lock"), os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(self._lock_fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(self._lock_fd)
            self._lock_fd = None
            raise UserError(f"another archive run is writing into {self.root}; wait for it to end") from None
        try:
            self._check_settings()
            self._tidy()
            self._load_index()
            self._recover_journal()
            self._journal = open(os.path.join(self.root, JOURNAL), "a", encoding="utf-8")
        except BaseException:
            self.close()
            raise
        return self

    def close(self) -> None:
        if self._journal is not None:
            self._journal.close()
            self._journal = None
        if self._lock_fd is not None:
            os.close(self._lock_fd)  # releases the lock
            self._lock_fd = None

    def __enter__(self) -> "Store":
        return self.open()

    def __exit__(self, *exc) -> None:
        self.close()

    def _check_settings(self) -> None:
        path = os.path.join(self.root, "archive.json")
        if os.path.exists(path):
            try:
                with open(path, encoding="utf-8") as f:
                    stored = json.load(f)
            except (OSError, ValueError) as exc:
                raise UserError(f"unreadable {path}: {exc}") from None
            if stored.get("format") != FORMAT:
                raise UserError(f"{self.root} is not a run folder of this version "
                                f"(format {stored.get('format')!r}, expected {FORMAT!r})")
            differ = [k for k, v in self.settings.items() if stored.get("settings", {}).get(k) != v]
            if differ:
                was = ", ".join(f"{k} {stored.get('settings', {}).get(k)}" for k in differ)
                now = ", ".join(f"{k} {self.settings[k]}" for k in differ)
                raise UserError(f"{self.root} holds results made with {was}; this run asks for {now}: "
                                "use the same settings or another run folder")
            return
        tmp = os.path.join(self.root, ".tmp", "archive.json")
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump({"format": FORMAT, "settings": self.settings}, f, indent=1)
            f.write("\n")
        os.replace(tmp, path)

    def _tidy(self) -> None:
        """Removes temporary files and part files superseded by a newer one."""
        tmp = os.path.join(self.root, ".tmp")
        for name in os.listdir(tmp):
            try:
                os.remove(os.path.join(tmp, name))
            except OSError:
                pass
        folders = [f for t in ("signals", "files") for _, _, f in _partitions(self.root, t)]
        folders.append(os.path.join(self.root, "failures"))
        for folder in folders:
            for _, path in _parts(folder)[1:]:
                os.remove(path)

    def _load_index(self) -> None:
        for station, year, folder in _partitions(self.root, "files"):
            parts = _parts(folder)
            if not parts:
                continue
            t = pq.read_table(parts[0][1], columns=["file", "file_size", "file_mtime", "status", "orbit_source"],
                              partitioning=None)
            mt = t.column("file_mtime").cast(pa.int64()).to_pylist()
            for path, size, ns, status, orbit in zip(t.column("file").to_pylist(), t.column("file_size").to_pylist(),
                                                     mt, t.column("status").to_pylist(),
                                                     t.column("orbit_source").to_pylist()):
                self.index[path] = Entry(size, ns, "files", (station, year), status, orbit)
        failures = self._failures_table()
        mt = failures.column("file_mtime").cast(pa.int64()).to_pylist()
        for path, size, ns in zip(failures.column("file").to_pylist(), failures.column("file_size").to_pylist(), mt):
            self.index[path] = Entry(size, ns, "failures", None, "failed", None)

    def _failures_table(self) -> pa.Table:
        parts = _parts(os.path.join(self.root, "failures"))
        return _read(parts[0][1] if parts else None, FAILURE_SCHEMA)

    def _recover_journal(self) -> None:
        """Folds the results a previous run journalled but did not fold in."""
        path = os.path.join(self.root, JOURNAL)
        if not os.path.exists(path):
            return
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                if not line.endswith("\n"):
                    break  # the last line of a run that stopped while writing it
                try:
                    self.pending.append(json.loads(line))
                except ValueError:
                    continue
        self.flush()
        os.remove(path)

    # -- writing ---------------------------------------------------------------------

    def record(self, result: Dict[str, Any]) -> None:
        """Journals one finished file; it reaches the tables at the next flush."""
        self._journal.write(json.dumps(result, ensure_ascii=False, allow_nan=False) + "\n")
        self._journal.flush()
        self.pending.append(result)

    def flush(self) -> None:
        """Folds the journalled results into the tables, then empties the journal."""
        if not self.pending:
            return
        latest: Dict[str, Dict[str, Any]] = {}
        for r in self.pending:
            latest[r["file"]] = r  # a file journalled twice: the later result wins
        results = list(latest.values())
        replaced = set(latest)

        new_files: Dict[Tuple[str, int], List[Dict[str, Any]]] = {}
        new_signals: Dict[Tuple[str, int], List[Dict[str, Any]]] = {}
        new_failures: List[Dict[str, Any]] = []
        for r in results:
            if r["status"] == "failed":
                new_failures.append(r["failure"])
                continue
            key = (r["station"], int(r["file_row"]["day"][:4]))
            new_files.setdefault(key, []).append(r["file_row"])
            new_signals.setdefault(key, []).extend(r["signal_rows"])

        # Partitions that lose rows: where the replaced files were before.
        touched: Set[Tuple[str, int]] = set(new_files)
        failures_touched = bool(new_failures)
        for path in replaced:
            old = self.index.get(path)
            if old is None:
                continue
            if old.table == "failures":
                failures_touched = True
            elif old.partition is not None:
                touched.add(old.partition)

        for key in sorted(touched):
            self._rewrite(partition_dir(self.root, "files", *key), FILE_SCHEMA, replaced,
                          new_files.get(key, []), ("day", "file"))
            self._rewrite(partition_dir(self.root, "signals", *key), SIGNAL_SCHEMA, replaced,
                          new_signals.get(key, []), ("day", "file"))
        if failures_touched:
            self._rewrite(os.path.join(self.root, "failures"), FAILURE_SCHEMA, replaced, new_failures, ("file",))

        for r in results:
            if r["status"] == "failed":
                self.index[r["file"]] = Entry(r["file_size"], r["file_mtime_ns"], "failures", None, "failed", None)
            else:
                self.index[r["file"]] = Entry(r["file_size"], r["file_mtime_ns"], "files",
                                              (r["station"], int(r["file_row"]["day"][:4])), r["status"],
                                              r["file_row"]["orbit_source"])
        self.pending = []
        if self._journal is not None:
            self._journal.truncate(0)
            self._journal.seek(0)

    def _rewrite(self, folder: str, schema: pa.Schema, replaced: Set[str], rows: List[Dict[str, Any]],
                 order: Sequence[str]) -> None:
        """Writes a partition anew: its rows of files not in `replaced`, plus `rows`."""
        parts = _parts(folder)
        old = _read(parts[0][1] if parts else None, schema)
        if old.num_rows:
            old = old.filter(pc.invert(pc.is_in(old.column("file"), pa.array(sorted(replaced), pa.string()))))
        table = pa.concat_tables([old, _to_table(rows, schema)])
        if table.num_rows == 0:
            for _, path in parts:
                os.remove(path)
            for d in (folder, os.path.dirname(folder)):
                try:
                    os.rmdir(d)
                except OSError:
                    break
            return
        # Stable sort: the rows of one file keep the module's signal order.
        table = table.take(pc.sort_indices(table, [(c, "ascending") for c in order]))
        number = parts[0][0] + 1 if parts else 1
        tmp = os.path.join(self.root, ".tmp", f"{uuid.uuid4().hex}.parquet")
        pq.write_table(table, tmp, compression="zstd")
        os.makedirs(folder, exist_ok=True)
        os.replace(tmp, os.path.join(folder, f"part-{number:06d}.parquet"))
        for _, path in parts:
            os.remove(path)


# -- reading, for the timeline and for users of this package -----------------------------

def read_table(root: str, table: str, station: Optional[str] = None) -> pa.Table:
    """One table of a run folder as an Arrow table, station and year included
    as ordinary columns; `station` restricts it to one station."""
    schema = {"signals": SIGNAL_SCHEMA, "files": FILE_SCHEMA, "failures": FAILURE_SCHEMA}[table]
    if table == "failures":
        parts = _parts(os.path.join(root, "failures"))
        t = _read(parts[0][1] if parts else None, schema)
        if station is not None:
            t = t.filter(pc.equal(t.column("station"), station))
        return t
    pieces = []
    for st, year, folder in _partitions(root, table):
        parts = _parts(folder)
        if not parts or (station is not None and st != station):
            continue
        t = _read(parts[0][1], schema)
        pieces.append(t.append_column("station", pa.array([st] * t.num_rows, pa.string()))
                      .append_column("year", pa.array([year] * t.num_rows, pa.int32())))
    full = schema.append(pa.field("station", pa.string())).append(pa.field("year", pa.int32()))
    return pa.concat_tables(pieces) if pieces else full.empty_table()


def stations(root: str) -> List[str]:
    """Stations with at least one file in a run folder, sorted."""
    return sorted({st for st, _, folder in _partitions(root, "files") if _parts(folder)})
