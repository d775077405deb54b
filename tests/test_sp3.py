"""The SP3 reader: header fields, lenient line handling, real product files
and the errors of unreadable input."""
import pathlib

import pytest

import skarvo_mp as sk
from sp3_text import epoch_line, grid_epoch, header1, header2, p_line, sp3_text

FILES = pathlib.Path(__file__).parent / "files" / "sp3"
NOT_UTF8 = "Failed to read SP3: I/O error: stream did not contain valid UTF-8"


def read(tmp_path, content):
    path = tmp_path / "orbit.sp3"
    path.write_bytes(content.encode() if isinstance(content, str) else content)
    return sk.read_sp3(str(path))


def position(sp3, sat, fields):
    p = sp3.get_position(sat, sk.Epoch(*fields))
    return None if p is None else (p.x, p.y, p.z)


def test_empty_files(tmp_path):
    for d in (read(tmp_path, ""), sk.read_sp3("/dev/null"), sk.read_sp3(tmp_path / "orbit.sp3")):  # also PathLike
        assert (d.num_satellites, d.num_epochs, d.interval, d.satellites()) == (0, 0, 0.0, [])
        assert repr(d) == "Sp3Data(satellites=0, epochs=0, interval=0s)"


@pytest.mark.parametrize("lines, num_epochs, interval, interval_text", [
    ([header1(96), header2("0.50000000")], 96, 0.5, "0.5"),
    ([header1(96), header2("30.12500000")], 96, 30.125, "30.125"),
    ([header1(96), header2("abc")], 96, 900.0, "900"),  # unreadable interval
    ([header1(96)[:59], header2()[:59]], 0, 0.0, "0"),  # both lines shorter than 60 bytes
    ([header1(96, version="e"), header2()], 0, 900.0, "900"),  # not a version letter
    ([header1(96, version="a")], 96, 0.0, "0"),
    ([header1(96)[:32] + "    x96" + header1(96)[39:]], 0, 0.0, "0"),  # unreadable count
    (["#  1992  6 15  8 37 29.00000000     148 ORBIT ITR91 FIT  SIO"], 0, 0.0, "0"),  # original layout
], ids=["half", "fraction", "bad-interval", "short", "version-e", "version-a", "bad-count", "no-version"])
def test_header_lines(tmp_path, lines, num_epochs, interval, interval_text):
    d = read(tmp_path, "\n".join(lines) + "\n")
    assert (d.num_epochs, d.interval) == (num_epochs, interval)
    assert repr(d) == f"Sp3Data(satellites=0, epochs={num_epochs}, interval={interval_text}s)"


def test_quirks_file():
    d = sk.read_sp3(str(FILES / "quirks.sp3"))
    # G09 appears only before a valid epoch line; G01 and R03 only with bad
    # clocks; G12 is written with a blank system letter, E04 in lower case;
    # C30 is missing from the header list; G05 follows the EOF line.
    assert d.satellites() == ["G12", "E04", "C30", "G02", "G05"]
    assert (d.num_epochs, d.interval) == (3, 900.0)


@pytest.mark.parametrize("ending", ["\n", "\r\n"], ids=["lf", "crlf"])
def test_columns_defaults_and_line_endings(tmp_path, ending):
    # Nine records, so that interpolation returns each stored position.
    recs = [(grid_epoch(900 * k), [("G07", 1000.0 * k + 0.123456, -20000.654321, 5.5)]) for k in range(9)]
    text = sp3_text(recs).replace(p_line("G07", 0.123456, -20000.654321, 5.5), "PG07           abc -20000.654321      5.500000     12.000000")
    d = read(tmp_path, text.rstrip("\n").replace("\n", ending))  # no final newline
    assert position(d, "G07", grid_epoch(2700)) == (3000.123456 * 1000.0, -20000.654321 * 1000.0, 5500.0)
    assert position(d, "G07", grid_epoch(0)) == (0.0, -20000.654321 * 1000.0, 5500.0)  # 'abc' gives 0


def test_lines_across_read_buffer_boundaries(tmp_path):
    # Lines straddle the 8 KiB read buffer everywhere; one comment line is
    # far longer than the buffer.
    sats = [f"E{prn:02d}" for prn in range(1, 37)]
    coords = lambda i, k: (100.0 * i + k / 7, -2.5 * k - 1.0, 3.25 * i)  # noqa: E731
    recs = [(grid_epoch(300 * k), [(s, *coords(i, k)) for i, s in enumerate(sats)]) for k in range(40)]
    d = read(tmp_path, sp3_text(recs, extra_header=["/* " + "x" * 30000, "/* caf\u00e9 \u2013 fine"]))
    assert d.satellites() == sats
    for k in range(40):
        for i, s in enumerate(sats):
            assert position(d, s, grid_epoch(300 * k)) == tuple(float(f"{v:.6f}") * 1000.0 for v in coords(i, k))


