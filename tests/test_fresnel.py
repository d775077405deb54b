"""First Fresnel zones and footprints along tracks."""
import math

import pytest

import skarvo_mp as sk

L1 = sk.GPS_L1_WAVELENGTH


def reference_zone(el, h, lam=L1):
    e = math.radians(el if el >= 0.5 else 0.5)  # NaN too
    s = math.sin(e)
    b = math.sqrt(h * lam / s + (lam / (2 * s)) ** 2)
    return b / s, b, h / math.tan(e)


@pytest.mark.parametrize("el, h, lam", [(10.0, 1.5, None), (35.0, 20.0, 0.2548), (60.0, 4.0, 0.25), (90, 2.0, None),
                                      (0.5, 2.0, None), (0, 2.0, None), (-3, 2.0, None), (math.nan, 2.0, None)])
def test_zone_formula(el, h, lam):
    # Elevations below half a degree (and NaN) take the zone at half a degree.
    a, b, d = sk.fresnel_zone(el, h, lam)
    assert (a, b) == pytest.approx(reference_zone(el, h, lam or L1)[:2], rel=1e-14)
    assert d == pytest.approx(reference_zone(el, h, lam or L1)[2], rel=1e-14, abs=1e-15)


def test_map_one_footprint_per_cell_and_track():
    tracks = [("G01", [100.0] * 5, [5.0, 7.0, 9.0, 11.0, 13.0]), ("G02", [100.0, -5.0], [5.0, 12.0])]
    got = sk.fresnel_map(tracks, 2.0)
    assert [(f["sat"], f["el"]) for f in got] == [("G01", 5.0), ("G01", 11.0), ("G02", 5.0), ("G02", 12.0)]
    assert list(got[0]) == ["sat", "az", "el", "a", "b", "dist"]
    assert (got[1]["a"], got[1]["b"], got[1]["dist"]) == sk.fresnel_zone(11.0, 2.0)
    # A negative azimuth has its own cell.
    got = sk.fresnel_map([("R01", [-5.0, 5.0, 355.0], [20.0, 20.0, 20.0])], 2.0)
    assert [f["az"] for f in got] == [-5.0, 5.0, 355.0]
    assert sk.fresnel_map([], 2.0) == sk.fresnel_map([("G01", [], [])], 2.0) == []


def test_map_min_elevation_and_unequal_lengths():
    got = sk.fresnel_map([("E11", [float(10 * i) for i in range(10)], [4.99, 5.0] + [20.0] * 6)], 3.0)
    assert [f["az"] for f in got] == [10.0, 20.0, 30.0, 40.0, 50.0, 60.0, 70.0]
    got = sk.fresnel_map([("E11", [0.0, 0.0], [30.0, math.nan])], 3.0, min_elevation=40.0)
    assert len(got) == 1 and math.isnan(got[0]["el"])
