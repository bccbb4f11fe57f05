"""Spectral graph tools: Fiedler value and vector, spectral gap."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import qor_kernel as qk

EPS = np.finfo(np.float64).eps


def laplacian(knm: np.ndarray, n: int) -> np.ndarray:
    """Independent reference: symmetrised absolute weights, diagonal dropped."""
    a = np.abs(knm[: n * n].reshape(n, n))
    w = (a + a.T) * 0.5
    np.fill_diagonal(w, 0.0)
    return np.diag(w.sum(axis=1)) - w


def tol(lap: np.ndarray) -> float:
    # Backward-stable dense solvers: errors of order n * eps * ||L||.
    n = lap.shape[0]
    return 50.0 * n * EPS * max(np.linalg.norm(lap, 2), 1.0)


def random_knm(rng: np.random.Generator, n: int) -> np.ndarray:
    return rng.normal(size=n * n)


def complete(n: int) -> np.ndarray:
    return (np.ones((n, n)) - np.eye(n)).ravel()


def two_components() -> np.ndarray:
    k = np.zeros((5, 5))
    k[0, 1] = k[1, 0] = 1.0
    k[1, 2] = 0.5
    k[3, 4] = 2.0
    return k.ravel()


# ---- worked cases ------------------------------------------------------------


def test_two_nodes_one_directed_link():
    knm = np.array([0.0, 2.0, 0.0, 0.0])  # w = 1, L = [[1, -1], [-1, 1]]
    assert qk.fiedler_value_fast(knm, 2) == pytest.approx(2.0, abs=4 * EPS)
    v = qk.fiedler_vector_fast(knm, 2)
    assert v.shape == (2,) and v.dtype == np.float64
    np.testing.assert_allclose(v * np.sign(v[0]), [1 / np.sqrt(2), -1 / np.sqrt(2)], atol=4 * EPS)
    assert qk.spectral_gap_fast(knm, 2) == 0.0


@pytest.mark.parametrize("n", [3, 4, 7, 20], ids=lambda n: f"n={n}")
def test_complete_graph(n):
    knm = complete(n)
    lap = laplacian(knm, n)
    assert qk.fiedler_value_fast(knm, n) == pytest.approx(n, abs=tol(lap))
    assert abs(qk.spectral_gap_fast(knm, n)) <= tol(lap)
    v = qk.fiedler_vector_fast(knm, n)
    np.testing.assert_allclose(np.linalg.norm(v), 1.0, atol=tol(lap))
    np.testing.assert_allclose(lap @ v, n * v, atol=tol(lap))


def test_two_disconnected_components():
    knm = two_components()
    lap = laplacian(knm, 5)
    assert abs(qk.fiedler_value_fast(knm, 5)) <= tol(lap)
    # Any unit vector of the two-dimensional null space will do.
    v = qk.fiedler_vector_fast(knm, 5)
    assert np.linalg.norm(v) == pytest.approx(1.0, abs=tol(lap))
    assert np.linalg.norm(lap @ v) <= tol(lap)
    # The gap is the smallest nonzero eigenvalue, lambda_3 - lambda_2.
    ref = np.linalg.eigvalsh(lap)
    assert qk.spectral_gap_fast(knm, 5) == pytest.approx(ref[2] - ref[1], abs=tol(lap))


def test_sign_and_diagonal_are_ignored(rng):
    n = 9
    knm = random_knm(rng, n)
    changed = -knm.copy()
    changed[:: n + 1] = rng.normal(scale=100.0, size=n)  # the diagonal
    for f in (qk.fiedler_value_fast, qk.spectral_gap_fast):
        assert f(changed, n) == f(knm, n)
    # Same Laplacian bit for bit, so the same vector, sign included.
    np.testing.assert_array_equal(qk.fiedler_vector_fast(changed, n), qk.fiedler_vector_fast(knm, n))


def test_excess_values_are_ignored(rng):
    n = 6
    knm = random_knm(rng, n)
    longer = np.concatenate([knm, rng.normal(size=13)])
    assert qk.fiedler_value_fast(longer, n) == qk.fiedler_value_fast(knm, n)
    assert qk.spectral_gap_fast(longer, n) == qk.spectral_gap_fast(knm, n)
    np.testing.assert_array_equal(qk.fiedler_vector_fast(longer, n), qk.fiedler_vector_fast(knm, n))


# ---- against an independent reference ----------------------------------------


@pytest.mark.parametrize("n", [2, 3, 5, 16, 64], ids=lambda n: f"n={n}")
def test_matches_numpy_eigh(rng, n):
    knm = random_knm(rng, n)
    lap = laplacian(knm, n)
    t = tol(lap)
    values, vectors = np.linalg.eigh(lap)
    assert qk.fiedler_value_fast(knm, n) == pytest.approx(values[1], abs=t)
    if n >= 3:
        assert qk.spectral_gap_fast(knm, n) == pytest.approx(values[2] - values[1], abs=2 * t)
    v = qk.fiedler_vector_fast(knm, n)
    lam = qk.fiedler_value_fast(knm, n)
    assert np.linalg.norm(v) == pytest.approx(1.0, abs=t)
    assert np.linalg.norm(lap @ v - lam * v) <= t
    # Random weights give a simple lambda_2, so the vector is fixed up to sign.
    ref = vectors[:, 1]
    np.testing.assert_allclose(v * np.sign(v @ ref), ref, atol=1e-8)


@settings(max_examples=60, deadline=None)
@given(
    st.integers(min_value=2, max_value=12).flatmap(
        lambda n: st.tuples(
            st.just(n),
            hnp.arrays(np.float64, n * n, elements=st.floats(-1e3, 1e3, allow_nan=False, allow_subnormal=False)),
        )
    )
)
def test_property_eigenpair_and_ordering(case):
    n, knm = case
    lap = laplacian(knm, n)
    t = tol(lap)
    ref = np.linalg.eigvalsh(lap)
    lam = qk.fiedler_value_fast(knm, n)
    assert lam == pytest.approx(ref[1], abs=t)
    assert lam >= -t  # positive semi-definite
    v = qk.fiedler_vector_fast(knm, n)
    assert np.linalg.norm(v) == pytest.approx(1.0, abs=t)
    assert np.linalg.norm(lap @ v - lam * v) <= t
    if n >= 3:
        gap = qk.spectral_gap_fast(knm, n)
        assert gap == pytest.approx(ref[2] - ref[1], abs=2 * t)
        assert gap >= -2 * t  # ascending order


# ---- small n, lengths and non-finite input -----------------------------------


@pytest.mark.parametrize("n", [0, 1], ids=["n=0", "n=1"])
@pytest.mark.parametrize("length", [0, 1, 5], ids=lambda k: f"len={k}")
def test_below_two_nodes_knm_is_not_read(n, length):
    knm = np.full(length, np.nan)
    assert qk.fiedler_value_fast(knm, n) == 0.0
    assert qk.spectral_gap_fast(knm, n) == 0.0
    v = qk.fiedler_vector_fast(knm, n)
    assert v.dtype == np.float64
    np.testing.assert_array_equal(v, np.zeros(n))


def test_gap_of_two_nodes_does_not_read_knm():
    assert qk.spectral_gap_fast(np.empty(0), 2) == 0.0


@pytest.mark.parametrize(
    "func, n, length",
    [
        (qk.fiedler_value_fast, 2, 3),
        (qk.fiedler_vector_fast, 2, 0),
        (qk.fiedler_value_fast, 4, 15),
        (qk.spectral_gap_fast, 3, 8),
    ],
    ids=["value-n2", "vector-n2-empty", "value-n4", "gap-n3"],
)
def test_short_knm_is_rejected(func, n, length):
    with pytest.raises(ValueError, match=rf"^knm must hold at least n\*n = {n * n} values, got {length}$"):
        func(np.zeros(length), n)


@pytest.mark.parametrize("func", [qk.fiedler_value_fast, qk.fiedler_vector_fast, qk.spectral_gap_fast])
def test_n_squared_overflow_is_rejected(func):
    with pytest.raises(ValueError, match=r"^n\*n is too large$"):
        func(np.zeros(4), 2**33)


@pytest.mark.parametrize("bad", [np.nan, np.inf], ids=["nan", "inf"])
def test_non_finite_couplings_do_not_fail(bad):
    knm = complete(4)
    knm[1] = bad
    assert isinstance(qk.fiedler_value_fast(knm, 4), float)
    assert isinstance(qk.spectral_gap_fast(knm, 4), float)
    assert qk.fiedler_vector_fast(knm, 4).shape == (4,)
    assert np.isnan(qk.fiedler_value_fast(np.full(9, np.nan), 3))


def test_argument_conversion():
    knm = complete(3)
    assert qk.fiedler_value_fast(knm=knm, n=3) == qk.fiedler_value_fast(knm, 3)
    with pytest.raises(TypeError, match="^knm"):
        qk.fiedler_value_fast(list(knm), 3)
    with pytest.raises(TypeError, match="^knm"):
        qk.fiedler_vector_fast(knm.astype(np.float32), 3)
    with pytest.raises(OverflowError):
        qk.spectral_gap_fast(knm, -1)
    with pytest.raises(TypeError):
        qk.fiedler_value_fast(knm, 3.0)
    with pytest.raises(ValueError, match="^The given array is not contiguous or is misaligned.$"):
        qk.fiedler_value_fast(np.zeros(18)[::2], 3)
    assert qk.fiedler_value_fast.__text_signature__ == "($module, knm, n)"


def test_results_do_not_depend_on_thread_count():
    from conftest import run_python

    code = """
        import numpy as np, qor_kernel as qk
        k = np.random.default_rng(3).normal(size=300 * 300)
        print(qk.fiedler_value_fast(k, 300).hex(), qk.fiedler_vector_fast(k, 300).tobytes().hex()[:64])
    """
    outs = {run_python(code, env={"OMP_NUM_THREADS": t}) for t in ("1", "2")}
    assert len(outs) == 1
