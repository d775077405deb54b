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
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from .report import epoch_to_datetime, from_orbit
from .names import FULL_SYSTEM_NAMES, SYSTEM_NAMES

MAX_POINTS = 20000
TOP_SATELLITES = 4



def available() -> Optional[str]:
    """None when plots can be drawn, else the reason why not (one line)."""
    for name in ("matplotlib", "numpy"):
        try:
            importlib.import_module(name)
        except ImportError:
            return f"plots skipped: {name} is not installed (pip install 'skarvo_mp[plots]')"
    return None


def draw(data: Dict[str, Any], *steps: Callable[[], List[Tuple[str, str]]]) -> List[Tuple[str, str]]:
    """The figures that `steps` make, in order: none with the reason among
    `data["warnings"]` when plots cannot be drawn; those made before a step
    failed, with the failure among the warnings (a figure must never cost the
    tables)."""
    reason = available()
    if reason:
        data["warnings"].append(reason)
        return []
    made: List[Tuple[str, str]] = []
    try:
        for step in steps:
            made += step()
    except Exception as exc:
        data["warnings"].append(f"plots failed: {type(exc).__name__}: {exc}")
    return made


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


def clip_limit(np, values):
    """Symmetric y limit of a multipath scatter (m): 1.1 times the 99.9th
    percentile of |MP|, at least 1 m; and the masks of the points above and
    below it, which the figure marks on its edges instead of hiding."""
    v = np.asarray(values, dtype=float)
    finite = v[np.isfinite(v)]
    lim = max(1.0, float(np.percentile(np.abs(finite), 99.9)) * 1.1) if finite.size else 1.0
    return lim, v > lim, v < -lim


def quiet_azimuth(np, azimuths, elevations, sector: float = 30.0) -> float:
    """Centre (degrees) of the azimuth sector with the fewest samples between
    20° and 70° elevation, where the elevation rings are labelled; ties go
    to the first sector clockwise from north."""
    az = np.asarray(azimuths, dtype=float) % 360.0
    el = np.asarray(elevations, dtype=float)
    sel = (el >= 20.0) & (el <= 70.0)
    counts, _ = np.histogram(az[sel], bins=np.arange(0.0, 360.0 + sector, sector))
    return float(np.argmin(counts) * sector + sector / 2.0)


GEOSTATIONARY = {f"C{n:02d}" for n in (1, 2, 3, 4, 5, 59, 60, 61, 62, 63)}


def top_reflection_satellites(raw, count: int = 4) -> List[str]:
    """The satellites with the most δSNR band power (mean over time, summed
    over the bands): the strongest ground reflections. Geostationary
    satellites (BeiDou GEO, SBAS) are left out: their geometry does not
    change, so their δSNR holds no reflection pattern."""
    scored = []
    for sid, bp in raw["band_power"].items():
        if sid in GEOSTATIONARY or sid.startswith("S") or not bp.get("t"):
            continue
        total = 0.0
        for row in bp["power"]:
            vals = [x for x in row if x is not None and math.isfinite(x)]
            if vals:
                total += math.fsum(vals) / len(vals)
        scored.append((-total, sid))
    return [sid for _, sid in sorted(scored)[:count]]


def fresnel_outline(np, footprints, height: float, wavelength: float, points: int = 48):
    """East and north coordinates (m, arrays of shape (n, points)) of the
    outline of every first Fresnel zone, each centred beyond its specular
    point with its long axis along the azimuth."""
    from .report import fresnel_centre

    if not footprints:
        return np.zeros((0, points)), np.zeros((0, points))
    az = np.radians([fp["az"] for fp in footprints])[:, None]
    c = np.array([fresnel_centre(fp["el"], height, wavelength) for fp in footprints])[:, None]
    a = np.array([fp["a"] for fp in footprints])[:, None]
    b = np.array([fp["b"] for fp in footprints])[:, None]
    t = np.linspace(0.0, 2.0 * np.pi, points, endpoint=False)[None, :]
    along, across = c + a * np.cos(t), b * np.sin(t)
    east = along * np.sin(az) + across * np.cos(az)
    north = along * np.cos(az) - across * np.sin(az)
    return east, north


