"""A simulated GNSS station with a known truth.

`simulate_station` builds one deterministic station-day (or a shorter span)
from a seed: GPS-, Galileo- and GLONASS-like satellites on circular orbits
seen from a fixed receiver on a rotating Earth, with code, phase and SNR on
two or three frequencies. Every error that enters the observations is kept,
so that analyses of the written files can be checked against it:

- code = range + receiver clock - satellite clock + troposphere + ionosphere
  + multipath + white noise (metres);
- phase = (range + clocks + troposphere - ionosphere) / wavelength
  + integer ambiguity + injected cycle slips + white noise (cycles);
- SNR = elevation-dependent direct power times the interference of a
  horizontal reflector at a known depth below the antenna (dB-Hz); the depth
  is constant, or varies as a tide-like sine or with a step (snowfall), see
  `SimulationConfig.reflector_model` and `Simulation.reflector_height_at`.

The code multipath of each satellite and signal is a first-order
autoregressive series with a correlation time much shorter than the 1500-s
bias window of the multipath analysis, scaled by an RMS that is fixed per
signal and grows towards the horizon. Satellites are observed only above 0°
elevation; each pass starts with new ambiguities.

`Simulation.write_rinex` writes RINEX 3.04 observation data (gzip when the
name ends in .gz, byte-for-byte reproducible); `Simulation.write_sp3` writes
an SP3-c orbit file covering the same span with a margin.

Only NumPy is needed (no `skarvo_mp`).
"""
from __future__ import annotations

import dataclasses
import datetime as _dt
import gzip
import math
import os
from typing import Dict, List, Optional, Tuple

import numpy as np

SPEED_OF_LIGHT = 299792458.0
GM_EARTH = 3.986004418e14  # m^3/s^2
EARTH_ROTATION = 7.2921151467e-5  # rad/s
WGS84_A = 6378137.0
WGS84_E2 = 0.0066943799901413165
IONO_SHELL_M = 350e3
MEAN_EARTH_RADIUS = 6371e3
# First-order ionospheric delay per TEC unit: 40.3e16 / f^2 metres.
IONO_K = 40.3e16

# Default GLONASS frequency channels of slots 1-24.
_GLONASS_DEFAULT_FCN = [1, -4, 5, 6, 1, -4, 5, 6, -2, -7, 0, -1,
                        -2, -7, 0, -1, 4, -3, 3, 2, 4, -3, 3, 2]

# Band partners in the order the geometry-free slip test of the analysis
# walks them (used only to predict which slips are detectable).
_PARTNER_BANDS = {"G": (1, 2, 5), "R": (1, 2, 3), "E": (1, 5, 7, 8, 6)}


@dataclasses.dataclass(frozen=True)
class SignalModel:
    """One simulated code signal and its phase/SNR companions.

    `mp_rms_m` and `noise_rms_m` are the zenith RMS of the code multipath
    and of the white code noise; both are multiplied by
    ``1 + 2 exp(-elevation / 10°)`` (three times larger at the horizon).
    `cn0_offset_db` shifts the direct signal power of this signal.
    """

    system: str
    band: int
    attribute: str
    mp_rms_m: float
    noise_rms_m: float
    cn0_offset_db: float = 0.0

    @property
    def code(self) -> str:
        return f"C{self.band}{self.attribute}"

    @property
    def phase(self) -> str:
        return f"L{self.band}{self.attribute}"

    @property
    def snr(self) -> str:
        return f"S{self.band}{self.attribute}"

    @property
    def label(self) -> str:
        """Signal label as the multipath analysis names it (e.g. GPSM1C)."""
        return {"G": "GPS", "R": "GLO", "E": "GAL"}[self.system] + f"M{self.band}{self.attribute}"


SIGNALS: Dict[str, Tuple[SignalModel, ...]] = {
    "G": (SignalModel("G", 1, "C", 0.30, 0.15),
          SignalModel("G", 2, "W", 0.35, 0.20, -4.0),
          SignalModel("G", 5, "Q", 0.15, 0.08, 2.0)),
    "E": (SignalModel("E", 1, "C", 0.25, 0.12),
          SignalModel("E", 5, "Q", 0.12, 0.06, 2.0),
          SignalModel("E", 7, "Q", 0.14, 0.07, 1.0)),
    "R": (SignalModel("R", 1, "C", 0.35, 0.18),
          SignalModel("R", 2, "P", 0.35, 0.18, -2.0)),
}

# Orbits: semi-major axis (m), inclination (deg), number of planes.
_CONSTELLATIONS = {
    "G": (26559.7e3, 55.0, 6),
    "E": (29599.8e3, 56.0, 3),
    "R": (25508.2e3, 64.8, 3),
}

# Slip plans, applied in turn to the passes chosen for a slip: a description,
# cycles per signal index (0 = first frequency), and whether the receiver
# flags the slipped phases with the loss-of-lock bit.
_SLIP_PLANS = (
    ("first-frequency phase +1 cycle, loss of lock flagged", {0: 1}, True),
    ("second-frequency phase -2 cycles, not flagged", {1: -2}, False),
    ("both phases +100 cycles, not flagged", {0: 100, 1: 100}, False),
    ("both phases +5/-3 cycles, loss of lock flagged", {0: 5, 1: -3}, True),
    ("third-frequency phase -3 cycles, not flagged", {2: -3}, False),
    ("first-frequency phase -7 cycles, not flagged", {0: -7}, False),
)


