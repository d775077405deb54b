"""Speed of the Morlet transform on one core: 20,000 samples (N = 32,768,
107 scales), against the same transform written with numpy.fft, measured in
the same process. Runs itself in a fresh subprocess pinned to one CPU, so
that the worker pool is created with a single worker.

    PYTHONPATH=build/dev python benchmarks/bench_fft.py [--runs 9]
"""
import argparse
import os
import statistics
import subprocess
import sys
import time


def numpy_morlet_power(np, y, dt, dj=0.125):
    n = len(y)
    s0 = 2 * dt
    J = max(int(np.log2(n * dt / s0) / dj), 1)
    scales = s0 * 2.0 ** (np.arange(J + 1) * dj)
    N = 1 << (n - 1).bit_length()
    x = np.zeros(N)
    x[:n] = y - y.mean()
    X = np.fft.fft(x)
    k = np.arange(N)
    omega = 2 * np.pi * np.where(k < N - N // 2, k, k - N) / (N * dt)
    pos = omega > 0
    out = np.empty((J + 1, n))
    W = np.zeros(N, dtype=complex)
    for j, s in enumerate(scales):
        W[pos] = X[pos] * (np.pi ** -0.25 * np.sqrt(2 * np.pi * s / dt)) * np.exp(-0.5 * (s * omega[pos] - 6) ** 2)
        w = np.fft.ifft(W)[:n]
        out[j] = w.real ** 2 + w.imag ** 2
    return out


def median_ms(fn, runs):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t) * 1e3)
    return statistics.median(times)


def measure(runs):
    import numpy as np

    import skarvo_mp as sk

    n, dt = 20000, 1.0
    rng = np.random.default_rng(7)
    y = np.sin(2 * np.pi * np.arange(n) / 300.0) + 0.3 * rng.standard_normal(n)
    ylist = list(y)
    got = sk.morlet_cwt(ylist, dt)
    assert len(got["scales"]) == 107
    ref = numpy_morlet_power(np, y, dt)
    err = np.max(np.abs(np.array(got["power"]) - ref)) / ref.max()
    everything = [(0.0, float("inf"))]
    t_np = median_ms(lambda: numpy_morlet_power(np, y, dt), runs)
    t_core = median_ms(lambda: sk.band_power(ylist, dt, everything), runs)
    t_full = median_ms(lambda: sk.morlet_cwt(ylist, dt), runs)
    # The floor for handing 107 x 20,000 floats to Python as lists.
    t_tolist = median_ms(lambda: ref.tolist(), runs)
    print(f"CPUs available: {len(os.sched_getaffinity(0))}, load average {os.getloadavg()[0]:.2f}")
    print(f"max |power - numpy| / max power: {err:.2e}")
    print(f"baseline numpy.fft transform:              {t_np:7.2f} ms")
    print(f"transform (band_power over all scales):    {t_core:7.2f} ms  ({t_np / t_core:.2f}x numpy)")
    print(f"morlet_cwt incl. 2.1 M Python floats:      {t_full:7.2f} ms  ({t_np / t_full:.2f}x numpy)")
    print(f"  of which lists of floats (numpy tolist of the same shape: {t_tolist:.2f} ms)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--pinned", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.pinned:
        measure(args.runs)
        return
    cpu = min(os.sched_getaffinity(0))
    code = (
        f"import os, sys; os.sched_setaffinity(0, {{{cpu}}}); sys.argv = ['bench_fft', '--pinned', '--runs', '{args.runs}'];"
        f"exec(open({__file__!r}).read())"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


if __name__ == "__main__":
    main()
