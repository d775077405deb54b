"""The FFT of the core against numpy.fft, through the C++ test program
(its "pipe" mode), compiled on demand when no built one is found. The
transform is also checked end to end by the Morlet tests."""
import subprocess

import numpy as np
import pytest

from conftest import cpp_program



def fft_tool():
    return cpp_program("test_fft")


def run_fft(data, inverse):
    data = np.ascontiguousarray(data, dtype=np.complex128)
    header = f"{len(data)} {int(inverse)}\n".encode()
    out = subprocess.run([fft_tool(), "pipe"], input=header + data.tobytes(), capture_output=True, check=True)
    return np.frombuffer(out.stdout, dtype=np.complex128)


@pytest.mark.parametrize("p", range(0, 17))
def test_forward_matches_numpy(p):
    n = 1 << p
    rng = np.random.default_rng(p)
    x = rng.standard_normal(n) + 1j * rng.standard_normal(n)
    got = run_fft(x, False)
    ref = np.fft.fft(x)
    assert np.max(np.abs(got - ref)) <= 1e-12 * max(np.max(np.abs(ref)), 1.0)


@pytest.mark.parametrize("p", [1, 5, 10, 16])
def test_round_trip(p):
    n = 1 << p
    rng = np.random.default_rng(100 + p)
    x = rng.standard_normal(n) + 1j * rng.standard_normal(n)
    back = run_fft(run_fft(x, False), True)
    # Each pass adds about eps*log2(N) relative error.
    assert np.max(np.abs(back - x)) <= 4 * np.finfo(float).eps * (p + 1) * np.max(np.abs(x))
    np.testing.assert_allclose(run_fft(x, True), np.fft.ifft(x), rtol=0, atol=1e-12 * np.max(np.abs(x)))


def test_other_lengths_are_refused():
    with pytest.raises(subprocess.CalledProcessError) as err:
        run_fft(np.ones(3), False)
    assert err.value.returncode == 3
