"""Station timelines of an archive: how a station's data quality moves over days.

For each station of a run folder, `write_timelines` draws three figures over
the days of the archive (code multipath RMS per signal; cycle slips per day
by method and observations per slip; SNR mean per signal), each with a
dashed line where the receiver or the antenna named in the headers changed,
and writes an HTML page with the equipment history, the figures and one
table row per day. An index page lists the stations.

Several files of one station-day (hourly files) are pooled: RMS as the root
of the estimate-weighted mean square, SNR as the count-weighted mean, slips
and observations summed.
"""
from __future__ import annotations

import datetime as _dt
import math
import os
import re
from typing import Any, Dict, List, Optional, Sequence, Tuple

from . import archive_store, page, plots
from .errors import UserError
from .names import FULL_SYSTEM_NAMES
from .tables import fmt

METHOD_COLOURS = {"gf": "#1f77b4", "code_phase": "#ff7f0e", "lli": "#2ca02c"}


def _folder_name(station: str, used: set) -> str:
    base = re.sub(r"[^A-Za-z0-9._-]", "_", station) or "station"
    name, k = base, 2
    while name.lower() in used:
        name, k = f"{base}_{k}", k + 1
    used.add(name.lower())
    return name


class StationHistory:
    """The daily figures of one station, pooled from its file and signal rows."""

    def __init__(self, station: str, files: List[Dict[str, Any]], signals: List[Dict[str, Any]],
                 failures: List[Dict[str, Any]]):
        self.station = station
        self.files = sorted(files, key=lambda r: (r["day"], r["first_epoch"] or _dt.datetime.min, r["file"]))
        self.failures = failures
        self.days: List[_dt.date] = sorted({r["day"] for r in self.files})
        self.rms: Dict[str, Dict[_dt.date, float]] = {}
        self.snr: Dict[str, Dict[_dt.date, float]] = {}
        self.system_of: Dict[str, str] = {}
        squares: Dict[Tuple[str, _dt.date], List[float]] = {}
        snr_sums: Dict[Tuple[str, _dt.date], List[float]] = {}
        for r in signals:
            key = (r["signal"], r["day"])
            self.system_of[r["signal"]] = r["system"]
            if r["rms_m"] is not None and r["estimates"]:
                acc = squares.setdefault(key, [0.0, 0.0])
                acc[0] += r["estimates"] * r["rms_m"] ** 2
                acc[1] += r["estimates"]
            if r["snr_mean_dbhz"] is not None and r["snr_count"]:
                acc = snr_sums.setdefault(key, [0.0, 0.0])
                acc[0] += r["snr_count"] * r["snr_mean_dbhz"]
                acc[1] += r["snr_count"]
        for (signal, day), (sq, n) in squares.items():
            self.rms.setdefault(signal, {})[day] = math.sqrt(sq / n)
        for (signal, day), (total, n) in snr_sums.items():
            self.snr.setdefault(signal, {})[day] = total / n
        self.daily: Dict[_dt.date, Dict[str, Any]] = {}
        for r in self.files:
            d = self.daily.setdefault(r["day"], {"files": 0, "gf": 0, "code_phase": 0, "lli": 0, "slips": 0,
                                                 "slip_epochs": 0, "observations": 0, "signals": set(),
                                                 "orbits": set()})
            d["files"] += 1
            d["gf"] += r["day_slips_gf"] or 0
            d["code_phase"] += r["day_slips_code_phase"] or 0
            d["lli"] += r["day_slips_lli"] or 0
            d["slips"] += r["day_slips"] or 0
            d["slip_epochs"] += r["day_slip_epochs"] or 0
            d["observations"] += r["day_observations"] or 0
            d["orbits"].add(r["orbit_source"] or "none")
            d["receiver"], d["antenna"] = r["receiver"], r["antenna"]
        for day, d in self.daily.items():
            d["observations_per_slip"] = d["observations"] / d["slip_epochs"] if d["slip_epochs"] else None
            values = [v[day] for v in self.rms.values() if day in v]
            d["worst_rms"] = max(values) if values else None
            d["signals"] = len(values)

    def changes(self) -> List[Tuple[_dt.date, str]]:
        """(day, text) where the receiver or antenna of the headers changed."""
        out = []
        previous: Optional[Tuple[str, str]] = None
        for r in self.files:
            now = ((r["receiver"] or "").strip(), (r["antenna"] or "").strip())
            if previous is not None and now != previous:
                what = []
                if now[0] != previous[0]:
                    what.append(f"receiver {previous[0] or '?'} → {now[0] or '?'}")
                if now[1] != previous[1]:
                    what.append(f"antenna {previous[1] or '?'} → {now[1] or '?'}")
                out.append((r["day"], "; ".join(what)))
            previous = now
        return out

    def equipment(self) -> List[Tuple[_dt.date, _dt.date, str, str]]:
        """Periods of unchanged receiver and antenna: (first day, last day, receiver, antenna)."""
        out: List[List[Any]] = []
        for r in self.files:
            now = ((r["receiver"] or "").strip(), (r["antenna"] or "").strip())
            if out and (out[-1][2], out[-1][3]) == now:
                out[-1][1] = r["day"]
            else:
                out.append([r["day"], r["day"], now[0], now[1]])
        return [tuple(p) for p in out]


