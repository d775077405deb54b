"""Throughput of `skarvo-mp archive` on a synthetic archive, on 1 and 2 local workers.

    PYTHONPATH=build/dev:python python benchmarks/bench_archive.py [--stations 8] [--days 25]
        [--hours 6] [--data DIR]

The archive is simulated once (and kept in --data, default a folder under
/tmp named after its shape): `--stations` stations times `--days` days, each
a `--hours`-hour station-day at 30 s (gzip RINEX 3.04), with one SP3 file
per day; the stations differ in position, marker and receiver type, and one
of them changes receiver half-way. Four broken files are added (garbage
text, a truncated gzip, a header without epochs, an empty file).

Then the whole archive is processed into a fresh run folder on a local
cluster of 1 and then 2 single-threaded worker processes (cluster start
not timed), and the script prints: station-days per minute and the speed-up
of 2 workers over 1; the per-day cost of a task broken into reading,
analysis, elevations, the summary of estimates and slips, SNR and the rest;
the time not spent inside tasks (scheduling, result handling, Parquet
writes, and the idle tail at the end) as a share of the work; the resident
memory of the workers after the first 20 and after all files.

The machine may be shared: the figures are single runs, the per-day costs
medians over the days.
"""
import argparse
import concurrent.futures as cf
import datetime as dt
import gzip
import logging
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

from skarvo_tools import archive  # noqa: E402

RECEIVERS = ["SEPT POLARX5", "TRIMBLE ALLOY", "LEICA GR50", "JAVAD TRE_3", "SEPT MOSAIC-X5", "TRIMBLE NETR9"]


def _station_day(job):
    from skarvo_tools.simulate import simulate_station

    folder, k, day, hours, write_sp3 = job
    start = dt.date(2025, 1, 1) + dt.timedelta(days=day)
    # One seed per day: every station of a day sees the same constellation,
    # so one SP3 file of the day serves them all.
    sim = simulate_station(seed=1000 + day, start=(start.year, start.month, start.day, 0, 0, 0),
                           duration_s=hours * 3600, latitude_deg=35.0 + 4.0 * k, longitude_deg=-10.0 + 7.0 * k,
                           marker=f"ST{k:02d}", gps=24, galileo=20, glonass=6)
    receiver = RECEIVERS[k % len(RECEIVERS)]
    if k == 0 and day >= 12:
        receiver = "RECEIVER REPLACED"
    text = sim.rinex_text().replace(f"{'SIMULATED RECEIVER':<20}", f"{receiver:<20.20}", 1)
    doy = start.timetuple().tm_yday
    name = folder / "obs" / f"ST{k:02d}" / f"st{k:02d}{doy:03d}0.{start.year % 100:02d}o.gz"
    name.parent.mkdir(parents=True, exist_ok=True)
    with gzip.open(name, "wt", encoding="ascii", compresslevel=6) as f:
        f.write(text)
    if write_sp3:
        sim.write_sp3(str(folder / "orbits" / f"sim{start.year}{doy:03d}.sp3"))
    return str(name)


