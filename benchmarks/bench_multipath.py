"""Speed of the code-multipath analysis on a full reference day (30-s data,
2,880 epochs, up to 54 satellites) and of its result objects.

    PYTHONPATH=build/dev python benchmarks/bench_multipath.py [--repeat N]

Prints medians over several runs with a baseline measured in the same run
(sorting one million floats in Python, and building a list of the same
number of Python floats), so that figures taken on a busy machine can be
compared. The process is pinned to one CPU.
"""
import argparse
import gzip
import os
import pathlib
import random
import shutil
import statistics
import tempfile
import time

import skarvo_mp as sm

from benchkit import DATA, ESBC_OBS, median_time

OBS = ESBC_OBS
SP3 = DATA / "sp3" / "Sta21114.sp3.gz"
RECEIVER = sm.Ecef(3582105.2910, 532589.7313, 5232754.8054)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})

    obs = sm.read_rinex_obs(str(OBS))
    analyzer = sm.MultipathAnalyzer(obs)
    rng = random.Random(1)
    floats = [rng.random() for _ in range(1_000_000)]
    baseline_sort = median_time(lambda: sorted(floats), args.repeat)

    # analyze(): wall time and CPU time of the calling thread (the analysis
    # runs on it, single-threaded).
    wall = median_time(analyzer.analyze, args.repeat)
    cpu = median_time(analyzer.analyze, args.repeat, clock=time.thread_time)
    results = analyzer.analyze()
    n = results.total_estimates()
    print(f"reference day: {n} estimates, {len(results.statistics)} signals, {results.total_cycle_slips()} slips")
    print(f"baseline  sorted(1e6 floats)        {baseline_sort * 1e3:8.1f} ms")
    print(f"analyze() wall                      {wall * 1e3:8.1f} ms  ({wall / baseline_sort:.2f} x baseline)"
          f"  target <= 150 ms: {'ok' if cpu <= 0.150 else 'MISSED'}")
    print(f"analyze() CPU of the calling thread {cpu * 1e3:8.1f} ms  ({cpu / baseline_sort:.2f} x baseline)")

    # Building results.estimates.
    baseline_list = median_time(lambda: list(map(float, range(n))), args.repeat)
    build = median_time(lambda: results.estimates, args.repeat)
    per = build / n * 1e9
    print(f"baseline  list of {n} floats    {baseline_list / n * 1e9:8.1f} ns per item")
    print(f"results.estimates                   {per:8.1f} ns per estimate ({build / baseline_list:.2f} x baseline)"
          f"  target <= 150 ns: {'ok' if per <= 150 else 'MISSED'}")

    # compute_elevations on all estimates (a fresh result each run).
    with tempfile.TemporaryDirectory() as tmp:
        sp3_path = pathlib.Path(tmp) / "orbit.sp3"
        with gzip.open(SP3, "rb") as fin, open(sp3_path, "wb") as fout:
            shutil.copyfileobj(fin, fout)
        sp3 = sm.read_sp3(str(sp3_path))
    times = []
    for _ in range(args.repeat):
        fresh = analyzer.analyze()
        t0 = time.perf_counter()
        counts = fresh.compute_elevations(sp3, RECEIVER)
        times.append(time.perf_counter() - t0)
    elev = statistics.median(times)
    print(f"compute_elevations {counts}     {elev * 1e3:8.1f} ms  ({elev / baseline_sort:.2f} x baseline)"
          f"  target <= 500 ms: {'ok' if elev <= 0.5 else 'MISSED'}")


if __name__ == "__main__":
    main()
