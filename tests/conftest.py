"""Shared fixtures: the real observation and orbit files of ../shared/data.

Tests that need those files skip with a reason when the folder is absent
(outside this workplace). CI sets SKARVO_REQUIRE_DATA=1 so that a missing
folder fails the run instead of skipping silently.
"""
import atexit
import gzip
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
DATA_DIR = pathlib.Path(os.environ.get("SKARVO_DATA", ROOT.parent / "shared" / "data"))


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


@pytest.fixture(scope="session")
def gunzipped(tmp_path_factory):
    """Callable giving a decompressed copy of a shared .gz data file."""
    cache = {}

    def get(relative: str) -> pathlib.Path:
        if relative not in cache:
            src = data_path(relative)
            out = tmp_path_factory.mktemp("gunzip") / src.name[:-3]
            with gzip.open(src, "rb") as fin, open(out, "wb") as fout:
                shutil.copyfileobj(fin, fout)
            cache[relative] = out
        return cache[relative]

    return get


_programs = {}


def cpp_program(name: str, sources: list) -> pathlib.Path:
    """A C++ check program of tests/cpp: the one in $SKARVO_CPP_BUILD or beside
    the module (builds configured with -DSKARVO_CPP_TESTS=ON), else compiled
    here once from `sources` (globs relative to the project root) with the
    system compiler, so that an installed module is checked the same way."""
    import skarvo_mp

    for folder in (os.environ.get("SKARVO_CPP_BUILD"), pathlib.Path(skarvo_mp.__file__).parent):
        if folder and (pathlib.Path(folder) / name).is_file():
            return pathlib.Path(folder) / name
    if name not in _programs:
        compiler = shutil.which(os.environ.get("CXX", "c++"))
        files = [str(f) for pattern in sources for f in sorted(ROOT.glob(pattern))]
        if compiler is None:
            pytest.fail(f"{name}: no C++ compiler to build it")
        out = pathlib.Path(tempfile.mkdtemp(prefix=name)) / name
        atexit.register(shutil.rmtree, out.parent, True)
        cmd = [compiler, "-O2", "-std=c++20", f"-I{ROOT / 'src'}", "-I/usr/include/eigen3", *files,
               str(ROOT / "tests" / "cpp" / f"{name}.cpp"), "-lz", "-pthread", "-o", str(out)]
        build = subprocess.run(cmd, capture_output=True, text=True, check=False)
        if build.returncode != 0:
            pytest.fail(f"{name} could not be compiled:\n{build.stderr[-3000:]}")
        _programs[name] = out
    return _programs[name]
