"""Reflector heights below the antenna from SNR: the `skarvo-mp reflector`
command and the reflector section of the station report.

`analyze` reads one observation file and its orbits, runs
`skarvo_mp.reflector_heights` and returns a `ReflectorReport`: `data` is
JSON-ready (schema "skarvo-mp-reflector/1": `file`, `settings`, `arcs`,
`daily`, `sectors`, `series`, `warnings`), `raw` is the module's result with
its NumPy arrays (periodograms included) for the figures.

NumPy is needed (the module returns NumPy arrays).
"""
from __future__ import annotations

import dataclasses
import datetime as _dt
import math
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

from . import sp3files
from .errors import FileFailure, UserError
from .report import file_summary, finite_or_none, module, receiver_position, ReportOptions

SCHEMA = "skarvo-mp-reflector/1"
# Width of the azimuth sectors of the summary by direction.
SECTOR_WIDTH_DEG = 30.0
DAILY_COLUMNS = ("signal", "height_m", "std_m", "sigma_median_m", "arcs", "rejected")
ARC_COLUMNS = ("satellite", "signal", "rising", "time", "azimuth_deg", "min_elevation_deg", "max_elevation_deg",
               "points", "height_m", "amplitude", "peak_to_noise", "coverage", "accepted", "reason")


@dataclasses.dataclass
class ReflectorOptions:
    """Settings of the analysis, as `skarvo_mp.reflector_heights` takes them."""

    elevation: Tuple[float, float] = (5.0, 25.0)
    azimuth: Optional[List[Tuple[float, float]]] = None
    heights: Tuple[float, float] = (0.5, 8.0)
    height_step: float = 0.01
    systems: Optional[List[str]] = None
    codes: Optional[List[str]] = None
    min_amplitude: float = 2.0
    min_peak_to_noise: float = 3.0
    min_coverage: float = 0.75
    knot_spacing: float = 3600.0

    def kwargs(self) -> Dict[str, Any]:
        return {"elevation": self.elevation, "azimuth": self.azimuth, "heights": self.heights,
                "height_step": self.height_step, "systems": self.systems, "codes": self.codes,
                "min_amplitude": self.min_amplitude, "min_peak_to_noise": self.min_peak_to_noise,
                "min_coverage": self.min_coverage, "knot_spacing": self.knot_spacing}


@dataclasses.dataclass
class ReflectorReport:
    data: Dict[str, Any]
    raw: Dict[str, Any]


def iso(unix_s: float) -> Optional[str]:
    """Unix seconds (file time scale) as the ISO text the module writes."""
    if unix_s is None or not math.isfinite(unix_s):
        return None
    d = _dt.datetime(1970, 1, 1) + _dt.timedelta(seconds=float(unix_s))
    return d.strftime("%Y-%m-%dT%H:%M:%S.") + f"{d.microsecond // 1000:03d}Z"


def run(mp, obs, sp3, receiver, options: ReflectorOptions) -> Dict[str, Any]:
    """The module's result for parsed inputs (periodograms included)."""
    try:
        return mp.reflector_heights(obs, sp3, mp.Ecef(*receiver), periodograms=True, **options.kwargs())
    except ValueError as exc:
        raise UserError(str(exc)) from None


def analyze(path: str, sp3_sources: Sequence[sp3files.Sp3Source], options: ReflectorOptions,
            position: Optional[Tuple[float, float, float]] = None, nav=None) -> ReflectorReport:
    """Reflector heights of one observation file with the SP3 files covering it
    or, when `nav` (a NavData) is given instead, with broadcast orbits.

    Raises FileFailure when the file or the orbits cannot be read, UserError
    for unusable settings.
    """
    mp = module()
    try:
        obs = mp.read_rinex_obs(os.fspath(path))
    except OSError as exc:
        raise FileFailure(str(exc)) from None
    summary = file_summary(obs, path)
    warnings: List[str] = []
    if summary["epochs"] == 0:
        raise FileFailure("the file holds no observation epochs")
    receiver, _ = receiver_position(obs, ReportOptions(position=position))
    if receiver is None:
        raise UserError("no receiver position (the header has none; give --position X Y Z)")
    sp3 = nav if nav is not None else load_orbit(mp, sp3_sources, summary, warnings)
    raw = run(mp, obs, sp3, receiver, options)
    data = to_json_data(raw, summary, warnings)
    return ReflectorReport(data, raw)


