"""WGS84 conversions, azimuth/elevation and the Ecef/Geodetic classes."""
import inspect
import math

import numpy as np
import pytest

import skarvo_mp as sk

A = 6378137.0
B = 6356752.314245179
E2 = 0.0066943799901413165


def reference_geodetic(x, y, z):
    """Independent ECEF -> geodetic: fixed-point iteration on latitude to
    convergence (the textbook method), height from the robust formula."""
    p = math.hypot(x, y)
    lat = math.atan2(z, p * (1 - E2))
    for _ in range(50):
        n = A / math.sqrt(1 - E2 * math.sin(lat) ** 2)
        lat = math.atan2(z + E2 * n * math.sin(lat), p)
    n = A / math.sqrt(1 - E2 * math.sin(lat) ** 2)
    h = p * math.cos(lat) + z * math.sin(lat) - A * math.sqrt(1 - E2 * math.sin(lat) ** 2)
    return math.degrees(lat), math.degrees(math.atan2(y, x)), h


@pytest.mark.parametrize(
    "xyz, lat, lon, height",
    [
        ((A, 0.0, 0.0), 0.0, 0.0, 0.0),
        ((0.0, A, 0.0), 0.0, 90.0, 0.0),
        ((-A, 0.0, 0.0), 0.0, 180.0, 0.0),
        ((0.0, -A - 500.0, 0.0), 0.0, -90.0, 500.0),
        ((0.0, 0.0, B), 90.0, 0.0, 0.0),
        ((0.0, 0.0, -B - 1234.5), -90.0, 0.0, 1234.5),
    ],
    ids=["equator-greenwich", "equator-90E", "antimeridian", "equator-90W-500m", "north-pole", "south-pole-1km"],
)
def test_reference_points(xyz, lat, lon, height):
    g = sk.Ecef(*xyz).to_geodetic()
    assert g.lat == pytest.approx(lat, abs=1e-12)
    assert g.lon == pytest.approx(lon, abs=1e-12)
    # On the polar axis the closed form must not degenerate (p / cos(lat)
    # would give -N there); micrometres are what double precision allows.
    assert g.height == pytest.approx(height, abs=1e-6)


def test_spec_reference_values():
    g = sk.Ecef(6378137.0, 0, 0).to_geodetic()
    assert (g.lat, g.lon, g.height) == (0.0, 0.0, 0.0)
    e = sk.Geodetic(0, 0, 0).to_ecef()
    assert (e.x, e.y, e.z) == (6378137.0, 0.0, 0.0)
    g = sk.Geodetic(45, 90, 100).to_ecef().to_geodetic()
    assert g.lat == pytest.approx(45.0, abs=1e-9)
    assert g.lon == pytest.approx(90.0, abs=1e-9)
    assert g.height == pytest.approx(100.0, abs=1e-9)


# The single-step closed form is exact to rounding on the ground and loses
# accuracy with height (its latitude error grows roughly with h^2): measured
# worst cases over the grid are 7e-12 deg / 1e-6 m up to 10 km, 8e-10 deg /
# 1e-4 m at 100 km and 5e-7 deg / 0.3 m at navigation-satellite heights.
HEIGHT_TOLERANCES = [
    (-5000.0, 1e-11, 1e-6),
    (0.0, 1e-11, 1e-6),
    (8848.0, 1e-11, 1e-6),
    (1.0e5, 5e-9, 1e-3),
    (2.02e7, 2e-6, 1.0),
    (3.5786e7, 2e-6, 1.0),
]
LATITUDES = [-90.0, -89.9999999, -89.99, -60.0, -45.0, -12.3, 0.0, 1e-9, 30.0, 45.0, 52.0, 75.0, 89.9943, 89.9999, 90.0]
LONGITUDES = [-180.0, -135.0, -0.5, 0.0, 12.25, 90.0, 179.999]


@pytest.mark.parametrize("height, lat_tol, h_tol", HEIGHT_TOLERANCES, ids=lambda v: f"{v:g}")
def test_round_trip_grid(height, lat_tol, h_tol):
    for lat in LATITUDES:
        for lon in LONGITUDES:
            g = sk.Geodetic(lat, lon, height).to_ecef().to_geodetic()
            assert g.lat == pytest.approx(lat, abs=lat_tol), (lat, lon)
            assert g.height == pytest.approx(height, abs=h_tol), (lat, lon)
            if abs(lat) < 90.0:
                dlon = (g.lon - lon + 180.0) % 360.0 - 180.0
                assert abs(dlon) < 1e-9, (lat, lon, g.lon)


