"""Async helpers on real event loops and threads."""

import asyncio
import inspect
import threading
import types

import pytest

import tamareltools.tamarels as tamarels
import reference
from helpers import outcome
from leakcheck import assert_no_leaks

T = tamarels.Tamarel


class Host:
    def __init__(self):
        self.calls = []

    async def ping(self):
        await asyncio.sleep(0)
        return "pong"

    async def echo(self, value):
        return value

    async def options(self, **kwargs):
        return kwargs

    async def slow(self):
        await asyncio.sleep(30)

    def plain(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "plain"


@pytest.fixture
def loop_thread():
    loop = T.t()
    yield loop
    loop.call_soon_threadsafe(loop.stop)
    for thread in threading.enumerate():
        if isinstance(thread, tamarels.AsyncioThread) and thread._loop is loop:
            thread.join(10)
            assert not thread.is_alive()
    loop.close()


@pytest.mark.parametrize("value,expected", [(None, "pong"), ("x", "x"), ({"a": 1}, {"a": 1}), ([1], None), (3, None)])
def test_a_e_dispatch(value, expected):
    method = {type(None): "ping", str: "echo", dict: "options"}.get(type(value), "ping")
    assert asyncio.run(T.a_e(Host(), method, value)) == expected


@pytest.mark.parametrize("value,call", [(None, ((), {})), ("k", (("k",), {})), ({"a": 1}, ((), {"a": 1}))])
def test_s_e_dispatch(value, call):
    host = Host()
    assert T.s_e(host, "plain", value) == "plain" and host.calls == [call]
    assert T.s_e(host, "plain", ["a"]) is None and len(host.calls) == 1
    with pytest.raises(AttributeError):
        T.s_e(host, "missing", ["a"])


class Shadowed:
    """`m` is a method of the class and, on the instance, another callable."""

    def m(self, *args):
        return ("method", args)

    def __init__(self):
        self.m = lambda *args: ("instance", args)


class Forwarding:
    """Every attribute comes from __getattr__, each lookup recorded."""

    def __init__(self):
        self.looked_up = []

    def __getattr__(self, name):
        self.looked_up.append(name)
        return lambda *args: (name, args)


class Guarded:
    """__getattribute__ runs first and refuses one name."""

    def m(self, *args):
        return args

    def __getattribute__(self, name):
        if name == "hidden":
            raise AttributeError("hidden is guarded")
        return object.__getattribute__(self, name)


class Named(str):
    pass


HOSTS = [(Host, "plain"), (Shadowed, "m"), (Forwarding, "anything"), (Guarded, "m"), (Guarded, "hidden"),
         (Host, "missing"), (Host, 3), (Host, Named("plain")), (lambda: 5, "real"), (lambda: 5, "bit_length")]


@pytest.mark.parametrize("make,name", HOSTS)
@pytest.mark.parametrize("value", [None, "k", Named("k")])
def test_s_e_looks_up_as_getattr(make, name, value):
    native_host, plain_host = make(), make()
    assert outcome(T.s_e, native_host, name, value) == outcome(reference.s_e, plain_host, name, value)
    assert getattr(native_host, "looked_up", None) == getattr(plain_host, "looked_up", None)


class Rewriting:
    """Its lookup adds to the dict about to be passed as keywords; its method empties it."""

    def __init__(self, values):
        self.values = values

    def __getattr__(self, name):
        self.values["late"] = name

        def method(**kwargs):
            self.values.clear()
            return sorted(kwargs.items(), key=repr)
        return method


KEYWORD_DICTS = [{}, {"a": 1}, {1: 2}, {Named("a"): 1}, {f"k{i}": [i] for i in range(9)}]


@pytest.mark.parametrize("values", KEYWORD_DICTS, ids=repr)
@pytest.mark.parametrize("host_class", [Host, Rewriting])
def test_s_e_passes_a_dict_as_keywords(host_class, values):
    runs = []
    for s_e in (T.s_e, reference.s_e):
        given = dict(values)
        host = host_class(given) if host_class is Rewriting else host_class()
        runs.append((outcome(s_e, host, "plain", given), given, vars(host).get("calls")))
    assert runs[0] == runs[1]


def test_coroutine_shape():
    assert inspect.iscoroutinefunction(T.a_e) and not inspect.iscoroutinefunction(T.s_e)
    coroutine = T.a_e(object(), "missing")   # nothing runs before it is awaited
    assert asyncio.iscoroutine(coroutine)
    with pytest.raises(AttributeError):
        coroutine.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coroutine.send(None)
    with pytest.raises(TypeError, match="^object str can't be used in 'await' expression$"):
        asyncio.run(T.a_e(type("H", (), {"m": lambda self: "text"})(), "m"))


def test_gather_tasks_and_cancellation():
    async def main():
        host = Host()
        results = await asyncio.gather(T.a_e(host, "ping"), T.a_e(host, "echo", "y"))
        task = asyncio.ensure_future(T.a_e(host, "slow"))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return results
    assert asyncio.run(main()) == ["pong", "y"]


def test_throw_and_close_reach_the_awaited_coroutine():
    events = []

    class Guarded:
        async def wait(self):
            try:
                await asyncio.sleep(30)
            except KeyError:
                events.append("caught")
                return "recovered"
            finally:
                events.append("finally")

    async def main():
        coroutine = T.a_e(Guarded(), "wait")
        coroutine.send(None)
        with pytest.raises(StopIteration) as info:
            coroutine.throw(KeyError("x"))
        assert info.value.value == "recovered"
        other = T.a_e(Guarded(), "wait")
        other.send(None)
        other.close()
    asyncio.run(main())
    assert events == ["caught", "finally", "finally"]


def test_loops_on_threads(loop_thread):
    other = T.t()
    try:
        assert other is not loop_thread and loop_thread.is_running()
        future = asyncio.run_coroutine_threadsafe(T.a_e(Host(), "ping"), loop_thread)
        assert future.result(10) == "pong"
    finally:
        other.call_soon_threadsafe(other.stop)


@pytest.mark.parametrize("value", [1, "a"])
def test_v(value, capsys):
    assert T.v(value) is None and T.v(value, True) is None
    assert capsys.readouterr().out == "测试通过\n"
    with pytest.raises(Exception) as info:
        T.v(float("nan"))
    assert type(info.value) is Exception and str(info.value) == ""


def test_no_leaks():
    host = Host()
    assert_no_leaks(lambda: asyncio.run(T.a_e(host, "echo", "x")), repeat=200, allowed_bytes=400_000)
    assert_no_leaks(T.s_e, host, "plain", ["x"])
    quiet = types.SimpleNamespace(plain=lambda **kwargs: None)
    for values in KEYWORD_DICTS:
        assert_no_leaks(T.s_e, quiet, "plain", values)

    def drive():
        coroutine = T.a_e(host, "echo", {"value": 1})
        try:
            coroutine.send(None)
        except StopIteration:
            pass
    assert_no_leaks(drive)
