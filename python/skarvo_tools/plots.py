"""Figures of a report (PNG, drawn with matplotlib when it is installed).

Every figure is drawn on its own `Figure` with the Agg canvas, without
pyplot, so that nothing depends on a display or on global plotting state.
Scatter plots are thinned to at most `MAX_POINTS` points (every k-th point,
so the picture is deterministic); binned curves use all points.
"""
from __future__ import annotations

import datetime as _dt
import importlib
import math
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .report import SYSTEM_NAMES, epoch_to_datetime, from_orbit

MAX_POINTS = 20000
TOP_SATELLITES = 4
FULL_SYSTEM_NAMES = {"G": "GPS", "R": "GLONASS", "E": "Galileo", "C": "BeiDou", "J": "QZSS",
                     "S": "SBAS", "I": "NavIC", "M": "mixed"}


def available() -> Optional[str]:
    """None when plots can be drawn, else the reason why not (one line)."""
    for name in ("matplotlib", "numpy"):
        try:
            importlib.import_module(name)
        except ImportError:
            return f"plots skipped: {name} is not installed (pip install 'skarvo_mp[plots]')"
    return None


def _figure(width: float, height: float):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    # A fixed layout: automatic layout engines measure every text twice and
    # cost more than the drawing itself.
    fig = Figure(figsize=(width, height), dpi=100)
    FigureCanvasAgg(fig)
    return fig


def _save(fig, folder: str, name: str) -> str:
    import os

    fig.savefig(os.path.join(folder, name), dpi=100, metadata={"Software": None})
    return name


def _thin(n: int) -> int:
    return max(1, math.ceil(n / MAX_POINTS))


def _title_head(data: Dict[str, Any]) -> str:
    f = data["file"]
    day = f["day"] or "no date"
    doy = f" (DOY {f['doy']:03d})" if f.get("doy") else ""
    return f"{f['station']} {day}{doy}"


def _hours(isos: Sequence[str], day_start: _dt.datetime) -> List[float]:
    """Hours since `day_start` of ISO epoch texts (many repeat: convert each once)."""
    cache: Dict[str, float] = {}
    out = []
    for t in isos:
        h = cache.get(t)
        if h is None:
            h = cache[t] = (epoch_to_datetime(t) - day_start).total_seconds() / 3600.0
        out.append(h)
    return out


def _label_of(e) -> str:
    return SYSTEM_NAMES.get(e.system, "MIX") + "M" + e.signal[1:]


def _collect(estimates) -> Dict[str, Dict[str, list]]:
    """Per signal label: lists of mp, elevation, azimuth, snr, epoch, and
    whether the estimate carries a real (orbit-derived) elevation."""
    out: Dict[str, Dict[str, list]] = {}
    for e in estimates:
        d = out.get(_label_of(e))
        if d is None:
            d = out[_label_of(e)] = {"mp": [], "el": [], "az": [], "snr": [], "epoch": [], "real": [],
                                     "code": e.signal, "system": e.system}
        el, az = e.elevation, e.azimuth
        d["mp"].append(e.mp_value)
        d["el"].append(el)
        d["az"].append(az)
        d["snr"].append(e.snr)
        d["epoch"].append(e.epoch)
        d["real"].append(from_orbit(el, az))
    return out


def make_plots(data: Dict[str, Any], details: Dict[str, Any], folder: str) -> List[Tuple[str, str]]:
    """Draws every figure the report supports; returns (file name, caption) pairs."""
    import numpy as np

    made: List[Tuple[str, str]] = []
    head = _title_head(data)
    day_start = None
    if data["file"]["first_epoch"]:
        d = epoch_to_datetime(data["file"]["first_epoch"])
        day_start = _dt.datetime(d.year, d.month, d.day)
    signals = _collect(details.get("estimates") or [])
    order = [r["signal"] for r in data["multipath"] if r["signal"] in signals]

    for label in order:
        d = signals[label]
        mp = np.asarray(d["mp"])
        real = np.asarray(d["real"], dtype=bool)
        name = f"mp_{label}.png"
        if real.any():
            made.append((_mp_elevation(np, data, head, label, d, mp, real, folder, name),
                         f"{label}: code multipath against elevation, and |MP| on the sky"))
        elif day_start is not None:
            made.append((_mp_time(np, head, label, d, mp, day_start, folder, name),
                         f"{label}: code multipath over the day (no elevations)"))

    systems = sorted({d["system"] for d in signals.values()}, key="GRECJSIM".find)
    for system in systems:
        name = f"snr_{system}.png"
        if _snr_elevation(np, head, system, signals, day_start, folder, name):
            made.append((name, f"{FULL_SYSTEM_NAMES.get(system, system)}: SNR against elevation"))

    if details.get("band_series") and data.get("snr_wavelets"):
        name = _band_power(np, data, head, details["band_series"], day_start, folder)
        if name:
            made.append((name, "δSNR band power over the day for the satellites with the most data"))

    reflector_zones = _reflector_zones(data, details)
    if (details.get("footprints") and data.get("fresnel")) or reflector_zones:
        made.append((_fresnel(np, data, head, details.get("footprints") or [], folder, reflector_zones),
                     "First Fresnel zones of the ground reflection around the antenna"
                     + (" (filled: accepted reflector arcs)" if reflector_zones else "")))
    if details.get("reflector") and data.get("reflector"):
        from . import reflector
        for name, caption in reflector.make_plots(data, details["reflector"], folder):
            made.append((name, caption))
    return made