def load(run_dir: str, station: str) -> StationHistory:
    files = archive_store.read_table(run_dir, "files", station).to_pylist()
    signals = archive_store.read_table(run_dir, "signals", station).to_pylist()
    failures = archive_store.read_table(run_dir, "failures", station).to_pylist()
    return StationHistory(station, files, signals, failures)


# -- figures -------------------------------------------------------------------------------------

def _mark_changes(ax, changes, label: bool) -> None:
    """Dashed lines on the days the equipment changed; on the top panel, the
    change written just above the plot area."""
    for k, (day, text) in enumerate(changes):
        ax.axvline(day, color="#a00", linestyle="--", linewidth=1)
        if label:
            ax.annotate(text, (day, 1.0), xycoords=("data", "axes fraction"), xytext=(2, 3 + 9 * (k % 3)),
                        textcoords="offset points", fontsize=7, color="#a00", annotation_clip=False)


def _layout(fig, height_in: float) -> None:
    # Legends sit right of the plots and change labels above them.
    fig.subplots_adjust(left=0.08, right=0.84, top=1 - 0.75 / height_in, bottom=0.85 / height_in, hspace=0.45)


def _legend(ax, ncol: int = 1) -> None:
    ax.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0, ncol=ncol)


def _by_system(history: StationHistory, series: Dict[str, Dict[_dt.date, float]]) -> List[Tuple[str, List[str]]]:
    order = {s: i for i, s in enumerate("GRECJSI")}
    groups: Dict[str, List[str]] = {}
    for signal in sorted(series):
        groups.setdefault(history.system_of.get(signal, "?"), []).append(signal)
    return sorted(groups.items(), key=lambda kv: order.get(kv[0], 99))


