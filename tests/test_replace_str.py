"""Placeholder expansion through a host object."""

import re
import types

import pytest

import tamareltools.tamarels as tamarels
from helpers import TemplateHost
from leakcheck import assert_no_leaks
from tamareltools.exceptions import TamarelToolsError

replace_str = tamarels.Tamarel.replace_str
M_0002 = ("0002", "缺少数据: {}")


Host = TemplateHost


def expand(host, data):
    return replace_str(host, data, M_0002, TamarelToolsError)


@pytest.mark.parametrize("data,cache,expected", [
    ("  abc \n", {}, "abc"),
    ("${{a|b|c}}", {"a": 1}, "1"),
    ("x${{a}}y${{a}}z", {"a": "-"}, "x-y-z"),
    ("${{x_${{y}}}}", {"y": 2, "x_2": "ok"}, "ok"),
    ("${{a}}", {"a": False}, "False"),
    ("[${{a}}]", {"a": ""}, "[]"),
    ("${{ a }}", {" a ": "spaced"}, "spaced"),
    ("${{a{b}}", {}, "${{a{b}}"),
    ("${{a}}${{b}}", {"a": "${{b}}", "b": 3}, "33"),
    ("é${{a}}😀", {"a": "中"}, "é中😀"),
])
def test_expansion(data, cache, expected):
    assert expand(Host(cache), data) == expected


@pytest.mark.parametrize("data", [{"k": "${{a}}"}, 5, None])
def test_non_str_data_without_placeholder_comes_back_as_is(data):
    class Quiet(Host):
        def is_extract(self, text):
            return False
    assert expand(Quiet(), data) is data


def test_cache_name_stores_the_value_before_substitution():
    host = Host({"a": 7})
    assert expand(host, "${{a|saved}} ${{saved}}") == "7 7"
    assert ("set_cache", "saved", 7) in host.log
    assert host.cache["saved"] == 7


@pytest.mark.parametrize("data", ["${{a|}}", "${{a|b|c}}"])
def test_no_cache_name(data):
    host = Host({"a": 1})
    expand(host, data)
    assert not [c for c in host.log if c[0] == "set_cache"]


def test_call_expression_goes_to_regular_not_the_cache():
    host = Host({"f(1)": "cached"}, calls={"f(1)": 42})
    assert expand(host, "${{f(1)}}") == "42"
    assert host.log == [("regular", "f(1)")]


def test_missing_value_raises_with_the_key():
    host = Host({"a": 1})
    with pytest.raises(TamarelToolsError) as info:
        expand(host, "${{a|kept}} ${{k}}")
    assert info.value.value == ("k",) and info.value.code == "0002"
    assert host.cache["kept"] == 1


def test_error_class_gets_entry_items_and_value_keyword():
    seen = []

    class Error(Exception):
        def __init__(self, *args, value=None):
            seen.append((args, value))

    with pytest.raises(Error):
        replace_str(Host(), "${{k}}", ["c", "m"], Error)
    assert seen == [(("c", "m"), ("k",))]


def test_str_subclass_uses_its_own_methods():
    class Text(str):
        def replace(self, old, new):
            return Text(str.replace(self, old, new.upper()))

        def strip(self):
            return "stripped:" + str(self)

    assert expand(Host({"a": "x"}), Text(" ${{a}} ")) == "stripped: X "


def test_rebinding_re_in_the_module_wins(monkeypatch):
    calls = []
    fake = types.SimpleNamespace(search=lambda p, s: calls.append(p) or re.search(p, s))
    monkeypatch.setattr(tamarels, "re", fake)
    assert expand(Host({"a": 1}), "${{a}}") == "1"
    assert calls == [r"\$\{\{([^{}]*)\}\}"]


class Raising(Host):
    def get_cache(self, key):
        raise LookupError(key)


class OddTypes(Host):
    def remove_parentheses(self, text):
        return 12


class NoMethods:
    pass


class BadTruth(Host):
    def is_extract(self, text):
        class Bad:
            def __bool__(self):
                raise ValueError("no truth")
        return Bad()


@pytest.mark.parametrize("host,data,error", [
    (Raising(), "${{a}}", LookupError),
    (OddTypes(), "${{a}}", AttributeError),
    (NoMethods(), "${{a}}", AttributeError),
    (BadTruth(), "${{a}}", ValueError),
    (Host({"a": 1}), ["${{a}}"], AttributeError),
])
def test_hostile_hosts_raise_python_exceptions(host, data, error):
    with pytest.raises(error):
        expand(host, data)


def test_m_0002_must_be_iterable():
    message = "tamareltools.exceptions.TamarelToolsError() argument after * must be an iterable, not int"
    with pytest.raises(TypeError, match=re.escape(message)):
        replace_str(Host(), "${{k}}", 5, TamarelToolsError)


def test_runaway_recursion_is_a_recursion_error():
    class Loop(Host):
        def is_extract(self, text):
            return True

    with pytest.raises(RecursionError):
        expand(Loop(), "${{k}}")


def test_no_leaks():
    host = Host({"a": 1, "b": "two"})
    data = "x ${{a}} ${{b|c}} ${{x_${{a}}}}"
    host.cache["x_1"] = 3
    host.log = None  # no record to grow
    assert_no_leaks(replace_str, host, data, M_0002, TamarelToolsError)
    assert_no_leaks(replace_str, host, "${{missing}}", M_0002, TamarelToolsError)


# ---- against the plain-Python model --------------------------------------------

from hypothesis import given, settings, strategies as st

import reference

# Values carry no "$", so every pass removes one and the expansion ends.
TEXT = st.text(alphabet="${}|ab é中😀", max_size=30)
VALUES = st.text(alphabet="{}|ab é中😀", max_size=8)


def outcome(engine, data, cache):
    host = TemplateHost(cache, engine=engine, record=False)
    try:
        return ("ok", engine(host, data, M_0002, TamarelToolsError), host.cache)
    except TamarelToolsError as e:
        return ("error", e.value, host.cache)


@settings(max_examples=400, deadline=None)
@given(TEXT, st.dictionaries(st.text(alphabet="ab é中|", max_size=3), VALUES, max_size=6))
def test_same_result_as_the_model(data, cache):
    assert outcome(replace_str, data, cache) == outcome(reference.replace_str, data, cache)


@pytest.mark.parametrize("data,cache", [
    ("${{p${{a}}", {"a": "}}", "p": "P"}),          # a match that opens before the last one
    ("x$${{a}}", {"a": "{{b}}", "b": "B"}),         # a "${{" formed across the replacement
    ("中文${{k}}中文${{k}}", {"k": "1"}),             # wide text, ASCII value
    ("${{k}}", {"k": "中"}), ("é${{键}}", {"键": "x"}), ("${{键}}", {"键": "x"}),
    ("${{k}}${{k}}${{k}}", {"k": ""}),
])
def test_text_kinds_and_resumed_search(data, cache):
    got = outcome(replace_str, data, cache)
    assert got == outcome(reference.replace_str, data, cache)
    if got[0] == "ok":
        text = got[1]
        assert text.isascii() == all(ord(ch) < 128 for ch in text)
        assert hash(text) == hash("".join(list(text)))
