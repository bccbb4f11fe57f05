"""Petri net: guard grammar, construction checks, enabling and firing."""

import math

import pytest

import qor_kernel as qk

U32_MAX = 2**32 - 1


@pytest.fixture
def arm_net():
    return qk.PyPetriNet(["idle", "armed"], [("arm", [("idle", 1)], [("armed", 1)], "R > 0.5")])


def net_with_guard(guard):
    return qk.PyPetriNet(["a"], [("t", [], [], guard)])


# ---- guards -----------------------------------------------------------------


@pytest.mark.parametrize(
    "ctx, expected",
    [({"R": 0.7}, ({"armed": 1}, "arm")), ({"R": 0.4}, ({"idle": 1}, None)), ({}, ({"idle": 1}, None))],
    ids=["guard-true", "guard-false", "metric-absent"],
)
def test_guarded_step(arm_net, ctx, expected):
    assert arm_net.step({"idle": 1}, ctx) == expected


@pytest.mark.parametrize(
    "guard, message",
    [
        ("R>0.5", "guard must be 'metric op threshold', got \"R>0.5\""),
        ("", "guard must be 'metric op threshold', got \"\""),
        ("R > 0.5 x", "guard must be 'metric op threshold', got \"R > 0.5 x\""),
        ('say "hi" now\n\\', "guard must be 'metric op threshold', got \"say \\\"hi\\\" now\\n\\\\\""),
        ("R => 0.5", 'unknown guard operator: "=>"'),
        ("R =\x01 0.5", 'unknown guard operator: "=\\u{1}"'),
        ("R > abc", "invalid threshold: invalid float literal"),
        ("R > 0x10", "invalid threshold: invalid float literal"),
        ("R > inf", "guard threshold must be finite, got inf"),
        ("R > -Infinity", "guard threshold must be finite, got -inf"),
        ("R > nAn", "guard threshold must be finite, got NaN"),
        ("R > 1e400", "guard threshold must be finite, got inf"),
        ("R > -1e400", "guard threshold must be finite, got -inf"),
    ],
    ids=["no-blanks", "empty", "four-tokens", "escaped", "bad-op", "control-char-op", "word", "hex",
         "inf", "minus-infinity", "nan", "overflow", "negative-overflow"],
)
def test_guard_parse_errors(guard, message):
    with pytest.raises(ValueError) as exc:
        net_with_guard(guard)
    assert str(exc.value) == "guard parse error: " + message


@pytest.mark.parametrize(
    "literal, value",
    [("0.5", 0.5), ("1.", 1.0), (".5", 0.5), ("+2", 2.0), ("-3e-2", -0.03), ("1E+3", 1000.0), ("0007", 7.0),
     ("1e-400", 0.0), ("-0", 0.0), ("4.9e-324", 5e-324)],
    ids=["plain", "trailing-dot", "leading-dot", "plus", "exponent", "capital-E", "leading-zeros", "underflow",
         "minus-zero", "subnormal"],
)
def test_guard_threshold_literals(literal, value):
    net = net_with_guard("m == " + literal)
    assert net.enabled({}, {"m": value}) == ["t"]
    assert net.enabled({}, {"m": value + 1e-9}) == []


@pytest.mark.parametrize(
    "literal",
    [".", "e5", "1e", "1e+", "+", "--1", "+-1", "1.2.3", "1_000", "1,5", "inf0", "infinit", "nan(1)",
     "\u0661", "0x1p3", "1e5.0", "\uff11"],
)
def test_guard_threshold_rejected(literal):
    with pytest.raises(ValueError, match=r"^guard parse error: invalid threshold: invalid float literal$"):
        net_with_guard("m > " + literal)


def test_guard_splits_on_unicode_white_space():
    net = net_with_guard("\u3000R\u2003>=\u00a00.5\n")
    assert net.enabled({}, {"R": 0.5}) == ["t"]


@pytest.mark.parametrize(
    "op, value, expected",
    [
        (">", 1.0, False), (">", 1.0 + 1e-9, True),
        (">=", 1.0, True), (">=", 0.999, False),
        ("<", 1.0, False), ("<", 0.5, True),
        ("<=", 1.0, True), ("<=", 1.5, False),
        ("==", 1.0 + 5e-13, True), ("==", 1.0 + 2e-12, False),
        (">", math.inf, False), ("<", -math.inf, False), ("<=", math.nan, False),
    ],
    ids=["gt-equal", "gt-above", "ge-equal", "ge-below", "lt-equal", "lt-below", "le-equal", "le-above",
         "eq-within", "eq-outside", "inf-value", "minus-inf-value", "nan-value"],
)
def test_guard_operators(op, value, expected):
    net = net_with_guard(f"m {op} 1.0")
    assert net.enabled({}, {"m": value}) == (["t"] if expected else [])