@pytest.mark.parametrize("clock, kept", [
    ("900000.000000", True), ("-900000.000000", True), ("900000.000001", False), ("-999999.999999", False), ("", False)
])
def test_clock_limit(tmp_path, clock, kept):
    d = read(tmp_path, epoch_line(2021, 1, 1) + "\n" + p_line("G01", 1.0, 2.0, 3.0)[:46] + f"{clock:>14}\n")
    assert d.satellites() == (["G01"] if kept else [])


@pytest.mark.parametrize("where, bad", [
    ("first", b"\xff\xfe"), ("middle", b"caf\xe9"), ("middle", b"\xed\xa0\x80"), ("last-no-newline", b"\xc3")
], ids=["first", "latin1", "surrogate", "truncated-last"])
def test_not_utf8_anywhere_fails(tmp_path, where, bad):
    good = sp3_text([(grid_epoch(900 * k), [("G01", 1.0, 2.0, 3.0)]) for k in range(300)]).encode()
    cut = {"first": 0, "middle": good.index(b"\n", len(good) // 2) + 1}.get(where, len(good))
    data = good[:cut] + b"/* " + bad + (b"\n" if where != "last-no-newline" else b"") + good[cut:]
    with pytest.raises(OSError) as info:
        read(tmp_path, data)
    assert str(info.value) == NOT_UTF8


# ---- real product files ------------------------------------------------------

REAL_FILES = [
    # name, satellites, declared epochs, interval
    ("sp3/igs21385.sp3", 32, 96, 900.0),
    ("sp3/GRG0MGXFIN_20201770000_01D_15M_ORB.SP3.gz", 75, 96, 900.0),
    ("sp3/GRG0MGXFIN_20201760000_01D_15M_ORB.SP3.gz", 75, 96, 900.0),
    ("sp3/Sta21114.sp3.gz", 121, 97, 900.0),  # zero-padded month and day
    ("sp3/COD0MGXFIN_20230500000_01D_05M_ORB.SP3.gz", 118, 289, 300.0),  # zero positions, bad clocks
    ("sp3/NGA0OPSRAP_20251850000_01D_15M_ORB.SP3.gz", 32, 96, 900.0),  # SP3-a, velocities, "P  1"
    ("odd/emr08874.sp3", 25, 96, 900.0),  # seconds written ".0000000", "P  1"
    ("odd/igs19362.sp3c", 31, 2, 900.0),  # leading blank line, wrong count, G04 without clocks
    ("odd/truncated.sp3", 31, 2, 900.0),  # no EOF, last epoch empty
    ("odd/sio06492.sp3", 0, 0, 1350.0),  # no version letter, every clock unknown
]


def file_records(path):
    """(satellite, epoch fields, metres) of every P line with a usable clock,
    read independently of the library."""
    epoch = None
    for line in pathlib.Path(path).read_text().splitlines():
        if line.startswith("*"):
            f = line[3:31].split()
            epoch = (*map(int, f[:5]), float(f[5]))
        elif line.startswith("P") and len(line) >= 60 and abs(float(line[46:60])) <= 900000.0:
            sat = line[1:4] if line[1] != " " else "G" + line[2:4].replace(" ", "0")
            yield sat, epoch, tuple(float(line[a:a + 14]) * 1000.0 for a in (4, 18, 32))


@pytest.mark.realdata
@pytest.mark.parametrize("name, nsat, nepochs, interval", REAL_FILES, ids=[f[0].split("/")[1] for f in REAL_FILES])
def test_real_files(data, gunzipped, name, nsat, nepochs, interval):
    path = gunzipped(name) if name.endswith(".gz") else data(name)
    d = sk.read_sp3(str(path))
    assert repr(d) == f"Sp3Data(satellites={nsat}, epochs={nepochs}, interval={interval:g}s)"
    records = list(file_records(path))
    assert d.satellites() == list(dict.fromkeys(sat for sat, _, _ in records))
    lines = [line[3:31].split() for line in pathlib.Path(path).read_text().splitlines() if line.startswith("*")]
    assert [(e.year, e.month, e.day, e.hour, e.minute, e.second) for e in d.epochs()] == [
        (*map(int, f[:5]), float(f[5])) for f in lines]
    # Every tabulated position comes back exactly at its own epoch (satellites
    # with fewer than nine records have no positions).
    counts = {s: sum(1 for r in records if r[0] == s) for s in d.satellites()}
    for sat, epoch, xyz in records[:: max(1, len(records) // 3000)]:
        if counts[sat] >= 9 and xyz != (0.0, 0.0, 0.0):
            assert position(d, sat, epoch) == xyz, (sat, epoch)
    if name.endswith(".gz"):  # the compressed file reads the same as its text
        packed = sk.read_sp3(str(data(name)))
        assert repr(packed) == repr(d) and packed.satellites() == d.satellites()