def load_orbit(mp, sources, summary, warnings: List[str]):
    """The SP3 files that cover the observation span, merged and read."""
    from .report import epoch_to_datetime

    first = epoch_to_datetime(summary["first_epoch"])
    last = epoch_to_datetime(summary["last_epoch"])
    chosen, notes = sp3files.choose(sources, first, last)
    warnings.extend(notes)
    if not chosen:
        raise FileFailure("no SP3 file covers the observation span")
    # One file is read where it lies (compressed or not); several are read
    # as one orbit, merged by epoch.
    try:
        return mp.read_sp3_files([s.given for s in chosen])
    except OSError as exc:
        raise FileFailure(f"cannot read SP3 {', '.join(s.given for s in chosen)}: {exc}") from None


def _robust(values: List[float]) -> Tuple[Optional[float], Optional[float]]:
    """Median and 1.4826 * MAD, as the module computes them."""
    if not values:
        return None, None
    v = sorted(values)
    n = len(v)
    med = v[n // 2] if n % 2 else 0.5 * (v[n // 2 - 1] + v[n // 2])
    d = sorted(abs(x - med) for x in v)
    mad = d[n // 2] if n % 2 else 0.5 * (d[n // 2 - 1] + d[n // 2])
    return med, 1.4826 * mad


def sector_table(arcs: Dict[str, Any], width: float = SECTOR_WIDTH_DEG) -> List[Dict[str, Any]]:
    """Median height of the accepted arcs per azimuth sector: real sites often
    have different reflectors in different directions."""
    rows = []
    acc = arcs["accepted"]
    az, h = arcs["azimuth_deg"], arcs["height_m"]
    k = 0
    while k * width < 360.0:
        lo, hi = k * width, min(360.0, (k + 1) * width)
        inside = [float(h[i]) for i in range(len(h)) if acc[i] and lo <= az[i] < hi]
        med, spread = _robust(inside)
        rows.append({"azimuth_deg": [lo, hi], "height_m": med, "std_m": spread, "arcs": len(inside)})
        k += 1
    return rows


def to_json_data(raw: Dict[str, Any], summary: Dict[str, Any], warnings: List[str]) -> Dict[str, Any]:
    a = raw["arcs"]
    arcs = []
    for i in range(len(a["height_m"])):
        arcs.append({
            "satellite": str(a["satellite"][i]),
            "signal": str(a["signal"][i]),
            "code": str(a["code"][i]),
            "rising": bool(a["rising"][i]),
            "time": iso(float(a["t_mean"][i])),
            "start": iso(float(a["t_start"][i])),
            "end": iso(float(a["t_end"][i])),
            "azimuth_deg": finite_or_none(a["azimuth_deg"][i]),
            "min_elevation_deg": finite_or_none(a["min_elevation_deg"][i]),
            "max_elevation_deg": finite_or_none(a["max_elevation_deg"][i]),
            "points": int(a["points"][i]),
            "height_m": finite_or_none(a["height_m"][i]),
            "amplitude": finite_or_none(a["amplitude"][i]),
            "peak_to_noise": finite_or_none(a["peak_to_noise"][i]),
            "coverage": finite_or_none(a["coverage"][i]),
            "accepted": bool(a["accepted"][i]),
            "reason": str(a["reason"][i]),
        })
    daily = [{**d, "start": iso(d["t_start"]) if d["t_start"] is not None else None,
              "end": iso(d["t_end"]) if d["t_end"] is not None else None}
             for d in raw["daily"]]
    for d in daily:
        d.pop("t_start")
        d.pop("t_end")
    s = raw["series"]
    series = [{"time": iso(float(t)), "height_m": finite_or_none(h), "sigma_m": finite_or_none(e)}
              for t, h, e in zip(s["t"], s["height_m"], s["sigma_m"])]
    if not arcs:
        warnings.append("no arc inside the elevation window: are the orbits for this day and station?")
    elif not any(x["accepted"] for x in arcs):
        warnings.append("no arc passed quality control: the SNR shows no usable ground reflection")
    settings = {k: (list(v) if isinstance(v, tuple) else v) for k, v in raw["settings"].items()}
    settings["azimuth_deg"] = [list(p) for p in settings["azimuth_deg"]]
    return {
        "schema": SCHEMA,
        "file": summary,
        "settings": settings,
        "arcs": arcs,
        "daily": daily,
        "sectors": sector_table(a),
        "series": {"knot_spacing_s": finite_or_none(s["knot_spacing_s"]),
                   "residual_rms_m": finite_or_none(s["residual_rms_m"]),
                   "segments": int(len(s["segments"]["t"])), "samples": series},
        "warnings": warnings,
    }


# -- text and CSV ---------------------------------------------------------------------

def render_text(data: Dict[str, Any]) -> str:
    from .tables import fmt, table

    f = data["file"]
    acc = sum(1 for a in data["arcs"] if a["accepted"])
    lines = [f"{f['station']} {f['day'] or ''}  {f['name']}",
             f"  {len(data['arcs'])} arcs, {acc} accepted "
             f"(elevations {data['settings']['elevation_deg'][0]:g}-{data['settings']['elevation_deg'][1]:g} deg, "
             f"heights {data['settings']['heights_m'][0]:g}-{data['settings']['heights_m'][1]:g} m)", "",
             "  Reflector height per signal (median of accepted arcs, m)"]
    lines += table(("signal", "height", "std", "sigma(median)", "arcs", "rejected"),
                   [[d["signal"], fmt(d["height_m"], 3), fmt(d["std_m"], 3), fmt(d["sigma_median_m"], 3),
                     str(d["arcs"]), str(d["rejected"])] for d in data["daily"]])
    rows = [[f"{r['azimuth_deg'][0]:g}-{r['azimuth_deg'][1]:g}", fmt(r["height_m"], 3), fmt(r["std_m"], 3),
             str(r["arcs"])] for r in data["sectors"] if r["arcs"]]
    if rows:
        lines += ["", "  By azimuth sector (deg)"]
        lines += table(("azimuth", "height", "std", "arcs"), rows)
    samples = [s for s in data["series"]["samples"] if s["height_m"] is not None]
    if samples:
        hs = [s["height_m"] for s in samples]
        lines += ["", f"  Height against time: {len(samples)} samples, {min(hs):.3f} to {max(hs):.3f} m "
                      f"(spline knots every {data['series']['knot_spacing_s'] / 3600:.2f} h)"]
    for w in data["warnings"]:
        lines.append(f"  note: {w}")
    return "\n".join(lines) + "\n"


def write_outputs(report: ReflectorReport, folder: str, draw_plots: bool) -> List[Tuple[str, str]]:
    """reflector.json, reflector_arcs.csv, reflector_daily.csv and the figures."""
    import csv
    from .runner import to_json

    os.makedirs(folder, exist_ok=True)
    data = report.data
    made: List[Tuple[str, str]] = []
    if draw_plots:
        from . import plots
        made = plots.draw(data, lambda: make_plots(data, report.raw, folder))
    data["outputs"] = {"folder": folder, "json": "reflector.json", "arcs_csv": "reflector_arcs.csv",
                       "daily_csv": "reflector_daily.csv", "plots": [n for n, _ in made]}
    with open(os.path.join(folder, "reflector_arcs.csv"), "w", newline="", encoding="utf-8") as fh:
        w = csv.writer(fh)
        w.writerow(ARC_COLUMNS)
        for a in data["arcs"]:
            w.writerow(["" if a[c] is None else a[c] for c in ARC_COLUMNS])
    with open(os.path.join(folder, "reflector_daily.csv"), "w", newline="", encoding="utf-8") as fh:
        w = csv.writer(fh)
        w.writerow(DAILY_COLUMNS)
        for d in data["daily"]:
            w.writerow(["" if d[c] is None else d[c] for c in DAILY_COLUMNS])
    with open(os.path.join(folder, "reflector.json"), "w", encoding="utf-8") as fh:
        fh.write(to_json(data) + "\n")
    return made


# -- figures --------------------------------------------------------------------------

BEST_ARCS = 6


def make_plots(data: Dict[str, Any], raw: Dict[str, Any], folder: str) -> List[Tuple[str, str]]:
    """Periodograms of the best arcs, height per arc against azimuth and time,
    and the daily summary with the height against time."""
    import numpy as np

    from .plots import _figure, _save

    made: List[Tuple[str, str]] = []
    a = raw["arcs"]
    if len(a["height_m"]) == 0:
        return made
    head = f"{data['file']['station']} {data['file']['day'] or ''}"
    t0 = _day_start(data)
    acc = np.asarray(a["accepted"], dtype=bool)

    pg = raw.get("periodograms")
    if pg is not None and acc.any():
        fig = _figure(9, 5)
        ax = fig.add_subplot(1, 1, 1)
        fig.subplots_adjust(left=0.09, right=0.97, bottom=0.11, top=0.9)
        best = np.argsort(-np.where(acc, a["peak_to_noise"], -np.inf), kind="stable")[:BEST_ARCS]
        for i in best:
            if not acc[i]:
                continue
            ax.plot(raw["heights_m"], pg[i], lw=1.0,
                    label=f"{a['satellite'][i]} {a['code'][i]} {'rise' if a['rising'][i] else 'set'} "
                          f"az {a['azimuth_deg'][i]:.0f}°: {a['height_m'][i]:.3f} m")
        ax.set_xlabel("Reflector height (m)")
        ax.set_ylabel("Lomb–Scargle amplitude (linear SNR units)")
        ax.set_title(f"{head}: periodograms of the {min(BEST_ARCS, int(acc.sum()))} clearest arcs")
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8)
        made.append((_save(fig, folder, "reflector_periodograms.png"),
                     "Lomb–Scargle periodograms of the arcs with the highest peak-to-noise ratio"))

    fig = _figure(11, 4.5)
    fig.subplots_adjust(left=0.07, right=0.98, bottom=0.13, top=0.88, wspace=0.22)
    hours = (np.asarray(a["t_mean"]) - t0) / 3600.0
    for k, (x, label) in enumerate(((a["azimuth_deg"], "Azimuth (°)"), (hours, "Time (h)"))):
        ax = fig.add_subplot(1, 2, k + 1)
        ax.scatter(np.asarray(x)[~acc], np.asarray(a["height_m"])[~acc], s=6, c="0.75", label="rejected")
        ax.scatter(np.asarray(x)[acc], np.asarray(a["height_m"])[acc], s=9, c="tab:blue", label="accepted")
        ax.set_xlabel(label)
        ax.set_ylabel("Reflector height (m)")
        ax.grid(alpha=0.3)
        if k == 0:
            ax.set_xlim(0, 360)
            ax.legend(fontsize=8)
    fig.suptitle(f"{head}: reflector height per arc")
    made.append((_save(fig, folder, "reflector_arcs.png"), "Reflector height of every arc against azimuth and time"))

    fig = _figure(11, 4.5)
    fig.subplots_adjust(left=0.07, right=0.98, bottom=0.2, top=0.88, wspace=0.25)
    ax = fig.add_subplot(1, 2, 1)
    # The command's data holds `daily`; the station report's keeps it in its reflector section.
    rows = data["daily"] if "daily" in data else data["reflector"]["daily"]
    daily = [d for d in rows if d["height_m"] is not None]
    ax.errorbar(range(len(daily)), [d["height_m"] for d in daily], yerr=[d["std_m"] or 0 for d in daily],
                fmt="o", capsize=3)
    ax.set_xticks(range(len(daily)))
    ax.set_xticklabels([f"{d['signal']}\n({d['arcs']})" for d in daily], rotation=60, fontsize=7)
    ax.set_ylabel("Median height ± robust std (m)")
    ax.set_title("Per signal (accepted arcs)")
    ax.grid(alpha=0.3)
    ax = fig.add_subplot(1, 2, 2)
    s = raw["series"]
    if len(s["t"]):
        th = (np.asarray(s["t"]) - t0) / 3600.0
        h, e = np.asarray(s["height_m"]), np.asarray(s["sigma_m"])
        seg = s["segments"]
        ok = ~np.asarray(seg["outlier"], dtype=bool)
        ax.scatter((np.asarray(seg["t"])[ok] - t0) / 3600.0, np.asarray(seg["height_m"])[ok], s=4, c="0.6",
                   label="ridge segments (apparent)")
        ax.plot(th, h, color="tab:red", label="height")
        ax.fill_between(th, h - 2 * e, h + 2 * e, color="tab:red", alpha=0.25, label="±2σ")
        ax.legend(fontsize=8)
    ax.set_xlabel("Time (h)")
    ax.set_ylabel("Reflector height (m)")
    ax.set_title("Against time (wavelet ridge, spline)")
    ax.grid(alpha=0.3)
    fig.suptitle(f"{head}: daily reflector height")
    made.append((_save(fig, folder, "reflector_daily.png"),
                 "Daily reflector height per signal and the height against time"))
    return made


def _day_start(data: Dict[str, Any]) -> float:
    first = data["file"]["first_epoch"]
    if not first:
        return 0.0
    d = _dt.datetime.strptime(first[:10], "%Y-%m-%d")
    return (d - _dt.datetime(1970, 1, 1)).total_seconds()


# -- the station report's section -----------------------------------------------------

def report_section(mp, obs, sp3, receiver, options: ReflectorOptions, warnings: List[str]):
    """(JSON section, raw result) for the station report; None when nothing was found."""
    try:
        raw = mp.reflector_heights(obs, sp3, mp.Ecef(*receiver), periodograms=True, **options.kwargs())
    except (ValueError, ImportError) as exc:
        warnings.append(f"reflector heights skipped: {exc}")
        return None, None
    a = raw["arcs"]
    all_row = next((d for d in raw["daily"] if d["signal"] == "all"), None)
    section = {
        "arcs": int(len(a["height_m"])),
        "accepted": int(sum(bool(x) for x in a["accepted"])),
        "height_m": all_row["height_m"] if all_row else None,
        "std_m": all_row["std_m"] if all_row else None,
        "daily": [{k: d[k] for k in DAILY_COLUMNS} for d in raw["daily"]],
        "sectors": sector_table(a),
    }
    return section, raw


def accepted_footprints(mp, raw, min_elevation: float) -> List[Dict[str, Any]]:
    """First Fresnel zones of the accepted arcs, at the low edge of the window
    with each arc's own height and wavelength."""
    out = []
    a = raw["arcs"]
    for i in range(len(a["height_m"])):
        if not a["accepted"][i]:
            continue
        el = max(float(a["min_elevation_deg"][i]), min_elevation)
        big, small, dist = mp.fresnel_zone(el, float(a["height_m"][i]), float(a["wavelength_m"][i]))
        out.append({"sat": str(a["satellite"][i]), "az": float(a["azimuth_deg"][i]), "el": el,
                    "a": big, "b": small, "dist": dist, "height": float(a["height_m"][i]),
                    "wavelength": float(a["wavelength_m"][i])})
    return out
