"""WGS84 conversions, azimuth/elevation and the Ecef/Geodetic classes."""
import math

import numpy as np
import pytest

import skarvo_mp as sk

A, B, E2 = 6378137.0, 6356752.314245179, 0.0066943799901413165


def iterative_geodetic(x, y, z):
    """Independent ECEF -> geodetic: latitude iterated to convergence."""
    p = math.hypot(x, y)
    lat = math.atan2(z, p * (1 - E2))
    for _ in range(50):
        lat = math.atan2(z + E2 * A / math.sqrt(1 - E2 * math.sin(lat) ** 2) * math.sin(lat), p)
    h = p * math.cos(lat) + z * math.sin(lat) - A * math.sqrt(1 - E2 * math.sin(lat) ** 2)
    return math.degrees(lat), math.degrees(math.atan2(y, x)), h


@pytest.mark.parametrize("xyz, lat, lon, height", [
    ((A, 0.0, 0.0), 0.0, 0.0, 0.0), ((-A, 0.0, 0.0), 0.0, 180.0, 0.0), ((0.0, -A - 500.0, 0.0), 0.0, -90.0, 500.0),
    # On the polar axis p / cos(lat) would give -N instead of the height.
    ((0.0, 0.0, B), 90.0, 0.0, 0.0), ((0.0, 0.0, -B - 1234.5), -90.0, 0.0, 1234.5),
], ids=["greenwich", "antimeridian", "90W-500m", "north-pole", "south-pole-1km"])
def test_reference_points(xyz, lat, lon, height):
    g = sk.Ecef(*xyz).to_geodetic()
    assert (g.lat, g.lon, g.height) == pytest.approx((lat, lon, height), abs=1e-6)
    assert g.lat == pytest.approx(lat, abs=1e-12)
    e = sk.Geodetic(lat, lon, height).to_ecef()
    assert (e.x, e.y, e.z) == pytest.approx(xyz, abs=1e-6)


# The one-step closed form is exact to rounding on the ground and degrades
# with height (measured worst cases: 7e-12 deg / 1e-6 m up to 10 km, 8e-10
# deg / 1e-4 m at 100 km, 5e-7 deg / 0.3 m at GNSS heights).
@pytest.mark.parametrize("heights, lat_tol, h_tol", [
    ((-5000.0, 9000.0), 1e-11, 1e-6), ((1e5, 1e5), 5e-9, 1e-3), ((2.02e7, 3.5786e7), 2e-6, 1.0)
], ids=["ground", "100km", "gnss-to-geo"])
def test_round_trip_and_iterative_conversion(heights, lat_tol, h_tol):
    rng = np.random.default_rng(42)
    poles = [-90.0, -89.9999999, 0.0, 89.9943, 89.9999, 90.0]
    for lat in np.concatenate([poles, rng.uniform(-90, 90, 1500)]):
        lon, h = rng.uniform(-180, 180), rng.uniform(*heights)
        e = sk.Geodetic(lat, lon, h).to_ecef()
        g, ref = e.to_geodetic(), iterative_geodetic(e.x, e.y, e.z)
        assert abs(g.lat - lat) <= lat_tol and abs(g.lat - ref[0]) <= lat_tol, (lat, lon, h)
        assert abs(g.height - h) <= h_tol and abs(g.height - ref[2]) <= h_tol, (lat, lon, h)
        if abs(lat) < 90.0:
            assert abs((g.lon - lon + 180.0) % 360.0 - 180.0) < 1e-9 and g.lon == pytest.approx(ref[1], abs=1e-11)


def test_azimuth_elevation_against_rotation_matrix():
    rng = np.random.default_rng(2024)
    for _ in range(3000):
        lat, lon = np.radians(rng.uniform(-89.5, 89.5)), np.radians(rng.uniform(-180, 180))
        rx = sk.Geodetic(np.degrees(lat), np.degrees(lon), rng.uniform(-100, 5000)).to_ecef()
        v = rng.normal(size=3)
        v *= rng.uniform(2.0e7, 4.2e7) / np.linalg.norm(v)
        rot = np.array([
            [-np.sin(lon), np.cos(lon), 0.0],
            [-np.sin(lat) * np.cos(lon), -np.sin(lat) * np.sin(lon), np.cos(lat)],
            [np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)],
        ])
        e, n, u = rot @ (v - np.array([rx.x, rx.y, rx.z]))
        az, el = sk.calculate_azel(rx, sk.Ecef(*v))
        assert 0.0 <= az < 360.0
        assert el == pytest.approx(np.degrees(np.arctan2(u, np.hypot(e, n))), abs=1e-9)
        if el < 89.9:  # the azimuth of the zenith is undefined
            assert abs((az - np.degrees(np.arctan2(e, n)) + 180.0) % 360.0 - 180.0) < 1e-8


def test_degenerate_inputs():
    p = sk.Ecef(4027894.0, 307045.6, 4919474.9)
    assert sk.calculate_azel(p, p) == (0.0, 0.0)
    nan = float("nan")
    assert all(math.isnan(v) for v in sk.calculate_azel(sk.Ecef(A, 0, 0), sk.Ecef(nan, 0, 0)))
    g = sk.Ecef(nan, 1.0, 2.0).to_geodetic()
    assert math.isnan(g.lat) and math.isnan(g.lon) and math.isnan(g.height)
    assert math.isnan(sk.Geodetic(nan, 0.0, 0.0).to_ecef().x)
    assert sk.Ecef(3, 4, 12).magnitude() == 13.0
    assert sk.Ecef(1, 1, 1).distance(other=sk.Ecef(4, 5, 1)) == 5.0


@pytest.mark.parametrize("obj, text", [
    (sk.Ecef(1, 2.5, -3.14159), "Ecef(1.000, 2.500, -3.142)"),
    (sk.Ecef(0.0005, -0.0015, 1e20), "Ecef(0.001, -0.002, 100000000000000000000.000)"),
    (sk.Ecef(float("nan"), float("inf"), float("-inf")), "Ecef(NaN, inf, -inf)"),
    (sk.Geodetic(45.1234567, -7.5, 123.45), "Geodetic(45.123457°, -7.500000°, 123.5m)"),
    (sk.Geodetic(120, 0, -0.04), "Geodetic(120.000000°, 0.000000°, -0.0m)"),
])
def test_repr_and_str(obj, text):
    assert repr(obj) == text == str(obj)
