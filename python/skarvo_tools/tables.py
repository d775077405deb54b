"""Plain-text and CSV forms of a report."""
from __future__ import annotations

import csv
import os
from typing import Any, Dict, Iterable, List, Optional, Sequence

MP_COLUMNS = ("signal", "code", "estimates", "rms_m", "weighted_rms_m", "mean_m", "std_m", "min_m",
              "max_m", "cycle_slips", "observations_per_slip")
MP_HEADINGS = ("signal", "code", "estimates", "rms", "w.rms", "mean", "std", "min", "max", "slips",
               "obs/slip")
CSV_COLUMNS = ("file", "station", "day", "status", "error") + MP_COLUMNS[:1] + ("system",) + MP_COLUMNS[1:]


MISSING = "–"


def fmt(value: Any, digits: int = 4) -> str:
    """Numbers for tables: fixed decimals for floats, an en dash for missing."""
    if value is None:
        return MISSING
    if isinstance(value, float):
        return f"{value:.{digits}f}"
    return str(value)


def table(headings: Sequence[str], rows: Iterable[Sequence[str]], indent: str = "  ") -> List[str]:
    """Rows aligned in columns: the first column to the left, the others to the right."""
    rows = [list(r) for r in rows]
    widths = [len(h) for h in headings]
    for r in rows:
        widths = [max(w, len(c)) for w, c in zip(widths, r)]

    def line(cells):
        out = [cells[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(cells[1:], widths[1:])]
        return (indent + "  ".join(out)).rstrip()

    return [line(list(headings))] + [line(r) for r in rows]


def render_text(data: Dict[str, Any]) -> str:
    """The report of one file as text for a terminal."""
    f = data["file"]
    out = [f"{f['name']}  ({f['station']}, {f['day'] or 'no epochs'})"]
    if data.get("quality"):
        out.append("  " + data["quality"]["summary_line"])
    out.append(f"  marker {f['marker'] or '-'}   receiver {f['receiver'] or '-'}   antenna {f['antenna'] or '-'}"
               f"   RINEX {f['rinex_version']}")
    interval = f"{f['interval_s']:g} s" if f["interval_s"] is not None else "unknown"
    out.append(f"  epochs {f['epochs']} from {f['first_epoch'] or '-'} to {f['last_epoch'] or '-'}"
               f", interval {interval}")
    by_sys = ", ".join(f"{k} {v}" for k, v in f["satellites_by_system"].items())
    out.append(f"  satellites {f['satellites']}" + (f" ({by_sys})" if by_sys else ""))
    out.append(f"  systems analysed: {' '.join(data['settings']['systems'])}")
    if data.get("status", "ok") != "ok":
        out.append(f"  status: {data['status']}: {data.get('status_reason') or 'no estimate'}")

    el = data.get("elevations")
    if el:
        out.append(f"  elevations: {el['computed']} computed, {el['failed']} failed; receiver "
                   f"{el['receiver_m'][0]:.3f} {el['receiver_m'][1]:.3f} {el['receiver_m'][2]:.3f} m "
                   f"({el['receiver_source']}); {orbit_source_text(el)}")
        if el.get("by_system"):
            out.append("  estimates with an elevation, per system: " + ", ".join(
                f"{k} {c['placed']} of {c['placed'] + c['unplaced']}" for k, c in el["by_system"].items()))

    out.append("")
    out.append(f"Code multipath per signal (metres; {mask_text(data)})")
    if data["multipath"]:
        rows = []
        for r in data["multipath"]:
            rows.append([r["signal"], r["code"] or "-", str(r["estimates"])]
                        + [fmt(r[k]) for k in MP_COLUMNS[3:9]] + [str(r["cycle_slips"]),
                                                                   fmt(r["observations_per_slip"], 1)])
        out += table(MP_HEADINGS, rows)
    else:
        out.append("  no signal could be paired for the multipath combination")

    cs = data["cycle_slips"]
    out.append("")
    bm = cs["by_method"]
    ops = fmt(cs["observations_per_slip"], 1)
    out.append(f"Cycle slips: {cs['total']} (gf {bm.get('gf', 0)}, code_phase {bm.get('code_phase', 0)}, "
               f"lli {bm.get('lli', 0)}); {cs['slip_epochs']} satellite-epochs with a slip; "
               f"{cs['observations']} observations, {ops} observations per slip")
    if cs["by_signal"]:
        items = [f"{k} {v}" for k, v in cs["by_signal"].items()]
        for i in range(0, len(items), 8):
            out.append("  " + ("by signal: " if i == 0 else "           ") + ", ".join(items[i:i + 8]))

    if data["snr"] is not None:
        out.append("")
        out.append("SNR per system and code (dB-Hz)")
    if data["snr"]:
        out += table(("system", "code", "count", "mean", "p10", "p90"),
                     [[r["system"], r["code"], str(r["count"]), fmt(r["mean_dbhz"], 2),
                       fmt(r["p10_dbhz"], 2), fmt(r["p90_dbhz"], 2)] for r in data["snr"]])
    elif data["snr"] is not None:
        out.append("  no SNR observations")

    wv = data.get("snr_wavelets")
    if wv:
        out.append("")
        bands = ", ".join(f"{lo:g}-{hi:g}" for lo, hi in wv["bands_s"])
        peaks: Dict[str, int] = {}
        for s in wv["satellites"]:
            if s["peak_band_s"]:
                key = f"{s['peak_band_s'][0]:g}-{s['peak_band_s'][1]:g} s"
                peaks[key] = peaks.get(key, 0) + 1
        summary = ", ".join(f"{k}: {v}" for k, v in peaks.items()) or "none"
        out.append(f"δSNR band power: {len(wv['satellites'])} satellites, bands {bands} s; "
                   f"satellites by peak band: {summary}")

    fr = data.get("fresnel")
    if fr:
        out.append(f"Fresnel zones (antenna {fr['antenna_height_m']:g} m above the reflector): "
                   f"{fr['footprints']} footprints; specular points up to {fmt(fr['max_distance_m'], 1)} m "
                   f"from the antenna, zones reaching up to {fmt(fr.get('max_reach_m'), 1)} m")

    if data.get("quality"):
        from .quality import text_lines
        out.append("")
        out += text_lines(data["quality"])[2:]

    outputs = data.get("outputs")
    if outputs:
        out.append("")
        out.append(f"Written to {outputs['folder']}: {outputs['html'] or '-'}, {outputs['json']}, "
                   f"{outputs['csv']}, {len(outputs['plots'])} plots")
    for w in data["warnings"]:
        out.append(f"note: {w}")
    return "\n".join(out) + "\n"


def mask_text(data: Dict[str, Any]) -> str:
    """Which elevation mask applied and what the weighted RMS is, for a table header."""
    el = data.get("elevations")
    if el and el.get("computed") and el.get("mask_deg") is not None:
        return f"estimates at or above the {el['mask_deg']:g}° elevation mask; w.rms elevation-weighted"
    return "no elevations: no elevation mask applied, no weighted RMS"


def csv_rows(data: Optional[Dict[str, Any]], path: str, error: Optional[str] = None,
             status: Optional[str] = None) -> List[List[str]]:
    """Rows of the combined CSV for one file: one per signal, or one row with
    the error for a file that failed (nothing is silently left out). A file
    without multipath says so in the status column, with the reason."""
    if data is None:
        return [[path, "", "", status or "failed", error or ""] + [""] * (len(CSV_COLUMNS) - 5)]
    f = data["file"]
    head = [f["path"], f["station"], f["day"] or "", data.get("status", "ok"), data.get("status_reason") or ""]
    if not data["multipath"]:
        return [head + [""] * (len(CSV_COLUMNS) - 5)]
    rows = []
    for r in data["multipath"]:
        cells = [r["signal"], r["system"]] + [r[k] for k in MP_COLUMNS[1:]]
        rows.append(head + ["" if c is None else (repr(c) if isinstance(c, float) else str(c)) for c in cells])
    return rows


def write_csv(path: str, rows: Iterable[List[str]]) -> None:
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(CSV_COLUMNS)
        for r in rows:
            w.writerow(r)


def orbit_source_text(el) -> str:
    """'SP3 a.sp3' or 'broadcast orbits of b.rnx' for an elevations section."""
    if el.get("source") == "broadcast":
        return "broadcast orbits of " + ", ".join(os.path.basename(p) for p in el.get("nav", []))
    return "SP3 " + ", ".join(el.get("sp3", []))