def test_against_iterative_conversion():
    rng = np.random.default_rng(42)
    for _ in range(2000):
        lat = rng.uniform(-90, 90)
        lon = rng.uniform(-180, 180)
        h = rng.uniform(-500, 9000)
        e = sk.Geodetic(lat, lon, h).to_ecef()
        ref = reference_geodetic(e.x, e.y, e.z)
        g = e.to_geodetic()
        assert g.lat == pytest.approx(ref[0], abs=1e-11)
        assert g.lon == pytest.approx(ref[1], abs=1e-12)
        assert g.height == pytest.approx(ref[2], abs=1e-6)


def test_geodetic_to_ecef_lies_on_ellipsoid_along_the_normal():
    rng = np.random.default_rng(5)
    for _ in range(500):
        lat, lon = rng.uniform(-90, 90), rng.uniform(-180, 180)
        s0 = sk.Geodetic(lat, lon, 0.0).to_ecef()
        assert (s0.x**2 + s0.y**2) / A**2 + s0.z**2 / B**2 == pytest.approx(1.0, abs=1e-15)
        # 1 km up moves exactly 1 km along the ellipsoid normal.
        s1 = sk.Geodetic(lat, lon, 1000.0).to_ecef()
        phi, lam = math.radians(lat), math.radians(lon)
        normal = np.array([math.cos(phi) * math.cos(lam), math.cos(phi) * math.sin(lam), math.sin(phi)])
        step = np.array([s1.x - s0.x, s1.y - s0.y, s1.z - s0.z])
        assert np.allclose(step, 1000.0 * normal, atol=1e-7)


def enu_reference(receiver_geodetic, receiver, satellite):
    """Azimuth/elevation from an explicit ECEF -> ENU rotation matrix."""
    lat, lon = np.radians(receiver_geodetic[0]), np.radians(receiver_geodetic[1])
    rot = np.array(
        [
            [-np.sin(lon), np.cos(lon), 0.0],
            [-np.sin(lat) * np.cos(lon), -np.sin(lat) * np.sin(lon), np.cos(lat)],
            [np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)],
        ]
    )
    e, n, u = rot @ (np.asarray(satellite) - np.asarray(receiver))
    az = np.degrees(np.arctan2(e, n)) % 360.0
    el = np.degrees(np.arctan2(u, np.hypot(e, n)))
    return az, el


def test_azimuth_elevation_against_rotation_matrix():
    rng = np.random.default_rng(2024)
    checked = 0
    for _ in range(3000):
        rg = (rng.uniform(-89.5, 89.5), rng.uniform(-180, 180), rng.uniform(-100, 5000))
        rx = sk.Geodetic(*rg).to_ecef()
        # Satellites anywhere in a shell of GNSS heights, in any direction.
        v = rng.normal(size=3)
        v *= rng.uniform(2.0e7, 4.2e7) / np.linalg.norm(v)
        sat = sk.Ecef(*v)
        az, el = sk.calculate_azel(rx, sat)
        ref_az, ref_el = enu_reference(rg, (rx.x, rx.y, rx.z), v)
        assert 0.0 <= az < 360.0
        assert el == pytest.approx(ref_el, abs=1e-9)
        if ref_el < 89.9:  # the azimuth of the zenith is undefined
            daz = (az - ref_az + 180.0) % 360.0 - 180.0
            assert abs(daz) < 1e-8
        checked += 1
    assert checked == 3000


def local_point(lat, lon, h, east, north, up):
    """ECEF of a point offset east/north/up (m) from a geodetic position."""
    phi, lam = math.radians(lat), math.radians(lon)
    base = sk.Geodetic(lat, lon, h).to_ecef()
    e = (-math.sin(lam), math.cos(lam), 0.0)
    n = (-math.sin(phi) * math.cos(lam), -math.sin(phi) * math.sin(lam), math.cos(phi))
    u = (math.cos(phi) * math.cos(lam), math.cos(phi) * math.sin(lam), math.sin(phi))
    return base, sk.Ecef(*(b + east * e[i] + north * n[i] + up * u[i] for i, b in enumerate((base.x, base.y, base.z))))


@pytest.mark.parametrize(
    "enu, az, el",
    [
        ((0.0, 0.0, 2.0e7), None, 90.0),
        ((0.0, 1.0e6, 0.0), 0.0, 0.0),
        ((1.0e6, 0.0, 0.0), 90.0, 0.0),
        ((0.0, -1.0e6, 0.0), 180.0, 0.0),
        ((-1.0e6, 0.0, 0.0), 270.0, 0.0),
        ((1.0e6, 1.0e6, math.sqrt(2.0) * 1.0e6), 45.0, 45.0),
        ((0.0, 1.0e6, -1.0e6), 0.0, -45.0),
    ],
    ids=["zenith", "north-horizon", "east", "south", "west", "ne-45", "below-horizon"],
)
@pytest.mark.parametrize("site", [(0.0, 0.0, 0.0), (52.0, 4.4, 50.0), (-33.9, 151.2, 10.0), (78.2, 15.4, 400.0)])
def test_local_directions(site, enu, az, el):
    rx, sat = local_point(*site, *enu)
    got_az, got_el = sk.calculate_azel(rx, sat)
    assert got_el == pytest.approx(el, abs=1e-7)
    if az is not None:
        assert got_az == pytest.approx(az, abs=1e-7)


