"""Order parameter, phase-locking value and pairwise phase distances."""

import math

import numpy as np
import pytest
from hypothesis import given, strategies as st
from numpy.testing import assert_allclose

import qor_kernel as qk

from conftest import TWO_PI


def reference_order_parameter(x):
    if len(x) == 0:
        return 0.0, 0.0
    c, s = np.cos(x).mean(), np.sin(x).mean()
    return min(math.hypot(c, s), 1.0), math.atan2(s, c) % TWO_PI


@pytest.mark.parametrize(
    "phases, expected",
    [
        ([], (0.0, 0.0)),
        ([0.0, 0.0], (1.0, 0.0)),
        ([math.pi / 2], (1.0, math.pi / 2)),
        ([-math.pi / 2], (1.0, 3 * math.pi / 2)),
        ([100.0 * TWO_PI + 1.0], (1.0, 1.0)),
    ],
    ids=["empty", "aligned", "quarter", "negative-lifted", "many-turns"],
)
def test_order_parameter_cases(phases, expected):
    r, psi = qk.order_parameter(np.array(phases, dtype=np.float64))
    assert r == pytest.approx(expected[0], abs=1e-12)
    assert psi == pytest.approx(expected[1], abs=1e-9)
    assert 0.0 <= psi < TWO_PI


def test_order_parameter_antipodal_pair():
    r, psi = qk.order_parameter(np.array([0.0, math.pi]))
    assert 0.0 <= r < 1e-15
    assert 0.0 <= psi < TWO_PI


def test_order_parameter_matches_reference(rng):
    for n in (1, 7, 513, 10_000):
        x = rng.uniform(-20, 20, n)
        r, psi = qk.order_parameter(x)
        r_ref, psi_ref = reference_order_parameter(x)
        assert r == pytest.approx(r_ref, rel=1e-12, abs=1e-14)
        assert psi == pytest.approx(psi_ref, abs=1e-9)


@given(st.floats(-1e6, 1e6), st.integers(1, 3000))
def test_identical_phases_are_fully_synchronised(theta, n):
    r, psi = qk.order_parameter(np.full(n, theta))
    assert r <= 1.0
    assert r == pytest.approx(1.0, abs=1e-12)


def test_order_parameter_nan_propagates():
    r, psi = qk.order_parameter(np.array([0.1, np.nan, 0.3]))
    assert math.isnan(r) and math.isnan(psi)


def test_plv_cases(rng):
    a = rng.uniform(0, TWO_PI, 50)
    assert qk.plv(a, a) == 1.0
    assert qk.plv(np.array([]), np.array([])) == 0.0
    b = a + 0.3  # a constant lag is perfect locking
    assert qk.plv(a, b) == pytest.approx(1.0, abs=1e-12)
    b = rng.uniform(0, TWO_PI, 50)
    assert qk.plv(a, b) == pytest.approx(abs(np.exp(1j * (a - b)).mean()), rel=1e-12)


def test_plv_unequal_lengths():
    with pytest.raises(ValueError, match=r"^invalid dimension: PLV requires equal-length arrays, got 3 vs 4$"):
        qk.plv(np.zeros(3), np.zeros(4))


def test_phase_distance_matrix_wraps_to_half_turn():
    d = qk.phase_distance_matrix(np.array([0.0, 3 * math.pi / 2]))
    assert d.shape == (4,)
    assert_allclose(d, [0.0, math.pi / 2, math.pi / 2, 0.0], atol=1e-15)


def test_phase_distance_matrix_matches_reference(rng):
    x = rng.uniform(-10, 10, 37)
    d = qk.phase_distance_matrix(x).reshape(37, 37)
    ref = np.abs(np.angle(np.exp(1j * (x[None, :] - x[:, None]))))
    assert_allclose(d, ref, atol=1e-12)
    assert np.array_equal(d, d.T)
    assert np.all(np.diag(d) == 0.0)
    assert d.max() <= math.pi


@pytest.mark.parametrize("n", [0, 1])
def test_phase_distance_matrix_small(n):
    d = qk.phase_distance_matrix(np.zeros(n))
    assert d.tolist() == [0.0] * (n * n)


def test_phase_distance_matrix_nan_row_and_column_only():
    d = qk.phase_distance_matrix(np.array([0.0, np.nan, 1.0, 2.0])).reshape(4, 4)
    nan = np.isnan(d)
    expected = np.zeros((4, 4), bool)
    expected[1, [0, 2, 3]] = expected[[0, 2, 3], 1] = True
    assert np.array_equal(nan, expected)


@pytest.mark.parametrize(
    "call",
    [
        lambda x: qk.order_parameter(x),
        lambda x: qk.plv(x, x.copy()),
        lambda x: qk.plv(np.zeros(len(x)), x),
        lambda x: qk.phase_distance_matrix(x),
    ],
    ids=["order_parameter", "plv-a", "plv-b", "phase_distance_matrix"],
)
def test_strided_views(call):
    with pytest.raises(ValueError, match=r"^The given array is not contiguous or is misaligned\.$"):
        call(np.arange(8.0)[::2])
    empty = np.arange(8.0)[::2][:0]
    call(empty)  # an empty strided view is fine


def test_empty_strided_view_gives_empty_results():
    empty = np.arange(8.0)[::2][:0]
    assert qk.order_parameter(empty) == (0.0, 0.0)
    assert qk.plv(empty, empty) == 0.0
    assert qk.phase_distance_matrix(empty).size == 0
