"""Orbit benchmarks: Sp3Data.get_position from Python, read_sp3 throughput,
and how much another Python thread gets done while read_sp3 runs.

Run: PYTHONPATH=build/dev python benchmarks/bench_orbits.py [file.sp3]

Every figure is a median over several runs with a baseline measured in the
same run, so that load from other processes largely cancels in the ratios.
"""
import gzip
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import threading
import time

import skarvo_mp as sk
from benchkit import DATA, median_time

RUNS = 7


def timed(fn, runs=RUNS):
    return median_time(fn, runs)


def synthetic_file(path):
    import math

    lines = ["#cP2021  1  1  0  0  0.00000000      96 ORBIT IGb14 HLM  IGS",
             "## 2138 432000.00000000   900.00000000 59215 0.0000000000000"]
    for k in range(96):
        sod = 900 * k
        lines.append(f"*  2021  1  1 {sod // 3600:2d} {sod // 60 % 60:2d}  0.00000000")
        for prn in range(1, 33):
            w = 2 * math.pi * (sod / 43082.0 + prn / 32)
            lines.append(f"PG{prn:02d}{26560 * math.cos(w):14.6f}{21000 * math.sin(w):14.6f}{16000 * math.sin(w + 1):14.6f}{12.5:14.6f}")
    path.write_text("\n".join(lines) + "\nEOF\n")
    return path


def bench_get_position(sp3_path):
    d = sk.read_sp3(str(sp3_path))
    sat = d.satellites()[0]
    epochs = [sk.Epoch(2021, 1, 1, (30 * k) // 3600, (30 * k) // 60 % 60, 0.25) for k in range(2880)]
    # 100,000 calls cycling over a day of 30-s epochs.
    work = [epochs[k % len(epochs)] for k in range(100_000)]
    get = d.get_position
    rx = sk.Ecef(3924687.702, 301132.766, 5001910.775)
    mag = rx.magnitude

    def positions():
        for e in work:
            get(sat, e)

    def baseline():
        for _ in work:
            mag()

    t_pos = timed(positions)
    t_base = timed(baseline)
    print(f"get_position x 100,000 ({sat}, {d.num_epochs} epochs)")
    print(f"  baseline Ecef.magnitude() x 100,000  {t_base * 1e3:8.1f} ms  ({t_base * 10:.3f} us/call)")
    print(f"  get_position x 100,000               {t_pos * 1e3:8.1f} ms  ({t_pos * 10:.3f} us/call)  "
          f"{t_pos / t_base:.2f}x baseline, {1e5 / t_pos:,.0f} calls/s")


def bench_read(paths):
    for path in paths:
        size = path.stat().st_size
        t_read = timed(lambda: sk.read_sp3(str(path)))
        # Baseline: Python itself reading and splitting the same file.
        t_base = timed(lambda: path.read_text().splitlines())
        print(f"read_sp3 {path.name} ({size / 1e6:.2f} MB)")
        print(f"  baseline read_text().splitlines()  {t_base * 1e3:8.2f} ms")
        print(f"  read_sp3                           {t_read * 1e3:8.2f} ms  {t_read / t_base:.2f}x baseline, "
              f"{size / t_read / 1e6:.0f} MB/s")


def bench_other_thread(path, seconds=0.6):
    """Counts loop turns of a pure-Python thread during repeated read_sp3
    calls, against the count of the same thread running alone."""

    def count_while(busy):
        stop = threading.Event()
        counter = [0]

        def spin():
            n = 0
            while not stop.is_set():
                n += 1
            counter[0] = n

        t = threading.Thread(target=spin)
        t.start()
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            busy()
        stop.set()
        t.join()
        return counter[0]

    alone = [count_while(lambda: time.sleep(0.005)) for _ in range(3)]
    during = [count_while(lambda: sk.read_sp3(str(path))) for _ in range(3)]
    a, b = statistics.median(alone), statistics.median(during)
    print(f"other Python thread while read_sp3 runs ({path.name}, {os.cpu_count()} CPUs)")
    print(f"  loop turns alone {a:,.0f}, during reads {b:,.0f}: {b / a:.2f}x")


def main():
    tmp = pathlib.Path(tempfile.mkdtemp())
    try:
        if len(sys.argv) > 1:
            main_file = pathlib.Path(sys.argv[1])
        elif (DATA / "sp3/igs21385.sp3").exists():
            main_file = DATA / "sp3/igs21385.sp3"
        else:
            main_file = synthetic_file(tmp / "synthetic.sp3")
        bench_get_position(main_file)
        files = [main_file]
        big = DATA / "sp3/COD0MGXFIN_20230500000_01D_05M_ORB.SP3.gz"
        if big.exists():
            out = tmp / big.name[:-3]
            with gzip.open(big, "rb") as fin, open(out, "wb") as fout:
                shutil.copyfileobj(fin, fout)
            files.append(out)
        bench_read(files)
        bench_other_thread(files[-1])
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
