"""Throughput and memory of read_rinex_obs on a real full day (30 s, six
systems), each figure printed with a baseline measured in the same run:

- plain text: read_rinex_obs against reading the file's bytes and counting
  its lines;
- gzip: read_rinex_obs against zlib alone inflating the same file (streamed
  in 128 KiB pieces, output discarded);
- memory: peak RSS of a fresh Python process that reads the file, against
  one that only imports the module, per stored observation.

Run: PYTHONPATH=build/dev python benchmarks/bench_rinex.py [FILE.rnx.gz] [runs]
"""
import gzip
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import zlib

import skarvo_mp
from benchkit import ESBC_OBS, peak_rss_kb, timed_ms as timed

DEFAULT = ESBC_OBS


def count_lines(path):
    return path.read_bytes().count(b"\n")


def inflate_only(path):
    d = zlib.decompressobj(31)
    with open(path, "rb") as f:
        while chunk := f.read(128 * 1024):
            d.decompress(chunk)


def stored_observation_count(path):
    """Value fields that hold a number, counted from the text independently."""
    codes, last, n = {}, None, 0
    with open(path) as f:
        lines = iter(f)
        for line in lines:
            if line[60:].strip() == "SYS / # / OBS TYPES":
                if line[0] != " ":
                    last = line[0]
                codes[last] = codes.get(last, 0) + len(line[7:60].split())
            if "END OF HEADER" in line:
                break
        for line in lines:
            if line[0] == ">" or len(line) < 4:
                continue
            line = line.rstrip("\n")
            for k in range(codes.get(line[0], 0)):
                field = line[3 + 16 * k:17 + 16 * k].strip()
                if field:
                    try:
                        float(field)
                        n += 1
                    except ValueError:
                        pass
    return n


def main():
    gz = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 9
    tmp = pathlib.Path(tempfile.mkdtemp())
    try:
        plain = tmp / gz.name[:-3]
        with gzip.open(gz, "rb") as fin, open(plain, "wb") as fout:
            shutil.copyfileobj(fin, fout)
        mb = plain.stat().st_size / 1e6
        print(f"file: {gz.name}, {mb:.1f} MB of text; {runs} interleaved runs, medians; "
              f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}")

        t = {"lines": [], "plain": [], "inflate": [], "gzip": []}
        for _ in range(runs):
            t["lines"].append(timed(lambda: count_lines(plain)))
            t["plain"].append(timed(lambda: skarvo_mp.read_rinex_obs(str(plain))))
            t["inflate"].append(timed(lambda: inflate_only(gz)))
            t["gzip"].append(timed(lambda: skarvo_mp.read_rinex_obs(str(gz))))
        m = {k: statistics.median(v) for k, v in t.items()}
        print(f"plain text: read_rinex_obs {m['plain']:.1f} ms = {mb / m['plain'] * 1e3:.0f} MB/s "
              f"(target >= 500 MB/s); baseline read bytes + count lines {m['lines']:.1f} ms "
              f"({mb / m['lines'] * 1e3:.0f} MB/s); ratio {m['plain'] / m['lines']:.2f}")
        print(f"gzip: read_rinex_obs {m['gzip']:.1f} ms; baseline zlib inflate alone {m['inflate']:.1f} ms "
              f"({mb / m['inflate'] * 1e3:.0f} MB/s of text); ratio {m['gzip'] / m['inflate']:.2f} (target <= 1.5)")

        n_obs = stored_observation_count(plain)
        # VmHWM (peak RSS of this process image; ru_maxrss would carry the
        # parent's peak across fork and exec).
        hwm = "print([l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')][0])"
        base = peak_rss_kb("import skarvo_mp; " + hwm)
        for label, path in (("gzip", gz), ("plain", plain)):
            peak = peak_rss_kb(f"import skarvo_mp; d = skarvo_mp.read_rinex_obs({str(path)!r}); " + hwm)
            print(f"memory ({label}): peak RSS {peak / 1024:.1f} MiB; baseline import only {base / 1024:.1f} MiB; "
                  f"growth {(peak - base) / 1024:.1f} MiB = {(peak - base) * 1024 / n_obs:.1f} bytes per stored "
                  f"observation ({n_obs} observations; target <= 24)")
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
