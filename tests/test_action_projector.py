"""Action projector: clamp, rate limit, clamp; configuration warnings."""

import math
import warnings

import pytest

import qor_kernel as qk

from conftest import run_python


@pytest.fixture
def projector():
    return qk.PyActionProjector({"K": 0.1, "zeta": 0.0}, {"K": (0.0, 2.0), "alpha": (-1.0, 1.0)})


@pytest.mark.parametrize(
    "knob, value, previous, expected",
    [
        ("K", 1.5, 1.0, 1.1),
        ("K", 0.95, 1.0, 0.95),
        ("K", 5.0, 1.95, 2.0),
        ("K", 1.0, 3.0, 2.0),
        ("K", -4.0, 1.0, 0.9),
        ("K", 1.05, 1.0, 1.05),
        ("K", 0.5, -3.0, 0.0),
        ("alpha", 7.0, 0.0, 1.0),
        ("alpha", -7.0, 100.0, -1.0),
        ("zeta", 3.0, 1.5, 1.5),
        ("zeta", 1.5, 1.5, 1.5),
        ("Psi", 7.0, -1e300, 7.0),
        ("Psi", -1e308, 1e308, -1e308),
    ],
    ids=["step-limited", "within-limit", "target-clamped-first", "previous-above-bounds", "limited-down",
         "exactly-at-limit", "previous-below-bounds", "bounds-only", "bounds-only-low", "zero-limit-freezes",
         "zero-limit-same-value", "unconfigured", "unconfigured-extreme"],
)
def test_project(projector, knob, value, previous, expected):
    assert projector.project(knob, value, previous) == pytest.approx(expected, rel=1e-15, abs=0)


def test_zero_limit_returns_clamped_previous_value():
    p = qk.PyActionProjector({"K": 0.0}, {"K": (0.0, 1.0)})
    assert p.project("K", 0.5, 3.0) == 1.0
    assert p.project("K", 0.5, 0.25) == 0.25


@pytest.mark.parametrize(
    "value, previous",
    [(math.nan, 1.0), (1.0, math.inf), (-math.inf, 0.0), (1.0, math.nan)],
    ids=["nan-value", "inf-previous", "minus-inf-value", "nan-previous"],
)
def test_non_finite_inputs_give_zero(projector, value, previous):
    assert projector.project("K", value, previous) == 0.0
    assert projector.project("Psi", value, previous) == 0.0


@pytest.mark.parametrize(
    "bounds, expected", [((0.5, 2.0), 0.5), ((-3.0, -1.0), -1.0), ((-1.0, 1.0), 0.0)],
    ids=["above-zero", "below-zero", "around-zero"],
)
def test_non_finite_result_stays_inside_bounds(bounds, expected):
    # The neutral answer 0.0 is itself projected: a safety projection never
    # returns a value outside the knob's bounds.
    p = qk.PyActionProjector({"K": 0.1}, {"K": bounds})
    assert p.project("K", math.nan, 1.0) == expected
    assert p.project("K", 1.0, -math.inf) == expected


@pytest.mark.parametrize("knob", ["k", "Alpha", "psi", "PSI", "", " K"])
def test_unknown_knob_in_project(projector, knob):
    with pytest.raises(ValueError) as exc:
        projector.project(knob, 1.0, 1.0)
    assert str(exc.value) == "unknown knob: " + knob


def test_value_conversion_comes_before_the_knob_check(projector):
    with pytest.raises(TypeError, match="^value"):
        projector.project("k", "1.0", 1.0)


@pytest.mark.parametrize(
    "rate_limits, value_bounds",
    [
        ({"K": -0.1}, {}),
        ({"K": math.inf}, {}),
        ({"K": math.nan}, {}),
        ({}, {"K": (2.0, 1.0)}),
        ({}, {"K": (-math.inf, 1.0)}),
        ({}, {"K": (0.0, math.nan)}),
    ],
    ids=["negative-limit", "infinite-limit", "nan-limit", "reversed-bounds", "infinite-bound", "nan-bound"],
)
def test_invalid_configuration_is_dropped_silently(rate_limits, value_bounds):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        p = qk.PyActionProjector(rate_limits, value_bounds)
    assert caught == []
    assert p.project("K", 10.0, -10.0) == 10.0


