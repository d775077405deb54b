"""Station quality figures: completeness, gaps and time, receiver clock,
SNR and multipath by elevation bin, and the one-line summary of a file.

`quality_section` turns what `skarvo_mp.station_quality` and
`AnalysisResults.multipath_by_elevation` compute into the report's
"quality" section; `summary_line`, `text_lines`, `csv_rows`, `html_section`
and `make_figures` render it. No NumPy is needed except for the figures.
"""
from __future__ import annotations

import datetime as _dt
import math
import os
import re
from typing import Any, Dict, List, Optional, Sequence, Tuple

DEFAULT_MASK = 10.0
BIN_WIDTH = 10.0
# Gaps listed one by one: at least this many missing intervals.
GAP_INTERVALS = 10
# Main GPS signals of the summary line, in order of preference per band.
MAIN_GPS = {"1": ("C", "W", "P", "L", "X"), "2": ("W", "P", "L", "X", "S", "D", "C"), "5": ("Q", "X", "I")}

_LONG_NAME = re.compile(r"^[A-Z0-9]{9}_[A-Z]_(\d{4})(\d{3})(\d{2})(\d{2})_(\d{2})([MHDY])", re.IGNORECASE)
_SHORT_NAME = re.compile(r"^[A-Z0-9]{4}(\d{3})([0A-X])(\d{2})?\.(\d{2})[OD]", re.IGNORECASE)
_PERIOD = {"M": 60, "H": 3600, "D": 86400, "Y": 365 * 86400}


def percent(observed: Optional[int], expected: Optional[int]) -> Optional[float]:
    """Completeness in %; None when unknown or nothing was expected."""
    if observed is None or not expected:
        return None
    return 100.0 * observed / expected


def _parse_iso(text: Optional[str]) -> Optional[_dt.datetime]:
    if not text:
        return None
    return _dt.datetime.strptime(text[:23], "%Y-%m-%dT%H:%M:%S.%f")


def _iso(d: _dt.datetime) -> str:
    return d.strftime("%Y-%m-%dT%H:%M:%S.") + f"{d.microsecond // 1000:03d}Z"


def nominal_span(path: str) -> Optional[Tuple[_dt.datetime, _dt.datetime]]:
    """(start, end) that the file name announces, or None for a name of
    neither the long (SSSSMRCCC_S_YYYYDDDHHMM_01D_...) nor the short
    (ssssdddf.yyo) form. End is exclusive."""
    name = os.path.basename(path)
    m = _LONG_NAME.match(name)
    if m:
        year, doy, hh, mm, n, unit = m.groups()
        try:
            start = _dt.datetime(int(year), 1, 1) + _dt.timedelta(days=int(doy) - 1, hours=int(hh), minutes=int(mm))
        except (ValueError, OverflowError):
            return None
        return start, start + _dt.timedelta(seconds=int(n) * _PERIOD[unit.upper()])
    m = _SHORT_NAME.match(name)
    if m:
        doy, session, _minutes, yy = m.groups()
        y = int(yy)
        year = y + (1900 if y > 79 else 2000)
        if not 1 <= int(doy) <= 366:
            return None
        day = _dt.datetime(year, 1, 1) + _dt.timedelta(days=int(doy) - 1)
        if session == "0":
            return day, day + _dt.timedelta(days=1)
        start = day + _dt.timedelta(hours=ord(session.lower()) - ord("a"))
        return start, start + _dt.timedelta(hours=1)
    return None