def _reflector_zones(data, details) -> list:
    raw = details.get("reflector")
    if not raw or not data.get("reflector"):
        return []
    from . import reflector
    from .report import module
    return reflector.accepted_footprints(module(), raw, 5.0)


def _mp_elevation(np, data, head, label, d, mp, real, folder, name) -> str:
    el = np.asarray(d["el"])[real]
    az = np.asarray(d["az"])[real]
    v = mp[real]
    step = _thin(v.size)
    fig = _figure(12, 5)
    fig.subplots_adjust(left=0.06, right=0.97, bottom=0.1, top=0.8, wspace=0.2)
    ax = fig.add_subplot(1, 2, 1)
    # Line markers draw much faster than a scatter collection of the same points.
    ax.plot(el[::step], v[::step], ".", ms=1.5, alpha=0.3, color="tab:blue", rasterized=True)
    edges = np.arange(0.0, 95.0, 5.0)
    idx = np.digitize(el, edges) - 1
    centres, rms = [], []
    for k in range(edges.size - 1):
        sel = v[idx == k]
        if sel.size >= 10:
            centres.append(edges[k] + 2.5)
            rms.append(math.sqrt(float(np.mean(sel * sel))))
    if centres:
        ax.plot(centres, rms, color="tab:red", lw=2, label="RMS per 5° bin")
        ax.plot(centres, [-r for r in rms], color="tab:red", lw=2)
        ax.legend(loc="upper right")
    lim = max(1.0, float(np.percentile(np.abs(v), 99.9)) * 1.1) if v.size else 1.0
    ax.set_ylim(-lim, lim)
    ax.set_xlim(0, 90)
    ax.set_xlabel("Elevation (°)")
    ax.set_ylabel(f"MP {d['code']} (m)")
    fig.suptitle(f"{head}: {label} ({d['code']}) code multipath", fontsize="large", y=0.97)
    ax.set_title("MP against elevation")
    ax.grid(alpha=0.3)

    # Sky map: RMS of MP in cells of 5° azimuth by 5° elevation.
    sky = fig.add_subplot(1, 2, 2, projection="polar")
    sky.set_theta_zero_location("N")
    sky.set_theta_direction(-1)
    az_edges = np.radians(np.arange(0.0, 365.0, 5.0))
    zen_edges = np.arange(0.0, 95.0, 5.0)
    zen = np.clip(90.0 - el, 0.0, 90.0)
    rad = np.radians(az % 360.0)
    sums, _, _ = np.histogram2d(rad, zen, bins=[az_edges, zen_edges], weights=v * v)
    counts, _, _ = np.histogram2d(rad, zen, bins=[az_edges, zen_edges])
    with np.errstate(invalid="ignore", divide="ignore"):
        cell_rms = np.where(counts >= 3, np.sqrt(sums / counts), np.nan)
    finite = cell_rms[np.isfinite(cell_rms)]
    vmax = max(float(np.percentile(finite, 98)) if finite.size else 1.0, 1e-3)
    mesh = sky.pcolormesh(az_edges, zen_edges, cell_rms.T, cmap="viridis", vmin=0.0, vmax=vmax,
                          rasterized=True)
    sky.set_rlim(0, 90)
    sky.set_rticks([30, 60])
    sky.set_yticklabels(["60°", "30°"])
    sky.set_rlabel_position(200)
    sky.set_title("|MP| on the sky: RMS per 5°×5° cell (azimuth from north)", pad=22)
    cb = fig.colorbar(mesh, ax=sky, shrink=0.85, pad=0.12)
    cb.set_label("RMS of MP (m)")
    return _save(fig, folder, name)


