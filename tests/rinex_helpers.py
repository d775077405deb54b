"""Helpers of the observation tests: the tiny quirk files, a writer and an
independent column reader of RINEX 3 text, and the observations as stored
by the reader (printed by the C++ dump program)."""
import math
import os
import pathlib
import subprocess
from datetime import datetime, timedelta

import pytest

from conftest import cpp_program

FILES = pathlib.Path(__file__).resolve().parent / "files" / "rinex"
START = datetime(2020, 6, 25)


SYSTEM_LABELS = {"G": "GPS", "R": "GLO", "E": "GAL", "C": "BDS", "J": "QZS", "S": "SBS", "I": "IRN"}


def label(e):
    """The statistics label of a multipath estimate (GPSM1C for a GPS C1C estimate)."""
    return SYSTEM_LABELS[e.system] + "M" + e.signal[1:]


def fields(e):
    return (e.year, e.month, e.day, e.hour, e.minute, e.second)


def summary(d):
    """What a read gives, in plain values: two reads of the same text agree."""
    return (d.version, d.marker_name, d.num_epochs, [s.id for s in d.satellites()], [fields(e) for e in d.epochs()],
            {c: d.observation_types(c) for c in "GRECJSIM"})


def read_error(tmp_path, data, name="bad.rnx") -> str:
    """The reader's message for `data` given as bytes; a read of the same
    text from a file says the same after its own prefix."""
    import skarvo_mp as sk

    data = data.encode() if isinstance(data, str) else data
    (tmp_path / name).write_bytes(data)
    with pytest.raises(OSError) as from_path:
        sk.read_rinex_obs(str(tmp_path / name))
    with pytest.raises(OSError) as from_bytes:
        sk.read_rinex_obs_bytes(data, name)
    text = str(from_bytes.value)
    assert text.startswith("Failed to parse RINEX: ")
    assert str(from_path.value) == "Failed to read RINEX: " + text[len("Failed to parse RINEX: "):]
    return text


def header_line(content: str, label: str) -> str:
    """One header line: 60 columns of content, then the label."""
    assert len(content) <= 60
    return content.ljust(60) + label + "\n"


def v3_header(*extra: str, version: str = "3.04") -> str:
    """A small version 3 header declaring C1C L1C S1C for G and R."""
    lines = [header_line(f"{version:>9}           OBSERVATION DATA    M", "RINEX VERSION / TYPE"), *extra]
    lines += [header_line(f"{s}    3 C1C L1C S1C", "SYS / # / OBS TYPES") for s in "GR"]
    return "".join(lines) + header_line("", "END OF HEADER")


def rinex3(epochs, types, interval=30.0) -> str:
    """Text of a RINEX 3.04 file. `epochs`: (seconds after 2020-06-25 00:00,
    {satellite: {code: value, (value, lli) or None}}); `types`: {system: codes}."""
    lines = [header_line("     3.04           OBSERVATION DATA    M", "RINEX VERSION / TYPE")]
    lines += [header_line(f"{s}  {len(c):3d}" + "".join(f" {x}" for x in c), "SYS / # / OBS TYPES")
              for s, c in types.items()]
    if interval is not None:
        lines.append(header_line(f"{interval:10.3f}", "INTERVAL"))
    lines.append(header_line("", "END OF HEADER"))
    for offset, sats in epochs:
        t = START + timedelta(seconds=offset)
        sec = t.second + t.microsecond / 1e6
        lines.append(f"> {t:%Y %m %d %H %M}{sec:11.7f}  0{len(sats):3d}\n")
        lines += [(sat + "".join(_field(obs.get(c)) for c in types[sat[0]])).rstrip() + "\n"
                  for sat, obs in sats.items()]
    return "".join(lines)