def _time_section(t: Dict[str, Any], path: str, gap_intervals: int) -> Dict[str, Any]:
    first, last = _parse_iso(t["first"]), _parse_iso(t["last"])
    interval = t["interval"]
    hours = None
    if first is not None and last is not None:
        hours = ((last - first).total_seconds() + (interval or 0.0)) / 3600.0
    gaps = [{"after": a, "before": b, "missing": n,
             "length_s": (n * interval) if interval else None}
            for a, b, n in t["gaps"] if n >= gap_intervals]
    nominal = nominal_span(path)
    nominal_section = None
    if nominal is not None:
        start, end = nominal
        nominal_section = {
            "start": _iso(start), "end": _iso(end),
            "late_start_s": (first - start).total_seconds() if first is not None else None,
            "early_end_s": (end - last).total_seconds() - (interval or 0.0) if last is not None else None,
        }
    return {
        "first_epoch": t["first"],
        "last_epoch": t["last"],
        "hours": hours,
        "interval_s": interval,
        "data_epochs": t["data_epochs"],
        "distinct_epochs": t["distinct_epochs"],
        "duplicates": t["duplicates"],
        "out_of_order": t["out_of_order"],
        "grid_epochs": t["grid_epochs"],
        "missing_epochs": t["missing_epochs"],
        "off_grid_epochs": t["off_grid"],
        "gap_count": len(t["gaps"]),
        "gap_min_intervals": gap_intervals,
        "gaps": gaps,
        "events": [{"epoch": e, "flag": f} for e, f in t["events"]],
        "nominal": nominal_section,
    }


def _clock_section(c: Dict[str, Any]) -> Dict[str, Any]:
    jumps = [{"epoch": e, "milliseconds": k, "size_m": s, "ranges": n, "agreeing": a}
             for e, k, s, n, a in c["jumps"]]
    if c["steps_checked"] == 0:
        behaviour = "unknown"
    elif jumps:
        behaviour = "free-running"
    else:
        behaviour = "steered"
    offsets = None
    if c["offset_epochs"]:
        offsets = {k: c[f"offset_{k}"] for k in ("first", "last", "min", "max")}
        offsets = {f"{k}_s": v for k, v in offsets.items()}
        offsets["epochs"] = c["offset_epochs"]
        offsets["drift_s_per_s"] = c["offset_drift"]
    return {"behaviour": behaviour, "jump_count": len(jumps), "jumps": jumps,
            "steps_checked": c["steps_checked"], "epoch_offsets": offsets}


def _completeness_section(q: Dict[str, Any]) -> Dict[str, Any]:
    signals = []
    by_system: Dict[str, Dict[str, Any]] = {}
    for system, code, expected, observed, stored in q["signals"]:
        signals.append({"system": system, "code": code, "expected": expected, "observed": observed,
                        "stored": stored, "percent": percent(observed, expected)})
        s = by_system.setdefault(system, {"system": system, "expected": 0, "observed": 0, "stored": 0})
        s["stored"] += stored
        if expected is None:
            s["expected"] = s["observed"] = None
        elif s["expected"] is not None:
            s["expected"] += expected
            s["observed"] += observed
    systems = list(by_system.values())
    for s in systems:
        s["percent"] = percent(s["observed"], s["expected"])
    known = [s for s in systems if s["expected"] is not None]
    whole = {"expected": sum(s["expected"] for s in known) if known else None,
             "observed": sum(s["observed"] for s in known) if known else None,
             "stored": sum(s["stored"] for s in systems)}
    whole["percent"] = percent(whole["observed"], whole["expected"])
    note = None
    if not q["with_orbit"]:
        note = "completeness needs orbits (an SP3 file and a receiver position): observed counts only"
    elif q["grid_too_long"]:
        note = "the file's span is too long for its interval: completeness left out"
    elif len(known) < len(systems):
        note = ("the orbit places no satellite of "
                + ", ".join(s["system"] for s in systems if s["expected"] is None)
                + ": completeness of the other systems only")
    return {"with_orbit": bool(q["with_orbit"]) and not q["grid_too_long"],
            "expected_satellite_epochs": q["expected_satellite_epochs"],
            "signals": signals, "systems": systems, "file": whole, "note": note}


def _finite(x: float) -> Optional[float]:
    return x if isinstance(x, float) and math.isfinite(x) else (x if isinstance(x, int) else None)


