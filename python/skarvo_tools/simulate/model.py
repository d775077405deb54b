"""What the simulator simulates: the signals, the settings of a station,
the injected slips and the per-satellite arrays of a simulation."""
from __future__ import annotations

import dataclasses
import datetime as _dt
import math
from typing import Dict, Optional, Tuple

import numpy as np

from ..names import SYSTEM_NAMES


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
        return SYSTEM_NAMES[self.system] + f"M{self.band}{self.attribute}"


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
