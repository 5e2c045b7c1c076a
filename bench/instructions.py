"""Instructions per call, counted by valgrind's callgrind: repeatable where wall time on
a shared machine is not. For each case, one process under callgrind runs N calls of the
native function, N of the plain-Python one and, where Cython is installed, N of that one
compiled by Cython (compiled.py), in both forms a user writes (a bound name, `f(...)`,
and the attribute of the class or module, `Tamarel.v(...)`), and N empty loop steps; a
call costs (N calls - N empty steps) / N.

    make bench            (or: PYTHONPATH=tests .venv/bin/python bench/instructions.py [filter])
"""

import copy
import gc
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import timeit

import compiled
import reference
import run
import tamareltools.tamarels as tamarels
from helpers import TemplateHost

PARTIES = ("native", "python", "cython")
FORMS = ("bound", "attribute")


def static_class(module):
    """A class named Tamarel whose static methods are `module`'s functions, beside the
    native Tamarel."""
    return type("Tamarel", (), {name: staticmethod(getattr(module, name))
                                for name in ("v", "s_e", "regular", "replace_str", "edit_form_data")})


LOOPS = """
def empty(r):
    for _ in r:
        pass
def bound(r):
    for _ in r:
        {bound}
def attribute(r):
    for _ in r:
        {attribute}
"""


def translated(plain, module):
    """The plain case's namespace with the reference functions (and a template host's
    engine) taken from `module` instead."""
    ns = {}
    for key, value in plain.items():
        if getattr(reference, getattr(value, "__name__", ""), None) is value:
            value = getattr(module, value.__name__)
        elif isinstance(value, TemplateHost):
            value = copy.copy(value)
            value.engine = module.replace_str
        ns[key] = value
    return ns


def prepared(case_name, cython):
    """The case's namespaces, by party, each with its loops defined and warmed up."""
    for name, _target, make in run.CASES:
        if name == case_name:
            break
    else:
        raise SystemExit(f"no case {case_name!r}")
    stmt, native, plain = make()
    assert stmt.startswith("f(")
    fn = native["f"]
    in_class = getattr(fn, "__qualname__", "").startswith("Tamarel.")
    parties = {"native": (native, tamarels.Tamarel if in_class else tamarels),
               "python": (plain, static_class(reference) if in_class else reference)}
    if cython is not None:
        parties["cython"] = (translated(plain, cython), static_class(cython) if in_class else cython)
    for ns, owner in parties.values():
        ns["owner"] = owner
        exec(LOOPS.format(bound=stmt, attribute="owner." + fn.__name__ + stmt[1:]), ns)
        for loop in ("empty", "bound", "attribute"):
            ns[loop](range(2))
    return {party: ns for party, (ns, _owner) in parties.items()}


def child(case_name, n, with_cython):
    sys.setrecursionlimit(1_000_000)  # the plain-Python walks recurse once per level
    spaces = prepared(case_name, compiled.load_built() if with_cython else None)
    r = range(n)
    # Each eval is one callgrind dump: the empty loop, then every form of every party.
    # Each starts after a full collection (not counted), so that what the collector
    # does during a run is the run's own work, not what the runs before left behind.
    for party, form in [("native", "empty")] + [(p, f) for f in FORMS for p in spaces]:
        namespace = dict(spaces[party], r=r)
        gc.collect()
        eval(f"{form}(r)", namespace)


def measure(case_name, n, parties):
    """{(form, party): instructions per call}."""
    folder = tempfile.mkdtemp()
    try:
        out = os.path.join(folder, "out.%p")
        cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=builtin_eval",
               "--dump-after=builtin_eval", f"--callgrind-out-file={out}",
               sys.executable, __file__, "--child", case_name, str(n), str(int("cython" in parties))]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, PYTHONHASHSEED="0"))
        dumps = sorted(glob.glob(os.path.join(folder, "out.*.*")), key=lambda p: int(p.rsplit(".", 1)[1]))
        keys = [(form, party) for form in FORMS for party in parties]
        totals = []
        for path in dumps[-1 - len(keys):]:
            with open(path) as f:
                totals.append(next(int(line.split()[1]) for line in f if line.startswith("totals:")))
        empty = totals[0]
        return {key: (t - empty) / n for key, t in zip(keys, totals[1:])}
    finally:
        shutil.rmtree(folder)


def calls_for(case_name):
    """Enough calls to make the loop's fixed cost small, few enough for the slow ones."""
    seconds = max(timeit.Timer("bound(r)", globals=dict(ns, r=range(1))).timeit(3) / 3
                  for ns in prepared(case_name, None).values())
    return max(1, min(20_000, int(0.02 / max(seconds, 1e-9))))


def main(argv):
    if len(argv) > 1 and argv[1] == "--child":
        child(argv[2], int(argv[3]), argv[4] == "1")
        return 0
    if not shutil.which("valgrind"):
        print("valgrind is not installed: no instruction counts (apt-get install valgrind)")
        return 0
    pattern = argv[1] if len(argv) > 1 else ""
    sys.setrecursionlimit(1_000_000)
    parties = PARTIES if compiled.load() is not None else PARTIES[:2]
    print("Instructions per call (callgrind; N calls minus N empty loop steps); ratio: python / native,"
          " vs cython: cython / native")
    print(f"{'case':50} {'form':10} {'python':>12} {'cython':>12} {'native':>12} {'ratio':>7} {'vs cython':>9}")
    for name, _target, _make in run.CASES:
        if pattern not in name or name in run.WALL_ONLY:
            continue
        counts = measure(name, calls_for(name), parties)
        for form in FORMS:
            native, plain = counts[form, "native"], counts[form, "python"]
            cython = counts.get((form, "cython"))
            cython_cells = f"{cython:12,.0f}" if cython else f"{'-':>12}"
            versus = f"{cython / native:8.2f}x" if cython else f"{'-':>9}"
            print(f"{name:50} {form:10} {plain:12,.0f} {cython_cells} {native:12,.0f} {plain / native:6.2f}x {versus}")
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
