"""Archive forms: compact RINEX (1.0 and 3.0), Unix compress (.Z) and gzip,
chosen by content and stacked, against the peer tools as oracles: the
`hatanaka` package (the format's reference decoder) and `ncompress`."""
import gzip
import hashlib
import os
import pathlib
import random
import re
import subprocess

import pytest
import skarvo_mp as sk

from conftest import DATA_DIR, cpp_program, data_path

hatanaka = pytest.importorskip("hatanaka")
ncompress = pytest.importorskip("ncompress")


def _without_preload(call):
    """Runs one of the peer's programs without the sanitizer run's preloaded
    runtime, which would follow it into its child process and abort on the
    peer's own faults."""
    def run(*args):
        saved = os.environ.pop("LD_PRELOAD", None)
        try:
            return call(*args)
        finally:
            if saved is not None:
                os.environ["LD_PRELOAD"] = saved
    return run


peer_rnx2crx = _without_preload(hatanaka.rnx2crx)
peer_crx2rnx = _without_preload(hatanaka.crx2rnx)

# Real compact files and the sha256 of their reference decoding.
REAL_COMPACT = {
    "crx/york0440.15d": "3d7ccccbf9cc0efda6bbbb40dd23b2852cde90abb7c8798e441354e81484c6b1",
    "crx/rob40020.13d.Z": "0632945d117b3ab27e6ecc8996f2738f1509ab3b115725ce1bc48d9aaeb13dfe",
    "crx/npaz3550.21d": "129120dd6760eac6270101506deddcb445858df1309833ca43cd82cb21d25e4c",
    "crx/P43300USA_R_20190012056_17M_15S_MO.crx": "afda388a27c838dabcf0b949d6980c912bd017a9ded5e2b51aa55728d32a821b",
    "crx/NYA100NOR_S_20241240000_01D_30S_MO.crx.gz": "bc1fadd2c59ca575762484ad837cd96ca354ed52089db98a668c32f6e01f1d42",
}
# Their reference texts, where stored.
REFERENCE_TEXT = {
    "crx/york0440.15d": "crx/york0440.15o",
    "crx/rob40020.13d.Z": "crx/rob40020.13o",
    "crx/npaz3550.21d": "crx/npaz3550.21o",
    "crx/P43300USA_R_20190012056_17M_15S_MO.crx": "crx/P43300USA_R_20190012056_17M_15S_MO.rnx",
}


def dump(path) -> str:
    """Everything the reader stores (every epoch with flag and clock, every
    value with LLI and SSI), or its error, as printed by the C++ dump program."""
    out = subprocess.run([str(cpp_program("rinex_dump")), str(path)], capture_output=True, text=True, check=False)
    assert out.returncode in (0, 2), out.stdout[-500:] + out.stderr
    return out.stdout


def text_of(path: pathlib.Path) -> bytes:
    raw = path.read_bytes()
    return gzip.decompress(raw) if path.suffix == ".gz" else raw


def real_rinex_files():
    """The plain and gzip observation files of the shared data (orbit files
    among the odd ones left out)."""
    if not DATA_DIR.exists():
        return []

    def head(p):
        with (gzip.open(p) if p.suffix == ".gz" else open(p, "rb")) as f:
            return f.read(400)

    return [str(p.relative_to(DATA_DIR)) for sub in ("rinex2", "rinex3", "rinex4", "odd", "crx")
            for p in sorted((DATA_DIR / sub).glob("*"))
            if p.is_file() and p.suffix not in (".crx", ".Z") and not p.name.endswith(("d", ".crx.gz"))
            and b"OBSERVATION DATA" in head(p).upper()]


@pytest.mark.realdata
@pytest.mark.parametrize("name", REAL_COMPACT, ids=lambda n: n.split("/")[1])
def test_real_compact_files_decode_to_their_reference(name, tmp_path):
    text = sk.decode_file(data_path(name))
    assert hashlib.sha256(text).hexdigest() == REAL_COMPACT[name]
    reference = tmp_path / "reference.rnx"
    if name in REFERENCE_TEXT:
        reference = data_path(REFERENCE_TEXT[name])
    else:
        reference.write_bytes(text)
    assert dump(data_path(name)) == dump(reference)


