"""The C++ check programs of tests/cpp: core behaviour that Python cannot
reach one case at a time (number parsing, error rendering, storage of the
reader, slip thresholds, the pool, FFT accuracy). Each exits non-zero on a
failed check."""
import pathlib
import subprocess

import pytest

from conftest import cpp_program

CHECKS = sorted(p.stem for p in (pathlib.Path(__file__).parent / "cpp").glob("test_*.cpp"))


@pytest.mark.parametrize("name", CHECKS)
def test_cpp_checks_pass(name):
    done = subprocess.run([str(cpp_program(name))], capture_output=True, text=True, timeout=600, check=False)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