def fresnel_envelope(np, footprints, height: float, wavelength: float, sector: float = 5.0):
    """Outline of the union of the zones per azimuth sector: for each sector
    of `sector` degrees that any zone touches, (lo, hi, nearest, farthest)
    with the distances (m) from the antenna of the zone outline points in
    it."""
    east, north = fresnel_outline(np, footprints, height, wavelength)
    if east.size == 0:
        return []
    r = np.hypot(east, north).ravel()
    az = (np.degrees(np.arctan2(east, north)).ravel()) % 360.0
    idx = np.minimum((az // sector).astype(int), int(round(360.0 / sector)) - 1)
    out = []
    for k in np.unique(idx):
        sel = r[idx == k]
        out.append((float(k * sector), float((k + 1) * sector), float(sel.min()), float(sel.max())))
    return out


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
            made.append((name, "δSNR band power over the day for the satellites with the most reflection power"))

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
    lim, above, below = clip_limit(np, v)
    if above.any() or below.any():
        # Outliers beyond the axis are drawn on its edge, pointing outwards.
        edge = lim * 0.985
        ax.plot(el[above], np.full(int(above.sum()), edge), "^", ms=4, color="tab:red", ls="none", clip_on=False,
                label=f"{int(above.sum() + below.sum())} beyond ±{lim:.2g} m (on the edge)")
        ax.plot(el[below], np.full(int(below.sum()), -edge), "v", ms=4, color="tab:red", ls="none", clip_on=False)
        ax.legend(loc="upper right")
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
    # Ring labels go where the sky has the fewest samples, on a white ground.
    sky.set_rlabel_position(quiet_azimuth(np, az, el))
    for label in sky.get_yticklabels():
        label.set_bbox({"facecolor": "white", "edgecolor": "none", "alpha": 0.8, "pad": 1.0})
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
    ranked = [sid for sid in top_reflection_satellites(raw, TOP_SATELLITES) if sid in raw["residuals"]]
    if not ranked:
        return None
    height = 2.6 * len(ranked) + 1.2
    fig = _figure(11, height)
    fig.subplots_adjust(left=0.1, right=0.98, bottom=0.6 / height, top=1 - 0.95 / height, hspace=0.45)
    axes, spans = [], []
    for k, sid in enumerate(ranked):
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
        axes.append(ax)
        if hours.size:
            spans += [float(hours.min()), float(hours.max())]
        for (lo, hi), row in zip(bands, bp["power"]):
            y = np.insert(np.asarray(row, dtype=float), breaks, np.nan)
            ax.plot(x, y, marker=".", ms=3, lw=1, label=f"{lo:g}–{hi:g} s")
        ax.set_yscale("symlog", linthresh=1e-6)
        ax.set_ylabel("band power\n((dB-Hz)²)")
        ax.set_title(f"{sid} {res['code']}", loc="right", fontsize="medium")
        ax.grid(alpha=0.3)
        if k == 0:
            fig.suptitle(f"{head}: δSNR band power, satellites with the most reflection power",
                         x=0.1, ha="left", y=1.0 - 0.1 / height, fontsize="large")
            # Between the title and the panels, where it covers no data.
            fig.legend(*ax.get_legend_handles_labels(), loc="center left", ncol=len(bands), fontsize="small",
                       title="period band:", alignment="left", bbox_to_anchor=(0.1, 1.0 - 0.55 / height),
                       frameon=False)
        if k == len(ranked) - 1:
            ax.set_xlabel(f"Time (hours of {base:%Y-%m-%d}, file time scale)")
    if spans:
        pad = max(0.02 * (max(spans) - min(spans)), 0.01)
        for ax in axes:
            ax.set_xlim(min(spans) - pad, max(spans) + pad)
    return _save(fig, folder, "snr_band_power.png")


def _fresnel(np, data, head, footprints, folder, reflector_zones=()) -> str:
    from matplotlib.collections import EllipseCollection
    from matplotlib.patches import Polygon

    fr = data.get("fresnel") or {
        "wavelength_m": 0.19029367279836487, "min_elevation_deg": 5.0,
        "antenna_height_m": data["reflector"]["height_m"] or 1.0}
    height, wavelength = fr["antenna_height_m"], fr["wavelength_m"]
    fig = _figure(8, 8)
    fig.subplots_adjust(left=0.11, right=0.97, bottom=0.15, top=0.9)
    ax = fig.add_subplot(1, 1, 1)
    colors = {"G": "tab:blue", "R": "tab:red", "E": "tab:green", "C": "tab:orange"}

    # The union of the zones, as its nearest and farthest extent per 5°
    # azimuth sector: thousands of overlapping ellipses would hide it.
    envelope = fresnel_envelope(np, footprints, height, wavelength)
    for lo, hi, near, far in envelope:
        t = np.radians(np.linspace(lo, hi, 6))
        ring = np.concatenate([np.stack([near * np.sin(t), near * np.cos(t)], 1),
                               np.stack([far * np.sin(t[::-1]), far * np.cos(t[::-1])], 1)])
        ax.add_patch(Polygon(ring, closed=True, facecolor="tab:blue", alpha=0.18, edgecolor="none"))
    # A thinned set of zones for their shape: per 30° of azimuth, the one
    # reaching farthest (the lowest elevation there).
    east, north = fresnel_outline(np, footprints, height, wavelength)
    reach = np.hypot(east, north).max(axis=1) if east.size else np.zeros(0)
    best: Dict[int, int] = {}
    for i, fp in enumerate(footprints):
        k = int((fp["az"] % 360.0) // 30.0)
        if k not in best or reach[i] > reach[best[k]]:
            best[k] = i
    for i in sorted(best.values()):
        ax.plot(np.append(east[i], east[i][0]), np.append(north[i], north[i][0]), lw=0.9,
                color=colors.get(footprints[i]["sat"][0], "tab:gray"))
    far = max([1.0] + [e[3] for e in envelope])
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
        far = max([far] + [math.hypot(x, y) + hh / 2 for (x, y), hh in zip(r_centres, r_h)])
    extent = far * 1.08
    ax.plot([0], [0], marker="^", color="black", ms=8, label="antenna", ls="none")
    if envelope:
        ax.add_patch(Polygon([[0, 0]], facecolor="tab:blue", alpha=0.18, label="area covered by the zones"))
    for letter in sorted({footprints[i]["sat"][0] for i in best.values()}, key="GRECJSIM".find):
        ax.plot([], [], color=colors.get(letter, "tab:gray"),
                label=f"{FULL_SYSTEM_NAMES.get(letter, letter)}: farthest zone per 30°")
    ax.set_xlim(-extent, extent)
    ax.set_ylim(-extent, extent)
    ax.set_aspect("equal")
    ax.set_xlabel("East (m)")
    ax.set_ylabel("North (m)")
    if envelope:
        ax.set_title(f"{head}: first Fresnel zones (L1), antenna {height:g} m above a horizontal reflector,\n"
                     f"elevations ≥ {fr['min_elevation_deg']:g}°: {fr['footprints']} zones reaching up to "
                     f"{max(e[3] for e in envelope):.1f} m (specular points up to {fr['max_distance_m']:.1f} m)",
                     fontsize="medium")
    else:
        ax.set_title(f"{head}: first Fresnel zones of the accepted reflector arcs", fontsize="medium")
    ax.grid(alpha=0.3)
    # Below the axes, where it covers no zone.
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.08), ncol=3, fontsize="small", frameon=False)
    return _save(fig, folder, "fresnel.png")

