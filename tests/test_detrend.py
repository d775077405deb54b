"""Arc splitting and polynomial detrending."""
import math

import numpy as np
import pytest

import skarvo_mp as sk


@pytest.mark.parametrize("times, dt, factor, arcs", [
    ([0, 30, 60, 400, 430], 30.0, 5.0, [(0, 3), (3, 5)]),
    ([0, 30, 180, 210], 30.0, 5.0, [(0, 4)]),  # a step of exactly 5*dt does not split
    ([0, 30, 181, 210], 30.0, 5.0, [(0, 2), (2, 4)]), ([], 30.0, 5.0, []), ([7.0], 30.0, 5.0, [(0, 1)]),
    ([100, 50, 0, 0], 1.0, 1.0, [(0, 4)]),  # negative and zero steps never split
    ([0, math.nan, 1000, 2000], 1.0, 5.0, [(0, 3), (3, 4)]), ([0, 10, 20], math.nan, 5.0, [(0, 3)]),
])
def test_split_arcs(times, dt, factor, arcs):
    assert sk.split_arcs(times, dt, factor) == arcs


@pytest.mark.parametrize("degree", range(2, 10))
def test_noise_free_polynomials_leave_rounding_residuals(degree):
    rng = np.random.default_rng(degree)
    t = 1.6e9 + 30.0 * np.arange(60)  # Unix seconds: a huge offset
    x = (t - t[0]) / (t[-1] - t[0])
    coeffs = rng.uniform(-5, 5, degree + 1)
    v = 40 + np.polyval(coeffs, x) * 10
    residual, order = sk.detrend_arc(list(t), list(v))
    assert order >= degree
    assert max(abs(r) for r in residual) < 1e-10 * max(abs(v))


@pytest.mark.parametrize("n, max_order, highest", [
    (12, 9, 3), (25, 9, 8), (40, 9, 9), (28, 9, 9), (27, 9, 8), (100, 4, 4), (100, 2, 2), (200, 9, 9)
])
def test_order_limited_by_length_and_max_order(n, max_order, highest):
    rng = np.random.default_rng(n)
    t = np.arange(n) * 1.0
    v = rng.standard_normal(n)
    residual, order = sk.detrend_arc(list(t), list(v), max_order)
    assert order == highest  # plain RMS: noise always takes the highest order allowed
    # The residual is the least-squares fit of that order (numpy as a reference).
    x = t / t[-1]
    fit = np.polynomial.polynomial.polyfit(x, v, order)
    np.testing.assert_allclose(residual, v - np.polynomial.polynomial.polyval(x, fit), atol=1e-9)


@pytest.mark.parametrize("n, max_order", [(11, 9), (5, 9), (1, 9), (100, 0), (100, 1)])
def test_mean_removed_when_too_short_or_order_below_two(n, max_order):
    v = [float(i * i % 13) for i in range(n)]
    residual, order = sk.detrend_arc([float(i) for i in range(n)], v, max_order)
    m = sum(v) / n
    assert order == 0
    assert residual == [x - m for x in v]


def test_equal_times_fit_the_mean():
    v = [float(i % 5) for i in range(30)]
    residual, order = sk.detrend_arc([5.0] * 30, v)
    m = sum(v) / 30
    assert 2 <= order <= 9
    assert residual == pytest.approx([x - m for x in v], abs=1e-12)


@pytest.mark.parametrize("t, v", [
    ([float(i) for i in range(30)], [math.nan] + [1.0] * 29),
    ([math.nan] + [float(i) for i in range(29)], [1.0] * 30),
    ([0.0, 1e300, -1e300] + [float(i) for i in range(27)], [1.0] * 30),
    ([float(i) for i in range(29)] + [math.inf], [1.0] * 30),
])
def test_non_finite_input_stays_contained(t, v):
    residual, order = sk.detrend_arc(t, v)
    assert len(residual) == 30 and 2 <= order <= 9


def test_empty_arc_and_length_mismatch():
    assert sk.detrend_arc([], []) == ([], 0)
    with pytest.raises(ValueError) as err:
        sk.detrend_arc([1.0, 2.0], [1.0])
    assert str(err.value) == "t and values must have the same length"
