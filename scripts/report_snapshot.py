#!/usr/bin/env python3
"""JSON reports of every observation file of ../shared/data, to show that a
change of code left the results alone (or changed exactly what it meant to).

    python3 scripts/report_snapshot.py OUTDIR          write OUTDIR/<file>.json
    python3 scripts/report_snapshot.py --compare A B   list what differs

Files with an orbit file of the same day are reported with it, so that the
elevation columns are covered too. Run it with the module under test first on
PYTHONPATH (for example PYTHONPATH=build/dev:python).
"""
from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

DATA = Path(__file__).resolve().parents[1].parent / "shared" / "data"

# Observation file -> orbit files of its day (paths relative to DATA).
ORBITS = {
    "rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz": ["sp3/GRG0MGXFIN_20201770000_01D_15M_ORB.SP3.gz"],
    "rinex2/delf0010.21o": ["sp3/igs21385.sp3"],
    "rinex2/zegv0010.21o": ["sp3/igs21385.sp3"],
    "rinex3/pdel0010.21o": ["sp3/igs21385.sp3"],
    "odd/flrs0010.12o": ["sp3/igs21385.sp3"],
    "crx/P43300USA_R_20190012056_17M_15S_MO.rnx": ["sp3/igs20342.sp3"],
}
IGNORED_KEYS = {"generator", "path"}

# Further runs that reach what the plain reports do not: broadcast orbits,
# several orbit files merged, compact and compressed input, reflector heights.
# Name -> command arguments after "python -m skarvo_tools" (paths relative to DATA).
EXTRA_RUNS = {
    "nav__ESBC": ["report", "rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz",
                  "--nav", "nav/ESBC00DNK_R_20201770000_01D_MN.rnx.gz"],
    "nav__delf_brdc": ["report", "rinex2/delf0010.21o", "--nav", "nav/brdc0010.21n"],
    "nav__rob40020": ["report", "crx/rob40020.13o", "--nav", "nav/rob40020.13n"],
    "sp3merge__ESBC": ["report", "rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz", "--sp3",
                       "sp3/GRG0MGXFIN_20201760000_01D_15M_ORB.SP3.gz",
                       "sp3/GRG0MGXFIN_20201770000_01D_15M_ORB.SP3.gz"],
    "crx__NYA1": ["report", "crx/NYA100NOR_S_20241240000_01D_30S_MO.crx.gz"],
    "crx__rob40020_Z": ["report", "crx/rob40020.13d.Z"],
    "crx__york0440": ["report", "crx/york0440.15d"],
    "reflector__ESBC": ["reflector", "rinex3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx.gz", "--sp3",
                        "sp3/GRG0MGXFIN_20201770000_01D_15M_ORB.SP3.gz"],
    "reflector__delf_nav": ["reflector", "rinex2/delf0010.21o", "--nav", "nav/brdc0010.21n"],
}


def _run_json(args: list[str]) -> tuple[int, str, str]:
    run = subprocess.run([sys.executable, "-m", "skarvo_tools", *args, "--json", "--no-plots"],
                         capture_output=True, text=True, env=os.environ.copy())
    return run.returncode, run.stdout, run.stderr


def _arrays_digest() -> dict:
    """sha256 of every array column of one observation file and its results."""
    import hashlib
    import skarvo_mp as mp
    obs = mp.read_rinex_obs(str(DATA / "rinex3/pdel0010.21o"))
    res = mp.MultipathAnalyzer(obs).analyze()
    out = {}

    def walk(prefix: str, value) -> None:
        if isinstance(value, dict):
            for key in sorted(value):
                walk(f"{prefix}.{key}", value[key])
        else:
            data = value.tobytes() if hasattr(value, "tobytes") else repr(value).encode()
            out[prefix] = hashlib.sha256(data).hexdigest()

    walk("obs", obs.to_numpy())
    walk("results", res.to_numpy())
    return out