def _signal_figure(history: StationHistory, series, ylabel: str, title: str, folder: str, name: str) -> str:
    groups = _by_system(history, series)
    height = 1.5 + 2.4 * len(groups)
    fig = plots._figure(11, height)
    changes = history.changes()
    for k, (system, signals) in enumerate(groups):
        ax = fig.add_subplot(len(groups), 1, k + 1)
        for signal in signals:
            days = sorted(series[signal])
            ax.plot(days, [series[signal][d] for d in days], marker="o", markersize=3, linewidth=1,
                    label=signal)
        _mark_changes(ax, changes, label=k == 0)
        ax.set_ylabel(ylabel)
        ax.set_title(f"{FULL_SYSTEM_NAMES.get(system, system)}", fontsize=9, loc="left")
        _legend(ax, ncol=1 + len(signals) // 9)
        ax.grid(alpha=0.3)
    fig.suptitle(title)
    fig.autofmt_xdate()
    _layout(fig, height)
    return plots._save(fig, folder, name)


def _slip_figure(history: StationHistory, folder: str, name: str) -> str:
    fig = plots._figure(11, 6)
    days = history.days
    changes = history.changes()
    ax = fig.add_subplot(2, 1, 1)
    bottom = [0] * len(days)
    for method, colour in METHOD_COLOURS.items():
        values = [history.daily[d][method] for d in days]
        ax.bar(days, values, bottom=bottom, color=colour, label=method, width=0.8)
        bottom = [b + v for b, v in zip(bottom, values)]
    _mark_changes(ax, changes, label=True)
    ax.set_ylabel("slips per day")
    _legend(ax)
    ax.grid(alpha=0.3)
    ax2 = fig.add_subplot(2, 1, 2, sharex=ax)
    points = [(d, history.daily[d]["observations_per_slip"]) for d in days
              if history.daily[d]["observations_per_slip"]]
    if points:
        values = [p[1] for p in points]
        ax2.plot([p[0] for p in points], values, marker="o", markersize=3, linewidth=1, color="#444")
        if max(values) > 20 * min(values):  # a log scale only where it shows something
            ax2.set_yscale("log")
    _mark_changes(ax2, changes, label=False)
    ax2.set_ylabel("observations per slip")
    ax2.grid(alpha=0.3, which="both")
    fig.suptitle(f"{history.station}: cycle slips")
    fig.autofmt_xdate()
    _layout(fig, 6)
    return plots._save(fig, folder, name)


# -- pages -----------------------------------------------------------------------------------------

def station_page(history: StationHistory, figures: Sequence[Tuple[str, str]]) -> str:
    e = page._e
    days = history.days
    parts = [f"<h1>{e(history.station)} — timeline</h1>"]
    period = f"{days[0]} to {days[-1]}" if days else "no days"
    parts.append("<dl>" + "".join(f"<dt>{e(k)}</dt><dd>{e(v)}</dd>" for k, v in (
        ("Period", period), ("Station-days", len(days)), ("Files", len(history.files)),
        ("Failed files", len(history.failures)), ("Signals", len(history.rms)),
        ("Equipment changes", len(history.changes())))) + "</dl>")
    parts.append("<h2>Equipment (from the file headers)</h2>")
    parts.append(page._table(("from", "to", "receiver", "antenna"),
                             [[a, b, r or "-", ant or "-"] for a, b, r, ant in history.equipment()], "equipment"))
    if figures:
        parts.append("<h2>Figures</h2>")
        for name, caption in figures:
            parts.append(f'<figure><img src="{e(name)}" alt="{e(caption)}"><figcaption>{e(caption)}'
                         "</figcaption></figure>")
    parts.append("<h2>Days</h2>")
    rows = []
    for d in days:
        x = history.daily[d]
        rows.append([d, x["files"], x["receiver"] or "-", x["antenna"] or "-", x["signals"], fmt(x["worst_rms"]),
                     x["slips"], fmt(x["observations_per_slip"], 1), ", ".join(sorted(x["orbits"]))])
    parts.append(page._table(("day", "files", "receiver", "antenna", "signals", "largest rms (m)", "slips",
                              "obs/slip", "orbits"), rows, "days"))
    if history.failures:
        parts.append("<h2>Failed files</h2>")
        parts.append(page._table(("file", "error"), [[f["file"], f["error"]] for f in history.failures],
                                 "failures"))
    return page._page(f"{history.station} timeline", "\n".join(parts))


def index_page(entries: Sequence[Tuple[str, str, StationHistory]], failures: int) -> str:
    e = page._e
    rows = []
    for station, link, h in entries:
        eq = h.equipment()
        rows.append(f'<tr><td><a href="{e(link)}">{e(station)}</a></td><td>{e(h.days[0] if h.days else "")}</td>'
                    f"<td>{e(h.days[-1] if h.days else '')}</td><td>{len(h.days)}</td>"
                    f"<td>{e(eq[-1][2] if eq else '')}</td><td>{e(eq[-1][3] if eq else '')}</td>"
                    f"<td>{len(h.changes())}</td><td>{len(h.failures)}</td></tr>")
    head = "".join(f"<th>{h}</th>" for h in ("station", "first day", "last day", "days", "receiver", "antenna",
                                              "equipment changes", "failed files"))
    body = ["<h1>Station timelines</h1>",
            f'<table class="stations"><thead><tr>{head}</tr></thead><tbody>{"".join(rows)}</tbody></table>']
    if failures:
        body.append(f"<p>{failures} files of the archive failed in all (see each station and the failures "
                    "table).</p>")
    return page._page("Station timelines", "\n".join(body))


def write_timelines(run_dir: str, out_dir: str, stations: Optional[Sequence[str]] = None
                    ) -> Tuple[List[str], List[str]]:
    """Writes a page per station into `out_dir`, and the index of all stations
    when no station is named; returns the pages written and notes (figures
    skipped, ...). Raises UserError for an empty archive or an unknown
    station."""
    known = archive_store.stations(run_dir)
    if not known:
        raise UserError(f"{run_dir} holds no archived files (run 'skarvo-mp archive' first)")
    if stations:
        missing = [s for s in stations if s not in known]
        if missing:
            raise UserError(f"station {missing[0]} is not in {run_dir} (stations: {', '.join(known[:20])}"
                            f"{', ...' if len(known) > 20 else ''})")
        chosen = list(dict.fromkeys(stations))
    else:
        chosen = known
    notes = []
    reason = plots.available()
    if reason:
        notes.append(reason)
    os.makedirs(out_dir, exist_ok=True)
    used: set = set()
    entries, pages = [], []
    for station in chosen:
        history = load(run_dir, station)
        folder_name = _folder_name(station, used)
        folder = os.path.join(out_dir, folder_name)
        os.makedirs(folder, exist_ok=True)
        figures: List[Tuple[str, str]] = []
        if not reason and history.days:
            head = f"{station} {history.days[0]} to {history.days[-1]}"
            if history.rms:
                figures.append((_signal_figure(history, history.rms, "MP RMS (m)",
                                               f"{head}: code multipath RMS per signal", folder, "mp_rms.png"),
                                "Code multipath RMS per signal and day (m); dashed: receiver or antenna change"))
            figures.append((_slip_figure(history, folder, "slips.png"),
                            "Cycle slips per day by method, and observations per slip"))
            if history.snr:
                figures.append((_signal_figure(history, history.snr, "SNR (dB-Hz)", f"{head}: SNR mean per signal",
                                               folder, "snr.png"),
                                "Mean SNR of each signal's S-code per day (dB-Hz)"))
        path = os.path.join(folder, "index.html")
        with open(path, "w", encoding="utf-8") as f:
            f.write(station_page(history, figures))
        pages.append(path)
        entries.append((station, f"{folder_name}/index.html", history))
    if not stations:
        failures = archive_store.read_table(run_dir, "failures").num_rows
        index = os.path.join(out_dir, "index.html")
        with open(index, "w", encoding="utf-8") as f:
            f.write(index_page(entries, failures))
        pages.insert(0, index)
    return pages, notes