def test_negative_zero_limit_is_kept():
    p = qk.PyActionProjector({"K": -0.0}, {})
    assert p.project("K", 5.0, 1.0) == 1.0


def test_equal_bounds_pin_the_knob():
    p = qk.PyActionProjector({}, {"alpha": (0.5, 0.5)})
    assert p.project("alpha", -3.0, 0.0) == 0.5


def test_unknown_keys_warn_once_each_in_order():
    with pytest.warns(UserWarning) as record:
        p = qk.PyActionProjector({"k": 1.0, "K": 0.5, 'we"ird\n': 2.0}, {"Zeta": (0.0, 1.0), "zeta": (0.0, 1.0)})
    assert [str(w.message) for w in record] == [
        'PyActionProjector: ignoring unknown knob "k" in rate_limits',
        'PyActionProjector: ignoring unknown knob "we\\"ird\\n" in rate_limits',
        'PyActionProjector: ignoring unknown knob "Zeta" in value_bounds',
    ]
    assert all(w.category is UserWarning for w in record)
    # The known entries still apply.
    assert p.project("K", 3.0, 1.0) == 1.5
    assert p.project("zeta", 3.0, 0.0) == 1.0


def test_construction_succeeds_with_warnings_as_errors():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        p = qk.PyActionProjector({"k": 1.0, "K": 0.5}, {"bad": (0.0, 1.0), "K": (0.0, 10.0)})
    assert p.project("K", 3.0, 1.0) == 1.5
    assert p.project("K", 30.0, 9.8) == 10.0


def test_warning_goes_through_warnings_warn_with_one_argument(monkeypatch):
    calls = []
    monkeypatch.setattr(warnings, "warn", lambda *args, **kwargs: calls.append((args, kwargs)))
    qk.PyActionProjector({"x": 1.0}, {"y": (0.0, 1.0)})
    assert calls == [
        (('PyActionProjector: ignoring unknown knob "x" in rate_limits',), {}),
        (('PyActionProjector: ignoring unknown knob "y" in value_bounds',), {}),
    ]


def test_a_failing_warn_is_discarded(monkeypatch):
    def fail(*args, **kwargs):
        raise RuntimeError("no warnings today")

    monkeypatch.setattr(warnings, "warn", fail)
    p = qk.PyActionProjector({"x": 1.0, "K": 0.25}, {})
    assert p.project("K", 2.0, 0.0) == 0.25


def test_failed_import_of_warnings_is_raised():
    out = run_python(
        """
        import sys
        import qor_kernel as qk
        sys.modules["warnings"] = None
        try:
            qk.PyActionProjector({}, {})
        except ImportError:
            print("ImportError")
        """
    )
    assert out.strip() == "ImportError"


@pytest.mark.parametrize(
    "rate_limits, value_bounds, error, fragment",
    [
        ([("K", 0.1)], {}, TypeError, "rate_limits"),
        ({"K": "0.1"}, {}, TypeError, "rate_limits"),
        ({1: 0.1}, {}, TypeError, "rate_limits"),
        ({}, {"K": [0.0, 1.0]}, TypeError, "value_bounds"),
        ({}, {"K": (0.0,)}, TypeError, "value_bounds"),
        ({}, {"K": (0.0, 1.0, 2.0)}, TypeError, "value_bounds"),
        ({}, {"K": (0.0, None)}, TypeError, "value_bounds"),
        ({}, "K", TypeError, "value_bounds"),
    ],
    ids=["limits-not-dict", "str-limit", "int-key", "list-bounds", "one-bound", "three-bounds", "none-bound",
         "bounds-str"],
)
def test_argument_errors(rate_limits, value_bounds, error, fragment):
    with pytest.raises(error) as exc:
        qk.PyActionProjector(rate_limits, value_bounds)
    assert str(exc.value).startswith(fragment)


def test_project_argument_errors(projector):
    with pytest.raises(TypeError, match="^knob"):
        projector.project(1, 1.0, 1.0)
    with pytest.raises(TypeError, match="^previous_value"):
        projector.project("K", 1.0, None)
    assert projector.project("K", 1, True) == 1.0
