"""Python module definition"""

import os
from typing import Any, Literal, Sequence, TypeAlias

import numpy as np
import numpy.typing as npt
import pandas  # type: ignore[import-untyped,unused-ignore]
import xarray

# Float inputs: any sequence of floats, or a float64 array (read through the
# buffer protocol with one copy).
_Floats: TypeAlias = Sequence[float] | npt.NDArray[np.float64]
_Array: TypeAlias = npt.NDArray[Any]

__all__: list[str]

SPEED_OF_LIGHT: float
GM_WGS84: float
EARTH_RADIUS: float
GPS_L1_WAVELENGTH: float
__version__: str

class GnssSystem:
    """Python-exposed GNSS System enum"""

    def __init__(self, code: str) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def code(self) -> str: ...

class Satellite:
    """Python-exposed Satellite"""

    def __init__(self, id: str) -> None: ...
    @property
    def system(self) -> GnssSystem: ...
    @property
    def prn(self) -> int: ...
    @property
    def id(self) -> str: ...

class Epoch:
    """Python-exposed Epoch (time)"""

    def __init__(
        self, year: int, month: int, day: int, hour: int = 0, minute: int = 0, second: float = 0.0
    ) -> None: ...
    @staticmethod
    def parse(s: str) -> Epoch: ...
    @property
    def year(self) -> int: ...
    @property
    def month(self) -> int: ...
    @property
    def day(self) -> int: ...
    @property
    def hour(self) -> int: ...
    @property
    def minute(self) -> int: ...
    @property
    def second(self) -> float: ...
    def to_iso(self) -> str: ...
    def to_iso_string(self) -> str: ...
    def to_gps_time(self) -> tuple[int, float]: ...
    def julian_date(self) -> float: ...
    def day_of_year(self) -> int: ...

class Ecef:
    """Python-exposed ECEF coordinates"""

    def __init__(self, x: float, y: float, z: float) -> None: ...
    @property
    def x(self) -> float: ...
    @property
    def y(self) -> float: ...
    @property
    def z(self) -> float: ...
    def to_geodetic(self) -> Geodetic: ...
    def magnitude(self) -> float: ...
    def distance(self, other: Ecef) -> float: ...

class Geodetic:
    """Python-exposed Geodetic coordinates"""

    def __init__(self, lat: float, lon: float, height: float) -> None: ...
    @property
    def lat(self) -> float: ...
    @property
    def lon(self) -> float: ...
    @property
    def height(self) -> float: ...
    def to_ecef(self) -> Ecef: ...

class RinexObsData:
    """Python-exposed RINEX observation data"""

    @property
    def version(self) -> str: ...
    @property
    def marker_name(self) -> str: ...
    @property
    def receiver_type(self) -> str: ...
    @property
    def antenna_type(self) -> str: ...
    @property
    def approx_position(self) -> Ecef | None: ...
    @property
    def interval(self) -> float | None: ...
    @property
    def num_epochs(self) -> int: ...
    @property
    def num_satellites(self) -> int: ...
    def satellites(self) -> list[Satellite]: ...
    def epochs(self) -> list[Epoch]: ...
    def first_epoch(self) -> Epoch | None: ...
    def last_epoch(self) -> Epoch | None: ...
    def observation_types(self, system: str) -> list[str]: ...
    def glonass_fcn(self) -> dict[int, int]: ...
    def satellites_by_system(self) -> dict[str, int]: ...
    def snr_codes(self, satellite: str | Satellite) -> list[str]: ...
    def get_snr_series(self, satellite: str | Satellite, code: str | None = None) -> list[SnrSeries]: ...
    def epoch_flags(self) -> list[int]: ...
    def to_numpy(self, wide: bool = False) -> dict[str, _Array]:
        """The observations as NumPy arrays (needs NumPy)

        Long form: equal-length columns, one row per stored observation in file
        order: time (datetime64[ms]), satellite (int32 index into `satellites`),
        code (int16 index into `codes`), value (float64), lli and ssi (int8, -1
        where absent), plus the lookup arrays `satellites` and `codes` (str).
        wide=True: time, sv and one (time, sv) float64 array per code, NaN where
        absent.
        """
    def to_pandas(self) -> pandas.DataFrame:
        """The long table as a DataFrame (categoricals; lli/ssi nullable Int8)"""
    def to_xarray(self, indicators: bool = False) -> xarray.Dataset:
        """The wide layout as an xarray.Dataset with dimensions time and sv

        indicators=True adds <code>lli and <code>ssi variables (NaN where absent).
        """

