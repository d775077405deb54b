"""Bad input, resources and concurrency: every call on any bytes gives a
result or a clear error, never a crash, a hang, a leak or a wrong answer."""
import concurrent.futures
import gzip
import os
import pathlib
import random
import subprocess
import sys
import tempfile
import textwrap
import threading

import pytest

import skarvo_mp as sk
from rinex_helpers import FILES, summary, v3_header

SMALL_V3 = "rinex3/pdel0010.21o"
SMALL_V2 = "rinex2/delf0010.21o"
SMALL_SP3 = "sp3/igs21385.sp3"
REFERENCE = "rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz"


# ---- damaged files ----------------------------------------------------------

@pytest.mark.parametrize("relative", [SMALL_V3, SMALL_V2, "odd/14601736.18o", "rinex4/ACRG00GHA_R_20240010000_01H_30S_MO.rnx"])
def test_truncated_at_every_line(data, tmp_path, relative):
    src = data(relative)
    lines = src.read_bytes().splitlines(keepends=True)
    full = sk.read_rinex_obs(str(src))
    path = tmp_path / "cut.rnx"
    # Every line boundary near the header, then a stride through the data,
    # each also cut in the middle of the line.
    stops = sorted(set(list(range(min(len(lines), 60))) + list(range(60, len(lines), max(1, len(lines) // 80)))))
    for k in stops:
        for cut in (b"", lines[k][: len(lines[k]) // 2] if k < len(lines) else b""):
            path.write_bytes(b"".join(lines[:k]) + cut)
            try:
                obs = sk.read_rinex_obs(str(path))
            except OSError as exc:
                assert str(exc).startswith("Failed to read RINEX: "), str(exc)
                continue
            assert obs.num_epochs <= full.num_epochs
            results = sk.MultipathAnalyzer(obs, min_arc_seconds=0).analyze()
            assert results.total_estimates() == len(results.estimates)


def test_sp3_truncated_and_flipped(data, tmp_path):
    raw = data(SMALL_SP3).read_bytes()[:30000]
    rng = random.Random(7)
    path = tmp_path / "orbit.sp3"
    for k in range(0, len(raw), 997):
        mutated = bytearray(raw[:k])
        if mutated and rng.random() < 0.5:
            mutated[rng.randrange(len(mutated))] ^= 1 << rng.randrange(8)
        path.write_bytes(bytes(mutated))
        try:
            sp3 = sk.read_sp3(str(path))
        except OSError as exc:
            assert str(exc) == "Failed to read SP3: I/O error: stream did not contain valid UTF-8"
            continue
        for sat in sp3.satellites():
            sk.compute_elevation(sp3, sk.Ecef(4.5e6, -2.2e6, 3.9e6), sat, sk.Epoch(2021, 1, 1, 1))


V3_HEADER = v3_header()


@pytest.mark.parametrize("field", [" " * 13 + "1"] + [f"{v:>14}  " for v in ("1e999", "-inf", "nan", "9" * 14,
                                                                           "0." + "0" * 12)])
def test_extreme_numbers_in_values(tmp_path, field):
    line = "G01" + field * 3
    path = tmp_path / "numbers.rnx"
    path.write_text(V3_HEADER + "".join(f"> 2024 03 01 00 00 {s:10.7f}  0  1\n{line}\n" for s in (0, 30)))
    obs = sk.read_rinex_obs(str(path))
    assert obs.num_epochs == 2
    # SNR series keep positive values only; no estimate is NaN.
    assert all(v > 0 for s in obs.get_snr_series("G01") for v in s.values)
    assert all(e.mp_value == e.mp_value for e in sk.MultipathAnalyzer(obs, min_arc_seconds=0).analyze().estimates)


def test_very_long_lines(tmp_path):
    comment = "x" * 100_000 + "COMMENT\n"
    sat_line = "G01" + ("  20000000.000  " * 6250)  # 100,003 characters
    path = tmp_path / "long.rnx"
    path.write_text(V3_HEADER.replace("G    3", comment + "G    3") + "> 2024 03 01 00 00  0.0000000  0  1\n"
                    + sat_line + "\n")
    obs = sk.read_rinex_obs(str(path))
    assert obs.num_epochs == 1 and [s.id for s in obs.satellites()] == ["G01"]
    assert obs.observation_types("G") == ["C1C", "L1C", "S1C"]


def run_isolated(code: str, timeout: float = 300.0, env=None) -> str:
    """Runs `code` in a fresh interpreter that imports the same module."""
    location = str(pathlib.Path(sk.__file__).parent)
    prelude = f"import sys; sys.path.insert(0, {location!r}); import skarvo_mp as sk\n"
    out = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True,
                         timeout=timeout, env=env)
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


def test_gzip_bomb_is_streamed_with_bounded_memory(data, tmp_path):
    # 512 MiB of blank lines after a real header inflate from about 0.5 MB.
    header = data(SMALL_V3).read_bytes().split(b"END OF HEADER")[0] + b"END OF HEADER\n"
    path = tmp_path / "bomb.rnx.gz"
    with gzip.open(path, "wb", compresslevel=9) as f:
        f.write(header)
        chunk = b" " * 79 + b"\n"
        block = chunk * (1 << 16)
        for _ in range(512 * (1 << 20) // len(block)):
            f.write(block)
    assert path.stat().st_size < 4 << 20
    out = run_isolated(f"""
        import resource
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        obs = sk.read_rinex_obs({str(path)!r})
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(obs.num_epochs, (after - before) // 1024)
    """)
    epochs, grown_mib = map(int, out.split())
    assert epochs == 0
    assert grown_mib < 64


def test_gzip_stream_without_line_feeds_is_refused(tmp_path):
    path = tmp_path / "noline.rnx.gz"
    with gzip.open(path, "wb") as f:
        f.write(V3_HEADER.encode())
        for _ in range(64):
            f.write(b"x" * (1 << 20))
    with pytest.raises(OSError) as info:
        sk.read_rinex_obs(str(path))
    assert str(info.value) == "Failed to read RINEX: I/O error: line 4 is longer than 4194304 bytes"


def test_file_without_read_permission():
    with tempfile.TemporaryDirectory() as where:  # outside pytest's private folders
        os.chmod(where, 0o755)  # reachable by the unprivileged user below
        path = pathlib.Path(where) / "locked.rnx"
        path.write_text(V3_HEADER)
        path.chmod(0)
        out = run_isolated(f"""
        import os
        if os.getuid() == 0:
            os.setgid(65534); os.setuid(65534)   # root reads anything: drop to nobody
        for call in (lambda: sk.read_rinex_obs({str(path)!r}), lambda: sk.read_sp3({str(path)!r})):
            try:
                call()
            except OSError as exc:
                print(exc)
        """).splitlines()
    assert out == ["Failed to read RINEX: I/O error: Permission denied (os error 13)",
                   "Failed to read SP3: I/O error: Permission denied (os error 13)"]


# ---- resources ---------------------------------------------------------------

def test_no_descriptor_or_temporary_file_left(data, tmp_path, monkeypatch):
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    monkeypatch.setenv("TMPDIR", str(tmp))
    plain, corrupt, bad_utf8 = data(SMALL_V3), tmp_path / "corrupt.rnx.gz", tmp_path / "bad.rnx"
    corrupt.write_bytes(data(REFERENCE).read_bytes()[:5000])
    bad_utf8.write_bytes(V3_HEADER.encode() + b"\xff\xfe\n")
    paths = [plain, corrupt, bad_utf8, tmp_path / "missing.rnx", tmp_path]
    calls = [lambda p=p: sk.read_rinex_obs(str(p)) for p in paths]
    calls += [lambda p=p: sk.read_sp3(str(p)) for p in (data(SMALL_SP3), tmp_path / "missing.sp3", corrupt)]
    calls += [lambda: sk.read_rinex_obs_bytes(plain.read_bytes(), "x.rnx"),
              lambda: sk.read_rinex_obs_bytes(corrupt.read_bytes(), "x.rnx.gz"),
              lambda: sk.read_rinex_obs_bytes(b"", "../escape.rnx")]
    calls[0]()  # first use may open lazily created descriptors of the runtime
    before = sorted(os.listdir("/proc/self/fd"))
    for _ in range(3):
        for call in calls:
            try:
                call()
            except OSError:
                pass
    assert sorted(os.listdir("/proc/self/fd")) == before
    assert list(tmp.iterdir()) == []


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_reading_a_thousand_times_does_not_grow_memory(data):
    path = str(data(SMALL_V3))
    for _ in range(100):
        sk.read_rinex_obs(path)
    start = rss_kib()
    for _ in range(1000):
        obs = sk.read_rinex_obs(path)
        sk.MultipathAnalyzer(obs).analyze()
    assert rss_kib() - start < 8 * 1024


# ---- concurrency -------------------------------------------------------------

def test_parallel_reads_analyses_and_orbits_match_sequential(data):
    paths = [str(data(SMALL_V3)), str(data(SMALL_V2)), str(data("odd/flrs0010.12o")), str(data(REFERENCE))]
    shared = sk.read_sp3(str(data(SMALL_SP3)))
    epochs = [sk.Epoch(2021, 1, 1, h, m, 12.5) for h in range(24) for m in range(0, 60, 20)]

    def job(path, own_orbit=False):
        sp3 = sk.read_sp3(str(data(SMALL_SP3))) if own_orbit else shared
        obs = sk.read_rinex_obs(path)
        results = sk.MultipathAnalyzer(obs).analyze()
        counts = results.compute_elevations(sp3, obs.approx_position)
        return (summary(obs), [(s.signal, s.count, s.rms, s.weighted_rms, s.cycle_slips) for s in results.statistics],
                [(c.satellite, c.epoch, c.method, c.signal) for c in results.cycle_slips], counts,
                [e.elevation if e.elevation == e.elevation else "unknown" for e in results.estimates[::97]],
                [(p.x, p.y, p.z) for p in (sp3.get_position(s, e) for s in sp3.satellites() for e in epochs)])

    sequential = [job(p) for p in paths]
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        parallel = list(pool.map(job, paths * 2, [False] * 4 + [True] * 4))
    assert parallel == sequential * 2


def test_bytes_reads_with_the_same_name_get_their_own_data(data, tmp_path, monkeypatch):
    # Each thread alternates between its own file (one of them gzip) and its
    # text as bytes under the file name that every thread uses.
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    monkeypatch.setenv("TMPDIR", str(tmp))
    gz = tmp_path / "q.rnx.gz"
    gz.write_bytes(gzip.compress((FILES / "v3_quirks.rnx").read_bytes()))
    files = [(gz, FILES / "v3_quirks.rnx"), (FILES / "v2_quirks.rnx",) * 2]
    files += [(data(p),) * 2 for p in (SMALL_V3, SMALL_V2, "odd/flrs0010.12o", "odd/VLNS0010.22O")]
    expected = [summary(sk.read_rinex_obs(str(path))) for path, _ in files]
    barrier = threading.Barrier(len(files))

    def job(i):
        path, text = files[i][0], files[i][1].read_bytes()
        barrier.wait()
        return [summary(sk.read_rinex_obs(str(path)) if k % 2 else sk.read_rinex_obs_bytes(text, "same.obs"))
                for k in range(10)]

    with concurrent.futures.ThreadPoolExecutor(max_workers=len(files)) as pool:
        results = list(pool.map(job, range(len(files))))
    assert results == [[e] * 10 for e in expected]
    assert list(tmp.iterdir()) == []


def test_gzip_trailer_claiming_gigabytes_reserves_nothing_large(tmp_path):
    # A damaged trailer must not size the reader's storage: with the address
    # space limited to 1 GiB the read still ends in the reader's own error.
    # More text than the reader's first buffer, so that the records are being
    # read (and stored) before the wrong length shows at the end.
    body = b"> 2024 03 01 00 00  0.0000000  0  0\n" * 20000
    blob = bytearray(gzip.compress(V3_HEADER.encode() + body))
    blob[-4:] = b"\xff\xff\xff\xff"
    path = tmp_path / "trailer.rnx.gz"
    path.write_bytes(bytes(blob))
    limit, env = "import resource; resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))", None
    if os.environ.get("SKARVO_SANITIZED"):
        # The sanitizer's shadow memory needs the address space: cap single
        # allocations at 1 GiB through its own option instead.
        limit = ""
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "")
                   + ":max_allocation_size_mb=1024:allocator_may_return_null=1")
    out = run_isolated(f"""
        {limit}
        try:
            sk.read_rinex_obs({str(path)!r})
        except OSError as exc:
            print(exc)
    """, env=env)
    assert out.startswith("Failed to read RINEX: I/O error:")
