"""The station report: everything the command says about one observation file.

`build_report` reads one RINEX observation file with `skarvo_mp`, runs the
multipath analysis, attaches elevations from SP3 orbits when given, gathers
SNR statistics and the wavelet band power of the SNR series, and returns a
`Report`: `data` is the JSON-ready summary (the schema is documented in the
README section of this package), `details` holds the large intermediate
results (estimates, band-power series) that plots and the demo need.

No NumPy is needed here.
"""
from __future__ import annotations

import dataclasses
import datetime as _dt
import math
import os
import re
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from . import quality as quality_mod
from . import sp3files
from .errors import FileFailure, UserError, check_input_file
from .names import FULL_SYSTEM_NAMES, SYSTEM_LETTERS, SYSTEM_NAMES

SCHEMA = "skarvo-mp-report/1"
STATUS_OK = "ok"
STATUS_NO_MULTIPATH = "no multipath"
DEFAULT_ELEVATION_MASK = 10.0
DEFAULT_SYSTEMS = ("G", "R", "E", "C")
METHODS = ("gf", "code_phase", "lli")
# Placeholder geometry of estimates without an orbit (see compute_elevations).
PLACEHOLDER_ELEVATION = 45.0
PLACEHOLDER_AZIMUTH = 0.0


def from_orbit(elevation: float, azimuth: float) -> bool:
    """Whether an estimate's elevation came from an orbit: neither the
    placeholder of `analyze()` nor NaN (the orbit could not place it)."""
    return math.isfinite(elevation) and not (elevation == PLACEHOLDER_ELEVATION and azimuth == PLACEHOLDER_AZIMUTH)


def module():
    """The extension module, imported on first use so that --help works without it."""
    try:
        import skarvo_mp
    except ImportError as exc:  # pragma: no cover - depends on the installation
        raise UserError(f"cannot import the skarvo_mp extension module: {exc}") from None
    return skarvo_mp


@dataclasses.dataclass
class ReportOptions:
    """What the user asked for; shared by every file of a batch."""

    sp3: Sequence[sp3files.Sp3Source] = ()
    position: Optional[Tuple[float, float, float]] = None
    systems: Optional[Sequence[str]] = None
    antenna_height: Optional[float] = None
    out_dir: Optional[str] = None
    plots: bool = True
    wavelets: bool = True
    # Keyword arguments of MultipathAnalyzer besides `systems` (code lists,
    # slip thresholds); the elevation mask is `elevation_mask`.
    analyzer: Dict[str, Any] = dataclasses.field(default_factory=dict)
    # Degrees; None for the analyzer's default.
    elevation_mask: Optional[float] = None
    nav: Sequence[str] = ()
    reflector: bool = False
    # Read the chosen SP3 files as one module SP3 object, and the navigation
    # files as one NavData; by default the SP3 files are read together by the
    # module, the navigation files read and merged (see attach_elevations). Batches on long-lived workers pass cached readers.
    orbit_reader: Optional[Callable[[Sequence[sp3files.Sp3Source]], Any]] = None
    nav_reader: Optional[Callable[[Sequence[str]], Any]] = None


@dataclasses.dataclass
class Report:
    data: Dict[str, Any]
    details: Dict[str, Any]


# -- small helpers ------------------------------------------------------------------

def finite_or_none(x) -> Optional[float]:
    """A float for JSON: non-finite values become None."""
    if x is None:
        return None
    x = float(x)
    return x if math.isfinite(x) else None


def percentile(sorted_values: Sequence[float], q: float) -> Optional[float]:
    """Percentile with linear interpolation between order statistics
    (NumPy's default method); None for an empty list."""
    n = len(sorted_values)
    if n == 0:
        return None
    pos = (n - 1) * q / 100.0
    lo = int(math.floor(pos))
    hi = min(lo + 1, n - 1)
    frac = pos - lo
    return sorted_values[lo] + (sorted_values[hi] - sorted_values[lo]) * frac


def epoch_to_datetime(e) -> _dt.datetime:
    """A module Epoch (or ISO text) as a naive datetime."""
    if isinstance(e, str):
        return _dt.datetime.strptime(e[:23], "%Y-%m-%dT%H:%M:%S.%f")
    whole = int(math.floor(e.second))
    return (_dt.datetime(e.year, e.month, e.day, e.hour, e.minute)
            + _dt.timedelta(seconds=whole, microseconds=round((e.second - whole) * 1e6)))