# ---- construction -----------------------------------------------------------


@pytest.mark.parametrize(
    "places, transitions, message",
    [
        (["a", ""], [], "place names must not be empty"),
        (["a"], [("", [], [], None)], "transition names must not be empty"),
        (["a"], [("t", [("a", 0)], [], None)], 'transition "t" has zero-weight arc for place "a"'),
        (["a"], [("t", [], [("zz", 1)], None)], 'transition "t" references unknown place "zz"'),
        (["a"], [("t", [("zz", 0)], [], None)], 'transition "t" has zero-weight arc for place "zz"'),
        (["a"], [("t", [("a", 1), ("a", 0)], [("zz", 1)], None)], 'transition "t" has zero-weight arc for place "a"'),
        (["a"], [("t", [("b", 1)], [("a", 0)], None)], 'transition "t" references unknown place "b"'),
        (["a"], [("ok", [("a", 1)], [], None), ("t\t\"2\"", [], [("a\\b", 1)], None)],
         'transition "t\\t\\"2\\"" references unknown place "a\\\\b"'),
        (["A"], [("t", [("a", 1)], [], None)], 'transition "t" references unknown place "a"'),
        ([""], [("t", [], [], "R>1")], "guard parse error: guard must be 'metric op threshold', got \"R>1\""),
        (["a"], [("", [], [], "R > x")], "guard parse error: invalid threshold: invalid float literal"),
        (["a"], [("", [("zz", 0)], [], None)], "transition names must not be empty"),
    ],
    ids=["empty-place", "empty-transition", "zero-weight", "unknown-place", "zero-weight-first",
         "inputs-in-order", "inputs-before-outputs", "escaped-names", "case-sensitive-place",
         "guard-before-places", "guard-before-names", "name-before-arcs"],
)
def test_construction_errors(places, transitions, message):
    with pytest.raises(ValueError) as exc:
        qk.PyPetriNet(places, transitions)
    assert str(exc.value) == message


def test_guard_error_comes_before_a_later_malformed_tuple():
    with pytest.raises(ValueError, match="guard parse error"):
        qk.PyPetriNet(["a"], [("t", [], [], "bad"), ("u", [], [])])


def test_duplicate_names_are_accepted():
    net = qk.PyPetriNet(["a", "a"], [("t", [], [("a", 1)], None), ("t", [], [], None)])
    assert net.place_names == ["a", "a"]
    assert net.transition_names == ["t", "t"]
    assert net.step({}, {}) == ({"a": 1}, "t")


def test_properties_keep_order():
    net = qk.PyPetriNet(["z", "a", "m"], [("t2", [], [], None), ("t1", [], [], None)])
    assert net.place_names == ["z", "a", "m"]
    assert net.transition_names == ["t2", "t1"]


# ---- enabling and firing ----------------------------------------------------


@pytest.fixture
def chain():
    # a -(2)-> b -(1)-> c, and a transition that needs two arcs of 2 from c.
    return qk.PyPetriNet(
        ["a", "b", "c"],
        [
            ("ab", [("a", 2)], [("b", 1)], None),
            ("bc", [("b", 1)], [("c", 1)], "go >= 1"),
            ("cc", [("c", 2), ("c", 2)], [("a", 1)], None),
        ],
    )


@pytest.mark.parametrize(
    "tokens, ctx, enabled",
    [
        ({}, {"go": 1.0}, []),
        ({"a": 1}, {}, []),
        ({"a": 2, "b": 1}, {}, ["ab"]),
        ({"a": 2, "b": 1}, {"go": 1.0}, ["ab", "bc"]),
        ({"c": 2}, {}, ["cc"]),
        ({"c": 1}, {}, []),
        ({"a": 0, "b": 0, "c": 0}, {"go": 5.0}, []),
        ({"x": 99, "b": 1}, {"go": 2.0, "other": math.nan}, ["bc"]),
    ],
    ids=["empty", "too-few", "one", "in-transition-order", "each-arc-sees-full-count", "short",
         "zeros-are-absent", "unknown-names-ignored"],
)
def test_enabled(chain, tokens, ctx, enabled):
    assert chain.enabled(tokens, ctx) == enabled


def test_step_fires_first_enabled_and_clamps_inputs_at_zero(chain):
    # Both arcs of "cc" take 2 from c = 2: the count stops at 0.
    assert chain.step({"c": 2}, {}) == ({"a": 1}, "cc")
    # "ab" comes first in transition order even when "bc" is enabled too.
    assert chain.step({"a": 3, "b": 1}, {"go": 1.0}) == ({"a": 1, "b": 2}, "ab")


