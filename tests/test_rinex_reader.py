"""Header and record parsing, checked on tiny hand-written files (one quirk
each, named in their COMMENT lines) and on text built in the tests."""
import pytest
import skarvo_mp as sk

from rinex_helpers import FILES, fields, header_line, read_error, stored_observations, v3_header


def read_text(text: str, name: str = "t.rnx"):
    return sk.read_rinex_obs_bytes(text.encode(), name)


# ---- version 3 ----------------------------------------------------------------


@pytest.fixture(scope="module")
def v3():
    return sk.read_rinex_obs(str(FILES / "v3_quirks.rnx"))


def test_v3_header_and_records(v3):
    assert (v3.version, v3.marker_name, v3.receiver_type, v3.antenna_type) == (
        "3.04", "TINY", "TINYREC 9000", "TINYANT NONE")
    assert (v3.approx_position.x, v3.approx_position.y, v3.approx_position.z) == (
        3582105.2910, 532589.7313, 5232754.8054)
    assert v3.glonass_fcn() == {1: 1, 2: -4}
    assert repr(v3) == str(v3) == "RinexObsData(version=3.04, marker='TINY', epochs=5, sats=6)"
    # Records keep file order, equal time tags and the event record.
    assert [fields(e) for e in v3.epochs()] == [(2024, 3, 1, 0, 0, s) for s in (0.0, 30.0, 30.0, 30.0, 31.0)]
    assert (fields(v3.first_epoch()), fields(v3.last_epoch())) == ((2024, 3, 1, 0, 0, 0.0), (2024, 3, 1, 0, 0, 31.0))
    # Later spacing (0 s, 1 s) does not count; the exact difference is 30.0.
    assert v3.interval == 30.0
    # E11 has no SYS / # / OBS TYPES line and yields nothing.
    assert [s.id for s in v3.satellites()] == ["G05", "G07", "G09", "G10", "R01", "R02"]
    assert (v3.num_satellites, v3.satellites_by_system()) == (6, {"G": 4, "R": 2})
    g_codes = sorted("C1C L1C D1C S1C C2W L2W D2W S2W C5Q L5Q D5Q S5Q C1W L1W S1W C2L".split())
    assert v3.observation_types("G") == g_codes
    assert v3.observation_types("r") == ["C1C", "L1C", "S1C"]
    assert v3.observation_types("E") == []
    assert all(v3.observation_types(s) == g_codes for s in ["", "x", "Z", "1", "é"])  # not a letter: GPS


def test_v3_stored_values(v3):
    obs = stored_observations(FILES / "v3_quirks.rnx")
    # The repeated G05 line of epoch 0 replaces the first one.
    assert obs[(0, "G05", "C1C")] == (2000.0, None, 7)
    assert obs[(0, "G05", "L1C")] == (2001.25, 0, 7)
    assert obs[(0, "G05", "C2L")] == (2018.75, None, 7)  # 16th code, from the continuation line
    assert sum(1 for k in obs if k[:2] == (0, "G05")) == 16
    # A line ending after its second field yields two observations.
    assert {k[2]: v for k, v in obs.items() if k[:2] == (0, "G07")} == {
        "C1C": (22000000.5, None, 5), "L1C": (115000000.75, 0, 5)}
    assert obs[(0, "R01", "L1C")] == (110000000.5, 1, 6)
    # Blank value with indicator digits: no C1C; a 15-byte last field: lli only.
    assert {k[2]: v for k, v in obs.items() if k[:2] == (1, "G05")} == {"L1C": (3000.5, 1, None)}
    assert obs[(1, "R02", "C1C")] == (-0.5, None, None)
    assert obs[(3, "G09", "C1C")] == (123.456, None, None)  # written "g 9"
    assert not any(k[1] == "E11" for k in obs)


# ---- version 2 ----------------------------------------------------------------


@pytest.fixture(scope="module")
def v2():
    return sk.read_rinex_obs(str(FILES / "v2_quirks.rnx"))