def file_stem(path: str) -> str:
    """File name without folders and without .gz and the observation extension."""
    name = os.path.basename(path)
    for ext in (".gz", ".GZ", ".Z"):
        if name.endswith(ext):
            name = name[: -len(ext)]
    stem, dot, ext = name.rpartition(".")
    return stem if dot and stem else name


def station_name(marker: str, path: str) -> str:
    """The marker name, or the first four characters of the file name."""
    marker = marker.strip()
    if marker:
        return marker
    return file_stem(path)[:4].upper() or "station"


def parse_systems(text: str) -> List[str]:
    """'G,R,E' -> ['G', 'R', 'E']; raises UserError naming a bad entry."""
    out = []
    for piece in re.split(r"[,\s]+", text.strip()):
        if not piece:
            continue
        letter = piece.upper()
        if len(letter) != 1 or letter not in SYSTEM_LETTERS:
            raise UserError(f"--systems: unknown system '{piece}' (use letters among G R E C J S I)")
        if letter not in out:
            out.append(letter)
    if not out:
        raise UserError("--systems: no system given")
    return out


# -- the report -----------------------------------------------------------------------

def build_report(path: str, options: ReportOptions) -> Report:
    """The report on one observation file.

    Raises `FileFailure` (one line of text) when the file cannot be read or
    analysed; any other exception is a bug.
    """
    mp = module()
    warnings: List[str] = []
    clock = time.perf_counter
    timings = {"read_s": 0.0, "analysis_s": 0.0, "elevations_s": 0.0, "summary_s": 0.0, "snr_s": 0.0}
    start = clock()
    try:
        obs = mp.read_rinex_obs(os.fspath(path))
    except OSError as exc:
        raise FileFailure(str(exc)) from None
    timings["read_s"] = clock() - start

    summary = file_summary(obs, path)
    systems = list(options.systems) if options.systems else list(DEFAULT_SYSTEMS)
    mask = DEFAULT_ELEVATION_MASK if options.elevation_mask is None else float(options.elevation_mask)
    start = clock()
    try:
        results = mp.MultipathAnalyzer(obs, systems=systems, elevation_cutoff=mask, **options.analyzer).analyze()
    except ValueError as exc:
        raise FileFailure(str(exc)) from None
    timings["analysis_s"] = clock() - start

    elevations = None
    orbit: Dict[str, Any] = {}
    start = clock()
    if summary["epochs"] == 0:
        warnings.append("the file holds no observation epochs")
    elif options.sp3 or options.nav:
        elevations = attach_elevations(mp, obs, results, summary, options, warnings, keep=orbit)
    # Ground reflections are studied from the horizon up: the Fresnel zones
    # use every placed estimate, the statistics only those above the mask.
    unmasked = results
    if elevations is not None and elevations["computed"] > 0:
        results = apply_mask(results, mask)
        elevations["mask_deg"] = mask
        elevations["estimates_after_mask"] = len(results.estimates)
    no_elevations = systems_without_elevations(elevations, systems)
    timings["elevations_s"] = clock() - start

    start = clock()
    estimates = results.estimates
    statistics = results.statistics
    slips = [s for s in results.cycle_slips if s.system in systems]
    counts = {k: v for k, v in results.cycle_slip_counts.items()
              if k[:3] in {SYSTEM_NAMES[s] for s in systems}}

    multipath = multipath_table(statistics, no_elevations,
                                {u.signal: (u.system, u.code) for u in unmasked.statistics})
    status, reason = multipath_status(summary, statistics, estimates, elevations, len(slips))
    slip_section = slip_summary(slips, counts, estimates)
    timings["summary_s"] = clock() - start
    start = clock()
    snr = snr_table(obs, systems)
    timings["snr_s"] = clock() - start
    wavelets, band_series = None, None
    if options.wavelets:
        wavelets, band_series = snr_wavelets(mp, obs, systems)
    if not options.sp3 and not options.nav:
        warnings.append("no SP3 or navigation orbit given: elevations unknown, no elevation mask applied and "
                        "no weighted RMS")
    fresnel, footprints = None, None
    if options.antenna_height is not None:
        fresnel, footprints = fresnel_section(mp, unmasked.estimates, options.antenna_height, warnings)

    reflector_section, reflector_raw = None, None
    want_reflector = options.reflector or options.antenna_height is not None
    if want_reflector and orbit:
        from . import reflector as refl
        reflector_section, reflector_raw = refl.report_section(
            mp, obs, orbit["sp3"], orbit["receiver"], refl.ReflectorOptions(systems=systems), warnings)
    elif options.reflector:
        warnings.append("reflector heights need elevations (an SP3 file and a receiver position)")

    # Multipath by elevation from the horizon up: the unmasked estimates.
    quality = quality_mod.quality_section(mp, obs, unmasked, path, systems, orbit, multipath, slip_section,
                                          mask=mask)

    settings = {
        "systems": systems,
        "sp3": [s.given for s in options.sp3],
        "nav": list(options.nav),
        "position_m": list(options.position) if options.position else None,
        "antenna_height_m": options.antenna_height,
        "elevation_mask_deg": mask,
        "analyzer": dict(options.analyzer),
    }
    data = {
        "schema": SCHEMA,
        "generator": {"skarvo_tools": _tools_version(), "skarvo_mp": mp.version()},
        "status": status,
        "status_reason": reason,
        "file": summary,
        "settings": settings,
        "multipath": multipath,
        "cycle_slips": slip_section,
        "snr": snr,
        "elevations": elevations,
        "snr_wavelets": wavelets,
        "fresnel": fresnel,
        "quality": quality,
        "outputs": None,
        "warnings": warnings,
    }
    details = {"estimates": estimates, "band_series": band_series, "results": results,
               "footprints": footprints, "timings": timings}
    if want_reflector:
        # Only when asked for, so that other reports keep their exact form.
        data["reflector"] = reflector_section
        details["reflector"] = reflector_raw
    return Report(data, details)