def _mp_time(np, head, label, d, mp, day_start, folder, name) -> str:
    hours = np.asarray(_hours(d["epoch"], day_start))
    step = _thin(mp.size)
    fig = _figure(10, 4)
    fig.subplots_adjust(left=0.08, right=0.98, bottom=0.13, top=0.9)
    ax = fig.add_subplot(1, 1, 1)
    ax.plot(hours[::step], mp[::step], ".", ms=1.5, alpha=0.3, rasterized=True)
    ax.set_xlabel(f"Time (hours of {day_start:%Y-%m-%d}, file time scale)")
    ax.set_ylabel(f"MP {d['code']} (m)")
    ax.set_title(f"{head}: {label} code multipath (no orbit: elevations unknown)")
    ax.grid(alpha=0.3)
    return _save(fig, folder, name)


def _snr_elevation(np, head, system, signals, day_start, folder, name) -> bool:
    series = []
    for label in sorted(signals):
        d = signals[label]
        if d["system"] != system:
            continue
        snr = np.asarray([s if s is not None else np.nan for s in d["snr"]], dtype=float)
        ok = np.isfinite(snr)
        if not ok.any():
            continue
        real = np.asarray(d["real"], dtype=bool)
        series.append((label, "S" + d["code"][1:], snr, ok, real, d))
    if not series:
        return False
    use_elevation = any((ok & real).any() for _, _, _, ok, real, _ in series)
    if not use_elevation and day_start is None:
        return False
    fig = _figure(10, 5)
    fig.subplots_adjust(left=0.08, right=0.98, bottom=0.11, top=0.92)
    ax = fig.add_subplot(1, 1, 1)
    for label, code, snr, ok, real, d in series:
        if use_elevation:
            sel = ok & real
            x = np.asarray(d["el"])[sel]
        else:
            sel = ok
            x = np.asarray(_hours(d["epoch"], day_start))[sel]
        y = snr[sel]
        step = _thin(y.size)
        ax.plot(x[::step], y[::step], ".", ms=1.5, alpha=0.3, label=f"{code} ({label})", rasterized=True)
    names = FULL_SYSTEM_NAMES.get(system, system)
    codes = ", ".join(c for _, c, *_ in series)
    if use_elevation:
        ax.set_xlabel("Elevation (°)")
        ax.set_xlim(0, 90)
        ax.set_title(f"{head}: {names} SNR vs elevation ({codes})")
    else:
        ax.set_xlabel(f"Time (hours of {day_start:%Y-%m-%d})")
        ax.set_title(f"{head}: {names} SNR over the day ({codes}; no elevations)")
    ax.set_ylabel("SNR (dB-Hz)")
    ax.grid(alpha=0.3)
    leg = ax.legend(loc="lower right", markerscale=5)
    for h in leg.legend_handles:
        h.set_alpha(1.0)
    _save(fig, folder, name)
    return True


def _band_power(np, data, head, raw, day_start, folder) -> Optional[str]:
    bands = raw["bands"]
    ranked = sorted(((len(r["t"]), sid) for sid, r in raw["residuals"].items()
                     if raw["band_power"].get(sid) and raw["band_power"][sid]["t"]),
                    key=lambda x: (-x[0], x[1]))[:TOP_SATELLITES]
    if not ranked:
        return None
    height = 2.6 * len(ranked) + 0.6
    fig = _figure(11, height)
    fig.subplots_adjust(left=0.1, right=0.98, bottom=0.6 / height, top=1 - 0.35 / height, hspace=0.45)
    for k, (_, sid) in enumerate(ranked):
        ax = fig.add_subplot(len(ranked), 1, k + 1)
        res, bp = raw["residuals"][sid], raw["band_power"][sid]
        t0 = _dt.datetime(1970, 1, 1) + _dt.timedelta(seconds=res["t0"])
        base = day_start or _dt.datetime(t0.year, t0.month, t0.day)
        offset = (t0 - base).total_seconds()
        hours = np.array([(offset + t) / 3600.0 for t in bp["t"]])
        # Bins without samples (the satellite set) are absent: break the lines
        # there instead of joining the two passes.
        steps = np.diff(hours)
        breaks = np.nonzero(steps > 3.0 * np.median(steps))[0] + 1 if steps.size else []
        x = np.insert(hours, breaks, np.nan)
        for (lo, hi), row in zip(bands, bp["power"]):
            y = np.insert(np.asarray(row, dtype=float), breaks, np.nan)
            ax.plot(x, y, marker=".", ms=3, lw=1, label=f"{lo:g}–{hi:g} s")
        ax.set_yscale("symlog", linthresh=1e-6)
        ax.set_ylabel("band power\n(amplitude²)")
        ax.set_title(f"{head}: δSNR band power, {sid} {res['code']}")
        ax.grid(alpha=0.3)
        if k == 0:
            ax.legend(loc="upper right", ncol=len(bands), fontsize="small", title="period band")
        if k == len(ranked) - 1:
            ax.set_xlabel(f"Time (hours of {base:%Y-%m-%d}, file time scale)")
    return _save(fig, folder, "snr_band_power.png")