def rinex2(epochs, types) -> str:
    """Text of a RINEX 2.11 file: `epochs` as for rinex3, one list of
    two-character `types` for every system."""
    lines = [header_line("     2.11           OBSERVATION DATA    M (MIXED)", "RINEX VERSION / TYPE")]
    for i in range(0, len(types), 9):
        head = f"{len(types):6d}" if i == 0 else " " * 6
        lines.append(header_line(head + "".join(f"{t:>6}" for t in types[i:i + 9]), "# / TYPES OF OBSERV"))
    lines += [header_line(f"{30.0:10.3f}", "INTERVAL"), header_line("", "END OF HEADER")]
    for offset, sats in epochs:
        t = START + timedelta(seconds=offset)
        names = list(sats)
        lines.append(f" {t:%y %m %d %H %M}{t.second:11.7f}  0{len(names):3d}" + "".join(names[:12]) + "\n")
        lines += [" " * 32 + "".join(names[k:k + 12]) + "\n" for k in range(12, len(names), 12)]
        for obs in sats.values():
            cells = [_field(obs.get(c)) for c in types]
            lines += ["".join(cells[i:i + 5]).rstrip() + "\n" for i in range(0, len(cells), 5)]
    return "".join(lines)


def _field(v):
    """An F14.3 observation field with its loss-of-lock digit: `v` is a value, (value, lli) or None."""
    value, lli = v if isinstance(v, tuple) else (v, None)
    return " " * 16 if value is None else f"{value:14.3f}{'' if lli is None else lli:1} "


def snr_wave(i, k=0):
    """A plausible SNR value in dB-Hz with a slow trend and a reflection ripple."""
    return 42.0 + 6.0 * math.sin(i * 0.004 + k) + 0.8 * math.sin(i * 0.21 + 0.3 * k)


def number(text):
    try:
        return float(text)
    except ValueError:
        return None


def digit(text, i):
    return int(text[i]) if i < len(text) and text[i].isdigit() else None


def parse_v3(lines, satellites=None):
    """Reads RINEX 3 text by its byte columns alone: (header lines, types per
    system, epoch lines, {(epoch index, satellite, code): (value, lli, ssi)}).
    `satellites` restricts the values kept."""
    types, system, i = {}, None, 0
    while "END OF HEADER" not in lines[i]:
        line = lines[i]
        if line[60:].strip() == "SYS / # / OBS TYPES":
            system = line[0] if line[0] != " " else system
            types.setdefault(system, []).extend(line[7:60].split())
        i += 1
    header, epochs, obs = lines[:i + 1], [], {}
    i += 1
    while i < len(lines):
        line = lines[i]
        i += 1
        if not line.startswith(">"):
            continue
        epochs.append(line)
        n = int(line[32:35])
        for sat_line in lines[i:i + n]:
            sat = sat_line[0:3].replace(" ", "0")
            if satellites is not None and sat not in satellites:
                continue
            for k, code in enumerate(types.get(sat[0], [])):
                f = sat_line[3 + 16 * k:3 + 16 * k + 16]
                v = number(f[:14])
                if v is not None:
                    obs[(len(epochs) - 1, sat, code)] = (v, digit(f, 14), digit(f, 15))
        i += n
    return header, types, epochs, obs


def stored_observations(path) -> dict:
    """{(epoch index, satellite id, code): (value, lli, ssi)} as stored by the
    reader, with None for absent indicators ($SKARVO_RINEX_DUMP overrides the
    dump program)."""
    program = os.environ.get("SKARVO_RINEX_DUMP") or cpp_program("rinex_dump")
    out = subprocess.run([str(program), str(path)], capture_output=True, text=True, check=False)
    assert out.returncode == 0, out.stdout + out.stderr
    obs, epoch = {}, -1
    for line in out.stdout.splitlines():
        parts = line.split()
        if parts[0] == "E":
            epoch = int(parts[1])
        elif parts[2] != "-":
            key = (epoch, parts[1], parts[2])
            assert key not in obs, f"code stored twice: {key}"
            obs[key] = (float(parts[3]), *(None if p == "-" else int(p) for p in parts[4:6]))
    return obs
