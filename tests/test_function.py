"""The module's function objects behave like Python functions: binding, attributes,
descriptor protocol, introspection."""

import copy
import inspect
import json
import pathlib
import pickle
import pydoc
import shutil
import subprocess

import pytest

import tamareltools.tamarels as tamarels
from helpers import run_python

# Native functions whose argument binding is compared with a Python twin of the same
# signature. Calls that bind are made with junk values, so only functions that fail
# harmlessly on junk are listed.
BOUND_BY_POSITION = [
    tamarels.Tamarel.replace_str,
    tamarels.AsyncioThread.__init__,
    tamarels.AsyncioThread.run,
]


def python_twin(fn):
    namespace = {}
    exec(f"def {fn.__name__}{inspect.signature(fn)}: return 'bound'", namespace)
    return namespace[fn.__name__]


class Keyword(str):
    """A keyword whose text is `text` and which equals only `equals`."""

    def __new__(cls, text, equals):
        self = super().__new__(cls, text)
        self.equals = equals
        return self

    def __eq__(self, other):
        return other == self.equals

    __hash__ = str.__hash__


def call_patterns(fn):
    names = [p.name for p in inspect.signature(fn).parameters.values()
             if p.kind is p.POSITIONAL_OR_KEYWORD]
    n = len(names)
    patterns = [((), {})] + [(tuple(range(k)), {}) for k in range(1, n + 3)]
    patterns += [((), {name: 0 for name in names})]
    patterns += [((0,), {names[0]: 1})] if names else []
    patterns += [((), {"x": 1}), ((), {names[-1] + "s": 1} if names else {})]
    patterns += [(tuple(range(n)), {"x": 1})]
    patterns += [((), {names[-1]: 1})] if names else []
    patterns += [((), {Keyword(names[0], None): 1}), ((), {Keyword("x", names[-1]): 1})] if names else []
    return patterns