@dataclasses.dataclass
class SimulationConfig:
    """Settings of a simulated station; every field has a sensible default.

    Times are calendar GPS time. `start` is (year, month, day, hour, minute,
    second). A duration that is not a multiple of the interval is cut to the
    last whole interval.
    """

    seed: int = 1
    start: Tuple[int, int, int, int, int, int] = (2025, 6, 15, 0, 0, 0)
    duration_s: float = 86400.0
    interval_s: float = 30.0
    latitude_deg: float = 52.0
    longitude_deg: float = 5.0
    height_m: float = 60.0
    gps: int = 24
    galileo: int = 24
    glonass: int = 6
    slips: bool = True
    max_slips: int = 12
    reflector_height_m: float = 1.8
    # "constant", "tide" (reflector_height_m + amplitude * sin(2 pi t / period
    # + phase)) or "step" (reflector_height_m, then + step_m from step_time_s).
    reflector_model: str = "constant"
    tide_amplitude_m: float = 1.0
    tide_period_s: float = 12.42 * 3600.0
    tide_phase_deg: float = 0.0
    step_m: float = -0.3
    step_time_s: Optional[float] = None  # None: the middle of the span
    # Scales the amplitude of the reflected signal (0: no ground reflection).
    reflection_strength: float = 1.0
    mp_correlation_s: float = 45.0
    phase_noise_m: float = 0.0015
    snr_noise_db: float = 0.15
    marker: str = "SIMU"

    def validate(self) -> None:
        """Raises ValueError naming the first unusable setting."""
        if not (self.interval_s > 0 and math.isfinite(self.interval_s)):
            raise ValueError(f"interval_s must be positive, got {self.interval_s!r}")
        if not (self.duration_s >= self.interval_s and math.isfinite(self.duration_s)):
            raise ValueError(f"duration_s must be at least one interval, got {self.duration_s!r}")
        if self.duration_s > 7 * 86400:
            raise ValueError("duration_s is limited to seven days")
        if not (-90.0 <= self.latitude_deg <= 90.0):
            raise ValueError(f"latitude_deg must lie in [-90, 90], got {self.latitude_deg!r}")
        for name in ("gps", "galileo", "glonass"):
            value = getattr(self, name)
            if not (0 <= value <= 36):
                raise ValueError(f"{name} must lie in [0, 36], got {value!r}")
        if self.glonass > 24:
            raise ValueError("glonass is limited to 24 satellites (slots 1-24)")
        if self.gps + self.galileo + self.glonass == 0:
            raise ValueError("at least one satellite is needed")
        if not (self.reflector_height_m > 0 and math.isfinite(self.reflector_height_m)):
            raise ValueError(f"reflector_height_m must be positive, got {self.reflector_height_m!r}")
        if self.reflector_model not in ("constant", "tide", "step"):
            raise ValueError(f"reflector_model must be 'constant', 'tide' or 'step', got {self.reflector_model!r}")
        if self.reflector_model == "tide":
            if not (math.isfinite(self.tide_amplitude_m) and 0 <= self.tide_amplitude_m < self.reflector_height_m):
                raise ValueError("tide_amplitude_m must lie in [0, reflector_height_m)")
            if not (self.tide_period_s > 0 and math.isfinite(self.tide_period_s)):
                raise ValueError(f"tide_period_s must be positive, got {self.tide_period_s!r}")
        if self.reflector_model == "step" and not (math.isfinite(self.step_m)
                                                   and self.reflector_height_m + self.step_m > 0):
            raise ValueError("step_m must keep the reflector below the antenna (reflector_height_m + step_m > 0)")
        if not (0.0 <= self.reflection_strength <= 2.5):
            raise ValueError(f"reflection_strength must lie in [0, 2.5], got {self.reflection_strength!r}")
        if not (self.mp_correlation_s > 0):
            raise ValueError("mp_correlation_s must be positive")
        if not self.marker or len(self.marker) > 60 or not self.marker.isascii():
            raise ValueError("marker must be 1-60 ASCII characters")
        _dt.datetime(*self.start[:5], int(self.start[5]))  # raises for an invalid date


@dataclasses.dataclass(frozen=True)
class InjectedSlip:
    """A cycle slip put into the phase data.

    `cycles` maps phase codes (e.g. L1C) to the integer jump added from
    `epoch_index` on; `lli` tells whether those phases carry the loss-of-lock
    bit at that epoch.
    """

    satellite: str
    epoch_index: int
    epoch_iso: str
    cycles: Dict[str, int]
    lli: bool
    description: str


