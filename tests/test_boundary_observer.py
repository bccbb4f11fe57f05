"""Boundary observer: range checks, message forms and severity filing."""

import math
import re

import pytest
from hypothesis import given, strategies as st

import qor_kernel as qk

NAN, INF = math.nan, math.inf


@pytest.fixture
def observer():
    return qk.PyBoundaryObserver()


def debug_form(x):
    """The debugging form of a double: shortest round trip, '.0' on integral
    values, exponents below 1e-4 and from 1e16 on (Python's repr uses the same
    thresholds, with a different exponent spelling)."""
    text = repr(x)
    m = re.fullmatch(r"(-?[\d.]+)e([+-])(\d+)", text)
    if m:
        mantissa, sign, digits = m.groups()
        return f"{mantissa}e{'-' if sign == '-' else ''}{int(digits)}"
    return text.replace("nan", "NaN")


def reference_observe(defs, values):
    out = {"violations": [], "soft_violations": [], "hard_violations": []}
    for name, var, lo, hi, sev in defs:
        if not name.strip() or not var.strip():
            continue
        if (lo is not None and not math.isfinite(lo)) or (hi is not None and not math.isfinite(hi)):
            continue
        if lo is not None and hi is not None and hi < lo:
            continue
        if var not in values:
            continue
        v = values[var]
        if not math.isfinite(v):
            msg = f"{name}: {var} is non-finite and treated as hard violation"
            out["violations"].append(msg)
            out["hard_violations"].append(msg)
            continue
        if (lo is not None and v < lo) or (hi is not None and v > hi):
            bound = lambda b: "None" if b is None else f"Some({debug_form(b)})"  # noqa: E731
            msg = f"{name}: {var}={v:.4f} outside [{bound(lo)}, {bound(hi)}]"
            out["violations"].append(msg)
            out["hard_violations" if sev == "hard" else "soft_violations"].append(msg)
    return out


@pytest.mark.parametrize(
    "severity, filed",
    [("hard", "hard_violations"), ("soft", "soft_violations"), ("Hard", "soft_violations"),
     ("", "soft_violations"), ("hard ", "soft_violations")],
    ids=["hard", "soft", "capitalised", "empty", "trailing-blank"],
)
def test_severity_filing(observer, severity, filed):
    result = observer.observe([("temp", "T", None, 1.0, severity)], {"T": 1.5})
    message = "temp: T=1.5000 outside [None, Some(1.0)]"
    assert list(result) == ["violations", "soft_violations", "hard_violations"]
    assert result["violations"] == [message]
    assert result[filed] == [message]
    other = "soft_violations" if filed == "hard_violations" else "hard_violations"
    assert result[other] == []


@pytest.mark.parametrize("value", [NAN, INF, -INF], ids=["nan", "inf", "minus-inf"])
def test_non_finite_value_is_always_hard(observer, value):
    result = observer.observe([("temp", "T", 0.0, 1.0, "soft")], {"T": value})
    message = "temp: T is non-finite and treated as hard violation"
    assert result == {"violations": [message], "soft_violations": [], "hard_violations": [message]}


@pytest.mark.parametrize(
    "definition, value",
    [
        (("b", "T", 0.0, 1.0, "hard"), 1.0),
        (("b", "T", 0.0, 1.0, "hard"), 0.0),
        (("b", "T", 1.0, 1.0, "hard"), 1.0),
        (("b", "T", None, None, "hard"), 1e300),
        (("b", "T", 2.0, 1.0, "hard"), 100.0),
        (("b", "T", INF, None, "hard"), -100.0),
        (("b", "T", None, NAN, "hard"), 100.0),
        (("b", "T", -INF, 0.0, "hard"), NAN),
        (("  ", "T", 0.0, 1.0, "hard"), 5.0),
        (("b", "\u3000\t", 0.0, 1.0, "hard"), 5.0),
        (("b", "missing", 0.0, 1.0, "hard"), 5.0),
    ],
    ids=["at-upper", "at-lower", "lower-equals-upper", "unbounded", "upper-below-lower", "infinite-lower",
         "nan-upper", "inconsistent-beats-non-finite-value", "blank-name", "blank-variable", "missing-variable"],
)
def test_no_report(observer, definition, value):
    values = {"T": value, "\u3000\t": value}
    assert observer.observe([definition], values) == {"violations": [], "soft_violations": [], "hard_violations": []}