def _tools_version() -> str:
    from . import __version__
    return __version__


def file_summary(obs, path: str) -> Dict[str, Any]:
    first, last = obs.first_epoch(), obs.last_epoch()
    pos = obs.approx_position
    by_system = obs.satellites_by_system()
    day, doy = None, None
    if first is not None:
        d = epoch_to_datetime(first)
        day, doy = d.strftime("%Y-%m-%d"), d.timetuple().tm_yday
    return {
        "path": os.fspath(path),
        "name": os.path.basename(path),
        "station": station_name(obs.marker_name, path),
        "day": day,
        "doy": doy,
        "marker": obs.marker_name,
        "receiver": obs.receiver_type,
        "antenna": obs.antenna_type,
        "rinex_version": obs.version,
        "first_epoch": first.to_iso() if first is not None else None,
        "last_epoch": last.to_iso() if last is not None else None,
        "interval_s": observation_interval(obs),
        "epochs": obs.num_epochs,
        "satellites": obs.num_satellites,
        "satellites_by_system": {k: by_system[k] for k in sorted(by_system)},
        "approx_position_m": [pos.x, pos.y, pos.z] if pos is not None else None,
    }


def receiver_position(obs, options: ReportOptions) -> Tuple[Optional[Tuple[float, float, float]], Optional[str]]:
    """(x, y, z) and where it came from: the option, else the header."""
    if options.position is not None:
        return tuple(options.position), "option"
    pos = obs.approx_position
    if pos is None:
        return None, None
    xyz = (pos.x, pos.y, pos.z)
    if not all(math.isfinite(v) for v in xyz) or math.sqrt(sum(v * v for v in xyz)) < 6.0e6:
        return None, None  # (0, 0, 0) or a placeholder written by some loggers
    return xyz, "header"


def check_nav_files(paths: Sequence[str], mp) -> List[Any]:
    """Reads every navigation file once (to refuse unreadable ones before any
    work starts); raises UserError with the reader's message."""
    out = []
    for path in paths:
        check_input_file(path, "navigation")
        try:
            out.append(mp.read_rinex_nav(path))
        except OSError as exc:
            raise UserError(str(exc)) from None
    return out


def read_nav(mp, paths: Sequence[str]):
    """One NavData holding the records of every file."""
    merged = None
    for path in paths:
        try:
            nav = mp.read_rinex_nav(path)
        except OSError as exc:
            raise FileFailure(str(exc)) from None
        merged = nav if merged is None else merged.merged(nav)
    return merged