def outcome(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as e:
        return str(e)
    except Exception:
        pass
    return None


@pytest.mark.parametrize("fn", BOUND_BY_POSITION, ids=lambda f: f.__qualname__)
def test_argument_errors_match_python(fn):
    twin = python_twin(fn)
    for args, kwargs in call_patterns(fn):
        expected = outcome(twin, args, kwargs)
        got = outcome(fn, args, kwargs)
        if expected is not None:
            assert got == expected, (args, kwargs)
        else:
            assert got is None or not got.startswith(fn.__name__ + "()"), (args, kwargs, got)


def module_functions():
    """Every function object of the module: its functions and its classes' methods."""
    function = type(tamarels.find_start_node)
    found = {}
    for owner in (tamarels, tamarels.Tamarel, tamarels.GitRepoOperator, tamarels.AsyncioThread):
        for value in vars(owner).values():
            value = getattr(value, "__func__", value)
            if type(value) is function:
                found[value.__qualname__] = value
    return list(found.values())


# __defaults__ / __kwdefaults__ as a caller may reassign them: each function by the
# count of its positional parameters (n) and its declared defaults.
REASSIGNED = {
    "no defaults": lambda n, declared: (None, None),
    "empty tuple": lambda n, declared: ((), None),
    "all defaulted": lambda n, declared: ((0,) * n, None),
    "one more than declared": lambda n, declared: ((0,) * min(n, len(declared or ()) + 1), None),
    "declared values, new tuple": lambda n, declared: (tuple([*declared]) if declared else None, None),
    "keyword defaults": lambda n, declared: (declared, {"x": 0}),
}


@pytest.mark.parametrize("reassign", REASSIGNED)
@pytest.mark.parametrize("fn", module_functions(), ids=lambda f: f.__qualname__)
def test_argument_errors_after_reassigned_defaults_match_python(monkeypatch, fn, reassign):
    twin = python_twin(fn)
    n = sum(p.kind is p.POSITIONAL_OR_KEYWORD for p in inspect.signature(fn).parameters.values())
    defaults, kwdefaults = REASSIGNED[reassign](n, fn.__defaults__)
    for f in (fn, twin):
        monkeypatch.setattr(f, "__defaults__", defaults)
        monkeypatch.setattr(f, "__kwdefaults__", kwdefaults)
    for args, kwargs in call_patterns(fn):
        expected = outcome(twin, args, kwargs)
        if expected is not None:  # only calls that fail to bind are made: the others would run
            assert outcome(fn, args, kwargs) == expected, (args, kwargs)


def test_function_attributes():
    fn = tamarels.Tamarel.replace_str
    assert fn.__name__ == "replace_str"
    assert fn.__qualname__ == "Tamarel.replace_str"
    assert fn.__module__ == "tamareltools.tamarels"
    assert fn.__doc__ is None and fn.__defaults__ is None and fn.__kwdefaults__ is None
    assert fn.__annotations__ == {}
    assert repr(fn).startswith("<function Tamarel.replace_str at 0x")
    fn.__dict__["marker"] = 1
    assert fn.marker == 1
    del fn.marker


def test_signature_and_help():
    sig = inspect.signature(tamarels.Tamarel.replace_str)
    assert str(sig) == "(self, data, m_0002, tamarel_tools_error)"
    assert str(inspect.signature(tamarels.AsyncioThread.run)) == "(self) -> 'None'"
    thread = tamarels.AsyncioThread(None)
    assert str(inspect.signature(thread.run)) == "() -> 'None'"
    text = pydoc.render_doc(tamarels.Tamarel, renderer=pydoc.plaintext)
    assert "replace_str(self, data, m_0002, tamarel_tools_error)" in text


def test_binds_as_a_method_in_any_class():
    class Host:
        run = tamarels.AsyncioThread.run

    host = Host()
    bound = host.run
    assert bound.__self__ is host and bound.__func__ is tamarels.AsyncioThread.run
    assert Host.run is tamarels.AsyncioThread.run
    assert tamarels.Tamarel.replace_str is tamarels.Tamarel().replace_str
    with pytest.raises(AttributeError, match="_loop"):
        host.run()


def test_copied_and_pickled_by_reference():
    fn = tamarels.Tamarel.replace_str
    assert copy.copy(fn) is fn and copy.deepcopy({"f": fn})["f"] is fn
    assert pickle.loads(pickle.dumps(fn)) is fn


def test_attribute_assignment_checks_types():
    fn = tamarels.AsyncioThread.run
    with pytest.raises(TypeError):
        fn.__name__ = 3
    with pytest.raises(TypeError):
        fn.__defaults__ = [1]
    with pytest.raises(TypeError):
        type(fn)()


def test_defaults_assignment_takes_effect():
    fn = tamarels.AsyncioThread.__init__
    try:
        fn.__defaults__ = ("the loop",)
        thread = tamarels.Thread.__new__(tamarels.AsyncioThread)
        fn(thread)
        assert thread._loop == "the loop"
        assert str(inspect.signature(fn)) == "(self, loop='the loop')"
    finally:
        fn.__defaults__ = None
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'loop'"):
        fn(thread)


def test_defaults_replaced_during_a_call_leave_the_bound_ones(capsys):
    v = tamarels.Tamarel.v

    class Falsy:
        def __bool__(self):
            return False

    class Replaces:
        def __eq__(self, other):
            v.__defaults__ = ("a true s",)  # drops the tuple and the default the call binds
            return True

    try:
        v.__defaults__ = (Falsy(),)
        v(Replaces())
        assert capsys.readouterr().out == ""  # s is still the Falsy default
        v(1)
        assert capsys.readouterr().out == "测试通过\n"
    finally:
        v.__defaults__ = (None,)


def test_defaults_are_read_and_written_under_the_audit_events_of_python_functions():
    # Audit hooks stay for the life of the process: a process of its own.
    result = run_python("""
        import sys
        import tamareltools.tamarels as tamarels

        def v(v, s=None):
            pass

        events = []
        def hook(event, args):
            if event.startswith("object.") and args[0] in (v, tamarels.Tamarel.v):
                events.append((event, *args[1:]))
                if args[1:] == ("__kwdefaults__", {"refused": 1}):
                    raise PermissionError("refused")
        sys.addaudithook(hook)

        for fn in (v, tamarels.Tamarel.v):
            events.clear()
            seen = [fn.__defaults__, fn.__kwdefaults__]
            fn.__defaults__ = ()
            seen.append(fn.__defaults__)
            del fn.__defaults__
            fn.__defaults__ = (None,)
            fn.__kwdefaults__ = {"s": 1}
            try:
                fn.__kwdefaults__ = {"refused": 1}
            except PermissionError:
                seen.append(fn.__kwdefaults__)
            fn.__kwdefaults__ = None
            print(repr((seen, events)))
    """)
    assert result.returncode == 0, result.stderr
    python, native = result.stdout.splitlines()
    assert native == python
    assert native.startswith("([(None,), None, (), {'s': 1}], [('object.__getattr__', '__defaults__'), ")


CXX = shutil.which("c++") or shutil.which("g++")


def compile_errors(declaration, checks=""):
    """The compiler's errors on a parameter list and static_asserts on its table `p`."""
    code = f'#include "runtime/params.hpp"\nconstexpr py::Params p{{{json.dumps(declaration)}}};\n{checks}\n'
    src = pathlib.Path(__file__).resolve().parents[1] / "src"
    return subprocess.run([CXX, "-std=c++20", "-fsyntax-only", "-I", str(src), "-x", "c++", "-"], input=code,
                          capture_output=True, text=True).stderr


@pytest.mark.skipif(CXX is None, reason="needs a C++ compiler")
@pytest.mark.parametrize("declaration", [
    "a=1, b", "a, a", "*args, b", "**kwargs, a", "*a, *b", "*args=()", "**kw=None", "class", "a b", "1a", "a=",
    "a=007", "a=9223372036854775808", "a='\\\\n'", "a='x", "a=f()", "a: ", "a -> ", "a -> b -> c",
    ", ".join(f"a{i}" for i in range(13)),
])
def test_malformed_parameter_lists_do_not_build(declaration):
    assert "malformed" in compile_errors(declaration)


@pytest.mark.skipif(CXX is None, reason="needs a C++ compiler")
def test_parameter_table():
    assert not compile_errors("self, a: int = -5, b='x, y=1', c=00, *args: str, **kw -> None", """
        static_assert(p.count == 6 && p.npos == 4 && p.ndefaults == 3 && p.varargs == 4 && p.varkw == 5);
        static_assert(p[0].name == "self" && p[0].default_kind == py::Param::NoDefault);
        static_assert(p[1].int_default == -5 && p[1].annotation == "int");
        static_assert(p[2].default_kind == py::Param::StrDefault && p[2].str_default == "x, y=1");
        static_assert(p[3].default_kind == py::Param::IntDefault && p[3].int_default == 0);
        static_assert(p[4].kind == py::Param::VarPositional && p[4].name == "args" && p[4].annotation == "str");
        static_assert(p[5].kind == py::Param::VarKeyword && p.return_annotation == "None");
        static_assert(py::no_params.count == 0 && py::Params{"-> None"}.count == 0);
    """)
