"""Array views on the reference day, each against the route it replaces,
measured in the same run (medians over several runs):

1. RinexObsData.to_numpy() (every observation as columns) against the only
   object route to observation values: get_snr_series for every satellite
   (S-codes only, so the baseline does less work).
2. AnalysisResults.to_numpy() against reading `results.estimates`.
3. morlet_cwt_array of 20,000 samples from a float64 array against
   morlet_cwt from a list (the list form converts its input and output).
4. read_rinex_obs + to_xarray() against georinex.load, side by side on the
   same file. The peer takes many minutes for a whole day, so both read a
   file holding the first --hours hours of the day (written to a temporary
   folder; --hours 0 uses the whole file). to_xarray of the whole day is
   printed too.

Each figure is the median wall time and, in brackets, the median CPU time of
the process (all threads): on a machine shared with other work the CPU time
is the steadier figure.

    PYTHONPATH=build/dev python benchmarks/bench_arrays.py [--runs 5] [--hours 2]
"""
import argparse
import datetime as dt
import gc
import os
import pathlib
import statistics
import sys
import tempfile
import time
import warnings

ROOT = pathlib.Path(__file__).resolve().parents[1]
DATA = ROOT.parent / "shared" / "data"
ESBC = DATA / "rinex3" / "ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz"


def median_ms(fn, runs):
    """Median wall and CPU milliseconds of `runs` calls."""
    wall, cpu = [], []
    for _ in range(runs):
        gc.collect()
        t, c = time.perf_counter(), time.process_time()
        fn()
        wall.append(time.perf_counter() - t)
        cpu.append(time.process_time() - c)
    return statistics.median(wall) * 1e3, statistics.median(cpu) * 1e3


def line(label, ms, baseline_label, baseline_ms, target=None):
    verdict = ""
    if target is not None:
        verdict = f"  target <= {target} ms: wall {'met' if ms[0] <= target else 'NOT met'}, " \
                  f"CPU {'met' if ms[1] <= target else 'NOT met'}"
    print(f"{label:36s} {ms[0]:8.1f} ms ({ms[1]:7.1f})  {baseline_label:32s} {baseline_ms[0]:8.1f} ms "
          f"({baseline_ms[1]:7.1f})  ratio {baseline_ms[0] / ms[0]:6.1f}x{verdict}")


def first_hours(path, hours, folder):
    """A copy of an observation file cut after its first `hours` hours."""
    import gzip

    opener = gzip.open if path.suffix == ".gz" else open
    out = folder / path.name.removesuffix(".gz")
    start = None
    with opener(path, "rt") as fin, open(out, "w") as fout:
        in_header = True
        for ln in fin:
            if in_header:
                in_header = "END OF HEADER" not in ln
            elif ln.startswith("> "):
                stamp = dt.datetime(*map(int, ln[2:18].split()), int(float(ln[18:29])))
                start = start or stamp
                if stamp >= start + dt.timedelta(hours=hours):
                    break
            fout.write(ln)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--file", type=pathlib.Path, default=ESBC)
    parser.add_argument("--hours", type=float, default=2.0)
    args = parser.parse_args()
    import numpy as np

    import skarvo_mp as sk

    if not args.file.exists():
        sys.exit(f"missing {args.file}")
    print(f"file: {args.file.name}; load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} CPUs; "
          f"medians of {args.runs} runs")
    obs = sk.read_rinex_obs(str(args.file))
    sats = [s.id for s in obs.satellites()]

    rows = len(obs.to_numpy()["value"])
    line(f"obs.to_numpy() ({rows} rows)", median_ms(obs.to_numpy, args.runs),
         "get_snr_series, every satellite", median_ms(lambda: [obs.get_snr_series(s) for s in sats], args.runs),
         target=20)

    results = sk.MultipathAnalyzer(obs).analyze()
    line(f"results.to_numpy() ({results.total_estimates()} est.)", median_ms(results.to_numpy, args.runs),
         "results.estimates", median_ms(lambda: results.estimates, args.runs), target=10)

    y = np.sin(np.arange(20000) * 0.01) + np.random.default_rng(1).normal(0, 0.1, 20000)
    y_list = y.tolist()
    line("morlet_cwt_array (20,000 samples)", median_ms(lambda: sk.morlet_cwt_array(y, 30.0), args.runs),
         "morlet_cwt from a list", median_ms(lambda: sk.morlet_cwt(y_list, 30.0), args.runs), target=40)

    import georinex

    xr_ms = median_ms(obs.to_xarray, args.runs)
    print(f"to_xarray of the whole day ({obs.num_epochs} epochs): {xr_ms[0]:.0f} ms ({xr_ms[1]:.0f} CPU)")
    with tempfile.TemporaryDirectory() as folder:
        path = args.file if args.hours <= 0 else first_hours(args.file, args.hours, pathlib.Path(folder))
        ours = median_ms(lambda: sk.read_rinex_obs(str(path)).to_xarray(), args.runs)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            peer = median_ms(lambda: georinex.load(path), 1)
        epochs = sk.read_rinex_obs(str(path)).num_epochs
    line(f"read + to_xarray ({epochs} epochs)", ours, "georinex.load (one run)", peer, None)
    print(f"to_xarray target (>= 50x faster than georinex.load on the same file, read included): "
          f"{'met' if peer[0] / ours[0] >= 50 else 'NOT met'} ({peer[0] / ours[0]:.0f}x)")


if __name__ == "__main__":
    main()