def attach_elevations(mp, obs, results, summary, options: ReportOptions, warnings: List[str],
                      keep: Optional[Dict[str, Any]] = None):
    """Elevations and azimuths of every estimate from the SP3 files that cover
    the observation span or, without SP3, from the broadcast orbits of the
    navigation files; returns the JSON section (None when skipped). With
    `keep`, the orbit and receiver position used are stored in it."""
    xyz, source = receiver_position(obs, options)
    if xyz is None:
        warnings.append("no receiver position (the header has none; give --position X Y Z): "
                        "elevations not computed")
        return None
    if not options.sp3:
        nav = options.nav_reader(options.nav) if options.nav_reader is not None else read_nav(mp, options.nav)
        computed, failed = results.compute_elevations(nav, mp.Ecef(*xyz))
        if keep is not None:
            keep.update(sp3=nav, receiver=xyz)
        if computed == 0 and failed > 0:
            warnings.append("no estimate got an elevation: do the navigation file's satellites and day "
                            "match the file?")
        return {
            "source": "broadcast",
            "sp3": [],
            "nav": list(options.nav),
            "receiver_m": list(xyz),
            "receiver_source": source,
            "computed": computed,
            "failed": failed,
            "by_system": elevations_by_system(results, computed, warnings),
        }
    first = epoch_to_datetime(summary["first_epoch"])
    last = epoch_to_datetime(summary["last_epoch"])
    chosen, notes = sp3files.choose(options.sp3, first, last)
    warnings.extend(notes)
    if not chosen:
        return None
    # One file is read where it is; several are read as one orbit, merged by epoch.
    try:
        if options.orbit_reader is not None:
            sp3 = options.orbit_reader(chosen)
        else:
            sp3 = mp.read_sp3_files([s.given for s in chosen])
    except OSError as exc:
        raise FileFailure(f"cannot read SP3 {', '.join(s.given for s in chosen)}: {exc}") from None
    computed, failed = results.compute_elevations(sp3, mp.Ecef(*xyz))
    if keep is not None:
        keep.update(sp3=sp3, receiver=xyz)
    if computed == 0 and failed > 0:
        warnings.append("no estimate got an elevation: do the SP3 satellites and day match the file?")
    by_system = elevations_by_system(results, computed, warnings)
    return {
        "source": "sp3",
        "sp3": [s.given for s in chosen],
        "nav": [],
        "receiver_m": list(xyz),
        "receiver_source": source,
        "computed": computed,
        "failed": failed,
        "by_system": by_system,
    }


def elevations_by_system(results, computed: int, warnings: List[str]) -> Dict[str, Dict[str, int]]:
    """Estimates with and without an elevation per system, with a note for
    each system that got none (when others did)."""
    by_system = placed_by_system(results.estimates)
    if computed > 0:
        for letter, counts in by_system.items():
            if counts["placed"] == 0:
                warnings.append(f"no {FULL_SYSTEM_NAMES.get(letter, letter)} ({letter}) estimate got an elevation "
                                f"(the orbit file does not place its satellites): its {counts['unplaced']} "
                                "estimates count as failed and its weighted RMS is not shown")
    return by_system


def placed_by_system(estimates) -> Dict[str, Dict[str, int]]:
    """Per system letter (in the usual system order): how many estimates got
    an elevation and how many did not."""
    counts: Dict[str, Dict[str, int]] = {}
    for e in estimates:
        c = counts.setdefault(e.system, {"placed": 0, "unplaced": 0})
        c["placed" if from_orbit(e.elevation, e.azimuth) else "unplaced"] += 1
    order = {s: i for i, s in enumerate(SYSTEM_LETTERS)}
    return {k: counts[k] for k in sorted(counts, key=lambda k: (order.get(k, 99), k))}


def systems_without_elevations(elevations, systems: Sequence[str]) -> set:
    """System letters whose estimates have no elevation at all (every system
    when no orbit was used): their weighted RMS means nothing."""
    if not elevations or not elevations.get("computed"):
        return set(SYSTEM_LETTERS)
    return {k for k, c in elevations["by_system"].items() if c["placed"] == 0}


def apply_mask(results, mask: float):
    """Results restricted to estimates at or above the elevation mask."""
    return results.apply_elevation_mask(mask)


def multipath_status(summary, statistics, estimates, elevations, slips: int) -> Tuple[str, Optional[str]]:
    """("ok", None) when the file has multipath estimates, else ("no multipath", why)."""
    if len(estimates) > 0:
        return STATUS_OK, None
    if summary["epochs"] == 0:
        return STATUS_NO_MULTIPATH, "the file holds no observation epochs"
    if not statistics:
        return STATUS_NO_MULTIPATH, ("no signal could be paired for the multipath combination (it needs a "
                                     "pseudorange and carrier phases on two bands of one satellite)")
    if elevations and elevations.get("mask_deg") is not None and elevations.get("computed"):
        return STATUS_NO_MULTIPATH, (f"no estimate at or above the {elevations['mask_deg']:g}° elevation mask "
                                     "with an orbit position")
    why = f"{len(statistics)} signals were paired but no arc was long enough to keep an estimate"
    if slips:
        why += f" ({slips} cycle slips cut the arcs)"
    return STATUS_NO_MULTIPATH, why