def _demo_digest() -> dict:
    """sha256 of every file the simulator writes for a short seeded day."""
    import hashlib
    import tempfile
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([sys.executable, "-m", "skarvo_tools", "demo", "--out", tmp, "--hours", "3",
                        "--no-plots"], capture_output=True, check=True, env=os.environ.copy())
        return {p.relative_to(tmp).as_posix():
                hashlib.sha256(p.read_bytes().replace(tmp.encode(), b"OUT")).hexdigest()
                for p in sorted(Path(tmp).rglob("*"))
                if p.is_file() and p.suffix.lower() not in (".png", ".html", ".json")}


def observation_files() -> list[Path]:
    found = []
    for sub in ("rinex2", "rinex3", "rinex4", "odd", "crx"):
        for path in sorted((DATA / sub).iterdir()):
            name = path.name.lower()
            if name.endswith((".sp3", ".sp3c", ".crx", ".crx.gz", ".z")) or name.endswith("d"):
                continue
            found.append(path)
    return found


def write(outdir: Path) -> int:
    outdir.mkdir(parents=True, exist_ok=True)
    failures = 0
    for path in observation_files():
        rel = path.relative_to(DATA).as_posix()
        args = [sys.executable, "-m", "skarvo_tools", "report", str(path), "--json", "--no-plots"]
        for orbit in ORBITS.get(rel, []):
            args += ["--sp3", str(DATA / orbit)]
        run = subprocess.run(args, capture_output=True, text=True, env=os.environ.copy())
        target = outdir / (rel.replace("/", "__") + ".json")
        if run.returncode != 0:
            failures += 1
            target.write_text(json.dumps({"exit": run.returncode, "stderr": run.stderr}, indent=1))
        else:
            target.write_text(run.stdout)
        print(f"{rel}: exit {run.returncode}", file=sys.stderr)
    for name, args in EXTRA_RUNS.items():
        args = [str(DATA / a) if (DATA / a).exists() else a for a in args]
        code, stdout, stderr = _run_json(args)
        (outdir / f"{name}.json").write_text(
            stdout if code == 0 else json.dumps({"exit": code, "stderr": stderr}, indent=1))
        failures += code != 0
        print(f"{name}: exit {code}", file=sys.stderr)
    (outdir / "arrays__pdel.json").write_text(json.dumps(_arrays_digest(), indent=1))
    (outdir / "demo__files.json").write_text(json.dumps(_demo_digest(), indent=1))
    return 0 if failures == 0 else 1


def _diff(a, b, where: str, out: list[str]) -> None:
    if len(out) > 20:
        return
    if isinstance(a, dict) and isinstance(b, dict):
        for key in sorted(set(a) | set(b)):
            if key in IGNORED_KEYS:
                continue
            if key not in a or key not in b:
                out.append(f"{where}.{key}: only in {'B' if key not in a else 'A'}")
            else:
                _diff(a[key], b[key], f"{where}.{key}", out)
    elif isinstance(a, list) and isinstance(b, list):
        if len(a) != len(b):
            out.append(f"{where}: {len(a)} items vs {len(b)}")
        for i, (x, y) in enumerate(zip(a, b)):
            _diff(x, y, f"{where}[{i}]", out)
    elif a != b:
        out.append(f"{where}: {a!r} vs {b!r}")


def compare(a: Path, b: Path) -> int:
    differing = 0
    for left in sorted(a.glob("*.json")):
        right = b / left.name
        if not right.exists():
            print(f"{left.name}: missing in {b}")
            differing += 1
            continue
        out: list[str] = []
        _diff(json.loads(left.read_text()), json.loads(right.read_text()), "", out)
        if out:
            differing += 1
            print(f"{left.name}:")
            for line in out[:20]:
                print(f"  {line}")
    print(f"{differing} of {len(list(a.glob('*.json')))} reports differ")
    return 0 if differing == 0 else 1


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--compare":
        sys.exit(compare(Path(sys.argv[2]), Path(sys.argv[3])))
    if len(sys.argv) == 2:
        sys.exit(write(Path(sys.argv[1])))
    sys.exit(__doc__)