def test_v2_records(v2):
    assert v2.version == "2.11"
    # The event record (flag 4) with its comment lines is dropped.
    assert [fields(e) for e in v2.epochs()] == [(2021, 12, 21, 0, 0, 0.0), (2021, 12, 21, 0, 0, 30.0)]
    assert [s.id for s in v2.satellites()] == [
        "E07", "G01", "G02", "G05", "G06", "G08", "G09", "G10", "G11", "G12", "R03", "R13", "S20"]
    assert v2.satellites_by_system() == {"E": 1, "G": 9, "R": 2, "S": 1}
    # T1 has no three-character code; the others are translated.
    assert v2.observation_types("G") == ["C1C", "C1P", "C2P", "C5X", "D1C", "D2C", "L1C", "L2C", "S1C", "S2C"]


def test_v2_cells_keep_their_positions(v2):
    obs = stored_observations(FILES / "v2_quirks.rnx")
    # Satellite s carries 1000 s + k + 0.125 for type k; cell 2 is "  5"
    # (blank system letter: GPS), cell 4 "X99" does not parse but keeps its
    # lines, cells 12 and 13 come from the second list line, after a clock
    # offset written behind the twelfth cell.
    for s, sat in [(0, "G01"), (2, "G05"), (5, "G06"), (11, "G11"), (12, "G12"), (13, "R13")]:
        assert obs[(0, sat, "L1C")] == (1000.0 * s + 0.125, s % 10, s % 10)
        assert obs[(0, sat, "C5X")] == (1000.0 * s + 9.125, None, (s + 9) % 10)
        assert obs[(0, sat, "S2C")] == (30.0 + s, None, (s + 6) % 10)
    assert sum(1 for k in obs if k[:2] == (0, "G06")) == 10
    # Lines ending after their last value, and empty lines.
    assert {k[1:]: v for k, v in obs.items() if k[0] == 1} == {
        ("G01", "L1C"): (11.5, 1, 2), ("G01", "L2C"): (22.5, None, None),
        ("R03", "L1C"): (33.5, None, None), ("R03", "L2C"): (44.5, None, 9), ("R03", "S2C"): (55.5, None, None)}


V2_HEADER = (header_line("     2.11           OBSERVATION DATA    G (GPS)", "RINEX VERSION / TYPE")
             + header_line("     5    L1    L2    P1    P2    C1", "# / TYPES OF OBSERV")
             + header_line("", "END OF HEADER"))


@pytest.mark.parametrize("yy, year", [("98", 1998), ("80", 1980), ("05", 2005), (" 5", 2005), ("79", 2079)])
def test_v2_two_digit_years(yy, year):
    data = read_text(V2_HEADER + f" {yy}  3  1  0  0  0.0000000  0  1G01\n" + "%14.3f\n" % 1.0)
    assert fields(data.first_epoch()) == (year, 3, 1, 0, 0, 0.0)


def test_v2_satellite_without_observations_is_not_an_entry():
    text = V2_HEADER + " 21  1  1  0  0  0.0000000  0  2G01G02\n" + "\n" + "%14.3f\n" % 4.5
    data = read_text(text)
    assert [s.id for s in data.satellites()] == ["G02"]


# ---- header ----------------------------------------------------------------------


@pytest.mark.parametrize("text, version", [
    ("3.04", "3.04"), ("3.5", "3.05"), ("2.11", "2.11"), ("4.00", "4.00"), ("3.045", "3.04"), ("+3.02", "3.02")])
def test_supported_versions(text, version):
    assert read_text(v3_header(version=text)).version == version


@pytest.mark.parametrize("text", ["1.0", "5.00", "3", "abc", "2", "256.0"])
def test_unsupported_versions(tmp_path, text):
    assert read_error(tmp_path, v3_header(version=text)) == f"Failed to parse RINEX: Unsupported RINEX version: {text}"


def test_header_without_version_line_reads_as_3_05():
    text = header_line("NOVERSION", "MARKER NAME") + header_line("", "END OF HEADER")
    data = read_text(text)
    assert (data.version, data.marker_name, data.num_epochs) == ("3.05", "NOVERSION", 0)


