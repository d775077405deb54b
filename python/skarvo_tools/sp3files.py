"""SP3 orbit files for the report: checking and choosing.

The module reads SP3 files as they are stored (plain, gzip or Unix
compress, recognised by content), so paths go to it unchanged. When
several files cover an observation span (the day before, the day, the day
after), `skarvo_mp.read_sp3_files` reads them as one orbit, merged by epoch.
"""
from __future__ import annotations

import dataclasses
import datetime as _dt
from typing import List, Optional, Sequence, Tuple

from .errors import UserError, check_input_file


@dataclasses.dataclass(frozen=True)
class Sp3Source:
    """One usable SP3 file: the path the user gave, and the span and spacing
    of its epochs."""

    given: str
    first: _dt.datetime
    last: _dt.datetime
    interval_s: float

    def covers(self, first: _dt.datetime, last: _dt.datetime, slack_s: float) -> bool:
        """True when the file overlaps [first - slack, last + slack]."""
        slack = _dt.timedelta(seconds=slack_s)
        return self.first <= last + slack and self.last >= first - slack


def _as_datetime(e) -> Optional[_dt.datetime]:
    """A module Epoch of an epoch line as a naive datetime, or None when its
    fields are no valid date and time (second in [0, 61))."""
    try:
        if not (0.0 <= e.second < 61.0):
            return None
        return _dt.datetime(e.year, e.month, e.day, e.hour, e.minute) + _dt.timedelta(seconds=e.second)
    except (ValueError, OverflowError):
        return None


def prepare(paths: Sequence[str], folder: Optional[str] = None, reader=None) -> List[Sp3Source]:
    """Checks the SP3 files given by the user and returns them ready to use.

    Raises `UserError` with one line for a missing, unreadable or empty file.
    Each file is read by the module (`reader`, by default `skarvo_mp.read_sp3`)
    exactly as the analysis will read it; when a `reader` is given, a file
    without a usable orbit record is refused too. `folder` is no longer used
    and kept for callers that pass it.
    """
    sources = []
    for path in paths:
        check_input_file(path, "SP3")
        if reader is None:
            try:
                import skarvo_mp
            except ImportError as exc:  # pragma: no cover - depends on the installation
                raise UserError(f"cannot import the skarvo_mp extension module: {exc}") from None
            read, require_records = skarvo_mp.read_sp3, False
        else:
            read, require_records = reader, True
        try:
            data = read(path)
        except OSError as exc:
            raise UserError(f"unreadable SP3 file {path}: {exc}") from None
        if require_records and data.num_satellites == 0:
            raise UserError(f"SP3 file {path} holds no usable orbit records")
        epochs = sorted(e for e in map(_as_datetime, data.epochs()) if e is not None)
        if not epochs:
            raise UserError(f"SP3 file {path} holds no epochs")
        steps = sorted((b - a).total_seconds() for a, b in zip(epochs, epochs[1:]) if b > a)
        interval = steps[len(steps) // 2] if steps else 900.0
        sources.append(Sp3Source(path, epochs[0], epochs[-1], interval))
    return sources


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
