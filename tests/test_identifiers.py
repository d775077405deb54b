"""GNSS systems and satellite identifiers."""
import pytest

from skarvo_mp import GnssSystem, Satellite

SYSTEMS = [("G", "GPS"), ("R", "GLONASS"), ("E", "Galileo"), ("C", "BeiDou"), ("J", "QZSS"), ("S", "SBAS"),
           ("I", "NavIC"), ("M", "Mixed")]


@pytest.mark.parametrize("code, name", SYSTEMS)
@pytest.mark.parametrize("case", [str.upper, str.lower])
def test_system_from_letter_either_case(code, name, case):
    system = GnssSystem(case(code))
    assert (system.name, system.code, str(system), repr(system)) == (name, code, name, f"GnssSystem('{code}')")


@pytest.mark.parametrize("text, code", [("Galileo", "G"), ("Mixed", "M"), ("e", "E"), ("GLONASS", "G"), ("R1", "R")])
def test_system_uses_first_character_only(text, code):
    assert GnssSystem(text).code == code


@pytest.mark.parametrize("text, message", [
    ("", "Empty system code"), ("x", "Unknown system: x"), ("X", "Unknown system: X"),
    ("Zeta", "Unknown system: Zeta"), ("\u00e9G", "Unknown system: \u00e9G"), (" G", "Unknown system:  G"),
])
def test_system_errors(text, message):
    with pytest.raises(ValueError) as info:
        GnssSystem(text)
    assert str(info.value) == message


@pytest.mark.parametrize("text, ident, prn", [
    ("G01", "G01", 1), ("G1", "G01", 1), ("g1", "G01", 1), ("g7", "G07", 7), ("G 1", "G01", 1),
    ("  G 01  ", "G01", 1), ("G+1", "G01", 1), ("E 101", "E101", 101), ("R0", "R00", 0), ("C123", "C123", 123),
    ("M05", "M05", 5), ("i9", "I09", 9), ("J4294967295", "J4294967295", 4294967295),
])
def test_satellite_parsing(text, ident, prn):
    sat = Satellite(text)
    assert (sat.id, sat.prn, sat.system.code, str(sat), repr(sat)) == (ident, prn, ident[0], ident,
                                                                      f"Satellite('{ident}')")


@pytest.mark.parametrize("text", ["G", "X01", "G-1", "GAB", "G1.5", "Z01", "", "  ", "G+", "G-", "G4294967296", "01",
                                  "G 1 2", "\u00c701"])
def test_invalid_satellite(text):
    with pytest.raises(ValueError) as info:
        Satellite(text)
    assert str(info.value) == f"Invalid satellite ID: {text}"


def test_satellites_compare_by_identity_only():
    a, b = Satellite("G01"), Satellite("G01")
    assert a != b and a == a and a.id == b.id
    assert a.system is not b.system  # a new object on every read
