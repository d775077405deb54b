"""Input sources: paths, gzip decided by the extension, bytes through a
temporary file, and the failures of each."""
import gzip
import threading

import pytest
import skarvo_mp as sk

from rinex_helpers import FILES, stored_observations

QUIRKS = FILES / "v3_quirks.rnx"


def summary(d):
    return (d.version, d.marker_name, d.num_epochs, [s.id for s in d.satellites()],
            [(e.year, e.month, e.day, e.hour, e.minute, e.second) for e in d.epochs()],
            {c: d.observation_types(c) for c in "GRECJSIM"})


@pytest.fixture(scope="module")
def expected():
    return summary(sk.read_rinex_obs(str(QUIRKS)))


def gzip_members(data: bytes, parts: int) -> bytes:
    """`data` compressed as `parts` concatenated gzip members."""
    step = len(data) // parts + 1
    return b"".join(gzip.compress(data[i:i + step], mtime=0) for i in range(0, len(data), step))


@pytest.mark.parametrize("name", ["obs.rnx.gz", "a.obs.gz", "x.gz"])
def test_gzip_path_same_as_plain(tmp_path, expected, name):
    path = tmp_path / name
    path.write_bytes(gzip.compress(QUIRKS.read_bytes()))
    assert summary(sk.read_rinex_obs(str(path))) == expected


@pytest.mark.parametrize("parts", [2, 7])
def test_multi_member_gzip_is_read_to_its_end(tmp_path, expected, parts):
    path = tmp_path / "multi.rnx.gz"
    path.write_bytes(gzip_members(QUIRKS.read_bytes(), parts))
    assert summary(sk.read_rinex_obs(str(path))) == expected
    assert stored_observations(path) == stored_observations(QUIRKS)


def test_zero_padding_after_a_gzip_member_is_skipped(tmp_path, expected):
    path = tmp_path / "padded.rnx.gz"
    path.write_bytes(gzip.compress(QUIRKS.read_bytes()) + b"\0" * 512)
    assert summary(sk.read_rinex_obs(str(path))) == expected


@pytest.mark.parametrize("name", ["obs.RNX.GZ", "obs.rnx.Z", ".gz", "dir.gz/obs.rnx", "obs.gz.rnx"])
def test_other_extensions_are_plain_text(tmp_path, expected, name):
    path = tmp_path / name
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(QUIRKS.read_bytes())
    assert summary(sk.read_rinex_obs(str(path))) == expected


def corrupt(data: bytes) -> bytes:
    mid = len(data) // 2
    return data[:mid] + bytes([data[mid] ^ 0xFF]) + data[mid + 1:]


GZ = gzip.compress(QUIRKS.read_bytes(), mtime=0)