def test_step_result_lists_places_in_place_order_and_drops_other_names(chain):
    tokens, fired = chain.step({"x": 7, "c": 1, "b": 1, "a": 1}, {"go": 1.0})
    assert fired == "bc"
    assert list(tokens.items()) == [("a", 1), ("c", 2)]
    # Without a firing the marking comes back the same way.
    tokens, fired = chain.step({"x": 7, "c": 1, "a": 1}, {})
    assert (list(tokens.items()), fired) == ([("a", 1), ("c", 1)], None)


def test_step_does_not_modify_the_argument(chain):
    tokens = {"a": 2}
    chain.step(tokens, {})
    assert tokens == {"a": 2}


def test_output_clamps_at_u32_max():
    net = qk.PyPetriNet(["p"], [("t", [], [("p", 5), ("p", U32_MAX)], None)])
    assert net.step({"p": U32_MAX - 2}, {}) == ({"p": U32_MAX}, "t")
    assert net.step({}, {}) == ({"p": U32_MAX}, "t")


def test_source_transition_fires_every_step():
    net = qk.PyPetriNet(["p", "q"], [("src", [], [("p", 1)], None), ("pq", [("p", 1)], [("q", 1)], None)])
    tokens = {}
    for k in range(1, 4):
        tokens, fired = net.step(tokens, {})
        assert (tokens, fired) == ({"p": k}, "src")


def test_active_places_counts_every_non_zero_name(arm_net):
    assert arm_net.active_places({"idle": 0, "armed": 2}) == ["armed"]
    assert sorted(arm_net.active_places({"armed": 1, "elsewhere": 3, "idle": 0})) == ["armed", "elsewhere"]
    assert arm_net.active_places({}) == []


# ---- argument conversion ------------------------------------------------------


@pytest.mark.parametrize(
    "places, transitions, error, fragment",
    [
        ("idle", [], TypeError, "places"),
        (["idle", 3], [], TypeError, "places[1]"),
        (["idle"], "t", TypeError, "transitions"),
        (["idle"], [("t", [], [])], TypeError, "transitions[0]"),
        (["idle"], [["t", [], [], None]], TypeError, "transitions[0]"),
        (["idle"], [("t", "idle", [], None)], TypeError, "transitions[0][1]"),
        (["idle"], [("t", [("idle",)], [], None)], TypeError, "transitions[0][1][0]"),
        (["idle"], [("t", [("idle", 1.0)], [], None)], TypeError, "transitions[0][1][0][1]"),
        (["idle"], [("t", [], [("idle", -1)], None)], OverflowError, "transitions[0][2][0][1]"),
        (["idle"], [("t", [], [("idle", 2**32)], None)], OverflowError, "transitions[0][2][0][1]"),
        (["idle"], [("t", [], [], 1.5)], TypeError, "transitions[0][3]"),
    ],
    ids=["places-str", "place-not-str", "transitions-str", "tuple-of-3", "list-not-tuple", "arcs-str",
         "arc-of-1", "float-weight", "negative-weight", "weight-too-large", "guard-not-str"],
)
def test_construction_argument_errors(places, transitions, error, fragment):
    with pytest.raises(error) as exc:
        qk.PyPetriNet(places, transitions)
    assert str(exc.value).startswith(fragment + ":")


@pytest.mark.parametrize(
    "tokens, ctx, error, fragment",
    [
        ({"idle": -1}, {}, OverflowError, "tokens"),
        ({"idle": 2**32}, {}, OverflowError, "tokens"),
        ({"idle": 1.0}, {}, TypeError, "tokens"),
        ({1: 1}, {}, TypeError, "tokens"),
        ([("idle", 1)], {}, TypeError, "tokens"),
        ({}, {"R": "high"}, TypeError, "ctx"),
        ({}, {"R": None}, TypeError, "ctx"),
    ],
    ids=["negative-count", "count-too-large", "float-count", "non-str-place", "not-a-dict", "str-metric",
         "none-metric"],
)
def test_query_argument_errors(arm_net, tokens, ctx, error, fragment):
    for call in (lambda: arm_net.step(tokens, ctx), lambda: arm_net.enabled(tokens, ctx)):
        with pytest.raises(error) as exc:
            call()
        assert str(exc.value).startswith(fragment)


def test_metric_values_convert_like_floats(arm_net):
    assert arm_net.enabled({"idle": 1}, {"R": 1}) == ["arm"]
    assert arm_net.enabled({"idle": True}, {"R": True}) == ["arm"]


def test_docstrings():
    assert qk.PyPetriNet.step.__doc__.endswith(
        "Step: fire first enabled transition. Returns (tokens_dict, fired_name_or_none).")
    assert qk.PyPetriNet.enabled.__doc__.endswith("Return names of all enabled transitions.")
