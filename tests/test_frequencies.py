"""Carrier frequencies and wavelengths."""
import pytest

from skarvo_mp import get_frequency, get_wavelength

C = 299792458.0

TABLE = {
    "G": {1: 1575420000.0, 2: 1227600000.0, 5: 1176450000.0},
    "E": {1: 1575420000.0, 5: 1176450000.0, 6: 1278750000.0, 7: 1207140000.0, 8: 1191795000.0},
    "C": {1: 1575420000.0, 2: 1561098000.0, 5: 1176450000.0, 6: 1268520000.0, 7: 1207140000.0},
    "J": {1: 1575420000.0, 2: 1227600000.0, 5: 1176450000.0, 6: 1278750000.0},
    "S": {1: 1575420000.0, 5: 1176450000.0},
    "I": {5: 1176450000.0, 9: 2492028000.0},
    "R": {1: 1602000000.0, 2: 1246000000.0, 3: 1202025000.0},
}


@pytest.mark.parametrize("system", sorted(TABLE) + ["M", "X", "g", "1"])
@pytest.mark.parametrize("band", range(11))
def test_table_and_absent_entries(system, band):
    expected = TABLE.get(system, {}).get(band)
    assert get_frequency(system, band) == expected
    wl = get_wavelength(system, band)
    assert wl == (None if expected is None else C / expected)


@pytest.mark.parametrize("args, expected", [
    (("R", 1, -7), 1598062500.0), (("R", 2, 6), 1248625000.0), (("R", 3, 5), 1202025000.0),
    (("R", 1, 127), 127 * 562500.0 + 1602000000.0), (("R", 2, -128), -128 * 437500.0 + 1246000000.0),
    (("G", 1, 3), 1575420000.0), (("GLONASS", 1), 1575420000.0), (("Galileo", 8), None), (("", 1), None),
    (("\u00e91", 1), None), (("E", 255), None),
])
def test_special_cases(args, expected):
    assert get_frequency(*args) == expected
    assert get_wavelength(*args) == (None if expected is None else C / expected)


@pytest.mark.parametrize("args", [("G", 256), ("G", -1), ("R", 1, 128), ("R", 1, -129)])
def test_out_of_range_band_or_channel_is_refused_not_wrapped(args):
    with pytest.raises(TypeError):
        get_frequency(*args)
    with pytest.raises(TypeError):
        get_wavelength(*args)
