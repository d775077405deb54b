"""What the benchmarks share: where the real files are, medians of timed
runs, and the peak memory of a fresh process."""
import os
import pathlib
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
DATA = pathlib.Path(os.environ.get("SKARVO_DATA", ROOT.parent / "shared" / "data"))
# The reference day: a full day at 30 s from six systems, with its orbit.
ESBC_OBS = DATA / "rinex3" / "ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz"
ESBC_SP3 = DATA / "sp3" / "GRG0MGXFIN_20201770000_01D_15M_ORB.SP3.gz"


def run_times(fn, runs, clock=time.perf_counter):
    """Seconds of each of `runs` calls of `fn`."""
    times = []
    for _ in range(runs):
        t = clock()
        fn()
        times.append(clock() - t)
    return times


def median_time(fn, runs, clock=time.perf_counter):
    """Median seconds of `runs` calls of `fn`."""
    return statistics.median(run_times(fn, runs, clock))


def timed_ms(fn):
    """Milliseconds of one call of `fn`."""
    return run_times(fn, 1)[0] * 1e3


def peak_rss_kb(code):
    """Peak resident memory (kB) that a fresh interpreter running `code` prints last."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    return int(out.stdout.split()[-1])
