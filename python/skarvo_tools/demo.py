"""`skarvo-mp demo`: simulate a station-day, report on it, compare with the truth."""
from __future__ import annotations

import calendar
import json
import os
import time
from typing import Any, Dict, List, Optional, TextIO, Tuple

from .errors import FileFailure, UserError

LOW_ELEVATION = (5.0, 25.0)  # degrees: where the ground reflection dominates the SNR


def _numpy():
    try:
        import numpy
    except ImportError:
        raise UserError("the demo needs NumPy (pip install numpy, or install skarvo_mp[plots])") from None
    return numpy


def run(out: str, seed: int = 1, hours: float = 24.0, plots: bool = True,
        stdout: Optional[TextIO] = None, stderr: Optional[TextIO] = None) -> int:
    """Simulates, reports and prints the truth comparison; returns the exit status."""
    import sys

    stdout = stdout or sys.stdout
    stderr = stderr or sys.stderr
    _numpy()
    from . import report as rep
    from . import runner, sp3files, tables
    from .simulate import simulate_station

    if hours > 7 * 24:
        raise UserError("--hours is limited to one week")
    if os.path.exists(out) and not os.path.isdir(out):
        raise UserError(f"--out {out} exists and is not a folder")
    mp = rep.module()
    os.makedirs(out, exist_ok=True)

    started = time.perf_counter()
    sim = simulate_station(seed=seed, duration_s=round(hours * 3600.0 / 30.0) * 30.0)
    obs_path = sim.write_rinex(os.path.join(out, sim.rinex_name() + ".gz"))
    sp3_path = sim.write_sp3(os.path.join(out, sim.sp3_name() + ".gz"))
    truth = sim.truth()
    with open(os.path.join(out, "truth.json"), "w", encoding="utf-8") as f:
        json.dump(truth, f, indent=1)
    simulated = time.perf_counter() - started

    sources = sp3files.prepare([sp3_path], reader=mp.read_sp3)
    # The injected multipath is known at every elevation: no mask, so
    # that the measured RMS compares with it.
    options = rep.ReportOptions(sp3=sources, antenna_height=sim.config.reflector_height_m,
                                out_dir=os.path.join(out, "report"), plots=plots, elevation_mask=0.0)
    try:
        report = runner.report_one(obs_path, options)
    except FileFailure as exc:
        stderr.write(f"skarvo-mp: demo: the simulated file could not be reported on: {exc}\n")
        return 1
    elapsed = time.perf_counter() - started

    stdout.write(tables.render_text(report.data))
    stdout.write("\n")
    stdout.write(compare(sim, report))
    stdout.write(f"\nSimulated in {simulated:.1f} s, simulated and reported in {elapsed:.1f} s. "
                 f"Files: {obs_path}, {sp3_path}, {os.path.join(out, 'truth.json')}; "
                 f"open {os.path.join(out, 'report', 'index.html')} in a browser.\n")
    return 0


def mp_comparison(sim, report) -> List[Tuple[str, float, Optional[float]]]:
    """(signal, injected RMS, measured RMS) per simulated signal."""
    measured = {r["signal"]: r["rms_m"] for r in report.data["multipath"]}
    return [(label, rms, measured.get(label)) for label, rms in sim.code_error_rms().items()]


def slip_comparison(sim, report) -> Tuple[List[Dict[str, Any]], List[Dict[str, Any]]]:
    """Injected slips with what was expected and found at their epoch, and the
    gf/code_phase detections at satellite-epochs without an injected slip."""
    events = report.data["cycle_slips"]["events"]
    found: Dict[Tuple[str, str], set] = {}
    for e in events:
        found.setdefault((e["satellite"], e["epoch"]), set()).add(e["method"])
    rows = []
    injected = set()
    for slip in sim.slips:
        key = (slip.satellite, slip.epoch_iso)
        injected.add(key)
        expected = {m for m, v in sim.expected_detections(slip).items() if v}
        rows.append({"slip": slip, "expected": expected, "found": found.get(key, set())})
    extra = [e for e in events if e["method"] != "lli" and (e["satellite"], e["epoch"]) not in injected]
    return rows, extra


def reflection_comparison(sim, raw) -> List[Dict[str, Any]]:
    """Per satellite: the period the reflector height predicts at low
    elevation, and the band where the measured δSNR band power peaks there.

    Only band-power bins whose satellite elevation lies in LOW_ELEVATION
    count; satellites without such bins are left out.
    """
    np = _numpy()
    if not raw:
        return []
    bands = [tuple(b) for b in raw["bands"]]
    start_unix = calendar.timegm(sim.start.timetuple())
    out = []
    for sid, bp in raw["band_power"].items():
        if sid not in sim.tracks or not bp["t"]:
            continue
        track = sim.tracks[sid]
        period = sim.predicted_snr_period_s(sid)
        ok = np.isfinite(track.elevation_deg)
        t_rel = np.asarray(bp["t"]) + raw["residuals"][sid]["t0"] - start_unix
        el = np.interp(t_rel, sim.t_s[ok], track.elevation_deg[ok])
        low = (el >= LOW_ELEVATION[0]) & (el <= LOW_ELEVATION[1])
        sel = ok & (track.elevation_deg >= LOW_ELEVATION[0]) & (track.elevation_deg <= LOW_ELEVATION[1])
        if not low.any() or not sel.any():
            continue
        power = np.asarray(bp["power"])[:, low].mean(axis=1)
        peak = bands[int(np.argmax(power))]
        predicted = float(np.median(period[sel]))
        home = next((b for b in bands if b[0] <= predicted < b[1]), None)
        out.append({"satellite": sid, "predicted_s": predicted,
                    "predicted_range_s": (float(np.percentile(period[sel], 10)),
                                          float(np.percentile(period[sel], 90))),
                    "predicted_band": home, "peak_band": peak, "match": home == peak})
    return out