@dataclasses.dataclass
class _Track:
    """Per-satellite arrays over all epochs (NaN where not observed)."""

    sat: str
    system: str
    fcn: int
    signals: Tuple[SignalModel, ...]
    visible: np.ndarray
    elevation_deg: np.ndarray
    azimuth_deg: np.ndarray
    code_error: Dict[str, np.ndarray]
    code: Dict[str, np.ndarray]
    phase: Dict[str, np.ndarray]
    snr: Dict[str, np.ndarray]
    lli: Dict[str, np.ndarray]


def geodetic_to_ecef(lat_deg: float, lon_deg: float, height_m: float) -> np.ndarray:
    """WGS84 geodetic coordinates to ECEF metres."""
    lat, lon = math.radians(lat_deg), math.radians(lon_deg)
    n = WGS84_A / math.sqrt(1.0 - WGS84_E2 * math.sin(lat) ** 2)
    return np.array([(n + height_m) * math.cos(lat) * math.cos(lon),
                     (n + height_m) * math.cos(lat) * math.sin(lon),
                     (n * (1.0 - WGS84_E2) + height_m) * math.sin(lat)])


def carrier_frequency(system: str, band: int, fcn: int = 0) -> float:
    """Carrier frequency in Hz of the simulated signals."""
    if system == "R":
        return {1: 1602e6 + fcn * 562500.0, 2: 1246e6 + fcn * 437500.0, 3: 1202.025e6}[band]
    return {1: 1575.42e6, 2: 1227.60e6, 5: 1176.45e6, 6: 1278.75e6, 7: 1207.14e6, 8: 1191.795e6}[band]


def orbit_elements(system: str, count: int, rng: np.random.Generator) -> List[Tuple[float, float, float, float]]:
    """Circular orbits of a constellation: (radius m, inclination rad, node rad, argument of latitude rad at t=0).

    Satellites are spread over the planes in turn, with small random
    offsets so that the geometry is not perfectly symmetric.
    """
    a, inc_deg, planes = _CONSTELLATIONS[system]
    per_plane = max(1, math.ceil(count / planes))
    out = []
    for j in range(count):
        plane, slot = j % planes, j // planes
        raan0 = 2 * math.pi * plane / planes + math.radians(rng.uniform(-3, 3))
        u0 = (2 * math.pi * slot / per_plane + 2 * math.pi * plane / (planes * per_plane)
              + math.radians(rng.uniform(-5, 5)))
        out.append((a, math.radians(inc_deg), raan0, u0))
    return out


def orbit_position(elements: Tuple[float, float, float, float], t_s: np.ndarray) -> np.ndarray:
    """ECEF positions (len(t_s), 3) of a circular orbit, t_s seconds after the start.

    The orbital plane is fixed in inertial space; the Earth's rotation turns
    its node westwards in the Earth-fixed frame.
    """
    a, inc, raan0, u0 = elements
    t_s = np.atleast_1d(np.asarray(t_s, dtype=float))
    u = u0 + math.sqrt(GM_EARTH / a ** 3) * t_s
    raan = raan0 - EARTH_ROTATION * t_s
    cu, su = np.cos(u), np.sin(u)
    cr, sr = np.cos(raan), np.sin(raan)
    out = np.empty((t_s.size, 3))
    out[:, 0] = a * (cu * cr - su * math.cos(inc) * sr)
    out[:, 1] = a * (cu * sr + su * math.cos(inc) * cr)
    out[:, 2] = a * su * math.sin(inc)
    return out


