"""Shared fixtures: the real observation and orbit files of ../shared/data, and
the C++ check programs of tests/cpp.

Tests that need the data files skip with a reason when the folder is absent
(outside this workplace). CI sets SKARVO_REQUIRE_DATA=1 so that a missing
folder fails the run instead of skipping silently.
"""
import gzip
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
DATA_DIR = pathlib.Path(os.environ.get("SKARVO_DATA", ROOT.parent / "shared" / "data"))
CPP_BUILD = ROOT / "build" / "cpp-checks"


def data_path(relative: str) -> pathlib.Path:
    """Path of a file of the shared data folder, or skip the test."""
    path = DATA_DIR / relative
    if not path.exists():
        if os.environ.get("SKARVO_REQUIRE_DATA") == "1":
            pytest.fail(f"shared data file missing: {path}")
        pytest.skip(f"shared data folder not available ({path} missing)")
    return path


@pytest.fixture
def data():
    """Callable giving the path of a shared data file (skips when absent)."""
    return data_path


def gunzipper(tmp_path_factory):
    """Callable giving a decompressed copy of a shared .gz data file (each
    file decompressed once; skips like data_path when it is absent)."""
    cache = {}

    def get(relative: str) -> pathlib.Path:
        if relative not in cache:
            # Check the source first: a skipped test must not leave a path
            # behind for the next one to find without its file.
            source = data_path(relative)
            target = tmp_path_factory.mktemp("gunzip") / pathlib.Path(relative).name[:-3]
            with gzip.open(source, "rb") as fin, open(target, "wb") as fout:
                shutil.copyfileobj(fin, fout)
            cache[relative] = target
        return cache[relative]

    return get


@pytest.fixture(scope="session")
def gunzipped(tmp_path_factory):
    """Callable giving a decompressed copy of a shared .gz data file."""
    return gunzipper(tmp_path_factory)


def cpp_program(name: str) -> pathlib.Path:
    """A C++ program of tests/cpp: the one in $SKARVO_CPP_BUILD or beside the
    module (builds configured with -DSKARVO_CPP_TESTS=ON), else built here
    from the core sources with CMake, so that an installed module is checked
    the same way."""
    import skarvo_mp

    for folder in (os.environ.get("SKARVO_CPP_BUILD"), pathlib.Path(skarvo_mp.__file__).parent):
        if folder and (pathlib.Path(folder) / name).is_file():
            return pathlib.Path(folder) / name
    steps = [["cmake", "--build", str(CPP_BUILD), "--target", name]]
    if not (CPP_BUILD / "CMakeCache.txt").exists():
        steps.insert(0, ["cmake", "-S", str(ROOT), "-B", str(CPP_BUILD), "-DSKARVO_PYTHON=OFF", "-DSKARVO_CPP_TESTS=ON",
                         "-DCMAKE_BUILD_TYPE=Release"] + (["-G", "Ninja"] if shutil.which("ninja") else []))
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            pytest.fail(f"building {name} failed:\n" + done.stdout[-3000:] + done.stderr[-2000:])
    return CPP_BUILD / name


def run_cli(*args):
    """The skarvo-mp command run in this process: (status, stdout text, stderr text)."""
    import io

    from skarvo_tools import cli

    out, err = io.StringIO(), io.StringIO()
    rc = cli.main([str(a) for a in args], stdout=out, stderr=err)
    return rc, out.getvalue(), err.getvalue()
