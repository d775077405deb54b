"""Broadcast orbit benchmarks: reading daily navigation files, and
compute_elevations on the ESBC day with broadcast orbits (NavData) against
the same call with precise orbits (Sp3Data).

Run: PYTHONPATH=build/dev:python python benchmarks/bench_nav.py

Targets: reading a daily mixed navigation file <= 50 ms; compute_elevations
with a NavData within 2x of the call with an Sp3Data. Every figure is a
median over several runs; the two elevation calls alternate so that load from
other processes falls on both alike.
"""
import gzip
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

import skarvo_mp as sk
from benchkit import DATA, median_time

RUNS = 9
NAV_FILES = ["nav/ESBC00DNK_R_20201770000_01D_MN.rnx.gz", "nav/ELKO00USA_R_20182100000_01D_MN.rnx.gz",
             "nav/brdc0010.21n", "nav/BRD400DLR_S_20230710000_01D_MN.rnx.gz"]


def timed(fn, runs=RUNS):
    return median_time(fn, runs)


def bench_read():
    print("read_rinex_nav (median of %d)" % RUNS)
    for name in NAV_FILES:
        path = DATA / name
        if not path.exists():
            continue
        t = timed(lambda: sk.read_rinex_nav(str(path)))
        d = sk.read_rinex_nav(str(path))
        # Baseline: Python decompressing (if needed) and splitting the same text.
        opener = gzip.open if path.suffix == ".gz" else open
        t_base = timed(lambda: opener(path, "rt").read().splitlines())
        print(f"  {path.name:44s} {d.num_records:6d} records  {t * 1e3:7.1f} ms  "
              f"(Python reading the lines: {t_base * 1e3:6.1f} ms)")


def bench_elevations():
    obs_path = DATA / "rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz"
    sp3_gz = DATA / "sp3/Sta21114.sp3.gz"
    if not obs_path.exists() or not sp3_gz.exists():
        print("ESBC files not found: elevation benchmark skipped")
        return
    folder = tempfile.mkdtemp(prefix="bench-nav-")
    try:
        sp3_path = pathlib.Path(folder) / "Sta21114.sp3"
        with gzip.open(sp3_gz, "rb") as fin, open(sp3_path, "wb") as fout:
            shutil.copyfileobj(fin, fout)
        sp3 = sk.read_sp3(str(sp3_path))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    nav = sk.read_rinex_nav(str(DATA / NAV_FILES[0]))
    obs = sk.read_rinex_obs(str(obs_path))
    results = sk.MultipathAnalyzer(obs).analyze()
    receiver = obs.approx_position
    t_sp3, t_nav = [], []
    for _ in range(RUNS):
        for orbit, times in ((sp3, t_sp3), (nav, t_nav)):
            t0 = time.perf_counter()
            counts = results.compute_elevations(orbit, receiver)
            times.append(time.perf_counter() - t0)
    a, b = statistics.median(t_sp3), statistics.median(t_nav)
    print(f"compute_elevations on the ESBC day ({results.total_estimates()} estimates, {counts[0]} computed)")
    print(f"  Sp3Data  {a * 1e3:7.1f} ms")
    print(f"  NavData  {b * 1e3:7.1f} ms   {b / a:.2f}x the Sp3Data call (target <= 2x)")


if __name__ == "__main__":
    if not DATA.exists():
        sys.exit(f"shared data folder not found: {DATA}")
    bench_read()
    bench_elevations()