@pytest.mark.parametrize("line, expected", [
    # Label at index 60 with trailing blanks up to column 80 is matched.
    (header_line("ABCD", "MARKER NAME").rstrip("\n") + " " * 8 + "\n", "ABCD"),
    # A label in lower case is not a label.
    (header_line("ABCD", "marker name"), ""),
    # A line shorter than 60 bytes is skipped whatever it holds.
    ("ABCD MARKER NAME\n", ""),
])
def test_header_label_matching(line, expected):
    assert read_text(v3_header(line)).marker_name == expected


def test_header_fields_that_do_not_parse_are_ignored():
    text = v3_header(header_line("  1.0  2.0", "APPROX POSITION XYZ"),
                     header_line("  abc", "INTERVAL"),
                     header_line("R01  x R02 -4 R03", "GLONASS SLOT / FRQ #"))
    data = read_text(text)
    assert (data.approx_position, data.interval, data.glonass_fcn()) == (None, None, {2: -4})


def test_header_interval_is_used_for_a_single_epoch():
    data = read_text(v3_header(header_line("    15.000", "INTERVAL")) + "> 2024 03 01 00 00  0.0000000  0  0\n")
    assert data.interval == 15.0 and data.num_epochs == 1


# ---- epoch lines -------------------------------------------------------------------


@pytest.mark.parametrize("line, expected", [
    ("> 2024 03 01 00 00 30.0000000  0 12", (2024, 3, 1, 0, 0, 30.0)),
    ("> abcd 03 01 00 00 30.0000000  0  0", (2000, 3, 1, 0, 0, 30.0)),
    ("> 2024 xx 01 00 00      abc    0  0", (2024, 1, 1, 0, 0, 0.0)),
    ("> 2024  3  1 23 59 59.9999999  1   ", (2024, 3, 1, 23, 59, 59.9999999)),
])
def test_epoch_line_fields_and_defaults(line, expected):
    data = read_text(v3_header() + line + "\n")
    assert data.num_epochs == 1
    assert fields(data.first_epoch()) == expected


@pytest.mark.parametrize("body", [
    "garbage\n\n   \n> 2024 03 01 00 00  0.0000000  0  1\nG01%14.3f\n" % 1.0,  # lines between records
    "> 2024 03 01 00 00  0.0000000  0  3\nG01%14.3f\n" % 1.0,  # satellite lines missing at the end
])
def test_stray_and_missing_lines(body):
    data = read_text(v3_header() + body)
    assert data.num_epochs == 1 and [s.id for s in data.satellites()] == ["G01"]


# ---- errors and their line indices --------------------------------------------------

HEADER_LINES = v3_header().count("\n")


@pytest.mark.parametrize("body, line", [
    ("> 2024 03 01 00 00  0.0000000  \n", HEADER_LINES),  # 31 bytes
    ("> 2024\n", HEADER_LINES), ("> 2024 03 01 00 00  0.0000000  0  1\nG01%14.3f\n>\n" % 1.0, HEADER_LINES + 2),
    ("\n\n> 2024 03 01\r\n", HEADER_LINES + 2),
])
def test_epoch_line_too_short(tmp_path, body, line):
    assert read_error(tmp_path, v3_header() + body) == (
        f"Failed to parse RINEX: RINEX parsing error at line {line}: Epoch line too short")


@pytest.mark.parametrize("data", [
    b"\xff\xfe" + v3_header().encode(),
    v3_header().encode() + b"> 2024 03 01 00 00  0.0000000  0  1\nG01  \xc3\x28 1.0\n",
    v3_header().encode()[:-1] + b"\xe2\x82\n",  # a character cut off by the line feed
])
def test_text_that_is_not_utf8(tmp_path, data):
    assert read_error(tmp_path, data) == "Failed to parse RINEX: I/O error: stream did not contain valid UTF-8"


CUT = "byte column {} falls inside a multi-byte UTF-8 character"