@pytest.fixture(scope="module")
def compact_copies(tmp_path_factory):
    """Every real observation file, compressed to compact RINEX by the peer."""
    folder = tmp_path_factory.mktemp("crx")

    def get(name):
        target = folder / (pathlib.Path(name).name + ".crx")
        if not target.exists():
            try:
                target.write_bytes(peer_rnx2crx(text_of(data_path(name))))
            except hatanaka.HatanakaException as exc:  # the peer refuses some odd files
                pytest.skip(f"the peer compressor refuses the file: {str(exc)[:80]}")
        return target

    return get


@pytest.mark.realdata
@pytest.mark.parametrize("name", real_rinex_files(), ids=lambda n: n.split("/")[1])
def test_every_real_file_round_trips_through_compact_rinex(name, compact_copies):
    crx = compact_copies(name)
    original = data_path(name)
    assert sk.decode_file(crx) == peer_crx2rnx(crx.read_bytes())
    assert dump(crx) == dump(original)


@pytest.mark.realdata
def test_every_packing_and_name_reads_alike(compact_copies, tmp_path):
    """Plain, gzip, compress, compact and their stacks, whatever the names say."""
    name = "rinex2/delf0010.21o"
    text = text_of(data_path(name))
    crx = compact_copies(name).read_bytes()
    forms = {
        "delf0010.21o": text, "delf0010.21o.gz": gzip.compress(text), "delf0010.21o.Z": ncompress.compress(text),
        "delf0010.21d": crx, "delf0010.21d.Z": ncompress.compress(crx), "delf0010.21d.gz": gzip.compress(crx),
        "delf.crx": crx, "delf.crx.gz": gzip.compress(crx), "delf.crx.Z": ncompress.compress(crx),
        "misnamed.rnx": ncompress.compress(crx), "misnamed.Z": gzip.compress(text),
    }
    expected = dump(data_path(name))
    for file_name, payload in forms.items():
        path = tmp_path / file_name
        path.write_bytes(payload)
        assert dump(path) == expected, file_name
        assert sk.read_rinex_obs_bytes(payload, file_name).num_epochs == sk.read_rinex_obs(path).num_epochs


