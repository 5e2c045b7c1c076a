"""Call expressions evaluated against a host object."""

import os
import types

import pytest
from hypothesis import given, settings, strategies as st

import reference
import tamareltools.tamarels as tamarels
from helpers import run_python
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


# ---- the parameter count without inspect.signature, and every way back to it -----------


def three(self, a, b, c):
    return (a, b, c)


def signature_of_one(self, a):
    pass


def shaped(kind):
    """A host whose `f` takes three parameters, made to report a different count."""
    import functools
    import inspect
    host = types.SimpleNamespace()
    if kind == "__signature__":
        def f(a, b, c):
            return (a, b, c)
        f.__signature__ = inspect.signature(lambda a: None)
    elif kind == "__wrapped__":
        @functools.wraps(lambda a: None)
        def f(a, b, c):
            return (a, b, c)
    elif kind == "partial":
        f = functools.partial(lambda x, a, b, c: (a, b, c), 0)
    elif kind == "attribute set":
        def f(a, b, c):
            return (a, b, c)
        f.note = "anything in the function's dict"
    elif kind == "method without self":
        f = types.MethodType(lambda *args: args[1:], host)
    elif kind == "keyword names":
        f = types.MethodType(types.FunctionType(three.__code__.replace(co_varnames=("self", "a", "a", "c")),
                                                 globals()), host)
    else:
        f = types.MethodType(three, host)
    host.f = f
    return host


@pytest.mark.parametrize("kind", ["plain method", "__signature__", "__wrapped__", "partial", "attribute set",
                                  "method without self", "keyword names"])
@pytest.mark.parametrize("expression", ["f(1, 2)", "f(1, 2, 3)", "f(1, 2, 3, 4)", "f(a=1)", "f()"])
def test_counts_as_inspect_does(kind, expression):
    def result(engine):
        try:
            return ("ok", engine(shaped(kind), expression, TamarelToolsError, M022, M023))
        except Exception as e:
            return (type(e).__name__, str(e))
    assert result(regular) == result(reference.regular)


@pytest.mark.parametrize("patch", ["signature", "Parameter", "isfunction", "MethodType", "builtins"])
def test_patched_inspect_is_used(patch):
    """Each patch, made in a fresh process after the count was once taken from the
    code object, is seen by the next call, exactly as by the plain version."""
    result = run_python(f"""
        import builtins, inspect, sys, types
        import reference
        import tamareltools.tamarels as tamarels
        from tamareltools.exceptions import TamarelToolsError

        class Host:
            def f(self, a, b):
                return (a, b)

        calls = []
        def profile(frame, event, arg):
            if event == "call" and frame.f_code.co_name == "signature":
                calls.append(frame.f_code.co_filename)
        def run(engine):
            try:
                return engine(Host(), "f(1, 2, 3)", TamarelToolsError, ("m022", "x"), ("m023", "y"))
            except Exception as e:
                return type(e).__name__

        sys.setprofile(profile)
        first = run(tamarels.Tamarel.regular)
        sys.setprofile(None)
        print("shortcut", first, len(calls))
        patch = {patch!r}
        if patch == "signature":
            real = inspect.signature
            inspect.signature = lambda f: real(lambda a, b, c: None)
        elif patch == "Parameter":
            inspect.Parameter.VAR_POSITIONAL = inspect.Parameter.POSITIONAL_OR_KEYWORD
        elif patch == "isfunction":
            inspect.isfunction = lambda f: False
        elif patch == "MethodType":
            types.MethodType = type(None)
        else:
            builtins.isinstance = lambda o, c, real=isinstance: real(o, c)
        print("patched", run(tamarels.Tamarel.regular), run(reference.regular))
    """, env=dict(os.environ, PYTHONPATH=os.path.dirname(__file__)))
    assert result.returncode == 0, result.stderr
    shortcut, patched = result.stdout.splitlines()
    assert shortcut == "shortcut TamarelToolsError 0"  # no inspect.signature call
    _, native, plain = patched.split()
    assert native == plain


def test_inspect_imported_as_the_import_statement_does(monkeypatch):
    import builtins
    seen = []
    real_import = builtins.__import__

    def recording(name, *args, **kwargs):
        seen.append(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", recording)
    run("two(1, 2)")
    native = [name for name in seen if name == "inspect"]
    seen.clear()
    reference.regular(Host(), "two(1, 2)", TamarelToolsError, M022, M023)
    assert native == [name for name in seen if name == "inspect"] == ["inspect"]


def test_no_leaks():
    host = Host()
    for expression in ("two(1, 2)", "kw(a=1)", "now", "two(1,2,3)", "kw(a=1,)", "missing(1)"):
        assert_no_leaks(regular, host, expression, TamarelToolsError, M022, M023, repeat=500)