@pytest.mark.parametrize("text, line, column", [
    # "é" occupies bytes 19-20 of a MARKER NUMBER line: column 20 cuts it.
    (v3_header(header_line("ABCDEFGHIJKLMNOPQRSé", "MARKER NUMBER")), 1, 20),
    # A label cut at column 60.
    ("A" * 59 + "é" + "MARKER NAME\n", 0, 60),
    # A satellite line whose first field ends inside "€" (bytes 16-18).
    (v3_header() + "> 2024 03 01 00 00  0.0000000  0  1\n" + "G01" + " " * 13 + "€", HEADER_LINES + 1, 17),
    # A version 2 observation line.
    (V2_HEADER + " 21  1  1  0  0  0.0000000  0  1G01\n" + " " * 13 + "ü", V2_HEADER.count("\n") + 1, 14),
])
def test_column_inside_a_multibyte_character(tmp_path, text, line, column):
    assert read_error(tmp_path, text) == (
        f"Failed to parse RINEX: RINEX parsing error at line {line}: " + CUT.format(column))


def test_multibyte_text_away_from_columns_is_read():
    text = v3_header(header_line("Zürich Ærø ÅSÉ", "MARKER NAME"), header_line("ü" * 30, "COMMENT"))
    text += "> 2024 03 01 00 00  0.0000000  0  1\n" + "G01%14.3f  ünused\n" % 2.5
    data = read_text(text)
    assert data.marker_name == "Zürich Ærø ÅSÉ"
    assert [s.id for s in data.satellites()] == ["G01"]


def test_crlf_and_trailing_carriage_returns():
    text = v3_header() + "> 2024 03 01 00 00  0.0000000  0  1\r\r\n" + "G01%14.3f 7\r\n" % 1.0
    crlf = text.replace("\n", "\r\n")
    for t in (text, crlf):
        data = read_text(t)
        assert data.version == "3.04" and [s.id for s in data.satellites()] == ["G01"]


# ---- repeated satellites and codes ---------------------------------------------------


def test_repeated_codes_and_satellites(tmp_path):
    # G declares C1C twice: the later field wins when it holds a value, the
    # earlier one stays when the later is blank. G01 appears twice in the
    # first epoch: the second line replaces the first, also for codes that
    # only the first line had.
    header = v3_header().replace("G    3 C1C L1C S1C", "G    4 C1C C1C L1C S1C")
    f = lambda v: "%14.3f  " % v  # noqa: E731
    text = header + "> 2024 03 01 00 00  0.0000000  0  3\n"
    text += "G01" + f(1.0) + f(2.0) + f(3.0) + f(4.0) + "\n"
    text += "R05" + f(50.0) + "\n"
    text += "G01" + f(10.0) + " " * 16 + f(30.0) + "\n"
    text += "> 2024 03 01 00 00 30.0000000  0  1\n" + "G02" + f(5.0) + f(6.0) + "\n"
    path = tmp_path / "repeat.rnx"
    path.write_text(text)
    obs = stored_observations(path)
    assert {k: v[0] for k, v in obs.items()} == {
        (0, "R05", "C1C"): 50.0, (0, "G01", "C1C"): 10.0, (0, "G01", "L1C"): 30.0,
        (1, "G02", "C1C"): 6.0}


def test_v2_repeated_cells_and_large_prns(tmp_path):
    # Cell "300" is G300 (above the PRNs kept in the fast lookup); it appears
    # twice and the later cell with observations wins; G02's second cell has
    # no observations and leaves the first one in place.
    text = V2_HEADER + " 21  1  1  0  0  0.0000000  0  4300G02300G02\n"
    text += "%14.3f\n%14.3f\n%14.3f\n\n" % (1.0, 2.0, 3.0)
    path = tmp_path / "repeat.21o"
    path.write_text(text)
    obs = stored_observations(path)
    assert {k: v[0] for k, v in obs.items()} == {(0, "G300", "L1C"): 3.0, (0, "G02", "L1C"): 2.0}
    assert [s.id for s in sk.read_rinex_obs(str(path)).satellites()] == ["G02", "G300"]