@pytest.mark.parametrize("size, seed", [(0, 0), (1, 1), (5000, 2), (300000, 3), (2_000_000, 4)])
def test_compress_decoder_matches_ncompress(tmp_path, size, seed):
    rng = random.Random(seed)
    # Text-like data with long repeats (table growth to 16 bits and clears)
    # and random stretches.
    words = [bytes(rng.choices(b"0123456789 .-GRE\n", k=rng.randint(1, 40))) for _ in range(200)]
    data = b"".join(rng.choice(words) if rng.random() < 0.9 else rng.randbytes(20) for _ in range(size // 20))[:size]
    data = data.replace(b"\r", b" ")
    path = tmp_path / "x.Z"
    path.write_bytes(ncompress.compress(data))
    if data and not data.endswith(b"\n"):
        data += b"\n"
    try:
        data.decode()
    except UnicodeDecodeError:
        with pytest.raises(OSError, match="valid UTF-8"):
            sk.decode_file(path)
        return
    assert sk.decode_file(path) == data


def compact_v3(*body: str, version: str = "3.0") -> bytes:
    lines = [f"{version:<20}COMPACT RINEX FORMAT                    CRINEX VERS   / TYPE",
             f"{'RNX2CRX ver.4.0.7':<40}{'01-Jan-24 00:00':<20}CRINEX PROG / DATE",
             f"{'     3.04':<20}{'OBSERVATION DATA':<20}{'M':<20}RINEX VERSION / TYPE",
             f"{'G    2 C1C L1C':<60}SYS / # / OBS TYPES",
             f"{'':<60}END OF HEADER"]
    return ("\n".join(lines + list(body)) + "\n").encode()


GOOD_V3 = ["> 2024 01 01 00 00  0.0000000  0  1      G01", "", "3&9999999999999 3&-987654321012  15",
           "                   30", "", "-10999999999998 -2000", "                   60", "", "21999999999996 13"]


def test_fourteen_digit_differences_are_exact(tmp_path):
    path = tmp_path / "big.crx"
    path.write_bytes(compact_v3(*GOOD_V3))
    text = sk.decode_file(path)
    first, last = text.splitlines()[-5], text.splitlines()[-1]
    assert first == b"G019999999999.999 1-987654321.0125"
    assert last == b"G019999999999.999 1-987654324.9995"


@pytest.mark.parametrize("body, message", [
    (GOOD_V3[:7], "compact RINEX line 13: the file ends inside an epoch (truncated)"),
    (GOOD_V3[:5] + ["1x00 -2000"], "compact RINEX line 11: an unreadable difference '1x00'"),
    (GOOD_V3[:2] + ["12 3&5"], "compact RINEX line 8: a difference '12' without a value to add it to"),
    (GOOD_V3[:2] + ["9&1 3&5"], "compact RINEX line 8: an arc start '9&1' whose order is not 0 to 5"),
    (GOOD_V3[:2] + ["3&" + "9" * 19], "compact RINEX line 8: an unreadable value '3&" + "9" * 19 + "'"),
    (GOOD_V3[:2] + ["3&12345678901234"], "compact RINEX line 8: a value too large for its RINEX field"),
    (["  2024 01 01"], "compact RINEX line 6: an epoch line that differs from no previous one"),
], ids=["cut", "corrupt-difference", "no-arc", "order", "too-long", "too-wide", "no-start"])
def test_bad_compact_input_names_the_line(tmp_path, body, message):
    path = tmp_path / "bad.crx"
    path.write_bytes(compact_v3(*body))
    with pytest.raises(OSError) as exc:
        sk.read_rinex_obs(path)
    assert str(exc.value).startswith("Failed to read RINEX: I/O error: " + message)


@pytest.mark.parametrize("payload, message", [
    (compact_v3(*GOOD_V3, version="2.0"), "compact RINEX line 1: compact RINEX version '2.0' is not read"),
    (gzip.compress(ncompress.compress(compact_v3(*GOOD_V3))),
     "line 1: gzip data holding compress (.Z) data; nested compression is not read"),
    (b"\x1f\x9d\x90\x61\x58\x02", "corrupt compress (.Z) data: a code refers past the table"),
    (b"\x1f\x9d\x90" + bytes([0xff, 0xff, 0x01]), "corrupt compress (.Z) data: the first code is not a literal"),
    (b"\x1f\x9d\x91", "compress (.Z) data with 17-bit codes (only 9 to 16 are defined)"),
    (ncompress.compress(b"x" * 5000)[:40], "corrupt compress (.Z) data: the stream ends inside a code"),
], ids=["version", "nested", "corrupt-lzw", "first-code", "width", "cut-lzw"])
def test_bad_packing_is_an_io_error(tmp_path, payload, message):
    path = tmp_path / "bad.crx.Z"
    path.write_bytes(payload)
    with pytest.raises(OSError) as exc:
        sk.read_rinex_obs(path)
    assert message in str(exc.value)
    with pytest.raises(OSError):
        sk.read_rinex_obs_bytes(payload, "bad.crx.Z")


@pytest.mark.realdata
def test_cut_and_flipped_compact_files_never_crash(tmp_path):
    raw = data_path("crx/npaz3550.21d").read_bytes()
    rng = random.Random(5)
    path = tmp_path / "m.crx"
    for k in range(2000, len(raw), 1511):
        mutated = bytearray(raw[:k])
        for _ in range(rng.randrange(3)):
            mutated[rng.randrange(len(mutated))] = rng.choice(b"0123456789&- \n")
        for form in (bytes(mutated), gzip.compress(bytes(mutated)), ncompress.compress(bytes(mutated))[:-1]):
            path.write_bytes(form)
            try:
                sk.read_rinex_obs(path)
            except OSError as exc:
                assert str(exc).startswith("Failed to read RINEX: ")


@pytest.mark.realdata
def test_sp3_reads_from_compress(tmp_path):
    # Every gzip product file is compared with its text by test_sp3.py.
    text = data_path("sp3/igs21385.sp3").read_bytes()
    (tmp_path / "o.sp3.Z").write_bytes(ncompress.compress(text))
    got, expected = sk.read_sp3(tmp_path / "o.sp3.Z"), sk.read_sp3(data_path("sp3/igs21385.sp3"))
    assert repr(got) == repr(expected) and got.satellites() == expected.satellites()
    a, b = (d.get_position("G05", sk.Epoch(2021, 1, 1, 6, 7, 30.0)) for d in (got, expected))
    assert (a.x, a.y, a.z) == (b.x, b.y, b.z)


def test_decode_file_errors_and_empty_input(tmp_path):
    with pytest.raises(OSError, match=r"^Failed to decode: I/O error: No such file or directory"):
        sk.decode_file(tmp_path / "missing.crx")
    (tmp_path / "empty").write_bytes(b"")
    assert sk.decode_file(tmp_path / "empty") == b""


def _v2_variant(lines, kind):
    epochs = [i for i, l in enumerate(lines) if l.startswith(" 21  1  1 ")]
    if kind == "clock":  # receiver clock offset on every epoch line
        return [l.ljust(68)[:68] + f"{(-1) ** i * (1.23456e-4 + i * 1e-9):12.9f}" if i in epochs and len(l) <= 68
                else l for i, l in enumerate(lines)]
    event = ["                            4  1", "SOME COMMENT".ljust(60) + "COMMENT"]
    return lines[:epochs[5]] + event + lines[epochs[5]:]


def _v3_variant(lines, kind):
    epochs = [i for i, l in enumerate(lines) if l.startswith("> ")]
    if kind == "clock":
        return [l[:35].ljust(41) + f"{i * 1.5e-7 - 0.5:15.12f}" if i in epochs else l for i, l in enumerate(lines)]
    if kind == "slip":  # a repeated epoch as cycle slip record (flag 6)
        block = lines[epochs[3]:epochs[4]]
        return lines[:epochs[4]] + [block[0][:31] + "6" + block[0][32:]] + block[1:] + lines[epochs[4]:]
    event = [">                              3  1", "NEW SITE".ljust(60) + "COMMENT"]
    return lines[:epochs[5]] + event + lines[epochs[5]:]


@pytest.mark.realdata
@pytest.mark.parametrize("name, kind", [("rinex2/delf0010.21o", "clock"), ("rinex2/delf0010.21o", "event"),
                                        ("rinex3/pdel0010.21o", "clock"), ("rinex3/pdel0010.21o", "event"),
                                        ("rinex3/pdel0010.21o", "slip")])
def test_clock_event_and_slip_records_match_the_peer(tmp_path, name, kind):
    lines = data_path(name).read_text().split("\n")
    text = "\n".join((_v2_variant if "rinex2" in name else _v3_variant)(lines, kind)).encode()
    path = tmp_path / "v.crx"
    path.write_bytes(peer_rnx2crx(text))
    assert sk.decode_file(path) == peer_crx2rnx(path.read_bytes())
    plain = tmp_path / "v.rnx"
    plain.write_bytes(text)
    assert dump(path) == dump(plain)


@pytest.mark.realdata
@pytest.mark.parametrize("pack", [gzip.compress, ncompress.compress], ids=["gzip", "compress"])
def test_cut_packed_compact_file_names_the_compact_line(tmp_path, pack):
    packed = pack(data_path("crx/npaz3550.21d").read_bytes())
    path = tmp_path / "cut.crx.x"
    path.write_bytes(packed[:len(packed) // 2])
    with pytest.raises(OSError) as exc:
        sk.read_rinex_obs(path)
    assert re.match(r"Failed to read RINEX: I/O error: compact RINEX line \d+: ", str(exc.value)), str(exc.value)