class MultipathEstimate:
    """Python-exposed Multipath estimate"""

    @property
    def satellite(self) -> str: ...
    @property
    def system(self) -> str: ...
    @property
    def epoch(self) -> str: ...
    @property
    def signal(self) -> str: ...
    @property
    def mp_value(self) -> float: ...
    elevation: float
    azimuth: float
    @property
    def snr(self) -> float | None: ...

class MultipathStats:
    """Python-exposed Multipath statistics"""

    @property
    def signal(self) -> str: ...
    @property
    def system(self) -> str: ...
    @property
    def code(self) -> str: ...
    @property
    def count(self) -> int: ...
    @property
    def rms(self) -> float: ...
    @property
    def mean(self) -> float: ...
    @property
    def std_dev(self) -> float: ...
    @property
    def min(self) -> float: ...
    @property
    def max(self) -> float: ...
    @property
    def weighted_rms(self) -> float: ...
    @property
    def cycle_slips(self) -> int: ...

class CycleSlip:
    """Python-exposed Cycle slip"""

    @property
    def satellite(self) -> str: ...
    @property
    def epoch(self) -> str: ...
    @property
    def method(self) -> str: ...
    @property
    def signal(self) -> str: ...
    @property
    def system(self) -> str: ...
    @property
    def magnitude(self) -> float: ...
    @property
    def threshold(self) -> float: ...

class AnalysisResults:
    """Python-exposed Analysis results"""

    @property
    def estimates(self) -> list[MultipathEstimate]: ...
    @property
    def statistics(self) -> list[MultipathStats]: ...
    @property
    def cycle_slips(self) -> list[CycleSlip]: ...
    @property
    def cycle_slip_counts(self) -> dict[str, int]: ...
    def total_estimates(self) -> int: ...
    def total_cycle_slips(self) -> int: ...
    def compute_elevations(self, sp3: Sp3Data | NavData, receiver: Ecef) -> tuple[int, int]: ...
    def apply_elevation_mask(self, cutoff: float | None = None) -> AnalysisResults:
        """New results with only the estimates at or above the elevation mask

        Keeps the estimates whose elevation is known (not NaN) and at least
        `cutoff` degrees (default: the analyzer's elevation_cutoff), with every
        statistic recomputed from them; cycle slips are kept unchanged.
        """
    def to_numpy(self) -> dict[str, dict[str, _Array]]:
        """{"estimates", "statistics", "cycle_slips"} as dicts of NumPy columns

        estimates: satellite (int32 index into `satellites`), system, time
        (datetime64[ms]), signal (int16 index into `signals`), mp, elevation,
        azimuth, snr (NaN where absent), in the order of `estimates`.
        """
    def to_pandas(
        self, table: Literal["estimates", "statistics", "cycle_slips"] = "estimates"
    ) -> pandas.DataFrame:
        """One table of to_numpy() as a DataFrame (needs pandas)"""

    def multipath_by_elevation(self, bin_width: float = 10.0) -> dict[str, tuple[list[int], list[float]]]:
        """RMS of the multipath estimates per signal and elevation bin

        {signal: (counts, rms)} with one entry per bin [0, w), [w, 2w), ... up
        to 90 degrees; NaN for an empty bin. Only orbit-placed estimates at or
        above the horizon count.
        """

