"""The SP3 reader: header fields, lenient line handling, real product files
and the errors of unreadable input."""
import gzip
import inspect
import pathlib
import threading

import pytest

import skarvo_mp as sk
from sp3_text import epoch_line, grid_epoch, header1, header2, p_line, sp3_text

FILES = pathlib.Path(__file__).parent / "files" / "sp3"
NOT_UTF8 = "Failed to read SP3: I/O error: stream did not contain valid UTF-8"


def write(tmp_path, text, name="orbit.sp3"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return path


def position(sp3, sat, epoch):
    p = sp3.get_position(sat, sk.Epoch(*epoch))
    return None if p is None else (p.x, p.y, p.z)


def test_empty_file(tmp_path):
    d = sk.read_sp3(str(write(tmp_path, "")))
    assert (d.num_satellites, d.num_epochs, d.interval, d.satellites()) == (0, 0, 0.0, [])
    assert repr(d) == "Sp3Data(satellites=0, epochs=0, interval=0s)"


def test_standard_file(tmp_path):
    sats = [f"G{prn:02d}" for prn in range(1, 33)]
    records = [(grid_epoch(900 * k), [(s, 20000.0 + k, 1000.0, -300.5) for s in sats]) for k in range(96)]
    d = sk.read_sp3(str(write(tmp_path, sp3_text(records))))
    assert (d.num_satellites, d.num_epochs, d.interval) == (32, 96, 900.0)
    assert repr(d) == "Sp3Data(satellites=32, epochs=96, interval=900s)"
    assert d.satellites() == sats


@pytest.mark.parametrize(
    "field, value, shown",
    [("900.00000000", 900.0, "900"), ("0.50000000", 0.5, "0.5"), ("30.12500000", 30.125, "30.125"),
     ("abc", 900.0, "900"), ("", 900.0, "900"), ("1e3", 1000.0, "1000"), ("0.1", 0.1, "0.1")],
    ids=["900", "half", "fraction", "bad-default", "blank-default", "exponent", "shortest"],
)
def test_interval_field(tmp_path, field, value, shown):
    d = sk.read_sp3(str(write(tmp_path, header1() + "\n" + header2(field) + "\n")))
    assert d.interval == value
    assert repr(d) == f"Sp3Data(satellites=0, epochs=96, interval={shown}s)"


@pytest.mark.parametrize(
    "lines, num_epochs, interval",
    [
        ([header1(96)[:59], header2()], 0, 900.0),  # line 1 shorter than 60 bytes
        ([header1(96), header2()[:59]], 96, 0.0),  # line 2 shorter than 60 bytes
        ([header1(96, version="e"), header2()], 0, 900.0),  # unknown version letter
        ([header1(96, version="a")], 96, 0.0),
        ([header1(96, version="d")], 96, 0.0),
        (["#c" + header1(96)[2:32] + "    x96" + header1(96)[39:]], 0, 0.0),
        (["#cP2021  1  1  0  0  0.00000000 " + "    +96" + header1(96)[39:]], 96, 0.0),
        (["#  1992  6 15  8 37 29.00000000     148 ORBIT ITR91 FIT  SIO"], 0, 0.0),  # no version letter
    ],
    ids=["short-line1", "short-line2", "version-e", "version-a", "version-d", "bad-count", "plus-count", "pre-a"],
)
def test_header_lines(tmp_path, lines, num_epochs, interval):
    d = sk.read_sp3(str(write(tmp_path, "\n".join(lines) + "\n")))
    assert (d.num_epochs, d.interval) == (num_epochs, interval)


def test_quirks_file():
    d = sk.read_sp3(str(FILES / "quirks.sp3"))
    # G09 only before a valid epoch line; G01 and R03 only with bad clocks;
    # G12 written with a blank system letter; C30 missing from the header.
    assert d.satellites() == ["G12", "E04", "C30", "G02", "G05"]
    assert (d.num_satellites, d.num_epochs, d.interval) == (5, 3, 900.0)


def test_position_columns_and_defaults(tmp_path):
    # Nine records per satellite so that interpolation is possible: at a
    # tabulated epoch it returns the stored position itself.
    recs = []
    for k in range(9):
        recs.append(
            (grid_epoch(900 * k), [("G01", 1000.0 * k + 0.123456, -20000.654321, 5.5), ("G02", 26000.0, 1.0, 2.0)])
        )
    text = sp3_text(recs).replace(p_line("G02", 26000.0, 1.0, 2.0), "PG02           abc      1.000000      2.000000      1.000000", 1)
    d = sk.read_sp3(str(write(tmp_path, text)))
    assert position(d, "G01", grid_epoch(900 * 3)) == (3000.123456 * 1000.0, -20000.654321 * 1000.0, 5500.0)
    # The unreadable first coordinate of G02's first record is 0.0.
    assert position(d, "G02", grid_epoch(0)) == (0.0, 1000.0, 2000.0)


@pytest.mark.parametrize("ending", ["\n", "\r\n"], ids=["lf", "crlf"])
def test_line_endings_and_missing_final_newline(tmp_path, ending):
    recs = [(grid_epoch(900 * k), [("G07", 15000.0 + k, -1.0, 2.0)]) for k in range(9)]
    text = sp3_text(recs).rstrip("\n").replace("\n", ending)
    d = sk.read_sp3(str(write(tmp_path, text)))
    assert (d.num_epochs, d.interval, d.satellites()) == (9, 900.0, ["G07"])
    assert position(d, "G07", grid_epoch(900 * 8)) == (15008000.0, -1000.0, 2000.0)


def test_lines_across_read_buffer_boundaries(tmp_path):
    # Lines of every length straddle the 8192-byte read buffer; a comment
    # line far longer than the buffer sits in the middle.
    sats = [f"E{prn:02d}" for prn in range(1, 37)]
    recs = [(grid_epoch(300 * k), [(s, 100.0 * i + k / 7, -2.5 * k - 1.0, 3.25 * i) for i, s in enumerate(sats)]) for k in range(40)]
    text = sp3_text(recs, extra_header=["/* " + "x" * 30000, "/* caf\u00e9 \u2013 valid UTF-8"])
    d = sk.read_sp3(str(write(tmp_path, text)))
    assert d.satellites() == sats
    for k in range(40):
        for i, s in enumerate(sats):
            want = tuple(float(f"{v:.6f}") * 1000.0 for v in (100.0 * i + k / 7, -2.5 * k - 1.0, 3.25 * i))
            assert position(d, s, grid_epoch(300 * k)) == want


def test_satellite_order_is_first_appearance_and_repeatable(tmp_path):
    order = ["R05", "G02", "E11", "C01", "J03", "G01"]
    recs = [(grid_epoch(0), [(s, 1.0, 2.0, 3.0) for s in order[:3]]),
            (grid_epoch(900), [(s, 1.0, 2.0, 3.0) for s in reversed(order)])]
    path = str(write(tmp_path, sp3_text(recs)))
    expected = ["R05", "G02", "E11", "G01", "J03", "C01"]
    assert [sk.read_sp3(path).satellites() for _ in range(3)] == [expected] * 3


def test_bad_clock_everywhere_means_absent(tmp_path):
    recs = [(grid_epoch(900 * k), [("G04", 1.0, 2.0, 3.0)]) for k in range(12)]
    text = sp3_text(recs).replace("12.345678", "999999.999999")
    d = sk.read_sp3(str(write(tmp_path, text)))
    assert d.satellites() == [] and d.get_position("G04", sk.Epoch(2021, 1, 1)) is None


@pytest.mark.parametrize(
    "clock, kept",
    [("900000.000000", True), ("-900000.000000", True), ("900000.000001", False), ("-999999.999999", False),
     ("", False), ("  nan-ish", False)],
)
def test_clock_limit(tmp_path, clock, kept):
    line = p_line("G01", 1.0, 2.0, 3.0)[:46] + f"{clock:>14}"
    d = sk.read_sp3(str(write(tmp_path, epoch_line(2021, 1, 1) + "\n" + line + "\n")))
    assert d.satellites() == (["G01"] if kept else [])


@pytest.mark.parametrize(
    "bad",
    [b"\xff\xfe", b"caf\xe9", b"\xc3", b"\xed\xa0\x80"],
    ids=["bom-like", "latin1", "truncated", "surrogate"],
)
@pytest.mark.parametrize("where", ["first", "middle", "last-no-newline"])
def test_not_utf8_anywhere_fails(tmp_path, bad, where):
    good = sp3_text([(grid_epoch(900 * k), [("G01", 1.0, 2.0, 3.0)]) for k in range(300)]).encode()
    if where == "first":
        data = b"/* " + bad + b"\n" + good
    elif where == "middle":
        cut = good.index(b"\n", len(good) // 2) + 1
        data = good[:cut] + b"/* " + bad + b"\n" + good[cut:]
    else:
        data = good + b"/* " + bad
    path = write(tmp_path, data)
    with pytest.raises(OSError) as info:
        sk.read_sp3(str(path))
    assert str(info.value) == NOT_UTF8
    assert type(info.value) is OSError


def test_gzip_file_is_not_decompressed(tmp_path):
    text = sp3_text([(grid_epoch(900 * k), [("G01", 1.0, 2.0, 3.0)]) for k in range(20)])
    path = tmp_path / "orbit.sp3.gz"
    path.write_bytes(gzip.compress(text.encode()))
    with pytest.raises(OSError, match="^Failed to read SP3: I/O error: stream did not contain valid UTF-8$"):
        sk.read_sp3(str(path))


@pytest.mark.parametrize(
    "make, text",
    [
        (lambda p: p / "missing.sp3", "Failed to read SP3: I/O error: No such file or directory (os error 2)"),
        (lambda p: p, "Failed to read SP3: I/O error: Is a directory (os error 21)"),
    ],
    ids=["missing", "directory"],
)
def test_unreadable_paths(tmp_path, make, text):
    with pytest.raises(OSError) as info:
        sk.read_sp3(str(make(tmp_path)))
    assert str(info.value) == text


def test_path_argument_types(tmp_path):
    path = write(tmp_path, sp3_text([(grid_epoch(0), [("G01", 1.0, 2.0, 3.0)])]))
    assert sk.read_sp3(path).satellites() == ["G01"]  # os.PathLike
    assert sk.read_sp3(path=str(path)).satellites() == ["G01"]
    with pytest.raises(TypeError):
        sk.read_sp3(42)
    with pytest.raises(TypeError):
        sk.read_sp3()


def test_class_surface():
    assert sk.Sp3Data.__doc__ == "Python-exposed SP3 data"
    assert sk.read_sp3.__doc__.endswith("Read SP3 file")
    assert str(inspect.signature(sk.read_sp3)) == "(path)"
    assert sk.Sp3Data.get_position.__text_signature__ == "($self, satellite, epoch)"
    assert sk.Sp3Data.satellites.__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        sk.Sp3Data()


# ---- real product files ------------------------------------------------------

REAL_FILES = [
    # name, satellites, declared epochs, interval, first satellites
    ("sp3/igs21385.sp3", 32, 96, 900.0, ["G01", "G02", "G03"]),
    ("sp3/GRG0MGXFIN_20201770000_01D_15M_ORB.SP3.gz", 75, 96, 900.0, None),
    ("sp3/GRG0MGXFIN_20201760000_01D_15M_ORB.SP3.gz", 75, 96, 900.0, None),
    # 121 satellites, epoch lines with zero-padded month and day.
    ("sp3/Sta21114.sp3.gz", 121, 97, 900.0, None),
    # Zero positions (with unknown clocks) and 5-minute steps.
    ("sp3/COD0MGXFIN_20230500000_01D_05M_ORB.SP3.gz", 118, 289, 300.0, ["G01", "G02", "G03"]),
    # SP3-a with velocity lines and no system letter in identifiers.
    ("sp3/NGA0OPSRAP_20251850000_01D_15M_ORB.SP3.gz", 32, 96, 900.0, ["G01", "G02", "G03"]),
    # SP3-a, seconds written as ".0000000", no system letters.
    ("odd/emr08874.sp3", 25, 96, 900.0, ["G01", "G02", "G03"]),
    # Leading blank line, header count 2 for 96 epochs, G04 without clocks.
    ("odd/igs19362.sp3c", 31, 2, 900.0, ["G01", "G02", "G03", "G05"]),
    # Cut short: no EOF line, last epoch without records.
    ("odd/truncated.sp3", 31, 2, 900.0, ["G01", "G02", "G03", "G05"]),
    # Original layout without version letter; every clock unknown.
    ("odd/sio06492.sp3", 0, 0, 1350.0, []),
]


def first_appearance(path):
    """Satellites in order of their first record with a usable clock, read
    independently of the library (cols 2-4, clock cols 47-60)."""
    seen = []
    for line in pathlib.Path(path).read_text().splitlines():
        if line.startswith("P") and len(line) >= 60:
            try:
                clock = float(line[46:60])
            except ValueError:
                continue
            sat = line[1:4].replace(" ", "0")
            sat = ("G" + sat[1:]) if sat[0] == "0" else sat
            if abs(clock) <= 900000.0 and sat not in seen:
                seen.append(sat)
    return seen


@pytest.mark.realdata
@pytest.mark.parametrize("name, nsat, nepochs, interval, first", REAL_FILES, ids=[f[0].split("/")[1] for f in REAL_FILES])
def test_real_files(data, gunzipped, name, nsat, nepochs, interval, first):
    path = gunzipped(name) if name.endswith(".gz") else data(name)
    d = sk.read_sp3(str(path))
    assert (d.num_satellites, d.num_epochs, d.interval) == (nsat, nepochs, interval)
    assert repr(d) == f"Sp3Data(satellites={nsat}, epochs={nepochs}, interval={interval:g}s)"
    sats = d.satellites()
    assert len(sats) == len(set(sats)) == nsat
    if first is not None:
        assert sats[: len(first)] == first
    assert sats == first_appearance(path)


@pytest.mark.realdata
@pytest.mark.parametrize("name", [f[0] for f in REAL_FILES if f[0].endswith(".gz")], ids=lambda n: n.split("/")[1])
def test_compressed_real_files_raise(data, name):
    with pytest.raises(OSError) as info:
        sk.read_sp3(str(data(name)))
    assert str(info.value) == NOT_UTF8


@pytest.mark.realdata
@pytest.mark.parametrize("name", ["sp3/igs21385.sp3", "odd/emr08874.sp3", "sp3/NGA0OPSRAP_20251850000_01D_15M_ORB.SP3.gz",
                                  "sp3/Sta21114.sp3.gz"], ids=lambda n: n.split("/")[1])
def test_tabulated_positions_come_back_exactly(data, gunzipped, name):
    path = gunzipped(name) if name.endswith(".gz") else data(name)
    d = sk.read_sp3(str(path))
    epoch = None
    checked = 0
    for line in pathlib.Path(path).read_text().splitlines():
        if line.startswith("*"):
            f = line[3:31].split()
            epoch = sk.Epoch(int(f[0]), int(f[1]), int(f[2]), int(f[3]), int(f[4]), float(f[5]))
        elif line.startswith("P") and abs(float(line[46:60])) <= 900000.0:
            sat = line[1:4] if line[1] != " " else "G" + line[2:4]
            p = d.get_position(sat, epoch)
            assert (p.x, p.y, p.z) == tuple(float(line[a:a + 14]) * 1000.0 for a in (4, 18, 32)), (sat, line)
            checked += 1
    assert checked > 2000


@pytest.mark.realdata
def test_concurrent_reads_agree(data):
    path = str(data("sp3/igs21385.sp3"))
    results = [None] * 4

    def work(i):
        d = sk.read_sp3(path)
        e = sk.Epoch(2021, 1, 1, 12, 3, 7.5)
        results[i] = (repr(d), d.satellites(), [repr(d.get_position(s, e)) for s in d.satellites()])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == results[0] for r in results)
