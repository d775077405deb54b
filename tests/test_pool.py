"""The process-wide worker pool: results independent of the number of
workers, forked children, concurrent callers."""
import concurrent.futures
import hashlib
import math
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import skarvo_mp as sk
from rinex_helpers import rinex3, snr_wave

WORKLOAD = textwrap.dedent(
    """
    import hashlib, math, os, struct, sys
    if sys.argv[2]:
        os.sched_setaffinity(0, {int(sys.argv[2])})
    import skarvo_mp as sk
    y = [math.sin(i * 0.37) + 0.2 * math.sin(i * 0.011) + (i * 7919 % 101) / 500 for i in range(6000)]
    h = hashlib.sha256()
    for rows in (sk.morlet_cwt(y, 30.0)["power"], sk.band_power(y, 30.0, sk.period_bands(30.0)),
                 sk.scalogram([30.0 * i for i in range(6000)], y, 30.0)["power"]):
        for row in rows:
            h.update(struct.pack(f"{len(row)}d", *row))
    h.update(repr(sk.analyze_snr_wavelets(sk.read_rinex_obs(sys.argv[1]))).encode())
    print(h.hexdigest())
    """
)


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs at least two CPUs")
def test_bit_identical_for_one_and_many_workers(tmp_path):
    path = tmp_path / "snr.rnx"
    sats = ["G05", "E11", "C11", "C06"]
    path.write_text(rinex3([(30.0 * i, {s: {"S2W": snr_wave(i, k)} for k, s in enumerate(sats)})
                            for i in range(3000) if i % 700 != 5], {s[0]: ["S2W"] for s in sats}))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    digests = {subprocess.run([sys.executable, "-c", WORKLOAD, str(path), cpu], capture_output=True, text=True,
                              check=True, env=env, timeout=300).stdout
               for cpu in (str(min(os.sched_getaffinity(0))), "")}
    assert len(digests) == 1


def wait_for_child(pid, seconds=120):
    deadline = time.monotonic() + seconds
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("forked child hung")
        time.sleep(0.02)


def fork_and_use_the_pool(expected):
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if sk.morlet_cwt([float(i % 17) for i in range(3000)], 1.0)["power"] == expected else 3
        except BaseException:
            code = 2
        finally:
            os._exit(code)
    assert wait_for_child(pid) == 0


def test_forked_children_build_their_own_pool_idle_or_busy():
    expected = sk.morlet_cwt([float(i % 17) for i in range(3000)], 1.0)["power"]
    fork_and_use_the_pool(expected)  # the parent's pool is idle
    stop = threading.Event()

    def busy():
        y = [float(i % 31) for i in range(20000)]
        while not stop.is_set():
            sk.band_power(y, 1.0, [(2.0, 1e9)])

    worker = threading.Thread(target=busy)
    worker.start()
    try:
        for _ in range(5):
            time.sleep(0.05)
            fork_and_use_the_pool(expected)
    finally:
        stop.set()
        worker.join()


def test_many_threads_share_the_pool():
    inputs = [[math.sin(i * (0.05 + 0.01 * k)) + 0.1 * (i % (k + 3)) for i in range(4000)] for k in range(6)]
    def digest(y):
        return hashlib.sha256(repr(sk.band_power(y, 1.0, [(2, 50), (50, 500)])).encode()).hexdigest()

    expected = [digest(y) for y in inputs]
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(inputs)) as pool:
        assert list(pool.map(digest, inputs, timeout=300)) == expected