def _fresnel(np, data, head, footprints, folder, reflector_zones=()) -> str:
    from matplotlib.collections import EllipseCollection

    fr = data.get("fresnel") or {
        "wavelength_m": 0.19029367279836487, "min_elevation_deg": 5.0,
        "antenna_height_m": data["reflector"]["height_m"] or 1.0}
    fig = _figure(8, 8)
    fig.subplots_adjust(left=0.11, right=0.97, bottom=0.07, top=0.91)
    ax = fig.add_subplot(1, 1, 1)
    colors = {"G": "tab:blue", "R": "tab:red", "E": "tab:green", "C": "tab:orange"}
    half_wavelength = fr["wavelength_m"] / 2.0
    height = fr["antenna_height_m"]
    centres, widths, heights, angles, edge = [], [], [], [], []
    for fp in footprints:
        az = math.radians(fp["az"])
        # The zone is centred beyond the specular point, at
        # (h + (λ/2) / sin e) / tan e (with the same 0.5° floor as its size).
        el = fp["el"] if math.isfinite(fp["el"]) else 0.5
        e = math.radians(max(el, 0.5))
        centre = (height + half_wavelength / math.sin(e)) / math.tan(e)
        centres.append((centre * math.sin(az), centre * math.cos(az)))
        widths.append(2 * fp["b"])
        heights.append(2 * fp["a"])
        angles.append(-fp["az"])  # the long axis points along the azimuth
        edge.append(colors.get(fp["sat"][0], "tab:gray"))
    if centres:
        ax.add_collection(EllipseCollection(widths, heights, angles, units="xy", offsets=centres,
                                            offset_transform=ax.transData, facecolors="none", edgecolors=edge,
                                            linewidths=0.6, alpha=0.5))
    # Zones of the accepted reflector arcs, each with its own height and
    # wavelength, at the arc's lowest elevation.
    r_centres, r_w, r_h, r_a = [], [], [], []
    for z in reflector_zones:
        az, e = math.radians(z["az"]), math.radians(max(z["el"], 0.5))
        centre = (z["height"] + z["wavelength"] / 2 / math.sin(e)) / math.tan(e)
        r_centres.append((centre * math.sin(az), centre * math.cos(az)))
        r_w.append(2 * z["b"])
        r_h.append(2 * z["a"])
        r_a.append(-z["az"])
    if r_centres:
        ax.add_collection(EllipseCollection(r_w, r_h, r_a, units="xy", offsets=r_centres,
                                            offset_transform=ax.transData, facecolors="tab:purple",
                                            edgecolors="none", alpha=0.12))
        ax.plot([], [], color="tab:purple", alpha=0.4, lw=6, label="accepted reflector arcs")
    centres = centres + r_centres
    heights = heights + r_h
    extent = max([1.0] + [max(abs(x), abs(y)) + a / 2 for (x, y), a in zip(centres, heights)])
    extent = min(extent, 20 * height / math.tan(math.radians(5.0)))
    ax.plot([0], [0], marker="^", color="black", ms=8, label="antenna", ls="none")
    for letter in sorted({fp["sat"][0] for fp in footprints}, key="GRECJSIM".find):
        ax.plot([], [], color=colors.get(letter, "tab:gray"), label=FULL_SYSTEM_NAMES.get(letter, letter))
    ax.set_xlim(-extent, extent)
    ax.set_ylim(-extent, extent)
    ax.set_aspect("equal")
    ax.set_xlabel("East (m)")
    ax.set_ylabel("North (m)")
    ax.set_title(f"{head}: first Fresnel zones (L1)\nantenna {fr['antenna_height_m']:g} m "
                 f"above a horizontal reflector, elevations ≥ {fr['min_elevation_deg']:g}°")
    ax.grid(alpha=0.3)
    ax.legend(loc="upper right")
    return _save(fig, folder, "fresnel.png")

