"""Helpers of the RINEX reader tests: file locations, a builder of header
lines, and the stored observations as printed by the C++ dump program."""
import os
import pathlib
import subprocess


from conftest import cpp_program

FILES = pathlib.Path(__file__).resolve().parent / "files" / "rinex"


def header_line(content: str, label: str) -> str:
    """One header line: 60 columns of content, then the label."""
    assert len(content) <= 60
    return content.ljust(60) + label + "\n"


def v3_header(*extra: str, version: str = "3.04") -> str:
    """A small version 3 header declaring C1C L1C S1C for G and R."""
    lines = [header_line(f"{version:>9}           OBSERVATION DATA    M", "RINEX VERSION / TYPE")]
    lines += list(extra)
    lines.append(header_line("G    3 C1C L1C S1C", "SYS / # / OBS TYPES"))
    lines.append(header_line("R    3 C1C L1C S1C", "SYS / # / OBS TYPES"))
    lines.append(header_line("", "END OF HEADER"))
    return "".join(lines)


def dump_program() -> pathlib.Path:
    """The rinex_dump program ($SKARVO_RINEX_DUMP overrides the search)."""
    override = os.environ.get("SKARVO_RINEX_DUMP")
    if override:
        return pathlib.Path(override)
    return cpp_program("rinex_dump")


def stored_observations(path) -> dict:
    """{(epoch index, satellite id, code): (value, lli, ssi)} as stored by the
    reader, with None for absent indicators."""
    out = subprocess.run([str(dump_program()), str(path)], capture_output=True, text=True, check=False)
    assert out.returncode == 0, out.stdout + out.stderr
    obs = {}
    epoch = -1
    for line in out.stdout.splitlines():
        parts = line.split()
        if parts[0] == "E":
            epoch = int(parts[1])
        elif parts[2] != "-":
            lli = None if parts[4] == "-" else int(parts[4])
            ssi = None if parts[5] == "-" else int(parts[5])
            key = (epoch, parts[1], parts[2])
            assert key not in obs, f"code stored twice: {key}"
            obs[key] = (float(parts[3]), lli, ssi)
    return obs
