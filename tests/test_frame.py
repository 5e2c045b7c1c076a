"""The module as an importer sees it: namespace, order, classes, initialisation."""

import sys

import pytest

import tamareltools.tamarels as tamarels
from helpers import run_python

IMPORTED = {
    "asyncio": "asyncio", "copy": "copy", "json": "json", "re": "re", "smtplib": "smtplib",
    "threading": "threading", "traceback": "traceback", "os": "os", "shutil": "shutil",
    "uuid": "uuid", "sys": "sys",
}


@pytest.mark.parametrize("name,module", IMPORTED.items())
def test_imported_modules_are_bound(name, module):
    assert getattr(tamarels, name) is sys.modules[module]


def test_imported_objects_are_bound():
    import datetime, threading, pathlib
    from email.mime.multipart import MIMEMultipart
    from email.mime.text import MIMEText
    import dulwich.porcelain, dulwich.repo
    from tamareltools.exceptions import TamarelToolsError
    from tamareltools.exceptions import error_msg

    assert tamarels.datetime is datetime.datetime
    assert tamarels.Thread is threading.Thread
    assert tamarels.MIMEMultipart is MIMEMultipart and tamarels.MIMEText is MIMEText
    assert tamarels.porcelain is dulwich.porcelain and tamarels.Repo is dulwich.repo.Repo
    assert tamarels.Path is pathlib.Path
    assert tamarels.TamarelToolsError is TamarelToolsError
    assert tamarels.ERROR_MSG_0019 is error_msg.ERROR_MSG_0019
    assert tamarels.ERROR_MSG_0021 is error_msg.ERROR_MSG_0021


def test_namespace_order_follows_the_sections():
    names = [n for n in vars(tamarels) if not n.startswith("__")]
    order = ["asyncio", "copy", "json", "re", "smtplib", "threading", "datetime",
             "MIMEMultipart", "MIMEText", "Thread", "AsyncioThread", "Tamarel",
             "traceback", "os", "porcelain", "Repo", "GitRepoOperator", "shutil", "uuid",
             "Path", "sys", "TamarelToolsError", "ERROR_MSG_0019", "ERROR_MSG_0021"]
    assert [n for n in names if n in order] == order


def test_all_and_test_attributes():
    assert type(tamarels.__all__) is list
    assert tamarels.__all__ == [
        "Tamarel", "test", "get", "post", "put", "delete", "inside_post", "inside_put",
        "inside_delete", "GitRepoOperator", "pytest_test_case", "read_allure_json_results",
        "delete_allure_results", "ass", "build_decision_tree",
        "get_execution_order_with_config_ids"]
    assert tamarels.__test__ == {}
    star = {}
    exec("from tamareltools.tamarels import *", star)
    assert sorted(k for k in star if k != "__builtins__") == sorted(tamarels.__all__)


def test_standard_module_attributes():
    import tamareltools
    from importlib.metadata import version
    assert tamareltools.__version__ == version("tamareltools")
    assert type(tamarels.get).__module__ == "builtins"  # a str, as for Python's function type
    assert tamarels.__name__ == "tamareltools.tamarels"
    assert tamarels.__package__ == "tamareltools"
    assert tamarels.__doc__ is None
    assert tamarels.__file__ and tamarels.__loader__ is not None
    assert tamarels.__builtins__ is not None


def test_classes_are_ordinary_python_classes():
    assert tamarels.AsyncioThread.__bases__ == (tamarels.Thread,)
    assert tamarels.AsyncioThread.__module__ == "tamareltools.tamarels"
    assert tamarels.AsyncioThread.__qualname__ == "AsyncioThread"
    assert tamarels.Tamarel.__bases__ == (object,)
    assert tamarels.GitRepoOperator.__bases__ == (object,)
    assert type(tamarels.Tamarel.__dict__["replace_str"]) is staticmethod
    assert tamarels.AsyncioThread.run.__annotations__ == {"return": "None"}


def test_asyncio_thread_runs_its_loop():
    import asyncio
    loop = asyncio.new_event_loop()
    thread = tamarels.AsyncioThread(loop)
    assert thread.daemon is True and thread._loop is loop and not thread.is_alive()
    thread.start()
    try:
        assert asyncio.run_coroutine_threadsafe(asyncio.sleep(0, "done"), loop).result(10) == "done"
    finally:
        loop.call_soon_threadsafe(loop.stop)
        thread.join(10)
        loop.close()
    assert not thread.is_alive()
    with pytest.raises(TypeError, match=r"__init__\(\) missing 1 required positional argument: 'loop'"):
        tamarels.AsyncioThread()


def test_missing_error_package_stops_the_body_at_its_step():
    result = run_python("""
        import importlib.util, sys, json, re
        spec = importlib.util.find_spec("tamareltools.tamarels")
        module = importlib.util.module_from_spec(spec)
        sys.modules["tamareltools.exceptions"] = None
        try:
            spec.loader.exec_module(module)
        except ModuleNotFoundError as e:
            print("error", e.name)
        ns = vars(module)
        print(all(k in ns for k in ("Tamarel", "GitRepoOperator", "Path", "sys")))
        print(ns["json"] is json, ns["re"] is re)
        print("TamarelToolsError" in ns, "__all__" in ns)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["error", "tamareltools.exceptions", "True", "True", "True",
                                     "False", "False"]


def test_missing_dulwich_fails_the_import():
    result = run_python("""
        import sys
        sys.modules["dulwich"] = None
        try:
            import tamareltools.tamarels
        except ImportError as e:
            print(type(e).__name__, e.name)
    """)
    assert result.stdout.split() == ["ModuleNotFoundError", "dulwich"], result.stderr