def azimuth_elevation(receiver: np.ndarray, lat_deg: float, lon_deg: float,
                      sat_xyz: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Azimuth [0, 360) and elevation in degrees of positions (..., 3)."""
    lat, lon = math.radians(lat_deg), math.radians(lon_deg)
    d = sat_xyz - receiver
    east = -math.sin(lon) * d[..., 0] + math.cos(lon) * d[..., 1]
    north = (-math.sin(lat) * math.cos(lon) * d[..., 0] - math.sin(lat) * math.sin(lon) * d[..., 1]
             + math.cos(lat) * d[..., 2])
    up = (math.cos(lat) * math.cos(lon) * d[..., 0] + math.cos(lat) * math.sin(lon) * d[..., 1]
          + math.sin(lat) * d[..., 2])
    az = np.degrees(np.arctan2(east, north)) % 360.0
    el = np.degrees(np.arctan2(up, np.hypot(east, north)))
    return az, el


def troposphere_m(elevation_deg: np.ndarray) -> np.ndarray:
    """Slant tropospheric delay: 2.4 m at zenith with a simple mapping function."""
    e = np.radians(np.maximum(elevation_deg, 0.0))
    return 2.4 / (np.sin(e) + 0.00143 / (np.tan(e) + 0.0445))


def iono_mapping(elevation_deg: np.ndarray) -> np.ndarray:
    """Single-layer ionospheric mapping function (shell at 350 km)."""
    e = np.radians(np.maximum(elevation_deg, 0.0))
    s = MEAN_EARTH_RADIUS * np.cos(e) / (MEAN_EARTH_RADIUS + IONO_SHELL_M)
    return 1.0 / np.sqrt(1.0 - s * s)


def elevation_growth(elevation_deg: np.ndarray) -> np.ndarray:
    """Factor by which code errors grow towards the horizon (3 at 0°, 1 at zenith)."""
    return 1.0 + 2.0 * np.exp(-np.maximum(elevation_deg, 0.0) / 10.0)


def _ar1(rng: np.random.Generator, n: int, phi: float) -> np.ndarray:
    """Unit-variance first-order autoregressive series of length n."""
    w = rng.standard_normal(n) * math.sqrt(1.0 - phi * phi)
    out = np.empty(n)
    x = rng.standard_normal()
    for i in range(n):  # n is at most a few thousand per satellite
        x = phi * x + w[i]
        out[i] = x
    return out


def true_runs(mask: np.ndarray) -> List[Tuple[int, int]]:
    """Half-open index ranges of the True runs of a boolean array."""
    padded = np.concatenate(([False], mask, [False])).astype(np.int8)
    edges = np.flatnonzero(np.diff(padded))
    return [(int(edges[i]), int(edges[i + 1])) for i in range(0, edges.size, 2)]


class Simulation:
    """A simulated station-day with its truth; build it with `simulate_station`."""

    def __init__(self, config: SimulationConfig):
        config.validate()
        self.config = config
        rng = np.random.default_rng(config.seed)
        n = int(math.floor(config.duration_s / config.interval_s + 1e-9))
        self.t_s = np.arange(n) * config.interval_s
        self.start = _dt.datetime(*config.start[:5], 0) + _dt.timedelta(seconds=float(config.start[5]))
        self.receiver_ecef = geodetic_to_ecef(config.latitude_deg, config.longitude_deg, config.height_m)
        self.tracks: Dict[str, _Track] = {}
        self.slips: List[InjectedSlip] = []
        self._orbits: Dict[str, Tuple[float, float, float, float]] = {}
        self._clock_m: Dict[str, float] = {}

        sats: List[Tuple[str, str, int]] = []
        for system, count in (("G", config.gps), ("R", config.glonass), ("E", config.galileo)):
            if count == 0:
                continue
            for j, elements in enumerate(orbit_elements(system, count, rng)):
                sat = f"{system}{j + 1:02d}"
                self._orbits[sat] = elements
                fcn = _GLONASS_DEFAULT_FCN[j] if system == "R" else 0
                sats.append((sat, system, fcn))
                self._clock_m[sat] = float(rng.uniform(-30e3, 30e3))

        hours = (self.t_s / 3600.0 + self.start.hour + self.start.minute / 60.0
                 + config.longitude_deg / 15.0) % 24.0
        self.vtec_tecu = 8.0 + 10.0 * np.exp(-((hours - 14.0) / 4.0) ** 2)
        self.receiver_clock_m = 150.0 + 0.02 * self.t_s
        phi = math.exp(-config.interval_s / config.mp_correlation_s)

        for sat, system, fcn in sats:
            self.tracks[sat] = self._make_track(sat, system, fcn, rng, phi)
        if config.slips:
            self._inject_slips(rng)

    # -- building -----------------------------------------------------------------

    def _make_track(self, sat: str, system: str, fcn: int, rng: np.random.Generator, phi: float) -> _Track:
        cfg = self.config
        xyz = orbit_position(self._orbits[sat], self.t_s)
        az, el = azimuth_elevation(self.receiver_ecef, cfg.latitude_deg, cfg.longitude_deg, xyz)
        visible = el > 0.0
        rho = np.linalg.norm(xyz - self.receiver_ecef, axis=1)
        common = rho + self.receiver_clock_m - self._clock_m[sat] + troposphere_m(el)
        slant_tec = self.vtec_tecu * iono_mapping(el)
        signals = SIGNALS[system]
        if system == "G" and int(sat[1:]) % 2 == 1:
            signals = signals[:2]  # odd GPS PRNs transmit no third frequency
        passes = true_runs(visible)
        growth = elevation_growth(el)
        sin_e = np.sin(np.radians(np.maximum(el, 0.0)))
        direct_db = 33.0 + 17.0 * np.power(sin_e, 0.7)
        ratio = cfg.reflection_strength * 0.35 * np.exp(-np.maximum(el, 0.0) / 15.0)
        height = self.reflector_height_at(self.t_s)
        nan = np.full(self.t_s.size, np.nan)
        code_error, code, phase, snr, lli = {}, {}, {}, {}, {}
        for sig in signals:
            f = carrier_frequency(system, sig.band, fcn)
            lam = SPEED_OF_LIGHT / f
            iono = IONO_K * slant_tec / (f * f)
            err = (sig.mp_rms_m * _ar1(rng, self.t_s.size, phi)
                   + sig.noise_rms_m * rng.standard_normal(self.t_s.size)) * growth
            ambiguity = np.zeros(self.t_s.size)
            for lo, hi in passes:
                ambiguity[lo:hi] = float(rng.integers(-500_000, 500_000))
            pn = cfg.phase_noise_m * rng.standard_normal(self.t_s.size)
            psi = 4.0 * math.pi * height * sin_e / lam + math.pi
            power = 10.0 ** ((direct_db + sig.cn0_offset_db) / 10.0) * (
                1.0 + ratio * ratio + 2.0 * ratio * np.cos(psi))
            s = 10.0 * np.log10(power) + cfg.snr_noise_db * rng.standard_normal(self.t_s.size)
            code_error[sig.code] = np.where(visible, err, nan)
            code[sig.code] = np.where(visible, common + iono + err, nan)
            phase[sig.phase] = np.where(visible, (common - iono + pn) / lam + ambiguity, nan)
            snr[sig.snr] = np.where(visible, s, nan)
            lli[sig.phase] = np.zeros(self.t_s.size, dtype=bool)
        return _Track(sat, system, fcn, signals, visible, np.where(visible, el, nan),
                      np.where(visible, az, nan), code_error, code, phase, snr, lli)

    def _inject_slips(self, rng: np.random.Generator) -> None:
        """Puts slips in the middle of long passes, one per pass at most.

        A slip lies at least 30 minutes from both ends of its pass, so the
        multipath arcs on both sides stay long and the slip test always has
        the previous epoch to compare with.
        """
        margin = int(math.ceil(1800.0 / self.config.interval_s))
        candidates = []
        for sat, track in self.tracks.items():
            for lo, hi in true_runs(track.visible):
                if hi - lo > 3 * margin:
                    candidates.append((sat, lo, hi))
        if not candidates:
            return
        order = rng.permutation(len(candidates))
        plan_index = 0
        for k in order:
            if len(self.slips) >= self.config.max_slips:
                break
            sat, lo, hi = candidates[int(k)]
            track = self.tracks[sat]
            # Take the next plan this satellite can carry (a third frequency
            # exists only for some satellites).
            for _ in range(len(_SLIP_PLANS)):
                description, cycles_by_index, flagged = _SLIP_PLANS[plan_index % len(_SLIP_PLANS)]
                plan_index += 1
                if max(cycles_by_index) < len(track.signals):
                    break
            else:
                continue
            at = int(rng.integers(lo + margin, hi - margin))
            cycles = {}
            for index, n_cycles in cycles_by_index.items():
                code = track.signals[index].phase
                track.phase[code][at:] += n_cycles
                if flagged:
                    track.lli[code][at] = True
                cycles[code] = int(n_cycles)
            self.slips.append(InjectedSlip(sat, at, self.epoch_iso(at), cycles, flagged, description))
        self.slips.sort(key=lambda s: (s.epoch_index, s.satellite))

    # -- queries ------------------------------------------------------------------

    @property
    def satellites(self) -> List[str]:
        """Simulated satellite identifiers in the library's order (C, E, G, ... R)."""
        return sorted(self.tracks, key=lambda s: (s[0], int(s[1:])))

    def epoch(self, index: int) -> _dt.datetime:
        return self.start + _dt.timedelta(seconds=float(self.t_s[index]))

    def epoch_iso(self, index: int) -> str:
        """The epoch as the analysis results write it (milliseconds, Z)."""
        e = self.epoch(index)
        return e.strftime("%Y-%m-%dT%H:%M:%S.") + f"{e.microsecond // 1000:03d}Z"

    def signal_models(self) -> Dict[str, SignalModel]:
        """Signal label -> model, for the signals present on any satellite."""
        out = {}
        for track in self.tracks.values():
            for sig in track.signals:
                out[sig.label] = sig
        return dict(sorted(out.items()))

    def code_error_rms(self) -> Dict[str, float]:
        """Realised RMS (m) of multipath plus noise per signal label over all observations."""
        sums: Dict[str, List[float]] = {}
        for track in self.tracks.values():
            for sig in track.signals:
                e = track.code_error[sig.code]
                e = e[np.isfinite(e)]
                acc = sums.setdefault(sig.label, [0.0, 0])
                acc[0] += float(np.sum(e * e))
                acc[1] += int(e.size)
        return {k: math.sqrt(v[0] / v[1]) for k, v in sorted(sums.items()) if v[1] > 0}

    def elevation_rate_deg_s(self, sat: str) -> np.ndarray:
        """Elevation rate (°/s) of a satellite at every epoch, from the orbit."""
        cfg = self.config
        dt = 1.0
        xyz_a = self.position_at(sat, self.t_s - dt)
        xyz_b = self.position_at(sat, self.t_s + dt)
        _, ea = azimuth_elevation(self.receiver_ecef, cfg.latitude_deg, cfg.longitude_deg, xyz_a)
        _, eb = azimuth_elevation(self.receiver_ecef, cfg.latitude_deg, cfg.longitude_deg, xyz_b)
        return (eb - ea) / (2 * dt)

    def predicted_snr_period_s(self, sat: str, band: int = 1) -> np.ndarray:
        """Period (s) of the SNR interference of the reflector for a satellite.

        The reflected signal adds a phase 4π h sin(e) / λ, so the SNR
        oscillates with period λ / (2 h |d sin(e)/dt|). NaN where the
        satellite is not observed.
        """
        track = self.tracks[sat]
        lam = SPEED_OF_LIGHT / carrier_frequency(track.system, band, track.fcn)
        e = np.radians(track.elevation_deg)
        rate = np.radians(self.elevation_rate_deg_s(sat))
        with np.errstate(divide="ignore", invalid="ignore"):
            return lam / (2.0 * self.reflector_height_at(self.t_s) * np.abs(np.cos(e) * rate))

    def reflector_height_at(self, t_s) -> np.ndarray:
        """True reflector depth below the antenna (m), t_s seconds after the start."""
        cfg = self.config
        t_s = np.asarray(t_s, dtype=float)
        h = np.full(t_s.shape, cfg.reflector_height_m)
        if cfg.reflector_model == "tide":
            h = h + cfg.tide_amplitude_m * np.sin(2.0 * math.pi * t_s / cfg.tide_period_s
                                                  + math.radians(cfg.tide_phase_deg))
        elif cfg.reflector_model == "step":
            at = cfg.step_time_s if cfg.step_time_s is not None else 0.5 * cfg.duration_s
            h = np.where(t_s >= at, h + cfg.step_m, h)
        return h

    def start_unix_s(self) -> float:
        """The first epoch as Unix seconds (the calendar fields read as UTC)."""
        return (self.start - _dt.datetime(1970, 1, 1)).total_seconds()

    def position_at(self, sat: str, t_s) -> np.ndarray:
        """ECEF position(s) of a satellite, t_s seconds after the start."""
        return orbit_position(self._orbits[sat], t_s)

    def expected_detections(self, slip: InjectedSlip, interval_s: Optional[float] = None,
                            ion_base: float = 0.10, ion_rate: float = 0.003,
                            cp_base: float = 5.0, cp_rate: float = 0.10) -> Dict[str, bool]:
        """Which slip tests must see a slip, with a safety margin over noise.

        Returns {"lli": ..., "gf": ..., "code_phase": ...}. A test counts as
        expected only when the jump exceeds its threshold by a margin that the
        ionosphere, multipath and noise cannot eat (0.05 m for the
        geometry-free test, 5 m for code minus phase).
        """
        dt = interval_s or self.config.interval_s
        track = self.tracks[slip.satellite]
        phases = {sig.band: sig for sig in track.signals}
        gf = False
        for sig in track.signals:
            partner = next((phases[b] for b in _PARTNER_BANDS[track.system]
                            if b != sig.band and b in phases), None)
            if partner is None:
                continue
            f1 = carrier_frequency(track.system, sig.band, track.fcn)
            f2 = carrier_frequency(track.system, partner.band, track.fcn)
            alpha = (f1 / f2) ** 2
            jump = (SPEED_OF_LIGHT / f1 * slip.cycles.get(sig.phase, 0)
                    - SPEED_OF_LIGHT / f2 * slip.cycles.get(partner.phase, 0)) / (alpha - 1.0)
            gf = gf or abs(jump) > ion_base + ion_rate * dt + 0.05
        cp = any(abs(SPEED_OF_LIGHT / carrier_frequency(track.system, int(code[1]), track.fcn) * n)
                 > cp_base + cp_rate * dt + 5.0 for code, n in slip.cycles.items())
        return {"lli": slip.lli, "gf": gf, "code_phase": cp}

    def truth(self) -> dict:
        """The truth as JSON-ready data: station, signals, slips, reflector."""
        models = self.signal_models()
        rms = self.code_error_rms()
        return {
            "receiver_ecef_m": [float(v) for v in self.receiver_ecef],
            "latitude_deg": self.config.latitude_deg,
            "longitude_deg": self.config.longitude_deg,
            "height_m": self.config.height_m,
            "reflector_height_m": self.config.reflector_height_m,
            "reflector": self._reflector_truth(),
            "seed": self.config.seed,
            "first_epoch": self.epoch_iso(0),
            "last_epoch": self.epoch_iso(self.t_s.size - 1),
            "interval_s": self.config.interval_s,
            "satellites": self.satellites,
            "signals": {label: {"code": m.code, "mp_rms_zenith_m": m.mp_rms_m,
                                "noise_rms_zenith_m": m.noise_rms_m,
                                "code_error_rms_m": rms.get(label)}
                        for label, m in models.items()},
            "slips": [{"satellite": s.satellite, "epoch": s.epoch_iso, "cycles": s.cycles,
                       "lli": s.lli, "description": s.description,
                       "expected": self.expected_detections(s)} for s in self.slips],
        }

    def _reflector_truth(self) -> dict:
        cfg = self.config
        out = {"model": cfg.reflector_model, "height_m": cfg.reflector_height_m}
        if cfg.reflector_model == "tide":
            out.update(amplitude_m=cfg.tide_amplitude_m, period_s=cfg.tide_period_s, phase_deg=cfg.tide_phase_deg)
        elif cfg.reflector_model == "step":
            out.update(step_m=cfg.step_m,
                       step_time_s=cfg.step_time_s if cfg.step_time_s is not None else 0.5 * cfg.duration_s)
        return out

    # -- writers ------------------------------------------------------------------

    def rinex_name(self) -> str:
        """A long RINEX 3 file name for the simulated span (without .gz)."""
        doy = self.start.timetuple().tm_yday
        span = self.t_s[-1] + self.config.interval_s
        if span >= 86400 and span % 86400 == 0:
            period = f"{int(span // 86400):02d}D"
        elif span >= 3600:
            period = f"{int(round(span / 3600)):02d}H"
        else:
            period = f"{int(round(span / 60)):02d}M"
        rate = f"{int(self.config.interval_s):02d}S" if self.config.interval_s >= 1 else "01Z"
        marker = (self.config.marker.upper() + "XXXX")[:4]
        return (f"{marker}00SIM_S_{self.start.year}{doy:03d}{self.start.hour:02d}{self.start.minute:02d}"
                f"_{period}_{rate}_MO.rnx")

    def sp3_name(self) -> str:
        doy = self.start.timetuple().tm_yday
        return f"SIM0SKVFIN_{self.start.year}{doy:03d}0000_01D_15M_ORB.SP3"

    def rinex_text(self) -> str:
        """The observation file as text (RINEX 3.04, mixed systems)."""
        cfg = self.config
        lines = []

        def header(content: str, label: str) -> None:
            lines.append(f"{content:<60.60}{label}")

        header(f"{3.04:9.2f}{'':11}{'OBSERVATION DATA':<20}{'M (MIXED)':<20}", "RINEX VERSION / TYPE")
        header(f"{'skarvo-mp simulate':<20}{'skarvo_tools':<20}{'20250101 000000 UTC':<20}",
               "PGM / RUN BY / DATE")
        header("Simulated station: circular orbits, known multipath,", "COMMENT")
        header(f"slips and a horizontal reflector {cfg.reflector_height_m:.3f} m below"
               + ("." if cfg.reflector_model == "constant" else f" ({cfg.reflector_model}).")[:60], "COMMENT")
        header(f"seed {cfg.seed}", "COMMENT")
        header(cfg.marker, "MARKER NAME")
        header("SIM0001", "MARKER NUMBER")
        header("GEODETIC", "MARKER TYPE")
        header(f"{'simulator':<20}{'skarvo_tools':<40}", "OBSERVER / AGENCY")
        header(f"{'0001':<20}{'SIMULATED RECEIVER':<20}{'1.0':<20}", "REC # / TYPE / VERS")
        header(f"{'0001':<20}{'SIMULATED ANT NONE':<20}", "ANT # / TYPE")
        x, y, z = self.receiver_ecef
        header(f"{x:14.4f}{y:14.4f}{z:14.4f}", "APPROX POSITION XYZ")
        header(f"{0.0:14.4f}{0.0:14.4f}{0.0:14.4f}", "ANTENNA: DELTA H/E/N")
        for system in ("G", "R", "E"):
            if not any(t.system == system for t in self.tracks.values()):
                continue
            codes = self._obs_types(system)
            chunks = [codes[i:i + 13] for i in range(0, len(codes), 13)]
            for k, chunk in enumerate(chunks):
                head = f"{system}  {len(codes):3d}" if k == 0 else " " * 6
                header(head + "".join(f" {c}" for c in chunk), "SYS / # / OBS TYPES")
        header("DBHZ", "SIGNAL STRENGTH UNIT")
        header(f"{cfg.interval_s:10.3f}", "INTERVAL")
        header(self._header_epoch(0) + "     GPS", "TIME OF FIRST OBS")
        header(self._header_epoch(self.t_s.size - 1) + "     GPS", "TIME OF LAST OBS")
        glo = [(int(t.sat[1:]), t.fcn) for t in self.tracks.values() if t.system == "R"]
        glo.sort()
        if glo:
            for k in range(0, len(glo), 8):
                chunk = glo[k:k + 8]
                head = f"{len(glo):3d} " if k == 0 else "    "
                header(head + "".join(f"R{slot:02d} {fcn:2d} " for slot, fcn in chunk),
                       "GLONASS SLOT / FRQ #")
        header(" C1C    0.000 C1P    0.000 C2C    0.000 C2P    0.000", "GLONASS COD/PHS/BIS")
        header("", "END OF HEADER")

        order = self.satellites
        types = {s: self._obs_types(s) for s in ("G", "R", "E")}
        for i in range(self.t_s.size):
            rows = []
            for sat in order:
                track = self.tracks[sat]
                if not track.visible[i]:
                    continue
                fields = []
                for code in types[track.system]:
                    fields.append(self._field(track, code, i))
                rows.append(sat + "".join(fields).rstrip())
            e = self.epoch(i)
            sec = e.second + e.microsecond * 1e-6
            lines.append(f"> {e.year:4d} {e.month:02d} {e.day:02d} {e.hour:02d} {e.minute:02d}"
                         f"{sec:11.7f}  0{len(rows):3d}")
            lines.extend(rows)
        return "\n".join(lines) + "\n"

    def _obs_types(self, system: str) -> List[str]:
        out = []
        for sig in SIGNALS[system]:
            out += [sig.code, sig.phase, sig.snr]
        return out

    def _field(self, track: _Track, code: str, i: int) -> str:
        kind = code[0]
        if kind == "C":
            arr = track.code.get(code)
        elif kind == "L":
            arr = track.phase.get(code)
        else:
            arr = track.snr.get(code)
        if arr is None or not math.isfinite(arr[i]):
            return " " * 16
        value = float(arr[i])
        lli = " "
        if kind == "L":
            lli = "1" if track.lli[code][i] else " "
        snr_code = "S" + code[1:]
        s = track.snr.get(snr_code)
        ssi = " "
        if s is not None and math.isfinite(s[i]):
            ssi = str(min(9, max(1, int(s[i] // 6))))
        return f"{value:14.3f}{lli}{ssi}"

    def _header_epoch(self, index: int) -> str:
        e = self.epoch(index)
        sec = e.second + e.microsecond * 1e-6
        return f"{e.year:6d}{e.month:6d}{e.day:6d}{e.hour:6d}{e.minute:6d}{sec:13.7f}"

    def write_rinex(self, path: str) -> str:
        """Writes the observation file; gzip (reproducible bytes) when `path` ends in .gz."""
        return _write_text(path, self.rinex_text())

    def sp3_text(self, interval_s: float = 900.0) -> str:
        """SP3-c positions every `interval_s` seconds, covering the span plus one
        interval before and after (whole multiples of the interval)."""
        cfg = self.config
        first = math.floor((self.t_s[0] - interval_s) / interval_s) * interval_s
        last = math.ceil((self.t_s[-1] + interval_s) / interval_s) * interval_s
        times = np.arange(first, last + 0.5 * interval_s, interval_s)
        sats = self.satellites
        pos = {sat: self.position_at(sat, times) for sat in sats}
        t0 = self.start + _dt.timedelta(seconds=float(first))
        gps_origin = _dt.datetime(1980, 1, 6)
        since = (t0 - gps_origin).total_seconds()
        week, sow = int(since // 604800), since % 604800
        mjd = (t0 - _dt.datetime(1858, 11, 17)).total_seconds() / 86400.0
        lines = [
            f"#cP{t0.year:4d} {t0.month:2d} {t0.day:2d} {t0.hour:2d} {t0.minute:2d} {t0.second:11.8f}"
            f" {times.size:7d} ORBIT IGS14 FIT  SIM",
            f"## {week:4d} {sow:15.8f} {interval_s:14.8f} {int(mjd):5d} {mjd - int(mjd):15.13f}",
        ]
        # Five or more lines of 17 identifiers; unused slots hold 0.
        n_lines = max(5, -(-len(sats) // 17))
        ids = sats + ["0"] * (n_lines * 17 - len(sats))
        for k in range(n_lines):
            chunk = "".join(f"{s:>3}" for s in ids[17 * k:17 * k + 17])
            lines.append((f"+   {len(sats):2d}   " if k == 0 else "+        ") + chunk)
        for k in range(n_lines):
            lines.append("++       " + "  0" * 17)
        lines += [
            "%c M  cc GPS ccc cccc cccc cccc cccc ccccc ccccc ccccc ccccc",
            "%c cc cc ccc ccc cccc cccc cccc cccc ccccc ccccc ccccc ccccc",
            "%f  1.2500000  1.025000000  0.00000000000  0.000000000000000",
            "%f  0.0000000  0.000000000  0.00000000000  0.000000000000000",
            "%i    0    0    0    0      0      0      0      0         0",
            "%i    0    0    0    0      0      0      0      0         0",
            "/* SIMULATED ORBITS: CIRCULAR, EARTH-FIXED FRAME",
            f"/* seed {cfg.seed}",
            "/*",
            "/*",
        ]
        for k, t in enumerate(times):
            e = self.start + _dt.timedelta(seconds=float(t))
            sec = e.second + e.microsecond * 1e-6
            lines.append(f"*  {e.year:4d} {e.month:2d} {e.day:2d} {e.hour:2d} {e.minute:2d} {sec:11.8f}")
            for sat in sats:
                x, y, z = pos[sat][k] / 1000.0
                clock_us = self._clock_m[sat] / SPEED_OF_LIGHT * 1e6
                lines.append(f"P{sat}{x:14.6f}{y:14.6f}{z:14.6f}{clock_us:14.6f}")
        lines.append("EOF")
        return "\n".join(lines) + "\n"

    def write_sp3(self, path: str, interval_s: float = 900.0) -> str:
        """Writes the SP3-c orbit file; gzip when `path` ends in .gz."""
        return _write_text(path, self.sp3_text(interval_s))


def _write_text(path: str, text: str) -> str:
    data = text.encode("ascii")
    if str(path).endswith(".gz"):
        # No name and a zero time stamp in the gzip header: same seed, same bytes.
        with open(path, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw,
                                                    compresslevel=6, mtime=0) as gz:
            gz.write(data)
    else:
        with open(path, "wb") as f:
            f.write(data)
    return os.fspath(path)


def simulate_station(config: Optional[SimulationConfig] = None, **overrides) -> Simulation:
    """Simulates a station from a config and/or keyword overrides of its fields.

    >>> sim = simulate_station(seed=7, duration_s=3 * 3600, gps=8, galileo=0, glonass=0)
    >>> sim.write_rinex("sim.rnx.gz"); sim.write_sp3("sim.SP3")
    """
    config = dataclasses.replace(config or SimulationConfig(), **overrides)
    return Simulation(config)