@pytest.mark.parametrize("payload, message", [
    (GZ[:len(GZ) // 2], "unexpected end of gzip stream (truncated file)"),
    (GZ[:-4], "unexpected end of gzip stream (truncated file)"),
    (GZ[:-8] + bytes(8), "corrupt gzip stream: incorrect data check"),
    (GZ + b"junk", "corrupt gzip stream: incorrect header check"),
    (QUIRKS.read_bytes(), "corrupt gzip stream: incorrect header check"),
    (b"", "unexpected end of gzip stream (truncated file)"),
], ids=["half", "no-length", "bad-crc", "trailing-junk", "plain-text", "empty"])
def test_broken_gzip(tmp_path, payload, message):
    path = tmp_path / "broken.rnx.gz"
    path.write_bytes(payload)
    with pytest.raises(OSError) as exc:
        sk.read_rinex_obs(str(path))
    assert str(exc.value) == "Failed to read RINEX: I/O error: " + message
    with pytest.raises(OSError) as exc:
        sk.read_rinex_obs_bytes(payload, "broken.rnx.gz")
    assert str(exc.value) == "Failed to parse RINEX: I/O error: " + message


def test_corrupt_deflate_data(tmp_path):
    path = tmp_path / "c.rnx.gz"
    path.write_bytes(corrupt(GZ))
    with pytest.raises(OSError) as exc:
        sk.read_rinex_obs(str(path))
    assert str(exc.value).startswith("Failed to read RINEX: I/O error: corrupt gzip stream")


def test_missing_file():
    with pytest.raises(OSError) as exc:
        sk.read_rinex_obs("/nonexistent/dir/obs.rnx")
    assert str(exc.value) == "Failed to read RINEX: File not found: /nonexistent/dir/obs.rnx"


def test_directory(tmp_path):
    with pytest.raises(OSError) as exc:
        sk.read_rinex_obs(str(tmp_path))
    assert str(exc.value) == "Failed to read RINEX: I/O error: Is a directory (os error 21)"


@pytest.mark.parametrize("arg", [3, None, 1.5])
def test_path_must_be_a_path(arg):
    with pytest.raises(TypeError):
        sk.read_rinex_obs(arg)


def test_path_like_is_accepted(tmp_path):
    path = tmp_path / "obs.rnx"
    path.write_bytes(b"")
    assert sk.read_rinex_obs(path).num_epochs == 0


@pytest.mark.parametrize("read", [
    lambda p: sk.read_rinex_obs(str(p)),
    lambda p: sk.read_rinex_obs_bytes(p.read_bytes(), p.name),
], ids=["path", "bytes"])
def test_empty_input(tmp_path, read):
    path = tmp_path / "empty.rnx"
    path.write_bytes(b"")
    d = read(path)
    assert (d.version, d.marker_name, d.receiver_type, d.antenna_type, d.num_epochs, d.num_satellites) == (
        "3.05", "", "", "", 0, 0)
    assert (d.satellites(), d.epochs(), d.first_epoch(), d.last_epoch(), d.interval) == ([], [], None, None, None)
    assert (d.satellites_by_system(), d.glonass_fcn(), d.observation_types("G")) == ({}, {}, [])


# ---- bytes input -----------------------------------------------------------------


@pytest.fixture
def tmpdir_env(tmp_path, monkeypatch):
    d = tmp_path / "tmp"
    d.mkdir()
    monkeypatch.setenv("TMPDIR", str(d))
    return d


@pytest.mark.parametrize("compress, name", [(False, "a.obs"), (True, "a.obs.gz"), (False, "noext")])
def test_bytes_same_as_path_and_nothing_left_behind(tmpdir_env, expected, compress, name):
    data = QUIRKS.read_bytes()
    if compress:
        data = gzip.compress(data)
    assert summary(sk.read_rinex_obs_bytes(data, name)) == expected
    assert list(tmpdir_env.iterdir()) == []


def test_bytes_parse_failure_leaves_nothing_behind(tmpdir_env):
    with pytest.raises(OSError) as exc:
        sk.read_rinex_obs_bytes(b"not gzip at all", "a.obs.gz")
    assert str(exc.value) == "Failed to parse RINEX: I/O error: corrupt gzip stream: incorrect header check"
    assert list(tmpdir_env.iterdir()) == []


def test_bytes_hidden_gz_name_is_plain_text(tmpdir_env, expected):
    assert summary(sk.read_rinex_obs_bytes(QUIRKS.read_bytes(), ".gz")) == expected


@pytest.mark.parametrize("name, reason", [
    ("../x.rnx", "the file name '../x.rnx' contains a path separator"),
    ("/home/u/data.rnx", "the file name '/home/u/data.rnx' contains a path separator"),
    ("sub/x.rnx", "the file name 'sub/x.rnx' contains a path separator"),
    ("", "the file name is empty"),
    (".", "'.' is not a file name"),
    ("..", "'..' is not a file name"),
    ("a\0b.rnx", "the file name contains a NUL character"),
])
def test_bytes_refuses_names_that_are_not_plain(tmpdir_env, name, reason):
    victim = tmpdir_env.parent / "x.rnx"
    victim.write_bytes(b"keep me")
    with pytest.raises(OSError) as exc:
        sk.read_rinex_obs_bytes(QUIRKS.read_bytes(), name)
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
    assert summary(sk.read_rinex_obs_bytes(QUIRKS.read_bytes(), "a.rnx")) == expected
    assert other.read_bytes() == b"someone else's file"
    assert list(tmpdir_env.iterdir()) == [other]


@pytest.mark.parametrize("data", [bytearray(b""), memoryview(b""), "text"])
def test_bytes_argument_must_be_bytes(data):
    with pytest.raises(TypeError):
        sk.read_rinex_obs_bytes(data, "a.rnx")


# ---- threads -------------------------------------------------------------------------


def test_two_threads_read_two_files_at_once(tmp_path):
    # Each thread alternates between a path (one of them gzip) and bytes
    # under the same file name as the other thread's bytes.
    v2 = FILES / "v2_quirks.rnx"
    gz = tmp_path / "q.rnx.gz"
    gz.write_bytes(gzip.compress(QUIRKS.read_bytes()))
    jobs = {"v3": (str(gz), QUIRKS.read_bytes()), "v2": (str(v2), v2.read_bytes())}
    want = {"v3": summary(sk.read_rinex_obs(str(QUIRKS))), "v2": summary(sk.read_rinex_obs(str(v2)))}
    got = {key: [] for key in jobs}
    errors = []

    def work(key):
        path, data = jobs[key]
        try:
            for i in range(40):
                d = sk.read_rinex_obs(path) if i % 2 else sk.read_rinex_obs_bytes(data, "same.rnx")
                got[key].append(summary(d))
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(key,)) for key in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert got == {key: [want[key]] * 40 for key in jobs}