def elevation_comparison(sim, estimates) -> Optional[Tuple[int, float, float]]:
    """(compared estimates, max |Δ elevation|, max |Δ azimuth|) in degrees,
    against the simulator's geometry; None without computed elevations."""
    np = _numpy()
    from .report import epoch_to_datetime, from_orbit

    index = {}
    n, d_el, d_az = 0, 0.0, 0.0
    for e in estimates:
        if not from_orbit(e.elevation, e.azimuth):
            continue
        k = index.get(e.epoch)
        if k is None:
            k = index[e.epoch] = int(round((epoch_to_datetime(e.epoch) - sim.start).total_seconds()
                                           / sim.config.interval_s))
        track = sim.tracks.get(e.satellite)
        if track is None or not 0 <= k < sim.t_s.size or not np.isfinite(track.elevation_deg[k]):
            continue
        n += 1
        d_el = max(d_el, abs(e.elevation - track.elevation_deg[k]))
        da = abs(e.azimuth - track.azimuth_deg[k]) % 360.0
        d_az = max(d_az, min(da, 360.0 - da))
    return (n, d_el, d_az) if n else None


def compare(sim, report) -> str:
    """The truth-against-recovered section printed by the demo."""
    lines = ["Truth against what skarvo_mp recovered", ""]
    lines.append("  Code multipath RMS per signal (injected multipath + noise vs measured)")
    lines.append(f"  {'signal':8} {'injected m':>10} {'measured m':>10} {'difference':>10}")
    for label, injected, measured in mp_comparison(sim, report):
        if measured is None:
            lines.append(f"  {label:8} {injected:10.4f} {'-':>10} {'not found':>10}")
        else:
            lines.append(f"  {label:8} {injected:10.4f} {measured:10.4f} {100 * (measured / injected - 1):+9.1f}%")

    lines.append(f"  (the bias removal over a moving {1500:g}-s window takes a few per cent of a multipath "
                 f"correlated over {sim.config.mp_correlation_s:g} s)")
    rows, extra = slip_comparison(sim, report)
    lines.append("")
    hit = sum(1 for r in rows if r["expected"] <= r["found"] and r["expected"])
    due = sum(1 for r in rows if r["expected"])
    lines.append(f"  Cycle slips: {len(rows)} injected, {due} above the detector thresholds, "
                 f"{hit} of those found at their epoch by every test expected to see them")
    for r in rows:
        s = r["slip"]
        cycles = ", ".join(f"{k} {v:+d}" for k, v in s.cycles.items())
        lines.append(f"    {s.epoch_iso}  {s.satellite}  {cycles:<22} "
                     f"{'LLI' if s.lli else '   '}  expected {'/'.join(sorted(r['expected'])) or '-':<18} "
                     f"found {'/'.join(sorted(r['found'])) or '-'}")
    lines.append(f"  gf/code_phase detections where no slip was injected: {len(extra)}")

    raw = report.details.get("band_series")
    refl = reflection_comparison(sim, raw)
    lines.append("")
    h = sim.config.reflector_height_m
    if refl:
        matched = sum(1 for r in refl if r["match"])
        periods = sorted(r["predicted_s"] for r in refl)
        lines.append(f"  Reflector {h:g} m below the antenna: at {LOW_ELEVATION[0]:g}-{LOW_ELEVATION[1]:g}° "
                     f"elevation it predicts SNR periods of {periods[0]:.0f}-{periods[-1]:.0f} s "
                     f"(median per satellite)")
        counts: Dict[Any, int] = {}
        for r in refl:
            counts[r["peak_band"]] = counts.get(r["peak_band"], 0) + 1
        peaks = ", ".join(f"{lo:g}-{hi:g} s: {n}" for (lo, hi), n in sorted(counts.items()))
        lines.append(f"  δSNR band power peaks (satellites per band): {peaks}")
        lines.append(f"  peak in the band holding the predicted period: {matched} of {len(refl)} satellites")
    else:
        lines.append(f"  Reflector {h:g} m below the antenna: no band power at low elevation to compare")

    el = elevation_comparison(sim, report.details.get("estimates") or [])
    lines.append("")
    if el:
        lines.append(f"  Elevations from the simulated SP3 vs the simulator's geometry: {el[0]} estimates, "
                     f"largest difference {el[1]:.1e}° in elevation, {el[2]:.1e}° in azimuth")
    else:
        lines.append("  Elevations: none computed")
    return "\n".join(lines) + "\n"
