"""Form lists: deep copies filled from a record, options evaluated, saves routed."""

import types
from dataclasses import dataclass
from typing import Any

import pytest

import tamareltools.tamarels as tamarels
from leakcheck import assert_no_leaks

T = tamarels.Tamarel


@dataclass
class Field:
    key: str
    value: Any = None
    select: Any = None
    subordinate: str = ""


class Methods:
    def __init__(self):
        self.asked = []

    def get_product_module_label(self, product_id):
        self.asked.append(product_id)
        return [f"module of {product_id}"]


class Host:
    def __init__(self, form_data=None, callback=False):
        self.form_data = form_data or []
        self.saved = []
        if callback:
            self.form_data_callback = lambda field: [f"cb:{field.key}"]

    def subordinate_callback(self, field):
        return [f"for {field.value}"]


@pytest.mark.parametrize("cell,value", [
    ({"id": 5, "name": "x"}, 5),
    ({"name": "名字"}, '{"name": "名字"}'),
    ({}, None),
    ({"id": None}, '{"id": null}'),
    ([1, 2], "[1, 2]"),
    ("abc", "abc"),
    (3, 3),
])
def test_value_from_the_record(cell, value):
    (field,) = T.edit_form_data(Host(), {"k": cell}, [Field("k")], Methods())
    assert field.value == value


def test_options_and_copies():
    form = [Field("a", select=lambda: ["computed"]), Field("b", select=["kept"])]
    host = Host(form)
    filled = T.add_from_data(host)
    assert [f.select for f in filled] == [["computed"], ["kept"]]
    assert callable(form[0].select) and filled[0] is not form[0]
    assert [f.select for f in T.add_from_data(Host(form, callback=True))] == [["cb:a"], ["kept"]]


def test_dependent_options():
    form = [Field("module", select=["old"]), Field("product", subordinate="module"),
            Field("env", subordinate="server"), Field("server", select=lambda: ["later"])]
    methods = Methods()
    filled = T.edit_form_data(Host(), {"module": 1, "product": "7", "env": "prod", "server": "s"},
                              form, methods)
    assert filled[0].select == ["module of 7"] and methods.asked == [7]
    assert filled[3].select == ["for prod"]          # stored, then not callable: kept
    assert form[0].select == ["old"]                  # the caller's list is untouched


@pytest.mark.parametrize("product", [None, ""])
def test_record_without_product_keeps_module_options(product):
    methods = Methods()
    form = [Field("module", select=["all"]), Field("product", subordinate="module")]
    filled = T.edit_form_data(Host(), {"module": None, "product": product}, form, methods)
    assert filled[0].select == ["all"] and methods.asked == []


@pytest.mark.parametrize("row,form,error", [
    ({}, [Field("k")], KeyError),
    ({"module": 1, "p": "x"}, [Field("module"), Field("p", subordinate="module")], ValueError),
    ({"p": 1}, [Field("p", subordinate="nowhere")], AttributeError),
    ({"k": {"a": object()}}, [Field("k")], TypeError),
    ({"k": 1}, [{"key": "k"}], AttributeError),
])
def test_errors_pass_through(row, form, error):
    with pytest.raises(error):
        T.edit_form_data(Host(), row, form, Methods())


def test_saves():
    calls = []
    with_callback = types.SimpleNamespace(save_callback=lambda data, new: calls.append((data, new)) or "ignored")
    plain = types.SimpleNamespace(post=lambda data: ("posted", data), put=lambda data: ("put", data))
    assert T.post_save_data(with_callback, {"a": 1}) is None
    data = {"id": 9, "a": 1}
    assert T.put_save_data(with_callback, {"id": 3}, data) is None and data == {"id": 3, "a": 1}
    assert calls == [({"a": 1}, True), ({"id": 3, "a": 1}, False)]
    assert T.post_save_data(plain, {"b": 2}) == ("posted", {"b": 2})
    assert T.put_save_data(plain, {}, {"b": 2}) == ("put", {"b": 2, "id": None})


def test_no_leaks():
    form = [Field("module"), Field("product", subordinate="module"), Field("x", select=lambda: [1])]
    row = {"module": 1, "product": "7", "x": {"name": "中"}}
    methods = types.SimpleNamespace(get_product_module_label=lambda product_id: [product_id])
    assert_no_leaks(T.edit_form_data, Host(), row, form, methods, repeat=300, allowed_bytes=150_000)
    assert_no_leaks(T.add_from_data, Host(form), repeat=300, allowed_bytes=150_000)
