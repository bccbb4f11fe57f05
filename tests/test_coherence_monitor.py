"""Coherence monitor: layer sets, their mean order parameter, phase-locked pairs."""

import math

import numpy as np
import pytest

import qor_kernel as qk

PLV3 = [1.0, 0.9, 0.2, 0.9, 1.0, 0.95, 0.2, 0.95, 1.0]


@pytest.mark.parametrize(
    "good, bad, layer_rs, r_good, r_bad",
    [
        ([0, 0, 2], [2, 1, 1], [0.9, 0.1, 0.5], 0.7, 0.1),
        ([5], [], [0.9, 0.1, 0.5], 0.0, 0.0),
        ([], [0], [0.3], 0.0, 0.3),
        ([1, 7, 0], [9], [0.2, 0.6], 0.4, 0.0),
        ([0], [1], [], 0.0, 0.0),
        ([0], [0], [0.8], 0.8, 0.0),
        ([0, 1], [2], [math.nan, 0.5, -3.0], math.nan, -3.0),
    ],
    ids=["dedup-and-overlap", "index-out-of-range", "empty-good", "partly-out-of-range", "no-layers",
         "both-lists-good-only", "values-unchecked"],
)
def test_layer_set_means(good, bad, layer_rs, r_good, r_bad):
    monitor = qk.PyCoherenceMonitor(good, bad)
    for got, expected in ((monitor.compute_r_good(layer_rs), r_good), (monitor.compute_r_bad(layer_rs), r_bad)):
        if math.isnan(expected):
            assert math.isnan(got)
        else:
            assert got == pytest.approx(expected, rel=1e-15, abs=0)


def test_mean_follows_the_stored_order(rng):
    rs = rng.uniform(0, 1, 50)
    good = [int(i) for i in rng.permutation(50)[:30]]
    monitor = qk.PyCoherenceMonitor(good + good, [])
    # The sum runs in the stored (first-occurrence) order.
    total = 0.0
    for i in good:
        total += rs[i]
    assert monitor.compute_r_good(list(rs)) == total / 30


@pytest.mark.parametrize(
    "layer_rs, psi, plv, threshold, pairs",
    [
        ([0.1, 0.2, 0.3], [], PLV3, 0.9, [(0, 1), (1, 2)]),
        ([0.1, 0.2, 0.3], [], PLV3, 0.96, []),
        ([0.1, 0.2, 0.3], [], PLV3, -math.inf, []),
        ([0.1, 0.2, 0.3], [], PLV3, math.nan, []),
        ([0.1, 0.2, 0.3], [], PLV3[:8], 0.5, []),
        ([0.1, 0.2, 0.3], [], PLV3 + [1.0], 0.5, []),
        ([0.1, 0.2, 0.3], [], [0, 0, 0, 1, 0, 0, 1, 1, 0], 0.5, []),
        ([0.1, 0.2, 0.3], [], [0, 1, 1, 0, 0, 1, 0, 0, 0], 0.5, [(0, 1), (0, 2), (1, 2)]),
        ([0.1, 0.2, 0.3], [], [1, math.nan, 0.95, math.nan, 1, math.inf, 0, 0, 1], 0.9, [(0, 2), (1, 2)]),
        ([0.1, 0.2, 0.3], [1.0], PLV3, 0.9, [(0, 1), (1, 2)]),
        ([0.1, 0.2, 0.3], [1.0, 2.0, 3.0, 4.0, 5.0], PLV3, 0.9, [(0, 1), (1, 2)]),
        ([math.nan, 7.0, -1.0], [math.inf], PLV3, 0.9, [(0, 1), (1, 2)]),
        ([], [], [], 0.0, []),
        ([0.5], [], [0.0], -1.0, []),
    ],
    ids=["example", "high-threshold", "minus-inf-threshold", "nan-threshold", "too-short", "too-long",
         "lower-triangle-ignored", "upper-triangle-only", "nan-entry-never", "psi-shorter", "psi-longer",
         "values-ignored", "no-layers", "one-layer"],
)
def test_detect_phase_lock(layer_rs, psi, plv, threshold, pairs):
    monitor = qk.PyCoherenceMonitor([], [])
    result = monitor.detect_phase_lock(layer_rs, psi, plv, threshold)
    assert result == pairs
    assert all(type(p) is tuple and all(type(i) is int for i in p) for p in result)


def test_detect_phase_lock_matches_numpy(rng):
    n = 12
    plv = rng.uniform(0, 1, n * n)
    got = qk.PyCoherenceMonitor([0], [1]).detect_phase_lock(list(rng.uniform(0, 1, n)), [], list(plv), 0.7)
    m = plv.reshape(n, n)
    expected = [(i, j) for i in range(n) for j in range(i + 1, n) if m[i, j] >= 0.7]
    assert got == expected


def test_sequences_of_any_kind_are_accepted():
    monitor = qk.PyCoherenceMonitor((0, 1), np.array([2], dtype=np.int64))
    assert monitor.compute_r_good(np.array([0.2, 0.4, 1.0])) == pytest.approx(0.3)
    assert monitor.compute_r_bad((0.2, 0.4, 1.0)) == 1.0
    assert monitor.detect_phase_lock((0.1, 0.2), np.array([0.0, 0.0]), (1, 1, 1, 1), 1) == [(0, 1)]


@pytest.mark.parametrize(
    "call, error, fragment",
    [
        (lambda: qk.PyCoherenceMonitor([0, -1], []), OverflowError, "good_layers[1]"),
        (lambda: qk.PyCoherenceMonitor([], [2**64]), OverflowError, "bad_layers[0]"),
        (lambda: qk.PyCoherenceMonitor([1.0], []), TypeError, "good_layers[0]"),
        (lambda: qk.PyCoherenceMonitor("01", []), TypeError, "good_layers"),
        (lambda: qk.PyCoherenceMonitor([0], None), TypeError, "bad_layers"),
        (lambda: qk.PyCoherenceMonitor([0], []).compute_r_good("0.5"), TypeError, "layer_rs"),
        (lambda: qk.PyCoherenceMonitor([0], []).compute_r_bad([0.5, "x"]), TypeError, "layer_rs[1]"),
        (lambda: qk.PyCoherenceMonitor([], []).detect_phase_lock([0.5], [None], [1.0], 0.5), TypeError,
         "psi_values[0]"),
        (lambda: qk.PyCoherenceMonitor([], []).detect_phase_lock([0.5], [], "1", 0.5), TypeError,
         "cross_layer_alignment"),
        (lambda: qk.PyCoherenceMonitor([], []).detect_phase_lock([0.5], [], [1.0], "0.5"), TypeError,
         "threshold"),
    ],
    ids=["negative-index", "index-too-large", "float-index", "str-indices", "none-indices", "str-layer-rs",
         "str-element", "none-psi", "str-alignment", "str-threshold"],
)
def test_argument_errors(call, error, fragment):
    with pytest.raises(error) as exc:
        call()
    assert str(exc.value).startswith(fragment)


def test_docstring():
    doc = qk.PyCoherenceMonitor.detect_phase_lock.__doc__
    assert "Detect phase-locked layer pairs from cross-layer alignment matrix." in doc