@pytest.mark.parametrize(
    "lower, upper, value, expected",
    [
        (None, 1.0, 1.00005, "x: v=1.0001 outside [None, Some(1.0)]"),
        (None, 1.0, 2.00005, "x: v=2.0000 outside [None, Some(1.0)]"),
        (0.0, None, -3.14159, "x: v=-3.1416 outside [Some(0.0), None]"),
        (0.25, 1e16, 1e20, "x: v=100000000000000000000.0000 outside [Some(0.25), Some(1e16)]"),
        (1e-7, 2.0, 1e-8, "x: v=0.0000 outside [Some(1e-7), Some(2.0)]"),
        (-2.0, -1.0, -0.00001, "x: v=-0.0000 outside [Some(-2.0), Some(-1.0)]"),
        (0.0001, 123456.789, 0.0, "x: v=0.0000 outside [Some(0.0001), Some(123456.789)]"),
        (1.5e16, None, 0.0, "x: v=0.0000 outside [Some(1.5e16), None]"),
        (-0.0, 0.1, -1.0, "x: v=-1.0000 outside [Some(-0.0), Some(0.1)]"),
        (None, 1.0, 1.5, "x: v=1.5000 outside [None, Some(1.0)]"),
    ],
    ids=["rounds-up", "binary-below-half", "negative", "large-value", "tiny-bound", "negative-zero-value",
         "positional-bounds", "exponent-bound", "negative-zero-bound", "example"],
)
def test_message_forms(observer, lower, upper, value, expected):
    result = observer.observe([("x", "v", lower, upper, "soft")], {"v": value})
    assert result["soft_violations"] == [expected]


def test_definitions_report_in_order(observer):
    defs = [
        ("hi", "T", None, 10.0, "hard"),
        ("lo", "P", 0.0, None, "soft"),
        ("band", "T", 0.0, 5.0, "soft"),
        ("nf", "Q", None, None, "soft"),
    ]
    result = observer.observe(defs, {"T": 12.0, "P": -1.0, "Q": NAN})
    assert result["violations"] == [
        "hi: T=12.0000 outside [None, Some(10.0)]",
        "lo: P=-1.0000 outside [Some(0.0), None]",
        "band: T=12.0000 outside [Some(0.0), Some(5.0)]",
        "nf: Q is non-finite and treated as hard violation",
    ]
    assert result["soft_violations"] == [result["violations"][1], result["violations"][2]]
    assert result["hard_violations"] == [result["violations"][0], result["violations"][3]]


def test_names_are_written_as_given(observer):
    result = observer.observe([(' a"b ', "v\n", None, 0.0, "hard")], {"v\n": 1.0})
    assert result["hard_violations"] == [' a"b : v\n=1.0000 outside [None, Some(0.0)]']


def test_many_values_are_looked_up_by_name(observer):
    values = {f"v{i}": float(i) for i in range(100)}
    defs = [(f"b{i}", f"v{i}", None, 50.0, "soft") for i in range(0, 100, 7)] + [("m", "absent", 0.0, 1.0, "hard")]
    assert observer.observe(defs, values) == reference_observe(defs, values)


bounds = st.one_of(st.none(), st.floats(allow_nan=True, allow_infinity=True))
definitions = st.lists(
    st.tuples(st.sampled_from(["a", "b", " ", "c d"]), st.sampled_from(["x", "y", "z", ""]), bounds, bounds,
              st.sampled_from(["hard", "soft", "Hard"])),
    max_size=8,
)
observed = st.dictionaries(st.sampled_from(["x", "y", "w"]), st.floats(allow_nan=True, allow_infinity=True))


@given(definitions, observed)
def test_matches_reference(defs, values):
    assert qk.PyBoundaryObserver().observe(defs, values) == reference_observe(defs, values)


@pytest.mark.parametrize(
    "defs, values, error, fragment",
    [
        ("temp", {}, TypeError, "defs"),
        ([("temp", "T", None, 1.0)], {}, TypeError, "defs[0]"),
        ([["temp", "T", None, 1.0, "hard"]], {}, TypeError, "defs[0]"),
        ([("temp", "T", "0", 1.0, "hard")], {}, TypeError, "defs[0][2]"),
        ([("temp", "T", None, 1.0, None)], {}, TypeError, "defs[0][4]"),
        ([(1, "T", None, 1.0, "hard")], {}, TypeError, "defs[0][0]"),
        ([], {"T": "1.5"}, TypeError, "values"),
        ([], {2: 1.5}, TypeError, "values"),
        ([], [("T", 1.5)], TypeError, "values"),
    ],
    ids=["defs-str", "tuple-of-4", "list-not-tuple", "str-bound", "none-severity", "int-name", "str-value",
         "int-key", "values-not-dict"],
)
def test_argument_errors(observer, defs, values, error, fragment):
    with pytest.raises(error) as exc:
        observer.observe(defs, values)
    assert str(exc.value).startswith(fragment + ":") or str(exc.value).startswith(fragment + "[")


def test_integer_bounds_and_values_convert(observer):
    result = observer.observe([("b", "T", 0, 1, "hard")], {"T": 2})
    assert result["hard_violations"] == ["b: T=2.0000 outside [Some(0.0), Some(1.0)]"]


def test_docstring():
    assert qk.PyBoundaryObserver.observe.__doc__.endswith(
        "Observe boundary violations. Returns dict with violations, soft_violations, hard_violations.")