def observation_interval(obs) -> Optional[float]:
    """Sampling interval of the observation epochs (flags 0 and 1; event
    records do not count), never 0: the module's interval (the spacing of
    the first two records) when those are observation epochs apart in time,
    else the first positive step between observation epochs, else the header
    INTERVAL of a file of one epoch when it is positive, else None."""
    epochs = obs.epochs()
    flags = obs.epoch_flags() if hasattr(obs, "epoch_flags") else [0] * len(epochs)
    given = finite_or_none(obs.interval)
    if len(epochs) < 2:
        return given if given is not None and given > 0 else None
    if flags[0] in (0, 1) and flags[1] in (0, 1) and given is not None and given > 1e-6:
        return given
    kept = [e for e, f in zip(epochs, flags) if f in (0, 1)]
    for a, b in zip(kept, kept[1:]):
        # Field by field, so that sub-microsecond seconds (phones) keep their digits.
        days = _dt.date(b.year, b.month, b.day).toordinal() - _dt.date(a.year, a.month, a.day).toordinal()
        d = days * 86400.0 + (b.hour - a.hour) * 3600.0 + (b.minute - a.minute) * 60.0 + (b.second - a.second)
        if abs(d) > 1e-6:
            return abs(d)
    return None


def multipath_table(statistics, no_elevations: set = frozenset(),
                    names: Optional[Dict[str, Tuple[str, str]]] = None) -> List[Dict[str, Any]]:
    """One row per signal label, in the module's order. A signal without
    estimates has no statistics (None, never 0); a system without elevations
    has no weighted RMS. `names` gives (system, code) per label for records
    that lost them (a signal whose every estimate was masked)."""
    rows = []
    for s in statistics:
        if s.count == 0:
            system, code = (s.system, s.code) if s.system else (names or {}).get(s.signal, (s.system, s.code))
            rows.append({"signal": s.signal, "system": system, "code": code, "estimates": 0,
                         "rms_m": None, "weighted_rms_m": None, "mean_m": None, "std_m": None, "min_m": None,
                         "max_m": None, "cycle_slips": s.cycle_slips, "observations_per_slip": None})
            continue
        rows.append({
            "signal": s.signal,
            "system": s.system,
            "code": s.code,
            "estimates": s.count,
            "rms_m": finite_or_none(s.rms),
            "weighted_rms_m": None if s.system in no_elevations else finite_or_none(s.weighted_rms),
            "mean_m": finite_or_none(s.mean),
            "std_m": finite_or_none(s.std_dev),
            "min_m": finite_or_none(s.min),
            "max_m": finite_or_none(s.max),
            "cycle_slips": s.cycle_slips,
            "observations_per_slip": (s.count / s.cycle_slips) if s.cycle_slips else None,
        })
    return rows


def slip_summary(slips, counts: Dict[str, int], estimates) -> Dict[str, Any]:
    """Slips by method and by phase signal, and observations per slip.

    Observations are the satellite-epochs with at least one multipath
    estimate; a slip is a satellite-epoch at which any test found a slip (one
    slip seen by several tests, or on several phases, counts once).
    """
    by_method = {m: 0 for m in METHODS}
    events = []
    slip_epochs = set()
    for s in slips:
        by_method[s.method] = by_method.get(s.method, 0) + 1
        slip_epochs.add((s.satellite, s.epoch))
        events.append({"satellite": s.satellite, "epoch": s.epoch, "method": s.method,
                       "signal": s.signal, "magnitude_m": finite_or_none(s.magnitude),
                       "threshold_m": finite_or_none(s.threshold)})
    observations = len({(e.satellite, e.epoch) for e in estimates})
    return {
        "total": len(slips),
        "by_method": by_method,
        "by_signal": {k: counts[k] for k in sorted(counts)},
        "slip_epochs": len(slip_epochs),
        "observations": observations,
        "observations_per_slip": (observations / len(slip_epochs)) if slip_epochs else None,
        "events": events,
    }


