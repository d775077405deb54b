"""Morlet transform, band power, red-noise significance, period bands and scalogram."""
import math

import numpy as np
import pytest

import skarvo_mp as sk

FOURIER_FACTOR = 4 * math.pi / (6 + math.sqrt(2 + 36))


def morlet_reference(y, dt, dj=0.125, s0=None):
    """The transform written independently with numpy.fft."""
    y = np.asarray(y, dtype=float)
    n = len(y)
    s0 = 2 * dt if s0 is None else s0
    J = max(int(np.log2(n * dt / s0) / dj), 1)
    scales = s0 * 2.0 ** (np.arange(J + 1) * dj)
    N = 1 << max(n - 1, 0).bit_length()
    x = np.zeros(N)
    x[:n] = y - y.mean()
    X = np.fft.fft(x)
    k = np.arange(N)
    omega = 2 * np.pi * np.where(k < N - N // 2, k, k - N) / (N * dt)
    positive = omega > 0
    power = []
    for s in scales:
        norm = np.pi ** -0.25 * np.sqrt(2 * np.pi * s / dt)
        W = np.zeros(N, dtype=complex)
        W[positive] = X[positive] * norm * np.exp(-0.5 * (s * omega[positive] - 6) ** 2)
        power.append(np.abs(np.fft.ifft(W)[:n]) ** 2)
    return scales, np.array(power)


def series(n, seed=1):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    return np.sin(2 * np.pi * t / 37.0) + 0.5 * np.sin(2 * np.pi * t / 211.0) + 0.3 * rng.standard_normal(n)


@pytest.mark.parametrize("n, dt, dj, s0, rtol", [
    (100, 30.0, 0.125, None, 1e-10), (257, 1.0, 0.25, None, 1e-10), (1000, 0.5, 0.125, 3.0, 1e-10),
    (64, 15.0, 0.5, 15.0, 1e-10), (3, 1.0, 0.125, None, 1e-10),
    (40000, 1.0, 1.5, None, 1e-9),  # pads to N = 2^16; a coarse dj keeps the reference cheap
])
def test_morlet_matches_numpy_reference(n, dt, dj, s0, rtol):
    y = series(n, seed=5 if n == 40000 else 1)
    got = sk.morlet_cwt(list(y), dt, dj=dj, s0=s0)
    scales, power = morlet_reference(y, dt, dj, s0)
    assert list(got) == ["power", "scales", "periods", "coi"]
    np.testing.assert_allclose(got["scales"], scales, rtol=1e-15)
    np.testing.assert_allclose(got["periods"], np.array(got["scales"]) * FOURIER_FACTOR, rtol=1e-15)
    ours = np.array(got["power"])
    assert ours.shape == power.shape
    np.testing.assert_allclose(ours, power, rtol=rtol, atol=1e-12 * power.max())


@pytest.mark.parametrize("period", [23.0, 50.0, 81.0, 140.0])
def test_power_peaks_at_the_scale_nearest_the_sine_period(period):
    n, dt = 2048, 1.0
    y = [math.sin(2 * math.pi * i * dt / period) for i in range(n)]
    got = sk.morlet_cwt(y, dt)
    mean_power = np.array(got["power"])[:, n // 4 : 3 * n // 4].mean(axis=1)
    nearest = int(np.argmin(np.abs(np.log(np.array(got["periods"]) / period))))
    assert int(np.argmax(mean_power)) == nearest


def test_short_series_and_cone_of_influence():
    for n in (0, 1, 2):  # still two scales
        got = sk.morlet_cwt([1.0] * n, 1.0)
        assert (len(got["scales"]), [len(r) for r in got["power"]], len(got["coi"])) == (2, [n, n], n)
    coi = sk.morlet_cwt([0.0, 1.0, 0.0, 1.0, 0.0], 1.0)["coi"]
    assert coi == pytest.approx([0, 0.73047217, 1.46094434, 0.73047217, 0], abs=5e-9)
    assert coi[0] == 0.0 and coi[1] == coi[3]


@pytest.mark.parametrize("dj, s0, message", [
    (0.0, None, "dj must be positive and finite, got 0.0"),
    (math.inf, None, "dj must be positive and finite, got inf"),
    (math.nan, None, "dj must be positive and finite, got nan"),
    (1e-9, None, "dj=1e-09 would need 2321928095 scales; at most 100000 are supported"),
    (0.125, 0.0, "dj=0.125 would need an unbounded number of scales (s0=0.0, dt=1.0)"),
])
def test_unusable_scales_are_refused(dj, s0, message):
    y = [float(i % 7) for i in range(10)]
    calls = [lambda: sk.morlet_cwt(y, 1.0, dj=dj, s0=s0)]
    if s0 is None:  # band_power starts at the default smallest scale
        calls.append(lambda: sk.band_power(y, 1.0, [(2, 4)], dj=dj))
    for call in calls:
        with pytest.raises(ValueError) as err:
            call()
        assert str(err.value) == message


@pytest.mark.parametrize("y, dt, s0", [
    ([math.nan] * 50, 1.0, None), ([1.0, math.inf] * 25, 1.0, None), ([1.0] * 50, math.nan, None),
    ([1.0, 2.0] * 25, -1.0, None), ([1.0, 2.0] * 25, 1.0, -3.0), ([1.0, 2.0] * 25, 0.0, None)
])
def test_non_numbers_give_results_not_hangs(y, dt, s0):
    got = sk.morlet_cwt(y, dt, s0=s0)
    assert len(got["power"]) >= 2 and all(len(r) == len(y) for r in got["power"])
    assert all(len(r) == len(y) for r in sk.band_power(y, dt if dt == dt else 1.0, [(0, math.inf)]))


def test_band_power_bounds_and_factor():
    y = series(300)
    dt, dj = 2.0, 0.125
    got = sk.morlet_cwt(list(y), dt, dj=dj)
    p, s = got["periods"], got["scales"]
    power = np.array(got["power"])
    rows = sk.band_power(list(y), dt, [(p[3], p[3]), (p[3], p[4]), (p[2], p[6] * 1.0001), (1e9, 2e9)], dj=dj)
    factor = dj * dt / 0.776
    assert rows[0] == [0.0] * 300
    np.testing.assert_allclose(rows[1], power[3] / s[3] * factor, rtol=1e-14)
    expected = sum(power[j] / s[j] for j in range(2, 7)) * factor
    np.testing.assert_allclose(rows[2], expected, rtol=1e-13)
    assert rows[3] == [0.0] * 300
    assert sk.band_power(list(y), dt, []) == []


def ar1(alpha, n, seed):
    rng = np.random.default_rng(seed)
    e = rng.standard_normal(n)
    y = np.empty(n)
    y[0] = e[0]
    for i in range(1, n):
        y[i] = alpha * y[i - 1] + e[i]
    return y


@pytest.mark.parametrize("alpha", [0.0, 0.3, 0.72, 0.95])
@pytest.mark.parametrize("confidence, chi2", [(0.9, 4.605), (0.95, 5.991), (0.99, 5.991), (math.nan, 5.991)])
def test_red_noise_matches_closed_form(alpha, confidence, chi2):
    y = ar1(alpha, 5000, seed=int(alpha * 100))
    dt = 30.0
    periods = [61.0, 120.0, 600.0, 3000.0]
    got = sk.red_noise_significance(list(y), dt, periods, confidence=confidence)
    x, z = y[:-1], y[1:]
    a = np.sum((x - x.mean()) * (z - z.mean())) / math.sqrt(np.sum((x - x.mean()) ** 2) * np.sum((z - z.mean()) ** 2))
    assert a == pytest.approx(alpha, abs=0.05)
    a = min(max(a, 0.0), 0.99)
    var = y.var()
    expected = [var * (1 - a * a) / (1 + a * a - 2 * a * math.cos(2 * math.pi * dt / p)) * chi2 / 2 for p in periods]
    np.testing.assert_allclose(got, expected, rtol=1e-12)


def test_red_noise_of_degenerate_and_anticorrelated_series():
    for y in ([1.0, 2.0], [4.0] * 10, []):
        assert sk.red_noise_significance(y, 1.0, [2.0, 4.0]) == [math.inf, math.inf]
        assert sk.red_noise_significance(y, 1.0, []) == []
    # A negative lag-1 correlation is taken as white noise: var * chi2(0.95, 2 dof) / 2.
    y = [(-1.0) ** i + 0.01 * i for i in range(100)]
    assert sk.red_noise_significance(y, 1.0, [2.0, 10.0]) == pytest.approx([np.var(y) * 2.9955] * 2, rel=1e-12)


@pytest.mark.parametrize("dt, first", [(2.0, (2.0, 20.0)), (2.01, (30.0, 60.0)), (15.0, (30.0, 60.0)),
                                       (15.01, (60.0, 120.0)), (math.nan, (60.0, 120.0))])
def test_period_bands_switch_at_their_intervals(dt, first):
    bands = sk.period_bands(dt)
    assert len(bands) == 4 and bands[0] == first and all(isinstance(b, tuple) for b in bands)


def test_scalogram_uses_the_longest_arc_and_thins_columns():
    t = [float(i) for i in range(100)] + [float(1000 + i) for i in range(1200)]
    v = list(series(1300))
    got = sk.scalogram(t, v, 1.0)
    assert list(got) == ["t", "periods", "power", "significance", "coi", "interval"]
    assert got["interval"] == 1.0
    assert len(got["t"]) == 600 and got["t"][:2] == [1000.0, 1002.0]
    ref = sk.morlet_cwt(v[100:], 1.0)
    assert got["periods"] == ref["periods"]
    assert got["power"][5] == ref["power"][5][::2]
    assert got["coi"] == ref["coi"][::2]
    assert got["significance"] == sk.red_noise_significance(v[100:], 1.0, ref["periods"])


def test_scalogram_keeps_one_column_and_prefers_the_earlier_of_equal_arcs():
    for max_columns in (0, 1):
        got = sk.scalogram([float(i) for i in range(50)], list(series(50)), 1.0, max_columns=max_columns)
        assert got["t"] == [0.0] and all(len(r) == 1 for r in got["power"]) and len(got["coi"]) == 1
    t = [float(i) for i in range(100)] + [float(500 + i) for i in range(100)]
    got = sk.scalogram(t, list(series(200)), 1.0, max_columns=100)
    assert got["t"][0] == 0.0 and got["t"][-1] == 99.0


@pytest.mark.parametrize("t, v, message", [
    ([1.0, 2.0], [1.0], "t and values must have the same length"),
    ([float(i) for i in range(39)], [1.0] * 39, "series too short for a scalogram (< 40 samples)"),
    ([float(i) for i in range(39)] + [1000.0 + i for i in range(39)], [1.0] * 78,
     "series too short for a scalogram (< 40 samples)"),
    ([], [], "series too short for a scalogram (< 40 samples)"),
])
def test_scalogram_errors(t, v, message):
    with pytest.raises(ValueError) as err:
        sk.scalogram(t, v, 1.0)
    assert str(err.value) == message
