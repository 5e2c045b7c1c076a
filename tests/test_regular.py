"""Call expressions evaluated against a host object."""

import types

import pytest
from hypothesis import given, settings, strategies as st

import reference
import tamareltools.tamarels as tamarels
from leakcheck import assert_no_leaks
from tamareltools.exceptions import TamarelToolsError

regular = tamarels.Tamarel.regular
M022, M023 = ("m022", "参数过多"), ["m023", "缺少="]


class Host:
    def now(self):
        return "NOW"

    def two(self, a, b):
        return ("two", a, b)

    def four(self, a, b, c, d):
        return ("four", a, b, c, d)

    def many(self, *args):
        return ("many", args)

    def kw(self, **kwargs):
        return kwargs


def run(expression, host=None):
    return regular(host or Host(), expression, TamarelToolsError, M022, M023)


@pytest.mark.parametrize("expression,result", [
    ("now", "NOW"), ("now()", "NOW"), ("now( )", "NOW"),
    ("two(1,,2, )", ("two", "1", "2")),
    ("kw(a=1, b = 2)", {"a": "1", "b": "2"}), ("kw(a = b=c)", {"a": "b=c"}),
    ("kw(a=(1))", {"a": "(1)"}), ("kw(a=1, a=2)", {"a": "2"}),
    ("two('x', 2)\n", ("two", "'x'", "2")),
    ("many(1, 2, 3, 4, 5)", ("many", ("1", "2", "3", "4", "5"))),   # *args: no count check
])
def test_calls(expression, result):
    assert run(expression) == result


def test_too_few_arguments_fail_in_the_call():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'd'"):
        run("four(1, 2, 3)")


@pytest.mark.parametrize("expression,code", [
    ("two(1, 2, 3)", "m022"), ("kw(a=1,)", "m023"), ("kw(x, a=1)", "m023")])
def test_platform_errors(expression, code):
    with pytest.raises(TamarelToolsError) as info:
        run(expression)
    assert info.value.code == code and info.value.value is None


@pytest.mark.parametrize("expression,error", [
    ("two (1)", AttributeError), ("missing(1)", AttributeError), (5, TypeError),
    ("line(1)\nnext", AttributeError), ("kw(b=1)x", AttributeError)])
def test_failures(expression, error):
    with pytest.raises(error):
        run(expression)


def test_non_callable_attribute():
    with pytest.raises(TypeError):
        run("value(1)", types.SimpleNamespace(value=3))


NAMES = st.sampled_from(["two", "kw", "many", "now", "变量", "a_1", ""])
TAILS = st.text(alphabet="(),= ab1\n'", max_size=12)


class Recording:
    """Every attribute records its call; `two` and `kw` shape the count checks."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def record(a=None, b=None, *rest, **kwargs):
            self.calls.append((name, a, b, rest, kwargs))
        def fixed(a=None, b=None):
            self.calls.append((name, a, b))
        return fixed if name == "two" else record


def outcome(engine, expression):
    host = Recording()
    try:
        engine(host, expression, TamarelToolsError, M022, M023)
        return ("ok", host.calls)
    except Exception as e:
        return (type(e), host.calls)


@settings(max_examples=500, deadline=None)
@given(NAMES, TAILS)
def test_same_calls_as_the_model(name, tail):
    expression = name + tail
    assert outcome(regular, expression) == outcome(reference.regular, expression)


def test_rebinding_re_is_used(monkeypatch):
    import re
    seen = []
    monkeypatch.setattr(tamarels, "re", types.SimpleNamespace(
        match=lambda p, s: seen.append(p) or re.match(p, s)))
    assert run("two(1, 2)") == ("two", "1", "2")
    assert seen == [r"^(\w+)\((.*)\)$"]


def test_no_leaks():
    host = Host()
    for expression in ("two(1, 2)", "kw(a=1)", "now", "two(1,2,3)", "kw(a=1,)", "missing(1)"):
        assert_no_leaks(regular, host, expression, TamarelToolsError, M022, M023, repeat=500)
