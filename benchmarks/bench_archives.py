"""Reading archive forms of a real full day, each figure with a baseline
measured in the same run (interleaved runs, medians):

- compact RINEX in gzip (.crx.gz) read by read_rinex_obs, against the same
  day as .rnx.gz read by read_rinex_obs (target: ratio <= 1.5);
- the same .crx.gz read by read_rinex_obs, against the `hatanaka` package
  decompressing it to text (its own C decoder) followed by our reader on
  that text (target: ours at least 3x faster);
- Unix compress: decode_file on a .Z of the day's text, against the
  `ncompress` package decompressing the same bytes (target: ratio <= 1.5);
- memory: peak RSS of fresh processes reading the .crx.gz and the .rnx.gz.

The compact and .Z files are made in a temporary folder from the day's
text with the `hatanaka` and `ncompress` packages (test extra).

Run: PYTHONPATH=build/dev python benchmarks/bench_archives.py [FILE.rnx.gz] [runs]
"""
import gzip
import os
import pathlib
import shutil
import statistics
import sys
import tempfile

import hatanaka
import ncompress
import skarvo_mp
from benchkit import ESBC_OBS, peak_rss_kb, timed_ms as timed

DEFAULT = ESBC_OBS


def main():
    rnx_gz = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 and sys.argv[1] else DEFAULT
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    tmp = pathlib.Path(tempfile.mkdtemp())
    try:
        text = gzip.decompress(rnx_gz.read_bytes())
        crx = hatanaka.rnx2crx(text)
        crx_gz = tmp / "day.crx.gz"
        crx_gz.write_bytes(gzip.compress(crx, 6, mtime=0))
        rnx_z = tmp / "day.rnx.Z"
        rnx_z.write_bytes(ncompress.compress(text))
        z_bytes = rnx_z.read_bytes()
        print(f"day: {rnx_gz.name}, {len(text) / 1e6:.1f} MB of text; .rnx.gz {rnx_gz.stat().st_size / 1e6:.1f} MB, "
              f".crx.gz {crx_gz.stat().st_size / 1e6:.1f} MB, .rnx.Z {len(z_bytes) / 1e6:.1f} MB; {runs} interleaved "
              f"runs, medians; {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} (shared machine)")

        def peer_then_ours():
            decoded = hatanaka.decompress(crx_gz.read_bytes())
            skarvo_mp.read_rinex_obs_bytes(decoded, "day.rnx")

        t = {"rnx_gz": [], "crx_gz": [], "peer": [], "z_ours": [], "z_peer": []}
        for _ in range(runs):
            t["rnx_gz"].append(timed(lambda: skarvo_mp.read_rinex_obs(str(rnx_gz))))
            t["crx_gz"].append(timed(lambda: skarvo_mp.read_rinex_obs(str(crx_gz))))
            t["peer"].append(timed(peer_then_ours))
            t["z_ours"].append(timed(lambda: skarvo_mp.decode_file(str(rnx_z))))
            t["z_peer"].append(timed(lambda: ncompress.decompress(z_bytes)))
        m = {k: statistics.median(v) for k, v in t.items()}
        print(f"crx.gz vs rnx.gz: read_rinex_obs .crx.gz {m['crx_gz']:.0f} ms; baseline read_rinex_obs .rnx.gz "
              f"{m['rnx_gz']:.0f} ms; ratio {m['crx_gz'] / m['rnx_gz']:.2f} (target <= 1.5)")
        print(f"crx.gz vs peer: read_rinex_obs .crx.gz {m['crx_gz']:.0f} ms; baseline hatanaka.decompress + "
              f"read_rinex_obs_bytes {m['peer']:.0f} ms; ours {m['peer'] / m['crx_gz']:.2f}x faster (target >= 3)")
        print(f".Z: decode_file {m['z_ours']:.0f} ms; baseline ncompress.decompress {m['z_peer']:.0f} ms; "
              f"ratio {m['z_ours'] / m['z_peer']:.2f} (target <= 1.5)")

        # VmHWM: the peak RSS of this process image.
        hwm = "print([l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')][0])"
        base = peak_rss_kb("import skarvo_mp; " + hwm)
        peaks = {}
        for label, path in (("rnx.gz", rnx_gz), ("crx.gz", crx_gz)):
            peaks[label] = peak_rss_kb(f"import skarvo_mp; d = skarvo_mp.read_rinex_obs({str(path)!r}); " + hwm)
            print(f"memory ({label}): peak RSS {peaks[label] / 1024:.1f} MiB; import only {base / 1024:.1f} MiB; "
                  f"growth {(peaks[label] - base) / 1024:.1f} MiB")
        print(f"memory: crx.gz growth / rnx.gz growth = "
              f"{(peaks['crx.gz'] - base) / max(1, peaks['rnx.gz'] - base):.2f} (target: about 1)")
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