def _elevation_section(q: Dict[str, Any], mp_bins: Optional[Dict[str, Any]]) -> Dict[str, Any]:
    width = q["bin_width"]
    n = math.ceil(90.0 / width - 1e-9)
    bins = [[i * width, min((i + 1) * width, 90.0)] for i in range(n)]
    snr = [{"system": s, "code": c, "counts": list(counts), "mean_dbhz": [_finite(v) for v in means]}
           for s, c, counts, means in q["snr_by_elevation"] if any(counts)]
    mp = []
    for label, (counts, rms) in (mp_bins or {}).items():
        if any(counts):
            mp.append({"signal": label, "counts": list(counts), "rms_m": [_finite(v) for v in rms]})
    return {"bin_width_deg": width, "bins_deg": bins, "snr": snr, "multipath": mp}


def main_gps_signals(multipath: Sequence[Dict[str, Any]]) -> List[Dict[str, Any]]:
    """The multipath rows of the main GPS signals: per band 1, then 2 (or 5),
    the first attribute of MAIN_GPS that has estimates."""
    rows = {r["code"]: r for r in multipath if r["system"] in ("G", "GPS") and r["code"] and r["estimates"]}
    out = []
    for bands in (("1",), ("2", "5")):
        chosen = None
        for band in bands:
            for att in MAIN_GPS[band]:
                r = rows.get(f"C{band}{att}")
                if r is not None:
                    chosen = r
                    break
            if chosen:
                break
        if chosen:
            out.append(chosen)
    return out


def quality_section(mp, obs, results, path: str, systems: Sequence[str], orbit: Dict[str, Any],
                    multipath: Sequence[Dict[str, Any]], slips: Dict[str, Any],
                    mask: Optional[float] = None, gap_intervals: int = GAP_INTERVALS) -> Dict[str, Any]:
    """The report's quality section. `orbit` holds "sp3" (Sp3Data or NavData)
    and "receiver" (x, y, z) when elevations were computed, else nothing."""
    mask = DEFAULT_MASK if mask is None else float(mask)
    sp3, xyz = orbit.get("sp3"), orbit.get("receiver")
    placed = sp3 is not None and xyz is not None
    raw = mp.station_quality(obs, sp3=sp3 if placed else None, receiver=mp.Ecef(*xyz) if placed else None,
                             systems=list(systems), elevation_mask=mask, bin_width=BIN_WIDTH)
    mp_bins = results.multipath_by_elevation(BIN_WIDTH) if placed else None
    section = {
        "elevation_mask_deg": mask,
        "time": _time_section(raw["time"], path, gap_intervals),
        "clock": _clock_section(raw["clock"]),
        "completeness": _completeness_section(raw["completeness"]),
        "by_elevation": _elevation_section(raw["completeness"], mp_bins),
    }
    section["summary"] = summary_fields(section, multipath, slips)
    section["summary_line"] = summary_line(section["summary"])
    return section


def summary_fields(q: Dict[str, Any], multipath: Sequence[Dict[str, Any]], slips: Dict[str, Any]) -> Dict[str, Any]:
    t, whole = q["time"], q["completeness"]["file"]
    main = main_gps_signals(multipath)
    return {
        "first_epoch": t["first_epoch"],
        "last_epoch": t["last_epoch"],
        "hours": t["hours"],
        "interval_s": t["interval_s"],
        "elevation_mask_deg": q["elevation_mask_deg"],
        "expected": whole["expected"],
        "observed": whole["observed"] if whole["observed"] is not None else whole["stored"],
        "completeness_percent": whole["percent"],
        "mp_rms_m": [{"code": r["code"], "rms_m": r["rms_m"]} for r in main],
        "observations_per_slip": slips.get("observations_per_slip"),
        "missing_epochs": t["missing_epochs"],
        "clock_jumps": q["clock"]["jump_count"],
    }


def _short_time(iso: Optional[str]) -> str:
    if not iso:
        return "-" * 16
    return f"{iso[2:4]} {iso[5:7]} {iso[8:10]} {iso[11:16]}"


