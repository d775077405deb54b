"""Input sources of the readers: paths, the decoding decided by the content
(never the file name), bytes through a private temporary file, and the error
text of every failure to get at the text."""
import gzip
import pathlib

import pytest
import skarvo_mp as sk

from rinex_helpers import FILES, read_error, stored_observations, summary

QUIRKS = FILES / "v3_quirks.rnx"
TEXT = QUIRKS.read_bytes()
GZ = gzip.compress(TEXT, mtime=0)


def gzip_members(data: bytes, parts: int) -> bytes:
    step = len(data) // parts + 1
    return b"".join(gzip.compress(data[i:i + step], mtime=0) for i in range(0, len(data), step))


@pytest.fixture(scope="module")
def expected():
    return summary(sk.read_rinex_obs(str(QUIRKS))), stored_observations(QUIRKS)


@pytest.fixture
def tmpdir_env(tmp_path, monkeypatch):
    d = tmp_path / "tmp"
    d.mkdir()
    monkeypatch.setenv("TMPDIR", str(d))
    return d


@pytest.mark.parametrize("name, payload", [
    ("obs.rnx.gz", GZ), ("x.gz", GZ), ("multi.rnx.gz", gzip_members(TEXT, 2)), ("multi7.gz", gzip_members(TEXT, 7)),
    ("padded.rnx.gz", GZ + b"\0" * 512),
    # The content decides, whatever the name says.
    ("obs.RNX.GZ", GZ), ("obs.rnx", GZ), ("plain.rnx.gz", TEXT), ("obs.rnx.Z", TEXT), (".gz", TEXT),
    ("dir.gz/obs.rnx", TEXT), ("noext", TEXT),
])
def test_path_and_bytes_give_the_same_data_and_leave_nothing(tmp_path, tmpdir_env, expected, name, payload):
    path = tmp_path / name
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(payload)
    assert summary(sk.read_rinex_obs(str(path))) == expected[0]
    assert stored_observations(path) == expected[1]
    assert summary(sk.read_rinex_obs_bytes(payload, pathlib.PurePath(name).name)) == expected[0]
    assert list(tmpdir_env.iterdir()) == []


@pytest.mark.parametrize("payload, message", [
    (GZ[:len(GZ) // 2], "unexpected end of gzip stream (truncated file)"),
    (GZ[:-4], "unexpected end of gzip stream (truncated file)"),
    (GZ[:-8] + bytes(8), "corrupt gzip stream: incorrect data check"),
    (GZ[:len(GZ) // 2] + bytes([GZ[len(GZ) // 2] ^ 0xFF]) + GZ[len(GZ) // 2 + 1:],
     "corrupt gzip stream: invalid distance too far back"),
    (GZ + b"junk", "corrupt gzip stream: incorrect header check"), (GZ[:10], "unexpected end of gzip stream (truncated file)"),
], ids=["half", "no-length", "bad-crc", "bad-deflate", "trailing-junk", "header-only"])
def test_broken_gzip(tmp_path, tmpdir_env, payload, message):
    assert read_error(tmp_path, payload, "broken.rnx.gz") == "Failed to parse RINEX: I/O error: " + message
    assert list(tmpdir_env.iterdir()) == []


@pytest.mark.parametrize("read, name, message", [
    (sk.read_rinex_obs, "missing.rnx", "Failed to read RINEX: File not found: {path}"),
    (sk.read_rinex_obs, ".", "Failed to read RINEX: I/O error: Is a directory (os error 21)"),
    (sk.read_sp3, "missing.sp3", "Failed to read SP3: I/O error: No such file or directory (os error 2)"),
    (sk.read_sp3, ".", "Failed to read SP3: I/O error: Is a directory (os error 21)"),
])
def test_unreadable_paths(tmp_path, read, name, message):
    path = tmp_path / name
    with pytest.raises(OSError) as exc:
        read(str(path))
    assert str(exc.value) == message.format(path=path)


@pytest.mark.parametrize("read", [
    lambda p: sk.read_rinex_obs(str(p)), lambda p: sk.read_rinex_obs(p), lambda p: sk.read_rinex_obs("/dev/null"),
    lambda p: sk.read_rinex_obs_bytes(b"", p.name),
], ids=["path", "path-like", "dev-null", "bytes"])
def test_empty_input(tmp_path, read):
    path = tmp_path / "empty.rnx"
    path.write_bytes(b"")
    d = read(path)
    assert (d.version, d.marker_name, d.receiver_type, d.antenna_type, d.num_epochs, d.num_satellites) == (
        "3.05", "", "", "", 0, 0)
    assert (d.satellites(), d.epochs(), d.first_epoch(), d.last_epoch(), d.interval) == ([], [], None, None, None)
    assert (d.satellites_by_system(), d.glonass_fcn(), d.observation_types("G")) == ({}, {}, [])


# ---- the temporary file of bytes input -------------------------------------------


@pytest.mark.parametrize("name, reason", [
    ("../x.rnx", "the file name '../x.rnx' contains a path separator"),
    ("/home/u/data.rnx", "the file name '/home/u/data.rnx' contains a path separator"),
    ("sub/x.rnx", "the file name 'sub/x.rnx' contains a path separator"), ("", "the file name is empty"),
    (".", "'.' is not a file name"), ("..", "'..' is not a file name"),
    ("a\0b.rnx", "the file name contains a NUL character"),
])
def test_bytes_refuses_names_that_are_not_plain(tmpdir_env, name, reason):
    victim = tmpdir_env.parent / "x.rnx"
    victim.write_bytes(b"keep me")
    with pytest.raises(OSError) as exc:
        sk.read_rinex_obs_bytes(TEXT, name)
    assert str(exc.value) == "Failed to create temp file: " + reason
    assert victim.read_bytes() == b"keep me"
    assert list(tmpdir_env.iterdir()) == []


def test_bytes_missing_temp_directory(monkeypatch, tmp_path):
    monkeypatch.setenv("TMPDIR", str(tmp_path / "missing"))
    with pytest.raises(OSError) as exc:
        sk.read_rinex_obs_bytes(b"", "a.rnx")
    assert str(exc.value) == "Failed to create temp file: No such file or directory (os error 2)"


def test_bytes_existing_file_of_the_same_name_is_untouched(tmpdir_env, expected):
    other = tmpdir_env / "a.rnx"
    other.write_bytes(b"someone else's file")
    assert summary(sk.read_rinex_obs_bytes(TEXT, "a.rnx")) == expected[0]
    assert other.read_bytes() == b"someone else's file"
    assert list(tmpdir_env.iterdir()) == [other]