def snr_table(obs, systems: Sequence[str]) -> List[Dict[str, Any]]:
    """Mean and 10th/90th percentiles of the SNR per system and S-code."""
    values: Dict[Tuple[str, str], List[float]] = {}
    for sat in obs.satellites():
        sid = sat.id
        if sid[0] not in systems:
            continue
        for series in obs.get_snr_series(sid):
            values.setdefault((sid[0], series.code), []).extend(series.values)
    rows = []
    order = {s: i for i, s in enumerate(SYSTEM_LETTERS)}
    for (system, code) in sorted(values, key=lambda k: (order.get(k[0], 99), k[1])):
        v = sorted(values[(system, code)])
        rows.append({
            "system": system,
            "code": code,
            "count": len(v),
            "mean_dbhz": math.fsum(v) / len(v),
            "p10_dbhz": percentile(v, 10.0),
            "p90_dbhz": percentile(v, 90.0),
        })
    return rows


def snr_wavelets(mp, obs, systems: Sequence[str]):
    """Band power of the δSNR series per satellite; returns (JSON section, raw result)."""
    sats = [s.id for s in obs.satellites() if s.id[0] in systems]
    if not sats:
        return None, None
    raw = mp.analyze_snr_wavelets(obs, satellites=sats)
    bands = [list(b) for b in raw["bands"]]
    rows = []
    for sid, res in raw["residuals"].items():
        bp = raw["band_power"].get(sid, {"t": [], "power": []})
        means = [finite_or_none(math.fsum(row) / len(row)) if row else None for row in bp["power"]]
        peak = None
        usable = [(m, i) for i, m in enumerate(means) if m is not None]
        if usable and len(means) == len(bands):
            peak = bands[max(usable)[1]]
        rows.append({
            "satellite": sid,
            "code": res["code"],
            "samples": len(res["t"]),
            "arcs": len(res["orders"]),
            "bins": len(bp["t"]),
            "mean_band_power": means,
            "peak_band_s": peak,
        })
    return {"interval_s": raw["interval"], "bands_s": bands, "satellites": rows}, raw


def fresnel_tracks(estimates) -> List[Tuple[str, List[float], List[float]]]:
    """Azimuth/elevation tracks per satellite, in time order, from estimates
    that got an orbit position (one sample per satellite and epoch)."""
    samples: Dict[str, Dict[str, Tuple[float, float]]] = {}
    for e in estimates:
        el, az = e.elevation, e.azimuth
        if not from_orbit(el, az):
            continue
        samples.setdefault(e.satellite, {}).setdefault(e.epoch, (az, el))
    tracks = []
    for sat in sorted(samples):
        by_epoch = samples[sat]
        epochs = sorted(by_epoch)  # ISO texts of one format sort in time order
        tracks.append((sat, [by_epoch[t][0] for t in epochs], [by_epoch[t][1] for t in epochs]))
    return tracks


def fresnel_section(mp, estimates, height: float, warnings: List[str]):
    """First Fresnel zones along the observed tracks; (JSON section, footprints)."""
    tracks = fresnel_tracks(estimates)
    if not tracks:
        warnings.append("--antenna-height needs elevations (an orbit file and a receiver position): "
                        "no Fresnel footprints")
        return None, None
    footprints = mp.fresnel_map(tracks, height, min_elevation=5.0)
    dist = [f["dist"] for f in footprints]
    wavelength = mp.GPS_L1_WAVELENGTH
    reach = [fresnel_centre(f["el"], height, wavelength) + f["a"] for f in footprints]
    return {
        "antenna_height_m": height,
        "min_elevation_deg": 5.0,
        "wavelength_m": wavelength,
        "footprints": len(footprints),
        "max_distance_m": max(dist) if dist else None,
        "max_semi_major_m": max((f["a"] for f in footprints), default=None),
        "max_reach_m": max(reach) if reach else None,
    }, footprints


def fresnel_centre(elevation: float, height: float, wavelength: float) -> float:
    """Horizontal distance (m) from the antenna to the centre of the first
    Fresnel zone: (h + (λ/2) / sin e) / tan e, beyond the specular point
    h / tan e (elevations below 0.5° taken as 0.5°, as for the zone's size)."""
    el = elevation if math.isfinite(elevation) else 0.5
    e = math.radians(max(el, 0.5))
    return (height + wavelength / 2.0 / math.sin(e)) / math.tan(e)