def _num(x: Optional[float], fmt: str) -> str:
    return "-" if x is None else format(x, fmt)


def summary_line(s: Dict[str, Any]) -> str:
    """SUM  first  last  hours  interval  mask  expected  observed  %  MP...  o/slip  missing  jumps."""
    mp = "  ".join(f"{r['code']} {_num(r['rms_m'], '.2f')}" for r in s["mp_rms_m"]) or "MP -"
    return (f"SUM {_short_time(s['first_epoch'])} {_short_time(s['last_epoch'])} "
            f"{_num(s['hours'], '5.2f')} {_num(s['interval_s'], 'g')}s {_num(s['elevation_mask_deg'], 'g')}deg "
            f"exp {_num(s['expected'], 'd')} obs {_num(s['observed'], 'd')} "
            f"{_num(s['completeness_percent'], '.1f')}%  {mp}  o/slip {_num(s['observations_per_slip'], '.0f')} "
            f"miss {s['missing_epochs']} clk {s['clock_jumps']}")


# -- rendering ------------------------------------------------------------------------

def text_lines(q: Dict[str, Any]) -> List[str]:
    """The quality section as text lines for the terminal report."""
    from .tables import fmt, table
    out = [q["summary_line"], ""]
    t = q["time"]
    out.append(f"Epochs: {t['data_epochs']} records, {t['distinct_epochs']} distinct, {t['grid_epochs']} on the "
               f"{_num(t['interval_s'], 'g')} s grid, {t['missing_epochs']} missing in {t['gap_count']} gaps, "
               f"{t['duplicates']} duplicated, {t['out_of_order']} out of order, {t['off_grid_epochs']} off the grid"
               f", {len(t['events'])} event records")
    nom = t["nominal"]
    if nom:
        out.append(f"  file name announces {nom['start']} to {nom['end']}: starts "
                   f"{_num(nom['late_start_s'], 'g')} s late, ends {_num(nom['early_end_s'], 'g')} s early")
    for g in t["gaps"]:
        out.append(f"  gap after {g['after']}: {g['missing']} epochs ({_num(g['length_s'], 'g')} s)")
    for e in t["events"][:20]:
        out.append(f"  event flag {e['flag']} at {e['epoch'] or 'no time'}")
    if len(t["events"]) > 20:
        out.append(f"  ... {len(t['events']) - 20} more event records")
    c = q["clock"]
    line = f"Receiver clock: {c['behaviour']}, {c['jump_count']} millisecond jumps in {c['steps_checked']} steps"
    off = c["epoch_offsets"]
    if off:
        line += (f"; epoch-line offset {off['first_s']:.9f} to {off['last_s']:.9f} s"
                 f", drift {_num(off['drift_s_per_s'], '.3e')} s/s")
    out.append(line)
    for j in c["jumps"][:20]:
        out.append(f"  jump of {j['milliseconds']} ms at {j['epoch']} ({j['agreeing']}/{j['ranges']} ranges)")
    comp = q["completeness"]
    out.append("")
    out.append(f"Completeness above {q['elevation_mask_deg']:g} deg (code and phase observations)")
    if comp["note"]:
        out.append(f"  {comp['note']}")
    rows = [[s["system"], "all", fmt(s["expected"]), fmt(s["observed"]), str(s["stored"]), fmt(s["percent"], 1)]
            for s in comp["systems"]]
    rows += [[s["system"], s["code"], fmt(s["expected"]), fmt(s["observed"]), str(s["stored"]),
              fmt(s["percent"], 1)] for s in comp["signals"]]
    w = comp["file"]
    rows.append(["file", "all", fmt(w["expected"]), fmt(w["observed"]), str(w["stored"]), fmt(w["percent"], 1)])
    out += table(("system", "signal", "expected", "observed", "stored", "%"), rows)
    be = q["by_elevation"]
    heads = tuple(f"{lo:g}-{hi:g}" for lo, hi in be["bins_deg"])
    if be["snr"]:
        out.append("")
        out.append("Mean SNR by elevation (dB-Hz)")
        out += table(("system", "code") + heads,
                     [[r["system"], r["code"]] + [fmt(v, 1) for v in r["mean_dbhz"]] for r in be["snr"]])
    if be["multipath"]:
        out.append("")
        out.append("Multipath RMS by elevation (m)")
        out += table(("signal",) + heads, [[r["signal"]] + [fmt(v, 3) for v in r["rms_m"]] for r in be["multipath"]])
    return out


