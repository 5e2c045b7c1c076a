"""The module in every interpreter it can be loaded in: a legacy subinterpreter, four
interpreters with GILs of their own running at once, a second import after removal
from sys.modules; and interpreters made and destroyed over and over. Each runs the
same pass over every family (workload.py) as the main interpreter, with equal results."""

import json
import os
import sys

import pytest

from helpers import run_python

TESTS = os.path.dirname(os.path.abspath(__file__))

try:
    import _interpreters
except ImportError:  # pragma: no cover - a build without subinterpreter support
    _interpreters = None
try:
    import _testcapi
except ImportError:  # the embeddable Windows distribution has no _testcapi
    _testcapi = None

needs_interpreters = pytest.mark.skipif(_interpreters is None or _testcapi is None,
                                        reason="needs _interpreters and _testcapi")

DRIVER = """
import json, os, shlex, sys, tempfile, threading
import _interpreters, _testcapi
sys.path.insert(0, {tests!r})
import workload

root = tempfile.mkdtemp()
remote = workload.make_remote(root)
# The case files' pytest runs read no conftest.py from the temporary directory's
# parents: a stray one there would load its imports into every interpreter.
os.environ["PYTEST_ADDOPTS"] += " --confcutdir=" + shlex.quote(root)

def place(name):
    work = os.path.join(root, name)
    os.makedirs(work)
    return work, os.path.join(root, name + ".json")

def code(name):
    work, out = place(name)
    return (f"import sys; sys.path.insert(0, {{{tests!r}!r}}); import workload; "
            f"workload.main({{work!r}}, {{remote!r}}, {{out!r}})"), out

results = {{}}
work, out = place("main")
workload.main(work, remote, out)
results["main"] = out

source, out = code("legacy")
results["legacy"] = out
status = _testcapi.run_in_subinterp(source)

# The four are not destroyed, and the process ends with os._exit: CPython 3.13.0's
# _datetime corrupts memory when interpreters with GILs of their own that imported it
# are finalised after running at once (with or without this module).
errors = []
def life(source):
    interp = _interpreters.create("isolated")
    failure = _interpreters.run_string(interp, source)
    if failure is not None:
        errors.append(failure.formatted)
threads = []
for k in range(4):
    source, out = code(f"own_gil_{{k}}")
    results[f"own_gil_{{k}}"] = out
    threads.append(threading.Thread(target=life, args=(source,)))
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()

import tamareltools.tamarels as first
del sys.modules["tamareltools.tamarels"]
work, out = place("reimported")
workload.main(work, remote, out)
import tamareltools.tamarels as second
distinct = first is not second
results["reimported"] = out
work, out = place("first_again")
sys.modules["tamareltools.tamarels"] = first
workload.main(work, remote, out)
results["first_again"] = out

# A function outlives its module object: it keeps the state it reads.
orphan = second.get_execution_order_with_config_ids
del sys.modules["tamareltools.tamarels"], sys.modules["tamareltools"].tamarels, second, first
import gc
gc.collect()
orphaned = orphan({{"nodes": [{{"id": "a", "config": {{"id": 1}}}}], "edges": []}})

print(json.dumps({{"status": status, "errors": errors, "distinct": distinct, "orphaned": orphaned,
                  "results": {{k: json.load(open(v)) for k, v in results.items()}}}}), flush=True)
os._exit(0)
"""


@needs_interpreters
def test_every_family_gives_the_same_results_in_every_interpreter():
    # Capture by sys.stdout, not by file descriptor: the four runs share the process's
    # descriptors. Two plug-ins load only in the main interpreter: faulthandler's
    # (the module is process-wide) and that of hypothesis, a test dependency.
    env = dict(os.environ, PYTEST_ADDOPTS="-p no:cacheprovider -p no:hypothesispytest -p no:faulthandler --capture=sys")
    result = run_python(DRIVER.format(tests=TESTS), env=env, timeout=600)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.splitlines()[-1])
    assert report["status"] == 0 and report["errors"] == [] and report["distinct"]
    assert report["orphaned"] == [1]
    results = report["results"]
    main = results.pop("main")
    assert "ok" in main, main.get("error")
    assert main["ok"]["pytest"] == [["test_fails", "failed", []], ["test_passes", "passed", ["text"]]]
    assert main["ok"]["git"][:3] == ["master", main["ok"]["git"][1], False]
    for where, got in results.items():
        assert "ok" in got, (where, got["error"])
        for family, expected in main["ok"].items():
            assert got["ok"][family] == expected, (where, family)


MEMORY = """
import _interpreters, os

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

IMPORTS = ("import asyncio, copy, json, re, smtplib, threading, traceback, os, shutil, uuid, sys, pathlib, "
           "datetime, email.mime.multipart, email.mime.text, dulwich.porcelain, dulwich.repo, "
           "tamareltools.exceptions.error_msg")
USE = '''
import tamareltools.tamarels as t
from tamareltools.exceptions import TamarelToolsError
flow = {"nodes": [{"id": n, "config": {"id": i}} for i, n in enumerate("abc")],
        "edges": [{"source": {"node_id": "a"}, "target": {"node_id": "b"}}]}
for _ in range(50):
    t.get_execution_order_with_config_ids(flow)
    t.build_decision_tree(flow)
class H:
    def is_extract(self, s): return "${{" in str(s)
    def remove_parentheses(self, s): return s[3:-2]
    def identify_parentheses(self, k): return False
    def get_cache(self, k): return "v"
    def set_cache(self, k, v): pass
    def add(self, a, b): return a + b
for _ in range(50):
    t.Tamarel.replace_str(H(), "x ${{k}} y", ("0002", "m"), TamarelToolsError)
    t.Tamarel.regular(H(), "add(1, 2)", TamarelToolsError, "a", "b")
'''

def growth(source, cycles=20, settle=5):
    sizes = []
    for _ in range(cycles):
        interp = _interpreters.create("isolated")
        failure = _interpreters.run_string(interp, source)
        assert failure is None, failure.formatted
        _interpreters.destroy(interp)
        sizes.append(resident())
    return sizes[-1] - sizes[settle - 1]

print(growth(IMPORTS), growth(IMPORTS + "\\n" + USE))
"""


@needs_interpreters
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_made_and_destroyed_interpreters_do_not_grow_memory():
    result = run_python(MEMORY, timeout=600)
    assert result.returncode == 0, result.stderr
    imports_only, with_module = map(int, result.stdout.split())
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return  # the sanitizer's quarantine holds freed memory: the cycles ran, sizes say nothing
    # Past the first cycles, what the module adds per cycle stays within the noise of
    # what its imports alone leave behind.
    assert with_module - imports_only < 4 * 2**20, (imports_only, with_module)