class MultipathAnalyzer:
    """Python-exposed Multipath Analyzer"""

    def __init__(
        self,
        obs_data: RinexObsData,
        elevation_cutoff: float = 10.0,
        systems: list[str] | None = None,
        bias_window_seconds: float | None = 1500.0,
        min_arc_seconds: float = 300.0,
        arc_gap_factor: float = 5.0,
        include_codes: list[str] | None = None,
        exclude_codes: list[str] | None = None,
        max_epochs: int | None = None,
        detect_cycle_slips: bool = True,
        ion_delta_base: float = 0.10,
        ion_delta_rate: float = 0.003,
        cp_delta_base: float = 5.0,
        cp_delta_rate: float = 0.10,
    ) -> None: ...
    def analyze(self) -> AnalysisResults: ...

class SnrSeries:
    """SNR time series for one satellite and one S-code"""

    @property
    def satellite(self) -> str: ...
    @property
    def system(self) -> str: ...
    @property
    def code(self) -> str: ...
    @property
    def times(self) -> list[float]: ...
    @property
    def values(self) -> list[float]: ...
    def epochs_iso(self) -> list[str]: ...

class Sp3Data:
    """Python-exposed SP3 data"""

    @property
    def num_satellites(self) -> int: ...
    @property
    def num_epochs(self) -> int: ...
    @property
    def interval(self) -> float: ...
    def satellites(self) -> list[str]: ...
    def get_position(self, satellite: str | Satellite, epoch: Epoch) -> Ecef | None: ...
    def epochs(self) -> list[Epoch]:
        """Epochs of the file's epoch lines, in file order (also those without a usable record);
        for files read together by read_sp3_files, in time order, each once."""
        ...

def read_rinex_obs(path: str | os.PathLike[str]) -> RinexObsData: ...
def read_rinex_obs_bytes(data: bytes, filename: str) -> RinexObsData: ...
def read_sp3(path: str | os.PathLike[str]) -> Sp3Data: ...
def get_frequency(system: str, band: int, fcn: int | None = None) -> float | None: ...
def get_wavelength(system: str, band: int, fcn: int | None = None) -> float | None: ...
def calculate_azel(receiver: Ecef, satellite: Ecef) -> tuple[float, float]: ...
def compute_elevation(sp3: Sp3Data | NavData, receiver: Ecef, satellite: str | Satellite, epoch: Epoch) -> float | None: ...
def version() -> str: ...
def morlet_cwt(y: _Floats, dt: float, dj: float = 0.125, s0: float | None = None) -> dict[str, Any]: ...
def band_power(
    y: _Floats, dt: float, bands: Sequence[tuple[float, float]], dj: float = 0.125
) -> list[list[float]]: ...
def red_noise_significance(
    y: _Floats, dt: float, periods: _Floats, confidence: float = 0.95
) -> list[float]: ...
def period_bands(dt: float) -> list[tuple[float, float]]: ...
def detrend_arc(t: _Floats, values: _Floats, max_order: int = 9) -> tuple[list[float], int]: ...
def split_arcs(times: _Floats, dt: float, gap_factor: float = 5.0) -> list[tuple[int, int]]: ...
def fresnel_zone(
    elevation: float, antenna_height: float, wavelength: float | None = None
) -> tuple[float, float, float]: ...
def fresnel_map(
    tracks: Sequence[tuple[str | Satellite, _Floats, _Floats]],
    antenna_height: float,
    min_elevation: float = 5.0,
    wavelength: float | None = None,
) -> list[dict[str, Any]]: ...
def scalogram(
    t: _Floats, values: _Floats, interval: float, max_columns: int = 600
) -> dict[str, Any]: ...
def analyze_snr_wavelets(
    obs: RinexObsData,
    satellites: list[str | Satellite] | None = None,
    interval: float | None = None,
    bands: Sequence[tuple[float, float]] | None = None,
) -> dict[str, Any]: ...

class NavData:
    """Python-exposed broadcast navigation data

    Ephemerides of a RINEX navigation file (versions 2, 3 and 4). Positions
    come from the broadcast orbits and serve elevations and azimuths; they
    are not meant for positioning (no clock or relativistic terms).
    """

    @property
    def version(self) -> float: ...
    @property
    def num_records(self) -> int: ...
    @property
    def num_satellites(self) -> int: ...
    def satellites(self) -> list[str]: ...
    def get_position(self, satellite: str, epoch: Epoch) -> Ecef | None: ...
    def merged(self, other: NavData) -> NavData: ...

