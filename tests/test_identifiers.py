"""GNSS systems and satellite identifiers."""
import pytest

from skarvo_mp import GnssSystem, Satellite

SYSTEMS = [
    ("G", "GPS"), ("R", "GLONASS"), ("E", "Galileo"), ("C", "BeiDou"),
    ("J", "QZSS"), ("S", "SBAS"), ("I", "NavIC"), ("M", "Mixed"),
]


@pytest.mark.parametrize("code, name", SYSTEMS)
@pytest.mark.parametrize("case", [str.upper, str.lower])
def test_system_from_letter_either_case(code, name, case):
    system = GnssSystem(case(code))
    assert system.name == name
    assert system.code == code
    assert str(system) == name
    assert repr(system) == f"GnssSystem('{code}')"


@pytest.mark.parametrize(
    "text, code",
    [("Galileo", "G"), ("Mixed", "M"), ("e", "E"), ("GLONASS", "G"), ("R1", "R")],
)
def test_system_uses_first_character_only(text, code):
    assert GnssSystem(text).code == code


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "Empty system code"),
        ("x", "Unknown system: x"),
        ("X", "Unknown system: X"),
        ("Zeta", "Unknown system: Zeta"),
        ("\u00e9G", "Unknown system: \u00e9G"),
        (" G", "Unknown system:  G"),
    ],
)
def test_system_errors(text, message):
    with pytest.raises(ValueError) as info:
        GnssSystem(text)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "text, ident, prn, code",
    [
        ("G01", "G01", 1, "G"),
        ("G1", "G01", 1, "G"),
        ("g1", "G01", 1, "G"),
        ("g7", "G07", 7, "G"),
        ("G 1", "G01", 1, "G"),
        ("  G 01  ", "G01", 1, "G"),
        ("G+1", "G01", 1, "G"),
        ("E 101", "E101", 101, "E"),
        ("R0", "R00", 0, "R"),
        ("C123", "C123", 123, "C"),
        ("M05", "M05", 5, "M"),
        ("i9", "I09", 9, "I"),
        ("J4294967295", "J4294967295", 4294967295, "J"),
    ],
)
def test_satellite_parsing(text, ident, prn, code):
    sat = Satellite(text)
    assert sat.id == ident
    assert sat.prn == prn
    assert sat.system.code == code
    assert str(sat) == ident
    assert repr(sat) == f"Satellite('{ident}')"


@pytest.mark.parametrize(
    "text",
    ["G", "X01", "G-1", "GAB", "G1.5", "Z01", "", "  ", "G+", "G-", "G4294967296", "01", "G 1 2", "\u00c701"],
)
def test_invalid_satellite(text):
    with pytest.raises(ValueError) as info:
        Satellite(text)
    assert str(info.value) == f"Invalid satellite ID: {text}"


def test_satellites_compare_by_identity_only():
    a, b = Satellite("G01"), Satellite("G01")
    assert a != b and a == a
    assert a.id == b.id
    assert a.system is not b.system  # a new object on every read


@pytest.mark.parametrize("cls, arg", [(GnssSystem, 1), (Satellite, None), (Satellite, 5)])
def test_wrong_argument_type_is_type_error(cls, arg):
    with pytest.raises(TypeError):
        cls(arg)


def test_read_only_attributes():
    sat = Satellite("G05")
    with pytest.raises(AttributeError):
        sat.prn = 6
    with pytest.raises(AttributeError):
        GnssSystem("G").name = "x"
