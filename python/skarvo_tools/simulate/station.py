"""The simulated station: the tracks of every satellite built from the
orbits and the signal physics, the injected slips, and the queries on them.
The truth it records and the files it writes are in `truth` and `writers`."""
from __future__ import annotations

import datetime as _dt
import math
from typing import Dict, List, Tuple

import numpy as np

from .model import _SLIP_PLANS, SIGNALS, InjectedSlip, SimulationConfig, _Track
from .physics import (_GLONASS_DEFAULT_FCN, IONO_K, SPEED_OF_LIGHT, _ar1, azimuth_elevation, carrier_frequency,
                      elevation_growth, geodetic_to_ecef, iono_mapping, orbit_elements, orbit_position,
                      troposphere_m, true_runs)
from .truth import TruthRecord
from .writers import FileWriters


class Simulation(TruthRecord, FileWriters):
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

