"""Instructions per call, counted by valgrind's callgrind: repeatable where wall time on
a shared machine is not. For each case, one process under callgrind runs N calls of the
native function and N of the plain-Python one, in both forms a user writes (a bound
name, `f(...)`, and the attribute of the class or module, `Tamarel.v(...)`), and N
empty loop steps; a call costs (N calls - N empty steps) / N.

    make bench            (or: PYTHONPATH=tests .venv/bin/python bench/instructions.py [filter])
"""

import glob
import os
import shutil
import subprocess
import sys
import tempfile
import timeit

import reference
import run
import tamareltools.tamarels as tamarels

# The plain-Python class whose static methods stand beside Tamarel's.
PlainTamarel = type("Tamarel", (), {name: staticmethod(getattr(reference, name))
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


def owners(fn):
    """Where the attribute form finds `fn`: Tamarel or the module, native and plain."""
    if getattr(fn, "__qualname__", "").startswith("Tamarel."):
        return tamarels.Tamarel, PlainTamarel
    return tamarels, reference


def prepared(case_name):
    """The case's two namespaces, each with its loops defined and warmed up."""
    for name, _target, make in run.CASES:
        if name == case_name:
            break
    else:
        raise SystemExit(f"no case {case_name!r}")
    stmt, native, plain = make()
    assert stmt.startswith("f(")
    fn_name = native["f"].__name__
    for ns, owner in zip((native, plain), owners(native["f"])):
        ns["owner"] = owner
        exec(LOOPS.format(bound=stmt, attribute="owner." + fn_name + stmt[1:]), ns)
        for loop in ("empty", "bound", "attribute"):
            ns[loop](range(2))
    return native, plain


def child(case_name, n):
    sys.setrecursionlimit(1_000_000)  # the plain-Python walks recurse once per level
    native, plain = prepared(case_name)
    r = range(n)
    # Each eval is one callgrind dump, in this order.
    for ns, loop in ((native, "empty"), (native, "bound"), (plain, "bound"), (native, "attribute"),
                     (plain, "attribute")):
        eval(f"{loop}(r)", dict(ns, r=r))


def measure(case_name, n):
    """(native bound, plain bound, native attribute, plain attribute) per call."""
    folder = tempfile.mkdtemp()
    try:
        out = os.path.join(folder, "out.%p")
        cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=builtin_eval",
               "--dump-after=builtin_eval", f"--callgrind-out-file={out}",
               sys.executable, __file__, "--child", case_name, str(n)]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, PYTHONHASHSEED="0"))
        dumps = sorted(glob.glob(os.path.join(folder, "out.*.*")), key=lambda p: int(p.rsplit(".", 1)[1]))
        totals = []
        for path in dumps[-5:]:
            with open(path) as f:
                totals.append(next(int(line.split()[1]) for line in f if line.startswith("totals:")))
        empty = totals[0]
        return [(t - empty) / n for t in totals[1:]]
    finally:
        shutil.rmtree(folder)


def calls_for(case_name):
    """Enough calls to make the loop's fixed cost small, few enough for the slow ones."""
    seconds = max(timeit.Timer("bound(r)", globals=dict(ns, r=range(1))).timeit(3) / 3
                  for ns in prepared(case_name))
    return max(1, min(20_000, int(0.02 / max(seconds, 1e-9))))


def main(argv):
    if len(argv) > 1 and argv[1] == "--child":
        child(argv[2], int(argv[3]))
        return 0
    if not shutil.which("valgrind"):
        print("valgrind is not installed: no instruction counts (apt-get install valgrind)")
        return 0
    pattern = argv[1] if len(argv) > 1 else ""
    sys.setrecursionlimit(1_000_000)
    print("Instructions per call (callgrind; N calls minus N empty loop steps)")
    print(f"{'case':45} {'form':10} {'python':>12} {'native':>12} {'ratio':>7}")
    for name, _target, _make in run.CASES:
        if pattern not in name or name in run.WALL_ONLY:
            continue
        n = calls_for(name)
        native_bound, plain_bound, native_attr, plain_attr = measure(name, n)
        for form, plain, native in (("bound", plain_bound, native_bound), ("attribute", plain_attr, native_attr)):
            print(f"{name:45} {form:10} {plain:12,.0f} {native:12,.0f} {plain / native:6.2f}x")
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
