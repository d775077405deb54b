"""Time of `skarvo-mp report` on the reference day, against reading the file.

    PYTHONPATH=build/dev:python python benchmarks/bench_report.py [--runs N] [--batch]

Reference day: ESBC00DNK 2020-06-25 (30 s, 2880 epochs, 113 satellites) with
the GRG final orbit of that day (gzip SP3, decompressed by the report). The
baseline, measured in the same run, is `read_rinex_obs` of the same file:
the part of the report no analysis can avoid. Each figure is the median of
N runs (default 3); the machine may be shared, so medians and ratios are
more telling than single times.

With --batch, a batch of four reports on the reference day (tables only)
is timed on one and on two worker processes.
"""
import argparse
import os
import pathlib
import shutil
import statistics
import sys
import tempfile

from benchkit import DATA, ESBC_OBS as OBS, ESBC_SP3 as SP3, run_times


def median_time(fn, runs):
    times = run_times(fn, runs)
    return statistics.median(times), times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--batch", action="store_true")
    args = parser.parse_args()
    if not OBS.exists() or not SP3.exists():
        sys.exit(f"reference files missing under {DATA}")

    import skarvo_mp as mp
    from skarvo_tools import cli, plots, runner, sp3files
    from skarvo_tools.report import ReportOptions

    work = tempfile.mkdtemp(prefix="bench-report-")
    try:
        print(f"reference day: {OBS.name} with {SP3.name}; {os.cpu_count()} CPUs, "
              f"load average {os.getloadavg()[0]:.1f}; median of {args.runs} runs")
        base, _ = median_time(lambda: mp.read_rinex_obs(str(OBS)), args.runs)
        print(f"  baseline read_rinex_obs             {base:7.2f} s")

        sources = sp3files.prepare([str(SP3)], work, reader=mp.read_sp3)

        def report(plots_on, out):
            opts = ReportOptions(sp3=sources, antenna_height=2.0, out_dir=out, plots=plots_on)
            runner.report_one(str(OBS), opts)

        t, _ = median_time(lambda: report(False, None), args.runs)
        print(f"  report, tables and JSON only         {t:7.2f} s   {t / base:5.1f} x baseline")
        t, _ = median_time(lambda: report(False, os.path.join(work, "noplots")), args.runs)
        print(f"  report with HTML, JSON and CSV files {t:7.2f} s   {t / base:5.1f} x baseline")
        if plots.available() is None:
            t, _ = median_time(lambda: report(True, os.path.join(work, "full")), args.runs)
            n = len(list(pathlib.Path(work, "full").glob("*.png")))
            print(f"  full report with {n} figures         {t:7.2f} s   {t / base:5.1f} x baseline")
        else:
            print(f"  full report with figures: skipped ({plots.available()})")

        def command():
            with open(os.devnull, "w") as quiet:
                rc = cli.main(["report", str(OBS), "--sp3", str(SP3), "--antenna-height", "2", "--out",
                               os.path.join(work, "cmd")], stdout=quiet)
            assert rc == 0

        t, _ = median_time(command, args.runs)
        print(f"  skarvo-mp report (in-process, incl. SP3 decompression) "
              f"{t:6.2f} s   {t / base:5.1f} x baseline")

        if args.batch:
            files = [str(OBS)] * 4
            opts = ReportOptions(sp3=sources, plots=False)
            with open(os.devnull, "w") as quiet:
                one, _ = median_time(lambda: runner.run_batch(files, opts, 1, quiet), args.runs)
                two, _ = median_time(lambda: runner.run_batch(files, opts, 2, quiet), args.runs)
            print(f"  batch of 4 reference days, tables only: 1 worker {one:.2f} s, 2 workers {two:.2f} s "
                  f"(speed-up {one / two:.2f})")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