def read_rinex_nav(path: str | os.PathLike[str]) -> NavData: ...

def lomb_scargle(x: Sequence[float], y: Sequence[float], frequencies: Sequence[float]) -> Any:
    """Lomb-Scargle amplitude spectrum (NumPy array) of y sampled at x; frequencies in cycles per unit of x."""
    ...

def reflector_heights(
    obs: RinexObsData,
    orbit: Sp3Data | NavData,
    receiver: Ecef | None = None,
    *,
    elevation: tuple[float, float] = (5.0, 25.0),
    azimuth: Sequence[tuple[float, float]] | tuple[float, float] | None = None,
    heights: tuple[float, float] = (0.5, 8.0),
    height_step: float = 0.01,
    systems: list[str] | None = None,
    codes: list[str] | None = None,
    poly_order: int = 2,
    min_points: int = 20,
    max_gap: float | None = None,
    min_amplitude: float = 2.0,
    min_peak_to_noise: float = 3.0,
    min_coverage: float = 0.75,
    time_resolved: bool = True,
    knot_spacing: float = 3600.0,
    output_step: float = 900.0,
    periodograms: bool = False,
) -> dict[str, Any]:
    """Reflector heights below the antenna from the SNR interference of every satellite arc.

    Returns {"heights_m", "arcs" (columns as NumPy arrays), "periodograms", "daily",
    "series", "settings"}.
    """
    ...

def decode_file(path: str | os.PathLike[str]) -> bytes: ...

def morlet_cwt_array(
    y: _Floats, dt: float, dj: float = 0.125, s0: float | None = None
) -> dict[str, npt.NDArray[np.float64]]: ...
def band_power_array(
    y: _Floats, dt: float, bands: Sequence[tuple[float, float]], dj: float = 0.125
) -> npt.NDArray[np.float64]: ...
def scalogram_array(t: _Floats, values: _Floats, interval: float, max_columns: int = 600) -> dict[str, Any]: ...
def analyze_snr_wavelets_array(
    obs: RinexObsData,
    satellites: list[str | Satellite] | None = None,
    interval: float | None = None,
    bands: Sequence[tuple[float, float]] | None = None,
) -> dict[str, Any]: ...

def station_quality(
    obs_data: RinexObsData,
    sp3: Sp3Data | NavData | None = None,
    receiver: Ecef | None = None,
    systems: list[str] | None = None,
    elevation_mask: float = 10.0,
    bin_width: float = 10.0,
) -> dict[str, Any]:
    """Epoch grid, receiver clock jumps, completeness and SNR by elevation of one file

    Returns {"time": ..., "clock": ..., "completeness": ...}: gaps, duplicated,
    out-of-order and event records; millisecond clock jumps from the code
    ranges and the epoch-line clock offsets; with an orbit, expected against
    observed counts per code and phase observation above the mask and the
    mean SNR per elevation bin. Runs without the GIL.
    """

def read_sp3_files(paths: Sequence[str | os.PathLike[str]]) -> Sp3Data:
    """Read several SP3 files as one orbit

    One path reads exactly as read_sp3. Several are merged by epoch: the header
    (declared epoch count and interval) is the first file's; the epoch blocks of all
    files are put in time order, and an epoch found in several files (or twice in one)
    keeps the whole block read first (earlier in `paths`, then earlier in its file).
    Gaps stay gaps; satellites and intervals may differ between files. Runs without the
    GIL. Raises ValueError for an empty sequence, OSError naming a file that cannot be read.
    """
    ...

def partner_bands(system: str) -> tuple[int, ...]:
    """Second-frequency bands of a system, in order of preference

    The bands the multipath combination and the geometry-free slip test pair a signal
    with, tried in this order. `system` is a one-letter code (G, R, E, C, J, S, I);
    raises ValueError for any other text.
    """
    ...
