"""The process-wide worker pool: results independent of the number of
workers, forked children, concurrent callers."""
import hashlib
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import skarvo_mp as sk

WORKLOAD = textwrap.dedent(
    """
    import hashlib, math, os, struct, sys
    if len(sys.argv) > 1:
        os.sched_setaffinity(0, {int(c) for c in sys.argv[1].split(",")})
    import skarvo_mp as sk
    y = [math.sin(i * 0.37) + 0.2 * math.sin(i * 0.011) + (i * 7919 % 101) / 500 for i in range(6000)]
    h = hashlib.sha256()
    for row in sk.morlet_cwt(y, 30.0)["power"]:
        h.update(struct.pack(f"{len(row)}d", *row))
    for row in sk.band_power(y, 30.0, sk.period_bands(30.0)):
        h.update(struct.pack(f"{len(row)}d", *row))
    for row in sk.scalogram([30.0 * i for i in range(6000)], y, 30.0)["power"]:
        h.update(struct.pack(f"{len(row)}d", *row))
    print(h.hexdigest())
    """
)


def run_workload(cpus):
    args = [sys.executable, "-c", WORKLOAD] + ([cpus] if cpus else [])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run(args, capture_output=True, text=True, check=True, env=env, timeout=300).stdout.strip()


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs at least two CPUs")
def test_bit_identical_for_one_and_many_workers():
    one = run_workload(str(min(os.sched_getaffinity(0))))
    many = run_workload(None)
    assert one == many


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


def child_uses_the_pool(expected):
    code = 1
    try:
        code = 0 if sk.morlet_cwt([float(i % 17) for i in range(3000)], 1.0)["power"] == expected else 3
    except BaseException:
        code = 2
    finally:
        os._exit(code)


def test_forked_child_builds_its_own_pool():
    expected = sk.morlet_cwt([float(i % 17) for i in range(3000)], 1.0)["power"]
    pid = os.fork()
    if pid == 0:
        child_uses_the_pool(expected)
    assert wait_for_child(pid) == 0


def test_fork_while_the_pool_is_busy():
    expected = sk.morlet_cwt([float(i % 17) for i in range(3000)], 1.0)["power"]
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
            pid = os.fork()
            if pid == 0:
                child_uses_the_pool(expected)
            assert wait_for_child(pid) == 0
    finally:
        stop.set()
        worker.join()


def test_many_threads_share_the_pool():
    inputs = [[math_sin(i, k) for i in range(4000)] for k in range(6)]
    expected = [hashlib.sha256(repr(sk.band_power(y, 1.0, [(2, 50), (50, 500)])).encode()).hexdigest() for y in inputs]
    got = [None] * len(inputs)

    def work(k):
        got[k] = hashlib.sha256(repr(sk.band_power(inputs[k], 1.0, [(2, 50), (50, 500)])).encode()).hexdigest()

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(inputs))]
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout=300)
    assert got == expected


def math_sin(i, k):
    import math

    return math.sin(i * (0.05 + 0.01 * k)) + 0.1 * (i % (k + 3))
