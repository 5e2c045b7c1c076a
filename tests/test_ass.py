"""The assertion dispatcher: family probes, value preparation, platform errors."""

import json
import types

import pytest

import tamareltools.tamarels as tamarels
from leakcheck import assert_no_leaks
from tamareltools.exceptions import TamarelToolsError
from tamareltools.exceptions.error_msg import ERROR_MSG_0019, ERROR_MSG_0021

ass = tamarels.ass


class Checks:
    """An assertion object recording the calls it receives."""

    def __init__(self, mysql_connect="db"):
        self.mysql_connect = mysql_connect
        self.calls = []

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)

        def method(*args):
            self.calls.append((name, args))
            return ("result", name)
        return method


def family(*names):
    return type("Family", (), {name: staticmethod(lambda *a: None) for name in names})


TEXT, EXCEL, SQL, CUSTOM = family("eq", "both"), family("cell"), family("row", "both"), family("mine")
FAMILIES = dict(text=TEXT, excel=EXCEL, sql=SQL, custom=CUSTOM)


def run(method, actual, expect=None, checks=None, **kwargs):
    checks = checks or Checks()
    result = ass(checks, method, actual, expect, **{**FAMILIES, **kwargs})
    assert result == ("result", method)
    return checks.calls


@pytest.mark.parametrize("method,actual,expect,calls", [
    ("eq", 1, None, [("eq", (1,))]),
    ("eq", 1, 0, [("eq", (1, 0))]),
    ("eq", 1, "", [("eq", (1, ""))]),
    ("both", 1, None, [("both", (1,))]),                       # text wins over sql
    ("cell", '  {"a": 1} ', '[1, 2]', [("cell", ({"a": 1}, [1, 2]))]),
    ("cell", "abc", " x", [("cell", ("abc", " x"))]),
    ("cell", [1], 5, [("cell", ([1], 5))]),
    ("cell", r'{"p": "C:\data\quux"}', None, [("cell", ({"p": r"C:\data\quux"}, None))]),
    ("row", "a", "[]", [("row", ("a",))]),
    ("row", "a", "{bad", [("row", ("a", "{bad"))]),
    ("row", "[1]", '{"k": 2}', [("row", ("[1]", {"k": 2}))]),
    ("row", "a", 0, [("row", ("a",))]),
    ("mine", 1, 2, [("mine", (1,))]),
    ("other", 1, None, [("other", (1, None))]),
])
def test_dispatch(method, actual, expect, calls):
    assert run(method, actual, expect) == calls


def test_without_family_declarations():
    checks = Checks()
    ass(checks, "m", 1)
    ass(self=checks, method="eq", actual=2, expect=3, unrelated=4)
    assert checks.calls == [("m", (1, None)), ("eq", (2, 3))]


def test_non_callable_declaration_is_no_family():
    assert run("eq", 1, None, text=types.SimpleNamespace(eq=5)) == [("eq", (1, None))]


@pytest.mark.parametrize("actual,expect", [("[1, 2", None), ("x", r'{"p": "C:\data"}')])
def test_excel_decoding_failure_is_the_platform_error(actual, expect):
    with pytest.raises(TamarelToolsError) as info:
        run("cell", actual, expect)
    assert (info.value.code, info.value.msg) == tuple(ERROR_MSG_0019)
    assert isinstance(info.value.__context__, json.JSONDecodeError)


def test_sql_without_connection():
    checks = Checks(mysql_connect=None)
    with pytest.raises(TamarelToolsError) as info:
        run("row", 1, 2, checks=checks)
    assert info.value.code == ERROR_MSG_0021[0] and checks.calls == []
    with pytest.raises(AttributeError):
        ass(object(), "row", 1, sql=SQL)


def test_assertion_errors_pass_through():
    class Failing:
        def cell(self, actual, expect):
            raise json.JSONDecodeError("own", "", 0)

    with pytest.raises(json.JSONDecodeError, match="own"):
        ass(Failing(), "cell", "1", "2", excel=EXCEL)
    with pytest.raises(AttributeError):
        ass(object(), "missing", 1)


@pytest.mark.parametrize("args,kwargs,message", [
    ((1,), {}, "ass() takes at least 3 positional arguments (1 given)"),
    ((1, 2, 3, 4, 5), {}, "ass() takes at most 4 positional arguments (5 given)"),
    ((1, 5, 3), {}, "Argument 'method' has incorrect type (expected str, got int)"),
    ((1, None, 3), {}, "Argument 'method' has incorrect type (expected str, got NoneType)"),
    ((1, type("S", (str,), {})("eq"), 3), {}, "Argument 'method' has incorrect type (expected str, got S)"),
    ((1, "m", 3), {"method": "x"}, "ass() got multiple values for keyword argument 'method'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        ass(*args, **kwargs)
    assert str(info.value) == message


def test_module_names_are_read_at_call_time(monkeypatch):
    loads = []
    fake_json = types.SimpleNamespace(loads=lambda text: loads.append(text) or "decoded",
                                      decoder=json.decoder)
    monkeypatch.setattr(tamarels, "json", fake_json)
    assert run("cell", "[1]", None) == [("cell", ("decoded", None))]
    monkeypatch.setattr(tamarels, "TamarelToolsError", KeyError)
    monkeypatch.setattr(tamarels, "json", json)
    with pytest.raises(KeyError):
        run("cell", "[1", None)


def test_function_shape():
    assert ass.__defaults__ == (None,)
    assert ass.__annotations__ == {"method": "str"}


def test_no_leaks():
    checks = types.SimpleNamespace(cell=lambda a, e: None, row=lambda a, e=None: None,
                                   eq=lambda a, e=None: None, mysql_connect=None)
    for args in [("eq", "1", "2"), ("cell", '{"a": [1]}', "[2]"), ("cell", "[1", None),
                 ("row", 1, "{bad"), ("m", 1), (5, 1)]:
        assert_no_leaks(ass, checks, *args, **FAMILIES, repeat=1000)


class Key(str):
    """A keyword name that is not interned."""


@pytest.mark.parametrize("extra", [0, 70])   # past 64 keywords the families come from a dict
def test_families_found_among_many_keywords(extra):
    keywords = {f"other{i}": i for i in range(extra)}
    keywords[Key("text")] = TEXT   # compared by value, not identity
    checks = Checks()
    ass(checks, "eq", 1, 2, **keywords)
    assert checks.calls == [("eq", (1, 2))]


def test_counted_wording_comes_back_with_the_declared_defaults(monkeypatch):
    monkeypatch.setattr(ass, "__defaults__", None)
    with pytest.raises(TypeError, match=r"^ass\(\) missing 1 required positional argument: 'expect'$"):
        ass(object(), "m", 1)
    monkeypatch.undo()  # the tuple read before is put back
    with pytest.raises(TypeError, match=r"^ass\(\) takes at least 3 positional arguments \(1 given\)$"):
        ass(1)
