"""SP3 orbit files for the report: checking, choosing and merging.

The module reads SP3 files as they are stored (plain, gzip or Unix
compress, recognised by content), so paths go to it unchanged. Only when
several files cover an observation span (the day before, the day, the day
after) are their epoch blocks merged in time order into one private file
(in a temporary folder created with mode 0700 and removed when the report
ends), dropping repeated epochs.
"""
from __future__ import annotations

import dataclasses
import datetime as _dt
import os
import tempfile
from typing import Iterable, List, Optional, Sequence, Tuple

from .errors import UserError


@dataclasses.dataclass(frozen=True)
class Sp3Source:
    """One usable SP3 file: the name the user gave, the path to read it from
    (the same), and the span and spacing of its epochs."""

    given: str
    plain: str
    first: _dt.datetime
    last: _dt.datetime
    interval_s: float
    epochs: int

    def covers(self, first: _dt.datetime, last: _dt.datetime, slack_s: float) -> bool:
        """True when the file overlaps [first - slack, last + slack]."""
        slack = _dt.timedelta(seconds=slack_s)
        return self.first <= last + slack and self.last >= first - slack


def parse_epoch_line(line: str) -> Optional[_dt.datetime]:
    """The epoch of an SP3 '*' line, or None when it does not parse."""
    parts = line[1:].split()
    if len(parts) < 6:
        return None
    try:
        year, month, day, hour, minute = (int(p) for p in parts[:5])
        second = float(parts[5])
        if not (0.0 <= second < 61.0):
            return None
        return _dt.datetime(year, month, day, hour, minute) + _dt.timedelta(seconds=second)
    except (ValueError, OverflowError):
        return None


def _lines(path: str) -> List[str]:
    """The text lines of an SP3 file, decoded by the module as its reader
    sees them (plain, gzip or compress). Raises OSError."""
    import skarvo_mp

    return skarvo_mp.decode_file(path).decode("utf-8", errors="replace").splitlines(keepends=True)


def _epochs_of(path: str) -> List[_dt.datetime]:
    out = []
    for line in _lines(path):
        if line.startswith("*"):
            e = parse_epoch_line(line)
            if e is not None:
                out.append(e)
    return out


def prepare(paths: Sequence[str], folder: Optional[str] = None, reader=None) -> List[Sp3Source]:
    """Checks the SP3 files given by the user and returns them ready to use.

    Raises `UserError` with one line for a missing, unreadable or empty file.
    `reader` is the module's SP3 reader, used to check each file exactly as
    the analysis will read it. `folder` is no longer used (files are read
    where they are) and kept for callers that pass it.
    """
    sources = []
    for path in paths:
        if not os.path.exists(path):
            raise UserError(f"SP3 file not found: {path}")
        if os.path.isdir(path):
            raise UserError(f"SP3 path is a folder, not a file: {path}")
        plain = path
        if reader is not None:
            try:
                data = reader(plain)
            except OSError as exc:
                raise UserError(f"unreadable SP3 file {path}: {exc}") from None
            if data.num_satellites == 0:
                raise UserError(f"SP3 file {path} holds no usable orbit records")
        try:
            epochs = _epochs_of(plain)
        except OSError as exc:
            raise UserError(f"unreadable SP3 file {path}: {exc}") from None
        if not epochs:
            raise UserError(f"SP3 file {path} holds no epochs")
        epochs.sort()
        steps = sorted((b - a).total_seconds() for a, b in zip(epochs, epochs[1:]) if b > a)
        interval = steps[len(steps) // 2] if steps else 900.0
        sources.append(Sp3Source(path, plain, epochs[0], epochs[-1], interval, len(epochs)))
    return sources


def _blocks(path: str) -> Tuple[List[str], List[Tuple[_dt.datetime, List[str]]]]:
    header: List[str] = []
    blocks: List[Tuple[_dt.datetime, List[str]]] = []
    current: Optional[List[str]] = None
    for line in _lines(path):
        if line.startswith("EOF"):
            current = None
            continue
        if line.startswith("*"):
            e = parse_epoch_line(line)
            current = None
            if e is not None:
                current = [line]
                blocks.append((e, current))
            continue
        if current is not None:
            current.append(line)
        elif not blocks:
            header.append(line)
    return header, blocks


def merge(sources: Iterable[Sp3Source], folder: str) -> str:
    """One plain SP3 file holding the epochs of all `sources` in time order.

    With a single source its own path is returned. An epoch present in
    several files is kept once (from the first file that has it): repeated
    epochs would make the interpolation divide by zero.
    """
    sources = list(sources)
    if len(sources) == 1:
        return sources[0].plain
    header: Optional[List[str]] = None
    seen = {}
    for src in sources:
        h, blocks = _blocks(src.plain)
        if header is None:
            header = h
        for epoch, lines in blocks:
            seen.setdefault(epoch, lines)
    fd, target = tempfile.mkstemp(prefix="merged-", suffix=".sp3", dir=folder)
    with os.fdopen(fd, "w", encoding="utf-8") as out:
        out.writelines(header or [])
        for epoch in sorted(seen):
            out.writelines(seen[epoch])
        out.write("EOF\n")
    return target


def choose(sources: Sequence[Sp3Source], first: _dt.datetime, last: _dt.datetime
           ) -> Tuple[List[Sp3Source], List[str]]:
    """The sources that overlap an observation span, and warnings about gaps.

    A file counts when it overlaps the span widened by three hours (the
    interpolation uses records up to about an hour away). The warnings say
    when the chosen files leave part of the span to extrapolation.
    """
    chosen = [s for s in sources if s.covers(first, last, 3 * 3600.0)]
    warnings = []
    if not chosen:
        return [], [f"no SP3 file covers {first:%Y-%m-%d %H:%M} to {last:%Y-%m-%d %H:%M}; "
                    "elevations not computed"]
    lo = min(s.first for s in chosen)
    hi = max(s.last for s in chosen)
    step = max(s.interval_s for s in chosen)
    slack = _dt.timedelta(seconds=step)
    if first < lo - slack or last > hi + slack:
        warnings.append(f"SP3 epochs span {lo:%Y-%m-%d %H:%M} to {hi:%Y-%m-%d %H:%M} only: "
                        "elevations outside that span are extrapolated")
    return chosen, warnings