def test_coincident_points_and_azimuth_range():
    p = sk.Ecef(4027894.0, 307045.6, 4919474.9)
    assert sk.calculate_azel(p, p) == (0.0, 0.0)
    # A direction a hair west of north gives an azimuth just below 360 or
    # exactly 0, never 360.
    rx, sat = local_point(0.0, 0.0, 0.0, -1e-12, 1.0e6, 0.0)
    az, _ = sk.calculate_azel(rx, sat)
    assert 0.0 <= az < 360.0


def test_nan_propagates():
    nan = float("nan")
    g = sk.Ecef(nan, 1.0, 2.0).to_geodetic()
    assert math.isnan(g.lat) and math.isnan(g.lon) and math.isnan(g.height)
    e = sk.Geodetic(nan, 0.0, 0.0).to_ecef()
    assert math.isnan(e.x) and math.isnan(e.z)
    az, el = sk.calculate_azel(sk.Ecef(A, 0, 0), sk.Ecef(nan, 0, 0))
    assert math.isnan(az) and math.isnan(el)
    assert math.isnan(sk.Ecef(nan, 0, 0).magnitude())


def test_vector_operations():
    assert sk.Ecef(3, 4, 12).magnitude() == 13.0
    assert sk.Ecef(1, 1, 1).distance(sk.Ecef(4, 5, 1)) == 5.0
    assert sk.Ecef(1, 1, 1).distance(other=sk.Ecef(1, 1, 1)) == 0.0


@pytest.mark.parametrize(
    "obj, text",
    [
        (sk.Ecef(1, 2.5, -3.14159), "Ecef(1.000, 2.500, -3.142)"),
        (sk.Ecef(0.0005, -0.0005, 1e20), "Ecef(0.001, -0.001, 100000000000000000000.000)"),
        (sk.Ecef(float("nan"), float("inf"), float("-inf")), "Ecef(NaN, inf, -inf)"),
        (sk.Geodetic(45.1234567, -7.5, 123.45), "Geodetic(45.123457°, -7.500000°, 123.5m)"),
        (sk.Geodetic(120, 0, -0.04), "Geodetic(120.000000°, 0.000000°, -0.0m)"),
    ],
)
def test_repr_and_str(obj, text):
    assert repr(obj) == text
    assert str(obj) == text


def test_class_surface():
    assert sk.Ecef.__doc__ == "Python-exposed ECEF coordinates"
    assert sk.Geodetic.__doc__ == "Python-exposed Geodetic coordinates"
    assert str(inspect.signature(sk.Ecef)) == "(x, y, z)"
    assert str(inspect.signature(sk.Geodetic)) == "(lat, lon, height)"
    assert str(inspect.signature(sk.calculate_azel)) == "(receiver, satellite)"
    assert sk.calculate_azel.__doc__.endswith("Calculate azimuth and elevation")
    assert sk.Ecef.__module__ == "builtins"
    e = sk.Ecef(x=1, y=2, z=3)  # ints convert to floats
    assert (e.x, e.y, e.z) == (1.0, 2.0, 3.0) and isinstance(e.x, float)
    g = sk.Geodetic(lat=120, lon=400, height=-1)  # no range check
    assert (g.lat, g.lon, g.height) == (120.0, 400.0, -1.0)
    with pytest.raises(AttributeError):
        e.x = 5.0
    with pytest.raises(AttributeError):
        g.height = 5.0
    assert sk.Ecef(1, 2, 3) != sk.Ecef(1, 2, 3)  # identity, not value, equality


@pytest.mark.parametrize(
    "call",
    [
        lambda: sk.Ecef(1, 2, 3).distance(sk.Geodetic(1, 2, 3)),
        lambda: sk.calculate_azel(sk.Geodetic(1, 2, 3), sk.Ecef(1, 2, 3)),
        lambda: sk.calculate_azel(sk.Ecef(1, 2, 3), (1.0, 2.0, 3.0)),
        lambda: sk.Ecef("1", 2, 3),
        lambda: sk.Geodetic(1, 2),
    ],
    ids=["distance-geodetic", "azel-geodetic", "azel-tuple", "ecef-str", "geodetic-missing"],
)
def test_wrong_argument_types(call):
    with pytest.raises(TypeError):
        call()