def build(folder: pathlib.Path, stations: int, days: int, hours: float) -> None:
    if (folder / "complete").exists():
        return
    shutil.rmtree(folder, ignore_errors=True)
    (folder / "orbits").mkdir(parents=True)
    jobs = [(folder, k, d, hours, k == 0) for d in range(days) for k in range(stations)]
    start = time.perf_counter()
    with cf.ProcessPoolExecutor(max_workers=2) as pool:
        list(pool.map(_station_day, jobs, chunksize=4))
    bad = folder / "obs" / "BAD"
    bad.mkdir()
    (bad / "bad10010.25o").write_text("not a RINEX file\n")
    good = sorted((folder / "obs" / "ST01").iterdir())[0].read_bytes()
    (bad / "bad20010.25o.gz").write_bytes(good[: len(good) // 3])
    header = gzip.decompress(good).decode().split("END OF HEADER")[0] + "END OF HEADER\n"
    (bad / "bad30010.25o").write_text(header)
    (bad / "bad40010.25o").write_bytes(b"")
    (folder / "complete").write_text(f"simulated in {time.perf_counter() - start:.0f} s\n")


def rss_of_workers(client):
    import psutil

    return sorted(client.run(lambda: psutil.Process().memory_info().rss).values())


def cpu_of_workers(client):
    import psutil

    def cpu():
        t = psutil.Process().cpu_times()
        return t.user + t.system

    return sum(client.run(cpu).values())


def run(folder: pathlib.Path, workers: int):
    from distributed import Client, LocalCluster

    paths, _ = archive.discover([str(folder / "obs")])
    orbits, _ = archive.discover([str(folder / "orbits")], archive.is_orbit_name, "SP3")
    settings = archive.ArchiveSettings(systems=("G", "R", "E", "C"), orbits=tuple(archive.scan_orbits(orbits)))
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address="127.0.0.1:0",
                           scheduler_kwargs={"dashboard": False}, silence_logs=logging.ERROR)
    client = Client(cluster)
    per_day, memory = [], {}

    def seen(result):
        result["timings"]["at"] = time.monotonic()
        if result["status"] != "failed":
            per_day.append(result["timings"])
        if len(per_day) == 20 and "first" not in memory:
            memory["first"] = rss_of_workers(client)

    run_dir = tempfile.mkdtemp(prefix="skarvo-bench-run-")
    try:
        client.run(lambda: None)
        # The scheduler and client spend some CPU whatever the work (heartbeats,
        # monitors): measured on the idle cluster, so that the per-file share
        # of a run slowed down by other processes is not overstated.
        idle_start, idle_cpu = time.monotonic(), time.process_time()
        time.sleep(5)
        idle_rate = (time.process_time() - idle_cpu) / (time.monotonic() - idle_start)
        cpu = {"workers": -cpu_of_workers(client), "client": -time.process_time(), "idle_rate": idle_rate}
        summary = archive.run_archive(run_dir, paths, settings, client, on_result=seen)
        cpu["client"] += time.process_time()
        cpu["workers"] += cpu_of_workers(client)
        memory["last"] = rss_of_workers(client)
    finally:
        client.close()
        cluster.close()
        shutil.rmtree(run_dir, ignore_errors=True)
    return summary, per_day, memory, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stations", type=int, default=8)
    parser.add_argument("--days", type=int, default=25)
    parser.add_argument("--hours", type=float, default=6.0)
    parser.add_argument("--data", type=pathlib.Path)
    args = parser.parse_args()
    folder = args.data or pathlib.Path(tempfile.gettempdir()) / (
        f"skarvo-bench-archive-{args.stations}x{args.days}x{args.hours:g}h")
    build(folder, args.stations, args.days, args.hours)
    n_days = args.stations * args.days
    print(f"synthetic archive {folder}: {args.stations} stations x {args.days} days = {n_days} station-days of "
          f"{args.hours:g} h at 30 s (gzip), + 4 broken files; {(folder / 'complete').read_text().strip()}")
    print(f"machine: {os.cpu_count()} cores, shared with other developers' builds and tests")

    rates, cpu_rates = {}, {}
    for workers in (1, 2):
        summary, per_day, memory, cpu = run(folder, workers)
        task_s = summary.timings.get("task_s", 0.0)
        rate = summary.processed / summary.wall_s * 60
        rates[workers] = rate
        outside = 1 - task_s / (summary.wall_s * workers)
        # Steady state: from the 10th to the last finished day, the share of
        # worker time not spent inside tasks (start-up and the final write excluded).
        steady = per_day[10:]
        span = steady[-1]["at"] - per_day[9]["at"]
        steady_out = 1 - sum(t["task_s"] for t in steady) / (span * workers)
        cpu_share = statistics.median(t["task_cpu_s"] / t["task_s"] for t in per_day)
        print(f"\n{workers} worker(s): {summary.processed} files ({summary.ok} ok, {summary.no_multipath} no multipath, "
              f"{len(summary.failures)} failed) in {summary.wall_s:.1f} s: {rate:.0f} station-days/min")
        print(f"  time outside tasks: {outside * 100:.1f} % of {workers} x wall (start-up, scheduling, results, "
              f"Parquet, idle tail); in the steady state {steady_out * 100:.1f} %")
        print(f"  a task got the CPU {cpu_share * 100:.0f} % of its wall time (median; below 100 % = cores "
              "taken by other processes)")
        keys = ("read_s", "analysis_s", "elevations_s", "summary_s", "snr_s", "task_s")
        med = {k: statistics.median(t.get(k, 0.0) for t in per_day) for k in keys}
        rest = med["task_s"] - sum(med[k] for k in keys[:-1])
        print("  per day (median ms): " + ", ".join(f"{k[:-2]} {med[k] * 1e3:.0f}" for k in keys[:-1])
              + f", other {rest * 1e3:.0f}; task {med['task_s'] * 1e3:.0f}")
        task_cpu = summary.timings.get("task_cpu_s", 0.0)
        n = summary.processed
        # CPU figures do not depend on what else runs on the machine: the
        # scheduler and the client (results, journal, Parquet) share the
        # client process; worker CPU outside tasks is Dask's own work there.
        background = cpu["idle_rate"] * summary.wall_s
        serial = (cpu["client"] - background) / n
        outside_tasks = (cpu["workers"] - task_cpu) / n
        print(f"  CPU per file: tasks {task_cpu / n * 1e3:.0f} ms, workers outside tasks {outside_tasks * 1e3:.1f} ms, "
              f"scheduler + client {serial * 1e3:.1f} ms (plus {cpu['idle_rate'] * 100:.1f} % of a core in the "
              f"background, {background:.1f} s in this run): scheduling overhead "
              f"{(outside_tasks + serial) / (task_cpu / n) * 100:.1f} % of the work per file, "
              f"{(outside_tasks * n + cpu['client']) / task_cpu * 100:.1f} % with the background")
        cpu_rates[workers] = (task_cpu / n, cpu["workers"] / n, serial)
        first, last = memory.get("first"), memory.get("last")
        if first and last:
            growth = max(b / a - 1 for a, b in zip(first, last)) * 100
            print(f"  worker RSS after 20 days {[round(x / 2**20) for x in first]} MiB, after {summary.processed} "
                  f"{[round(x / 2**20) for x in last]} MiB: growth {growth:+.1f} %")
    print(f"\nspeed-up 2 workers / 1 worker: {rates[2] / rates[1]:.2f}; machine load average now "
          f"{os.getloadavg()[0]:.1f}")
    _, worker_cpu, serial = cpu_rates[2]
    # On N idle cores, N workers and the client process share the cores.
    expected = 2 * worker_cpu / (worker_cpu + serial)
    print(f"expected on 2 idle cores from the CPU figures: {expected:.2f} "
          f"({worker_cpu * 1e3:.0f} ms of worker CPU and {serial * 1e3:.1f} ms of client CPU per file)")
    print(f"  the client process caps a run at about {60 / serial:.0f} station-days/min, whatever the cluster")
    for cores in (8, 32, 128):
        hours = max(1e5 * (worker_cpu + serial) / cores, 1e5 * serial) / 3600
        print(f"  10^5 station-days of this size on {cores} idle cores: about {hours:.1f} h of CPU-bound work "
              f"(client CPU {1e5 * serial / 3600:.2f} h in all, on one core)")


if __name__ == "__main__":
    main()
