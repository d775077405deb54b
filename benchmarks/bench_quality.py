"""Time of the station quality figures on the reference day, beyond the report tables.

    PYTHONPATH=build/dev:python python benchmarks/bench_quality.py [--runs N]

Reference day: ESBC00DNK 2020-06-25 (30 s, 2880 epochs) with the GRG final
orbit. Timed: `station_quality` with the orbit (epoch grid, clock jumps,
expected/observed counts, SNR by elevation), `multipath_by_elevation`, and
the whole quality section as the report builds it (including the text
rendering). The baseline, measured in the same run, is the report's tables
without the quality section. Target: the quality section adds at most 150 ms.
Medians of N runs (default 5); the machine may be shared.
"""
import argparse
import os
import sys
import tempfile

from benchkit import DATA, ESBC_OBS as OBS, ESBC_SP3 as SP3, median_time

TARGET_S = 0.150


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    if not OBS.exists() or not SP3.exists():
        sys.exit(f"reference files missing under {DATA}")

    import skarvo_mp as mp
    from skarvo_tools import quality, report, sp3files, tables

    work = tempfile.mkdtemp(prefix="bench-quality-")
    sources = sp3files.prepare([str(SP3)], work, reader=mp.read_sp3)
    obs = mp.read_rinex_obs(str(OBS))
    sp3 = mp.read_sp3(sources[0].plain)
    rx = obs.approx_position
    systems = list(report.DEFAULT_SYSTEMS)
    results = mp.MultipathAnalyzer(obs, systems=systems).analyze()
    results.compute_elevations(sp3, rx)
    print(f"reference day: {OBS.name} with {SP3.name}; {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.1f}; median of {args.runs} runs")

    opts = report.ReportOptions(sp3=sources, wavelets=False, plots=False)
    real = quality.quality_section

    def tables_only():
        quality.quality_section = lambda *a, **k: None  # the report as it was, without the section
        try:
            tables.render_text(report.build_report(str(OBS), opts).data)
        finally:
            quality.quality_section = real

    base = median_time(tables_only, args.runs)
    print(f"  baseline: report tables (no quality section)   {base * 1e3:8.1f} ms")
    with_q = median_time(lambda: tables.render_text(report.build_report(str(OBS), opts).data), args.runs)
    extra = with_q - base
    print(f"  report tables with the quality section         {with_q * 1e3:8.1f} ms   "
          f"+{extra * 1e3:.1f} ms ({with_q / base:.3f} x)")
    t = median_time(lambda: mp.station_quality(obs, sp3=sp3, receiver=rx, systems=systems), args.runs)
    print(f"  station_quality with orbit                     {t * 1e3:8.1f} ms")
    t = median_time(lambda: results.multipath_by_elevation(10.0), args.runs)
    print(f"  multipath_by_elevation                         {t * 1e3:8.1f} ms")
    orbit = {"sp3": sp3, "receiver": (rx.x, rx.y, rx.z)}
    t = median_time(lambda: quality.text_lines(quality.quality_section(
        mp, obs, results, str(OBS), systems, orbit, [], {})), args.runs)
    print(f"  whole quality section (core + Python + text)   {t * 1e3:8.1f} ms   "
          f"target <= {TARGET_S * 1e3:.0f} ms: {'met' if t <= TARGET_S else 'MISSED'}")


if __name__ == "__main__":
    main()
