"""What the cross-built Windows module assumes about the interpreter it runs in."""

import ctypes
import pathlib
import re
import sys
import types

import pytest

LAYOUT_CHECK = pathlib.Path(__file__).resolve().parents[1] / "tools" / "windows" / "layout.cpp"


def _function(a, b, c, /, d, *, e, f):
    pass


@pytest.mark.skipif(sys.platform != "win32" or sys.maxsize <= 2**32,
                    reason="the figures are those of CPython 3.13 on Windows x86-64")
def test_layout_figures_are_the_interpreters():
    # The cross build checks that the interpreter's headers with the project's own
    # configuration header give these figures; here they meet the DLL they stand for,
    # each through the expression written beside it.
    namespace = dict(vars(ctypes), sys=sys, types=types, function=_function, code=_function.__code__,
                     items=[object(), object()], triple=(1, 2, 3),
                     at=lambda n, ctype, obj: ctype.from_address(id(obj) + n).value,
                     word=lambda address: ctypes.c_void_p.from_address(address).value)
    figures = re.findall(r"^LAYOUT\((.+) == (\d+)\);\s*// (.+)$", LAYOUT_CHECK.read_text(encoding="utf-8"),
                         re.MULTILINE)
    assert len(figures) > 30
    wrong = [f"{expression} == {n}" for expression, n, holds in figures
             if not eval(holds, dict(namespace, n=int(n)))]
    assert not wrong
