"""The physics of the simulated station: constants, circular orbits on a
rotating Earth, receiver geometry, tropospheric and ionospheric delays, the
growth of code errors towards the horizon and the random series."""
from __future__ import annotations

import math
from typing import List, Tuple

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

# Orbits: semi-major axis (m), inclination (deg), number of planes.
_CONSTELLATIONS = {
    "G": (26559.7e3, 55.0, 6),
    "E": (29599.8e3, 56.0, 3),
    "R": (25508.2e3, 64.8, 3),
}


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
