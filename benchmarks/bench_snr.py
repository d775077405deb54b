"""Parallel SNR analysis: analyze_snr_wavelets over every satellite of the
reference day with one worker and with all workers. Each configuration runs
in a fresh subprocess whose CPU affinity is set before the worker pool is
created (the pool has one worker per CPU of the affinity mask); the
one-worker run is the baseline of the speed-up. Medians over several runs.

    PYTHONPATH=build/dev python benchmarks/bench_snr.py [--runs 5] [--file PATH]
"""
import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import textwrap

ROOT = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_FILE = ROOT.parent / "shared" / "data" / "rinex3" / "ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz"

CHILD = textwrap.dedent(
    """
    import json, os, sys, time
    cpus = json.loads(sys.argv[2])
    if cpus:
        os.sched_setaffinity(0, set(cpus))
    import skarvo_mp as sk
    obs = sk.read_rinex_obs(sys.argv[1])
    times = []
    for _ in range(int(sys.argv[3])):
        t = time.perf_counter()
        out = sk.analyze_snr_wavelets(obs)
        times.append(time.perf_counter() - t)
    print(json.dumps({"times": times, "sats": len(out["residuals"]), "cpus": len(os.sched_getaffinity(0))}))
    """
)


def run(path, cpus, runs):
    import json

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", CHILD, str(path), json.dumps(cpus), str(runs)],
                         capture_output=True, text=True, check=True, env=env)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--file", type=pathlib.Path, default=DEFAULT_FILE)
    args = parser.parse_args()
    import skarvo_mp as sk

    if not hasattr(sk, "read_rinex_obs"):
        sys.exit("the observation reader is not built into this module")
    if not args.file.exists():
        sys.exit(f"missing {args.file}")
    all_cpus = sorted(os.sched_getaffinity(0))
    one = run(args.file, [all_cpus[0]], args.runs)
    many = run(args.file, [], args.runs)
    t1, tn = statistics.median(one["times"]), statistics.median(many["times"])
    print(f"file: {args.file.name}, satellites with results: {one['sats']}, load average {os.getloadavg()[0]:.2f}")
    print(f"1 worker  (baseline): {t1 * 1e3:8.1f} ms  (runs: {', '.join(f'{t * 1e3:.0f}' for t in one['times'])})")
    print(f"{many['cpus']} workers:          {tn * 1e3:8.1f} ms  (runs: {', '.join(f'{t * 1e3:.0f}' for t in many['times'])})")
    print(f"speed-up: {t1 / tn:.2f}")


if __name__ == "__main__":
    main()
