"""The files a simulation writes: RINEX 3.04 observations and SP3-c orbits,
as text or as (optionally gzip) files with reproducible bytes."""
from __future__ import annotations

import datetime as _dt
import gzip
import math
import os
from typing import List

import numpy as np

from .model import SIGNALS, _Track
from .physics import SPEED_OF_LIGHT


class FileWriters:
    """The writers of `Simulation`, on what it built: config, start, t_s,
    receiver_ecef, tracks, satellites, epoch, position_at and the clocks."""

    def rinex_name(self) -> str:
        """A long RINEX 3 file name for the simulated span (without .gz)."""
        doy = self.start.timetuple().tm_yday
        span = self.t_s[-1] + self.config.interval_s
        if span >= 86400 and span % 86400 == 0:
            period = f"{int(span // 86400):02d}D"
        elif span >= 3600:
            period = f"{int(round(span / 3600)):02d}H"
        else:
            period = f"{int(round(span / 60)):02d}M"
        rate = f"{int(self.config.interval_s):02d}S" if self.config.interval_s >= 1 else "01Z"
        marker = (self.config.marker.upper() + "XXXX")[:4]
        return (f"{marker}00SIM_S_{self.start.year}{doy:03d}{self.start.hour:02d}{self.start.minute:02d}"
                f"_{period}_{rate}_MO.rnx")

    def sp3_name(self) -> str:
        doy = self.start.timetuple().tm_yday
        return f"SIM0SKVFIN_{self.start.year}{doy:03d}0000_01D_15M_ORB.SP3"

    def rinex_text(self) -> str:
        """The observation file as text (RINEX 3.04, mixed systems)."""
        cfg = self.config
        lines = []

        def header(content: str, label: str) -> None:
            lines.append(f"{content:<60.60}{label}")

        header(f"{3.04:9.2f}{'':11}{'OBSERVATION DATA':<20}{'M (MIXED)':<20}", "RINEX VERSION / TYPE")
        header(f"{'skarvo-mp simulate':<20}{'skarvo_tools':<20}{'20250101 000000 UTC':<20}",
               "PGM / RUN BY / DATE")
        header("Simulated station: circular orbits, known multipath,", "COMMENT")
        header(f"slips and a horizontal reflector {cfg.reflector_height_m:.3f} m below"
               + ("." if cfg.reflector_model == "constant" else f" ({cfg.reflector_model}).")[:60], "COMMENT")
        header(f"seed {cfg.seed}", "COMMENT")
        header(cfg.marker, "MARKER NAME")
        header("SIM0001", "MARKER NUMBER")
        header("GEODETIC", "MARKER TYPE")
        header(f"{'simulator':<20}{'skarvo_tools':<40}", "OBSERVER / AGENCY")
        header(f"{'0001':<20}{'SIMULATED RECEIVER':<20}{'1.0':<20}", "REC # / TYPE / VERS")
        header(f"{'0001':<20}{'SIMULATED ANT NONE':<20}", "ANT # / TYPE")
        x, y, z = self.receiver_ecef
        header(f"{x:14.4f}{y:14.4f}{z:14.4f}", "APPROX POSITION XYZ")
        header(f"{0.0:14.4f}{0.0:14.4f}{0.0:14.4f}", "ANTENNA: DELTA H/E/N")
        for system in ("G", "R", "E"):
            if not any(t.system == system for t in self.tracks.values()):
                continue
            codes = self._obs_types(system)
            chunks = [codes[i:i + 13] for i in range(0, len(codes), 13)]
            for k, chunk in enumerate(chunks):
                head = f"{system}  {len(codes):3d}" if k == 0 else " " * 6
                header(head + "".join(f" {c}" for c in chunk), "SYS / # / OBS TYPES")
        header("DBHZ", "SIGNAL STRENGTH UNIT")
        header(f"{cfg.interval_s:10.3f}", "INTERVAL")
        header(self._header_epoch(0) + "     GPS", "TIME OF FIRST OBS")
        header(self._header_epoch(self.t_s.size - 1) + "     GPS", "TIME OF LAST OBS")
        glo = [(int(t.sat[1:]), t.fcn) for t in self.tracks.values() if t.system == "R"]
        glo.sort()
        if glo:
            for k in range(0, len(glo), 8):
                chunk = glo[k:k + 8]
                head = f"{len(glo):3d} " if k == 0 else "    "
                header(head + "".join(f"R{slot:02d} {fcn:2d} " for slot, fcn in chunk),
                       "GLONASS SLOT / FRQ #")
        header(" C1C    0.000 C1P    0.000 C2C    0.000 C2P    0.000", "GLONASS COD/PHS/BIS")
        header("", "END OF HEADER")

        order = self.satellites
        types = {s: self._obs_types(s) for s in ("G", "R", "E")}
        for i in range(self.t_s.size):
            rows = []
            for sat in order:
                track = self.tracks[sat]
                if not track.visible[i]:
                    continue
                fields = []
                for code in types[track.system]:
                    fields.append(self._field(track, code, i))
                rows.append(sat + "".join(fields).rstrip())
            e = self.epoch(i)
            sec = e.second + e.microsecond * 1e-6
            lines.append(f"> {e.year:4d} {e.month:02d} {e.day:02d} {e.hour:02d} {e.minute:02d}"
                         f"{sec:11.7f}  0{len(rows):3d}")
            lines.extend(rows)
        return "\n".join(lines) + "\n"

    def _obs_types(self, system: str) -> List[str]:
        out = []
        for sig in SIGNALS[system]:
            out += [sig.code, sig.phase, sig.snr]
        return out

    def _field(self, track: _Track, code: str, i: int) -> str:
        kind = code[0]
        if kind == "C":
            arr = track.code.get(code)
        elif kind == "L":
            arr = track.phase.get(code)
        else:
            arr = track.snr.get(code)
        if arr is None or not math.isfinite(arr[i]):
            return " " * 16
        value = float(arr[i])
        lli = " "
        if kind == "L":
            lli = "1" if track.lli[code][i] else " "
        snr_code = "S" + code[1:]
        s = track.snr.get(snr_code)
        ssi = " "
        if s is not None and math.isfinite(s[i]):
            ssi = str(min(9, max(1, int(s[i] // 6))))
        return f"{value:14.3f}{lli}{ssi}"

    def _header_epoch(self, index: int) -> str:
        e = self.epoch(index)
        sec = e.second + e.microsecond * 1e-6
        return f"{e.year:6d}{e.month:6d}{e.day:6d}{e.hour:6d}{e.minute:6d}{sec:13.7f}"

    def write_rinex(self, path: str) -> str:
        """Writes the observation file; gzip (reproducible bytes) when `path` ends in .gz."""
        return _write_text(path, self.rinex_text())

    def sp3_text(self, interval_s: float = 900.0) -> str:
        """SP3-c positions every `interval_s` seconds, covering the span plus one
        interval before and after (whole multiples of the interval)."""
        cfg = self.config
        first = math.floor((self.t_s[0] - interval_s) / interval_s) * interval_s
        last = math.ceil((self.t_s[-1] + interval_s) / interval_s) * interval_s
        times = np.arange(first, last + 0.5 * interval_s, interval_s)
        sats = self.satellites
        pos = {sat: self.position_at(sat, times) for sat in sats}
        t0 = self.start + _dt.timedelta(seconds=float(first))
        gps_origin = _dt.datetime(1980, 1, 6)
        since = (t0 - gps_origin).total_seconds()
        week, sow = int(since // 604800), since % 604800
        mjd = (t0 - _dt.datetime(1858, 11, 17)).total_seconds() / 86400.0
        lines = [
            f"#cP{t0.year:4d} {t0.month:2d} {t0.day:2d} {t0.hour:2d} {t0.minute:2d} {t0.second:11.8f}"
            f" {times.size:7d} ORBIT IGS14 FIT  SIM",
            f"## {week:4d} {sow:15.8f} {interval_s:14.8f} {int(mjd):5d} {mjd - int(mjd):15.13f}",
        ]
        # Five or more lines of 17 identifiers; unused slots hold 0.
        n_lines = max(5, -(-len(sats) // 17))
        ids = sats + ["0"] * (n_lines * 17 - len(sats))
        for k in range(n_lines):
            chunk = "".join(f"{s:>3}" for s in ids[17 * k:17 * k + 17])
            lines.append((f"+   {len(sats):2d}   " if k == 0 else "+        ") + chunk)
        for k in range(n_lines):
            lines.append("++       " + "  0" * 17)
        lines += [
            "%c M  cc GPS ccc cccc cccc cccc cccc ccccc ccccc ccccc ccccc",
            "%c cc cc ccc ccc cccc cccc cccc cccc ccccc ccccc ccccc ccccc",
            "%f  1.2500000  1.025000000  0.00000000000  0.000000000000000",
            "%f  0.0000000  0.000000000  0.00000000000  0.000000000000000",
            "%i    0    0    0    0      0      0      0      0         0",
            "%i    0    0    0    0      0      0      0      0         0",
            "/* SIMULATED ORBITS: CIRCULAR, EARTH-FIXED FRAME",
            f"/* seed {cfg.seed}",
            "/*",
            "/*",
        ]
        for k, t in enumerate(times):
            e = self.start + _dt.timedelta(seconds=float(t))
            sec = e.second + e.microsecond * 1e-6
            lines.append(f"*  {e.year:4d} {e.month:2d} {e.day:2d} {e.hour:2d} {e.minute:2d} {sec:11.8f}")
            for sat in sats:
                x, y, z = pos[sat][k] / 1000.0
                clock_us = self._clock_m[sat] / SPEED_OF_LIGHT * 1e6
                lines.append(f"P{sat}{x:14.6f}{y:14.6f}{z:14.6f}{clock_us:14.6f}")
        lines.append("EOF")
        return "\n".join(lines) + "\n"

    def write_sp3(self, path: str, interval_s: float = 900.0) -> str:
        """Writes the SP3-c orbit file; gzip when `path` ends in .gz."""
        return _write_text(path, self.sp3_text(interval_s))


def _write_text(path: str, text: str) -> str:
    data = text.encode("ascii")
    if str(path).endswith(".gz"):
        # No name and a zero time stamp in the gzip header: same seed, same bytes.
        with open(path, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw,
                                                    compresslevel=6, mtime=0) as gz:
            gz.write(data)
    else:
        with open(path, "wb") as f:
            f.write(data)
    return os.fspath(path)