CSV_COLUMNS = ("file", "table", "system", "signal", "bin_deg", "expected", "observed", "stored", "percent",
               "count", "value")


def csv_rows(q: Dict[str, Any], path: str) -> List[List[str]]:
    """Long-form rows of the completeness and elevation-bin tables."""
    def cell(v):
        return "" if v is None else (repr(v) if isinstance(v, float) else str(v))

    rows = []
    comp = q["completeness"]
    for s in comp["signals"]:
        rows.append([path, "completeness", s["system"], s["code"], "", s["expected"], s["observed"], s["stored"],
                     s["percent"], "", ""])
    for s in comp["systems"]:
        rows.append([path, "completeness", s["system"], "all", "", s["expected"], s["observed"], s["stored"],
                     s["percent"], "", ""])
    be = q["by_elevation"]
    for r in be["snr"]:
        for (lo, hi), n, v in zip(be["bins_deg"], r["counts"], r["mean_dbhz"]):
            rows.append([path, "snr_by_elevation", r["system"], r["code"], f"{lo:g}-{hi:g}", "", "", "", "", n, v])
    for r in be["multipath"]:
        for (lo, hi), n, v in zip(be["bins_deg"], r["counts"], r["rms_m"]):
            rows.append([path, "multipath_by_elevation", r["signal"][:3], r["signal"], f"{lo:g}-{hi:g}",
                         "", "", "", "", n, v])
    return [[cell(c) for c in r] for r in rows]


def write_csv(path: str, rows: Sequence[List[str]]) -> None:
    import csv
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(CSV_COLUMNS)
        w.writerows(rows)


def html_section(q: Dict[str, Any], table_fn, escape) -> str:
    """The quality part of a report page (tables built with the page's helpers)."""
    parts = ["<h2>Station quality</h2>", f"<pre>{escape(q['summary_line'])}</pre>"]
    parts.append("<pre>" + escape("\n".join(text_lines(q)[2:])) + "</pre>")
    return "".join(parts)


def make_figures(q: Dict[str, Any], folder: str) -> List[Tuple[str, str]]:
    """SNR and multipath RMS against elevation bin; [(file name, caption)]."""
    be = q["by_elevation"]
    if not be["snr"] and not be["multipath"]:
        return []
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    centres = [(lo + hi) / 2 for lo, hi in be["bins_deg"]]
    made = []
    for key, rows, ylabel, name, caption in (
            ("snr", be["snr"], "mean SNR (dB-Hz)", "quality_snr_elevation.png", "Mean SNR by elevation bin"),
            ("mp", be["multipath"], "multipath RMS (m)", "quality_mp_elevation.png",
             "Code multipath RMS by elevation bin")):
        if not rows:
            continue
        fig, ax = plt.subplots(figsize=(8, 4.5))
        for r in rows[:24]:
            vals = r["mean_dbhz"] if key == "snr" else r["rms_m"]
            label = f"{r['system']} {r['code']}" if key == "snr" else r["signal"]
            ax.plot(centres, [math.nan if v is None else v for v in vals], marker="o", label=label)
        ax.set_xlabel("elevation (deg)")
        ax.set_ylabel(ylabel)
        ax.set_xlim(0, 90)
        ax.grid(alpha=0.3)
        ax.legend(fontsize=7, ncol=3)
        fig.tight_layout()
        fig.savefig(os.path.join(folder, name), dpi=100)
        plt.close(fig)
        made.append((name, caption))
    return made
